#include "platform/BuildInfo.h"

#include "platform/SmallFile.h"

#include <QJsonDocument>
#include <QJsonObject>


namespace {

const QString kUnknown = QStringLiteral("unknown");

} // namespace

QString buildCommit(const Bundle &bundle)
{
    const std::optional<QString> path = bundle.resource(QStringLiteral("build-info"), QStringLiteral("json"));
    if (!path)
        return kUnknown;
    const SmallFile file = readSmallFile(*path, kBuildInfoMaxBytes);
    if (!file.ok())
        return kUnknown;
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(file.bytes, &error);
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
