#include "ReleaseDeltas.h"

#include "BundleSigner.h"
#include "ReleaseVerification.h"

#include "codesign/BundleDelta.h"
#include "codesign/CodeResources.h"
#include "release/VersionRules.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>
#include <QJsonObject>

#include <set>
#include <stdexcept>

namespace {

constexpr qint64 kMaxDeltaBytes = 209715200;

std::runtime_error failure(const QString &text) { return std::runtime_error(text.toStdString()); }

} // namespace

void writeReleaseDelta(const QString &oldBundle, const QString &newBundle, const QString &out)
{
    try {
        requireIntactSeal(oldBundle);
        verifyRelease(oldBundle);
    } catch (const std::exception &e) {
        throw failure(QStringLiteral("%1 doesn't verify, so no delta is made from it: %2").arg(oldBundle, QString::fromUtf8(e.what())));
    }
    requireIntactSeal(newBundle);
    verifyRelease(newBundle, oldBundle);
    try {
        BundleDelta::write(oldBundle, newBundle, out);
    } catch (const DeltaError &e) {
        QFile::remove(out);
        throw failure(QStringLiteral("the delta ") + e.description());
    } catch (const SealError &e) {
        QFile::remove(out);
        throw failure(e.description());
    }
}

QUrl besideZip(const QUrl &zipUrl, const QString &fileName)
{
    QString path = zipUrl.path(QUrl::FullyEncoded);
    path.truncate(path.lastIndexOf(u'/') + 1);
    QUrl url(zipUrl);
    url.setPath(path + QString::fromLatin1(QUrl::toPercentEncoding(fileName)), QUrl::StrictMode);
    url.setQuery(QString());
    url.setFragment(QString());
    return url;
}

QJsonArray feedDeltas(const QUrl &zipUrl, const QStringList &arguments, qint64 releaseBuild)
{
    QJsonArray out;
    std::set<qint64> builds;
    for (const QString &argument : arguments) {
        const qsizetype eq = argument.indexOf(u'=');
        const std::optional<qint64> build = eq > 0 ? VersionRules::parseInteger(argument.left(eq)) : std::nullopt;
        if (!build || *build < 1 || eq + 1 >= argument.size())
            throw failure(QStringLiteral("--delta takes BUILD=FILE, the build the delta applies to and its file; got \"%1\"").arg(argument));
        if (*build >= releaseBuild)
            throw failure(QStringLiteral("--delta %1: build %2 isn't older than the release's %3").arg(argument).arg(*build).arg(releaseBuild));
        if (!builds.insert(*build).second)
            throw failure(QStringLiteral("--delta: build %1 is given twice").arg(*build));
        const QString path = argument.mid(eq + 1);
        try {
            BundleDelta::readHeader(path);
        } catch (const DeltaError &e) {
            throw failure(QStringLiteral("%1: the file %2").arg(path, e.description()));
        }
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            throw failure(QStringLiteral("can't read %1").arg(path));
        const qint64 length = file.size();
        if (length < 1 || length > kMaxDeltaBytes)
            throw failure(QStringLiteral("%1 is %2 bytes; the app accepts 1 to %3").arg(path).arg(length).arg(kMaxDeltaBytes));
        QCryptographicHash hash(QCryptographicHash::Sha256);
        if (!hash.addData(&file))
            throw failure(QStringLiteral("can't read %1").arg(path));
        QJsonObject d;
        d.insert(QStringLiteral("fromBuild"), *build);
        d.insert(QStringLiteral("url"), besideZip(zipUrl, QFileInfo(path).fileName()).toString(QUrl::FullyEncoded));
        d.insert(QStringLiteral("sha256"), QString::fromLatin1(hash.result().toHex()));
        d.insert(QStringLiteral("length"), length);
        out.append(d);
    }
    return out;
}
