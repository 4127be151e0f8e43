#include "TestReleases.h"

#include "../codesign/SigningFixture.h"

#include "FeedSigner.h"
#include "release/FeedScope.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>

namespace TestReleases {

QString folder() { return QStringLiteral(FW_BINARY_DIR "/test-releases"); }
QString keys() { return folder() + QStringLiteral("/keys"); }
QString previous() { return folder() + QStringLiteral("/previous/Ferrowhistle.app"); }
QString release() { return folder() + QStringLiteral("/release"); }
QString releaseBuild() { return folder() + QStringLiteral("/build-release"); }
QString releaseSummary() { return folder() + QStringLiteral("/release-summary.txt"); }
QString deltaRelease() { return folder() + QStringLiteral("/delta"); }
QString deltaPreviousReleases() { return folder() + QStringLiteral("/previous-releases"); }
QString deltaBase() { return deltaPreviousReleases() + QStringLiteral("/500/Ferrowhistle.app"); }

void writeKeys(const SigningFixture &f, const QString &keys)
{
    writeBytes(keys + QStringLiteral("/developer.pem"), f.developer.identityPem());
    writeBytes(keys + QStringLiteral("/notary.pem"), f.notary.identityPem());
    writeBytes(keys + QStringLiteral("/dev-ca.crt"), f.developerCA.certificatePem);
    writeBytes(keys + QStringLiteral("/notary-ca.crt"), f.notaryCA.certificatePem);
}

QProcessEnvironment inputs(const QString &keys, const QString &url)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("RELEASE_PREBUILT"), QStringLiteral("1"));
    env.insert(QStringLiteral("IDENTITY"), keys + QStringLiteral("/developer.pem"));
    env.insert(QStringLiteral("NOTARY"), keys + QStringLiteral("/notary.pem"));
    env.insert(QStringLiteral("CODESIGN_ANCHORS"), keys + QStringLiteral("/dev-ca.crt"));
    env.insert(QStringLiteral("NOTARY_ANCHORS"), keys + QStringLiteral("/notary-ca.crt"));
    env.insert(QStringLiteral("BUILD_NUMBER"), QStringLiteral("501"));
    env.insert(QStringLiteral("URL"), url);
    // Whatever the caller's make passed on would change the release.
    for (const char *optional : {"NOTES", "MINIMUM_SYSTEM_VERSION", "PREVIOUS", "PHASED_ROLLOUT_INTERVAL", "PUB_DATE",
                                 "FEED_VALID_DAYS", "CHANNEL", "PREVIOUS_RELEASES"})
        env.remove(QLatin1String(optional));
    return env;
}

SignedFeedFiles servedFrom(const QString &release, const QString &base, const SigningFixture &f)
{
    const QByteArray made = readBytes(release + QStringLiteral("/appcast.json"));
    const QByteArray moved = QByteArray(made).replace(kDownloads, base.toUtf8());
    const QJsonObject record = QJsonDocument::fromJson(moved).object();
    return signFeed(record, FeedScope{record.value(FeedScope::identifierKey()).toString(), record.value(FeedScope::channelKey()).toString()},
                    f.developer.identityPem(), 30, QDateTime::currentDateTimeUtc());
}

} // namespace TestReleases
