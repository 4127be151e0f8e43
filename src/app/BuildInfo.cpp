#include "app/BuildInfo.h"

#include "platform/FileIO.h"
#include "platform/UniqueFd.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

#include <fcntl.h>
#include <sys/stat.h>

namespace {

const QString kUnknown = QStringLiteral("unknown");

// At most kBuildInfoMaxBytes of a regular file; nothing when the file is
// larger, is not a regular file, or cannot be read. O_NONBLOCK keeps a FIFO
// put in the file's place from stalling the window that asks.
std::optional<QByteArray> readSmallFile(const QString &path)
{
    const UniqueFd fd(::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    struct stat st {};
    if (!fd || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > kBuildInfoMaxBytes)
        return std::nullopt;
    // One byte over the cap tells a file that grew since fstat.
    QByteArray bytes(kBuildInfoMaxBytes + 1, Qt::Uninitialized);
    const long long n = readFull(fd.get(), bytes.data(), size_t(bytes.size()));
    if (n < 0 || n > kBuildInfoMaxBytes)
        return std::nullopt;
    bytes.truncate(qsizetype(n));
    return bytes;
}

} // namespace

QString buildCommit(const Bundle &bundle)
{
    const std::optional<QString> path = bundle.resource(QStringLiteral("build-info"), QStringLiteral("json"));
    if (!path)
        return kUnknown;
    const std::optional<QByteArray> bytes = readSmallFile(*path);
    if (!bytes)
        return kUnknown;
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(*bytes, &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject())
        return kUnknown;
    const QJsonObject object = doc.object();
    for (auto it = object.begin(); it != object.end(); ++it) {
        if (!it->isString())
            return kUnknown;
    }
    const QString commit = object.value(QLatin1String("commit")).toString();
    return commit.isEmpty() ? kUnknown : commit;
}

QString versionLine(const Bundle &bundle)
{
    const QString version =
        bundle.infoString(QStringLiteral("CFBundleShortVersionString")).value_or(QStringLiteral("Development"));
    const QString build = bundle.infoString(QStringLiteral("CFBundleVersion")).value_or(QStringLiteral("\u2014"));
    return QStringLiteral("Version ") + version + QStringLiteral(" (") + build + QStringLiteral(") \u00B7 ")
           + buildCommit(bundle);
}
