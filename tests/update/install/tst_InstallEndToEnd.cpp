// The whole update as a user meets it: the real app from the built bundle,
// signed with anchors as build 500 in an Applications folder, checks a feed
// on loopback HTTPS, installs build 501 through its D-Bus actions, and is
// relaunched from the same path as the new build. Once with a zip packaged
// directly, once with what `make release` made for the run (TestReleases).

#include "support/FileTrees.h"
#include "AppUnderUpdate.h"
#include "../LoopbackHttpsServer.h"
#include "../../codesign/SigningFixture.h"
#include "../../tools/TestReleases.h"

#include "BundleSigner.h"
#include "ReleasePackage.h"
#include "intent/BusNames.h"
#include "app/AppActions.h"
#include "platform/DefaultsStore.h"
#include "support/PrivateBus.h"
#include "support/ProgramRun.h"
#include "release/UpdaterDefaults.h"
#include "support/TestEnvironment.h"
#include "update/ReleaseFeed.h"
#include "update/Updater.h"

#include <QCryptographicHash>
#include <QDBusArgument>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

#include <functional>

#include <sys/stat.h>
#include <unistd.h>

namespace {

// A copy of the bundle (a shared build 500) in folder; empty when the copy
// failed.
QString copyInto(const QString &bundle, const QString &folder)
{
    if (!QDir().mkpath(folder) || runToEnd(QStringLiteral("cp"), {QStringLiteral("-a"), bundle, folder + u'/'}).exitCode != 0)
        return {};
    return folder + QStringLiteral("/Ferrowhistle.app");
}

QDBusMessage action(const QString &name)
{
    QDBusMessage m = QDBusMessage::createMethodCall(BusNames::service(), BusNames::objectPath(),
                                                    BusNames::applicationInterface(), QStringLiteral("ActivateAction"));
    m.setArguments({name, QVariant::fromValue(QVariantList()), QVariant::fromValue(QVariantMap())});
    return m;
}

} // namespace

class tst_InstallEndToEnd : public QObject {
    Q_OBJECT
    TestEnvironment m_env;
    TestCertificateAuthority m_ca;

    // Starts the copy at `installed` (HOME is home), has it check the feed
    // and install the zip that server hands out, and checks that it was
    // relaunched from the same path as the copy at `expected`.
    // beforeStart runs once the test's settings are written.
    void installThroughTheApp(const QString &home, const QString &installed, LoopbackHttpsServer &server,
                              const SignedFeedFiles &feed, const QByteArray &zipBytes, const QString &expected,
                              const QMap<QByteArray, QByteArray> &otherFiles = {},
                              const std::function<void()> &beforeStart = {});

public:
    // Before the application object: it starts threads.
    static void initMain() { becomeRootOfOwnUserNamespace(); }

private Q_SLOTS:
    void installsAndRelaunchesAsTheNewBuild_data();
    void installsAndRelaunchesAsTheNewBuild();
    void installsWhatMakeReleaseMade();
    void refusesAFeedWithoutItsSignature();
    void installsTheDeltaMakeReleaseMade();
};

// The second row: another program holds the settings lock through the
// whole update, while the check has a setting to remove (the last roll-back,
// which a newer build on offer makes stale): the old process still ends, and
// the new build is relaunched.
void tst_InstallEndToEnd::installsAndRelaunchesAsTheNewBuild_data()
{
    QTest::addColumn<bool>("settingsHeld");
    QTest::newRow("settings free") << false;
    QTest::newRow("settings held by another program") << true;
}

void tst_InstallEndToEnd::installsAndRelaunchesAsTheNewBuild()
{
    QFETCH(bool, settingsHeld);
    QVERIFY2(m_ca.error.isEmpty(), qPrintable(m_ca.error));
    // The app trusts the system's certificates (their folder, and their
    // file where it exists), so the loopback authority is put in a folder
    // bound over the system's, in a mount namespace of the app's own.
    if (const QString why = whyNoCertificateFolder(); !why.isEmpty())
        QSKIP(qPrintable(why));
    SigningFixture f;
    const QString row = settingsHeld ? QStringLiteral("locked-") : QString();
    const QString home = m_env.root() + QStringLiteral("/") + row + QStringLiteral("home");
    const QString applications = home + QStringLiteral("/Applications");
    const QString installed = f.signedCopyOfApp(applications, 500);
    QVERIFY(!installed.isEmpty());
    const QString next = f.signedCopyOfApp(m_env.root() + QStringLiteral("/") + row + QStringLiteral("release"), 501);
    QVERIFY(!next.isEmpty());
    const QString zip = m_env.root() + QStringLiteral("/Ferrowhistle-") + row + QStringLiteral("501.zip");
    writeReleaseArchive(next, zip);
    const QByteArray zipBytes = readBytes(zip);

    LoopbackHttpsServer server(&m_ca);
    QJsonObject record;
    record[QStringLiteral("version")] = QStringLiteral("1.0.1");
    record[QStringLiteral("build")] = 501;
    record[QStringLiteral("url")] = server.url(QStringLiteral("/Ferrowhistle-501.zip")).toString();
    record[QStringLiteral("sha256")] = QString::fromLatin1(QCryptographicHash::hash(zipBytes, QCryptographicHash::Sha256).toHex());

    // util-linux's flock on the real lock file, as a script would hold it.
    QProcess holder;
    const auto holdTheLock = [&] {
        const DefaultsStore settings = DefaultsStore::standard();
        settings.setValue(UpdaterDefaults::rolledBackKey(), QStringLiteral("400 0.9"));
        holder.start(QStringLiteral("flock"), {settings.path() + QStringLiteral(".lock"), QStringLiteral("-c"),
                                               QStringLiteral("echo held; read line")});
        QVERIFY(holder.waitForReadyRead(60000));
        QCOMPARE(holder.readLine().trimmed(), QByteArray("held"));
    };
    installThroughTheApp(home, installed, server, signedFeed(QJsonDocument(record).toJson(), f.developer.identityPem()), zipBytes,
                         next, {}, settingsHeld ? std::function<void()>(holdTheLock) : std::function<void()>());
    if (!settingsHeld)
        return;
    QCOMPARE(holder.state(), QProcess::Running);
    holder.closeWriteChannel();
    QVERIFY(holder.waitForFinished(60000));
}

// The zip of `make release` (its script, on this suite's build handed over
// as built: a Release build of its own would take minutes), installed by
// the real app over a copy of the build it was checked against (PREVIOUS). Its feed
// names an address of its own; served here, it names the server's.
void tst_InstallEndToEnd::installsWhatMakeReleaseMade()
{
    QVERIFY2(m_ca.error.isEmpty(), qPrintable(m_ca.error));
    if (const QString why = whyNoCertificateFolder(); !why.isEmpty())
        QSKIP(qPrintable(why));
    const SigningFixture f(TestReleases::keys());
    QVERIFY2(f.loadError().isEmpty(), qPrintable(f.loadError()));
    const QString home = m_env.root() + QStringLiteral("/home-of-release");
    const QString installed = copyInto(TestReleases::previous(), home + QStringLiteral("/Applications"));
    QVERIFY(!installed.isEmpty());
    LoopbackHttpsServer server(&m_ca);
    const QString out = TestReleases::release();
    installThroughTheApp(home, installed, server, TestReleases::servedFrom(out, server.url(QStringLiteral("/")).toString(), f),
                         readBytes(out + QStringLiteral("/Ferrowhistle-1.0.0-501.zip")), out + QStringLiteral("/Ferrowhistle.app"));
}

// The real app, which verifies its updates, given a feed without its
// signature: the check fails with its sentence, nothing is on offer, and the
// archive is never asked for.
void tst_InstallEndToEnd::refusesAFeedWithoutItsSignature()
{
    QVERIFY2(m_ca.error.isEmpty(), qPrintable(m_ca.error));
    if (const QString why = whyNoCertificateFolder(); !why.isEmpty())
        QSKIP(qPrintable(why));
    SigningFixture f;
    const QString home = m_env.root() + QStringLiteral("/home-unsigned-feed");
    const QString installed = f.signedCopyOfApp(home + QStringLiteral("/Applications"), 500);
    QVERIFY(!installed.isEmpty());
    const QByteArray zipBytes = "PK not looked at";

    LoopbackHttpsServer server(&m_ca);
    AppUnderUpdate app(m_env.root(), home, m_ca);
    QVERIFY2(app.error.isEmpty(), qPrintable(app.error));
    app.serve(server, feedFor(server, QStringLiteral("1.0.1"), 501, zipBytes, f.developer.identityPem()), zipBytes);
    const auto signedAnswer = server.handler;
    server.handler = [&](const LoopbackHttpsServer::Request &r) {
        return r.path.endsWith(".sig") ? LoopbackHttpsServer::Answer{LoopbackHttpsServer::response(404, "")} : signedAnswer(r);
    };
    QVERIFY(app.start(installed));

    QCOMPARE(app.action(actionId(AppAction::CheckForUpdates)).type(), QDBusMessage::ReplyMessage);
    QTRY_VERIFY_WITH_TIMEOUT(
        app.log().contains(QStringLiteral("Update check failed: The update feed's signature couldn't be read (HTTP 404).")), 60000);
    QCOMPARE(app.action(actionId(AppAction::InstallUpdate)).errorName(), BusNames::noUpdateOfferedError());
    QStringList paths;
    for (const LoopbackHttpsServer::Request &r : server.requests)
        paths << QString::fromUtf8(r.path);
    QCOMPARE(paths, (QStringList{"/appcast.json", "/appcast.json.sig"}));
    QCOMPARE(app.action(actionId(AppAction::Quit)).type(), QDBusMessage::ReplyMessage);
    QVERIFY(app.bus().waitForApp(false));
}

// `make release` with earlier releases beside it: a delta from the installed
// build went beside the zip and into the feed, the app installs from it
// without fetching the zip, and the release's bundle joined the earlier ones.
void tst_InstallEndToEnd::installsTheDeltaMakeReleaseMade()
{
    QVERIFY2(m_ca.error.isEmpty(), qPrintable(m_ca.error));
    if (const QString why = whyNoCertificateFolder(); !why.isEmpty())
        QSKIP(qPrintable(why));
    const SigningFixture f(TestReleases::keys());
    QVERIFY2(f.loadError().isEmpty(), qPrintable(f.loadError()));
    const QString home = m_env.root() + QStringLiteral("/home-of-delta");
    // The earlier release the delta was made from.
    const QString installed = copyInto(TestReleases::deltaBase(), home + QStringLiteral("/Applications"));
    QVERIFY(!installed.isEmpty());
    LoopbackHttpsServer server(&m_ca);
    const QString out = TestReleases::deltaRelease();
    const QString deltaName = QStringLiteral("Ferrowhistle-1.0.0-501-from-500.delta");
    const QByteArray delta = readBytes(out + u'/' + deltaName);
    QVERIFY(!delta.isEmpty());
    const SignedFeedFiles feed = TestReleases::servedFrom(out, server.url(QStringLiteral("/")).toString(), f);
    const Release release = Release::decode(feed.feed);
    QCOMPARE(release.deltas.size(), size_t(1));
    QCOMPARE(release.deltas[0].fromBuild, 500);
    QCOMPARE(release.deltas[0].url, server.url(QStringLiteral("/dl/") + deltaName));
    QCOMPARE(release.deltas[0].length, delta.size());
    QCOMPARE(snapshotTree(TestReleases::deltaPreviousReleases() + QStringLiteral("/501/Ferrowhistle.app")),
             snapshotTree(out + QStringLiteral("/Ferrowhistle.app")));

    installThroughTheApp(home, installed, server, feed, readBytes(out + QStringLiteral("/Ferrowhistle-1.0.0-501.zip")),
                         out + QStringLiteral("/Ferrowhistle.app"), {{"/dl/" + deltaName.toUtf8(), delta}});
    QStringList fetched;
    for (const LoopbackHttpsServer::Request &r : server.requests)
        fetched << QString::fromUtf8(r.path);
    QVERIFY2(fetched.contains(QStringLiteral("/dl/") + deltaName), qPrintable(fetched.join(u' ')));
    QVERIFY2(fetched.filter(QStringLiteral(".zip")).isEmpty(), qPrintable(fetched.join(u' ')));
}

void tst_InstallEndToEnd::installThroughTheApp(const QString &home, const QString &installed, LoopbackHttpsServer &server,
                                               const SignedFeedFiles &feed, const QByteArray &zipBytes, const QString &expected,
                                               const QMap<QByteArray, QByteArray> &otherFiles,
                                               const std::function<void()> &beforeStart)
{
    const QString applications = QFileInfo(installed).path();
    server.handler = [&](const LoopbackHttpsServer::Request &r) {
        if (otherFiles.contains(r.path))
            return LoopbackHttpsServer::Answer{LoopbackHttpsServer::response(200, otherFiles.value(r.path))};
        return releaseAnswer(r, feed, zipBytes);
    };
    const DefaultsStore settings = DefaultsStore::standard();
    settings.setValue(ReleaseFeed::kFeedURLKey, server.url(QStringLiteral("/appcast.json")).toString());
    settings.setValue(Updater::kAutomaticCheckKey, false);
    const QString caFile = m_env.root() + QStringLiteral("/loopback-ca.pem");
    writeBytes(caFile, m_ca.ca.toPem());
    if (beforeStart)
        beforeStart();

    const QString busRoot = home + QStringLiteral("-bus");
    QDir().mkpath(busRoot);
    PrivateBus bus(busRoot, busRoot + QStringLiteral("/services"));
    QVERIFY(bus.isRunning());
    QProcessEnvironment env = bus.environment();
    env.insert(QStringLiteral("HOME"), home);
    // The relaunched process inherits the mount namespace; the system's
    // certificate file is not there.
    const QString certs = m_env.root() + QStringLiteral("/certs");
    QDir().mkpath(certs);
    QProcess hash;
    hash.start(QStringLiteral("openssl"), {QStringLiteral("x509"), QStringLiteral("-hash"), QStringLiteral("-noout"), QStringLiteral("-in"), caFile});
    QVERIFY(hash.waitForFinished() && hash.exitCode() == 0);
    const QString hashed = certs + u'/' + QString::fromLatin1(hash.readAll().trimmed()) + QStringLiteral(".0");
    QVERIFY(QFileInfo::exists(hashed) || QFile::copy(caFile, hashed));
    QProcess app;
    app.setProcessEnvironment(env);
    app.setProcessChannelMode(QProcess::ForwardedChannels);
    app.start(QStringLiteral("unshare"), {QStringLiteral("--mount"), QStringLiteral("--propagation"), QStringLiteral("private"),
                                          QStringLiteral("/bin/sh"), QStringLiteral("-c"),
                                          QStringLiteral("mount --bind \"$1\" /etc/ssl/certs && exec \"$0\""),
                                          installed + QStringLiteral("/Contents/bin/Ferrowhistle"), certs});
    QVERIFY(bus.waitForApp(true));
    const qint64 firstPid = bus.appPid();

    QDBusConnection c = bus.connection();
    QCOMPARE(c.call(action(actionId(AppAction::CheckForUpdates))).type(), QDBusMessage::ReplyMessage);
    // Offered once the check has read the feed; until then the action says
    // that nothing is on offer.
    QDBusMessage reply;
    bool answered = false;
    auto tryInstall = [&] {
        if (!answered) {
            reply = c.call(action(actionId(AppAction::InstallUpdate)));
            answered = reply.errorName() != BusNames::noUpdateOfferedError();
        }
        return answered;
    };
    QTRY_VERIFY_WITH_TIMEOUT(tryInstall(), 60000);
    QCOMPARE(reply.type(), QDBusMessage::ReplyMessage);

    // The old process leaves through its event loop; a new one takes the name.
    QTRY_COMPARE_WITH_TIMEOUT(app.state(), QProcess::NotRunning, 120000);
    QCOMPARE(app.exitStatus(), QProcess::NormalExit);
    QCOMPARE(app.exitCode(), 0);
    QTRY_VERIFY_WITH_TIMEOUT(bus.appPid() != 0 && bus.appPid() != firstPid, 60000);
    // The kept copy's watch ends once the new copy has recorded its start; a
    // quit before that would count as a start that failed.
    QTRY_VERIFY_WITH_TIMEOUT(!AppUnderUpdate::watchRuns(installed), 120000);
    const qint64 newPid = bus.appPid();
    QCOMPARE(QFileInfo(QStringLiteral("/proc/%1/exe").arg(newPid)).symLinkTarget(),
             installed + QStringLiteral("/Contents/bin/Ferrowhistle"));
    QCOMPARE(Bundle::atPath(installed).infoString(QStringLiteral("CFBundleVersion")), QStringLiteral("501"));
    QCOMPARE(snapshotTree(installed), snapshotTree(expected));
    QCOMPARE(entriesWithPrefix(applications, QStringLiteral(".Ferrowhistle-update-")), QStringList());
    QCOMPARE(entriesWithPrefix(m_env.tmpDir() + QStringLiteral("/ferrowhistle-%1").arg(::geteuid()), QStringLiteral("Ferrowhistle-update-")),
             QStringList());

    // The new build answers, and nothing is on offer any more.
    QCOMPARE(c.call(action(actionId(AppAction::InstallUpdate))).errorName(), BusNames::noUpdateOfferedError());
    QCOMPARE(c.call(action(actionId(AppAction::Quit))).type(), QDBusMessage::ReplyMessage);
    QVERIFY(bus.waitForApp(false));
    QCOMPARE(Bundle::atPath(installed).infoString(QStringLiteral("CFBundleVersion")), QStringLiteral("501"));
}

QTEST_GUILESS_MAIN(tst_InstallEndToEnd)
#include "tst_InstallEndToEnd.moc"
