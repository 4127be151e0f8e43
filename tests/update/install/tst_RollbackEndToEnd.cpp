// Releases that pass every check and still don't start, installed by the
// real app (build 500, signed, in an Applications folder) from a feed on
// loopback HTTPS: each ends with build 500 running again from the same
// path, its tree as it was, the journal line, and no offer from the next
// check. Also the revert of a good update and back, with D-Bus.

#include "AppUnderUpdate.h"
#include "../../codesign/SigningFixture.h"

#include "BundleSigner.h"
#include "ReleasePackage.h"
#include "intent/BusNames.h"
#include "location/DesktopIntegration.h"
#include "platform/Bundle.h"
#include "app/AppActions.h"
#include "support/FileTrees.h"
#include "support/TestEnvironment.h"
#include "update/Updater.h"

#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

namespace {

void writeScript(const QString &path, const QByteArray &script)
{
    writeBytes(path, "#!/bin/sh\n" + script);
    ::chmod(QFile::encodeName(path).constData(), 0755);
}

QString buildAt(const QString &bundle)
{
    return Bundle::atPath(bundle).infoString(QStringLiteral("CFBundleVersion")).value_or(QString());
}

// Asks for a check, then for the install of what it offers: asked again
// until the check has read the feed, and never again once it was taken.
void installOnceOffered(AppUnderUpdate &app)
{
    QCOMPARE(app.action(actionId(AppAction::CheckForUpdates)).type(), QDBusMessage::ReplyMessage);
    QDBusMessage reply;
    bool answered = false;
    auto tryInstall = [&] {
        if (!answered) {
            reply = app.action(actionId(AppAction::InstallUpdate));
            answered = reply.errorName() != BusNames::noUpdateOfferedError();
        }
        return answered;
    };
    QTRY_VERIFY2_WITH_TIMEOUT(tryInstall(), qPrintable(app.log().join(u'\n')), 60000);
    QCOMPARE(reply.type(), QDBusMessage::ReplyMessage);
}

} // namespace

class tst_RollbackEndToEnd : public QObject {
    Q_OBJECT
    TestEnvironment m_env;
    TestCertificateAuthority m_ca;
    int m_n = 0;

    // The release archive of bundle, as served.
    QByteArray archived(const QString &bundle, const QString &name) const
    {
        const QString zip = m_env.root() + QStringLiteral("/Ferrowhistle-501-%1.zip").arg(name);
        writeReleaseArchive(bundle, zip);
        return readBytes(zip);
    }

public:
    // Before the application object: it starts threads.
    static void initMain() { becomeRootOfOwnUserNamespace(); }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY2(m_ca.error.isEmpty(), qPrintable(m_ca.error));
        if (const QString why = whyNoCertificateFolder(); !why.isEmpty())
            QSKIP(qPrintable(why));
    }
    void aReleaseThatDoesNotStartIsPutBack_data();
    void aReleaseThatDoesNotStartIsPutBack();
    void aGoodReleaseStaysAndCanBeReverted();
    void aRevertToABuildThatDoesNotStartBringsTheNewerOneBack();
};

void tst_RollbackEndToEnd::aReleaseThatDoesNotStartIsPutBack_data()
{
    QTest::addColumn<QString>("breakage");
    QTest::newRow("dies of SIGSEGV at start") << QStringLiteral("sigsegv");
    QTest::newRow("updater module missing") << QStringLiteral("no module");
    QTest::newRow("updater module can't be loaded") << QStringLiteral("bad module");
    QTest::newRow("hangs before its launch settles") << QStringLiteral("hang");
    QTest::newRow("program missing") << QStringLiteral("no program");
    QTest::newRow("program not executable") << QStringLiteral("not executable");
}

void tst_RollbackEndToEnd::aReleaseThatDoesNotStartIsPutBack()
{
    QFETCH(QString, breakage);
    SigningFixture f;
    const QString home = m_env.root() + QStringLiteral("/home-%1").arg(++m_n);
    const QString installed = f.signedCopyOfApp(home + QStringLiteral("/Applications"), 500);
    QVERIFY(!installed.isEmpty());
    const QString applications = QFileInfo(installed).path();
    const QMap<QString, QByteArray> before = snapshotTree(installed);

    // Build 501, broken, then signed and notarized: it passes every check.
    const QString next = f.unsignedCopyOfApp(m_env.root() + QStringLiteral("/release-%1").arg(m_n), 501);
    QVERIFY(!next.isEmpty());
    const QString program = next + QStringLiteral("/Contents/bin/Ferrowhistle");
    const QString module = next + QStringLiteral("/Contents/lib/ferrowhistle-updater.so");
    if (breakage == u"sigsegv")
        writeScript(program, "kill -SEGV $$\n");
    else if (breakage == u"no module")
        QVERIFY(QFile::remove(module));
    else if (breakage == u"bad module")
        writeBytes(module, "not a shared object");
    else if (breakage == u"hang")
        writeScript(program, "exec sleep 600\n");
    else if (breakage == u"no program")
        QVERIFY(QFile::remove(program));
    else if (breakage == u"not executable")
        QCOMPARE(::chmod(QFile::encodeName(program).constData(), 0644), 0);
    signBundle(next, f.developer.identityPem());
    notarizeBundle(next, f.notary.identityPem());
    const QByteArray zipBytes = archived(next, QString::number(m_n));

    LoopbackHttpsServer server(&m_ca);
    AppUnderUpdate app(m_env.root(), home, m_ca);
    QVERIFY2(app.error.isEmpty(), qPrintable(app.error));
    // The hang is given 5 seconds, not a minute, to prove its start.
    app.environment.insert(QString::fromLatin1(Updater::kStartLimitVariable), QStringLiteral("5000"));
    app.serve(server, feedFor(server, QStringLiteral("1.0.1"), 501, zipBytes, f.developer.identityPem()), zipBytes);
    QVERIFY(app.start(installed));

    installOnceOffered(app);
    if (QTest::currentTestFailed())
        return;

    // Build 500 runs again, from the same path, once the watch is done.
    QTRY_VERIFY_WITH_TIMEOUT(app.log().contains(QStringLiteral("Update to 1.0.0 (501) didn't start, so 1.0.0 (500) was put back.")),
                             120000);
    QTRY_VERIFY_WITH_TIMEOUT(!AppUnderUpdate::watchRuns(installed), 30000);
    QTRY_VERIFY_WITH_TIMEOUT(app.bus().appPid() != 0 && app.bus().appPid() != app.firstPid(), 60000);
    const qint64 pid = app.bus().appPid();
    QCOMPARE(QFileInfo(QStringLiteral("/proc/%1/exe").arg(pid)).symLinkTarget(), installed + QStringLiteral("/Contents/bin/Ferrowhistle"));
    QCOMPARE(buildAt(installed), QStringLiteral("500"));
    QCOMPARE(snapshotTree(installed), before);
    QCOMPARE(entriesWithPrefix(applications, QStringLiteral(".Ferrowhistle-")), QStringList());

    // Not offered again: the check refuses it, and nothing is on offer.
    QCOMPARE(app.action(actionId(AppAction::CheckForUpdates)).type(), QDBusMessage::ReplyMessage);
    QTRY_VERIFY_WITH_TIMEOUT(app.log().contains(
                                 QStringLiteral("Update 1.0.1 (501) didn't start on this computer before, so it isn't offered")),
                             60000);
    QCOMPARE(app.action(actionId(AppAction::InstallUpdate)).errorName(), BusNames::noUpdateOfferedError());
    // Nothing is kept: there is nothing to revert to.
    QCOMPARE(app.action(actionId(AppAction::RevertUpdate)).errorName(), BusNames::nothingKeptError());
    QCOMPARE(app.action(actionId(AppAction::Quit)).type(), QDBusMessage::ReplyMessage);
    QVERIFY(app.bus().waitForApp(false));
    QCOMPARE(snapshotTree(installed), before);
}

// A release that starts records it; quitting it afterwards changes nothing.
// Reverting puts build 500 back, whole, from the same path; after that
// nothing is kept, and the action says so.
void tst_RollbackEndToEnd::aGoodReleaseStaysAndCanBeReverted()
{
    SigningFixture f;
    const QString home = m_env.root() + QStringLiteral("/home-good");
    const QString installed = f.signedCopyOfApp(home + QStringLiteral("/Applications"), 500);
    QVERIFY(!installed.isEmpty());
    const QString applications = QFileInfo(installed).path();
    const QString previous = applications + QStringLiteral("/.Ferrowhistle-previous.app");
    const QMap<QString, QByteArray> before = snapshotTree(installed);
    const QString next = f.signedCopyOfApp(m_env.root() + QStringLiteral("/release-good"), 501);
    QVERIFY(!next.isEmpty());
    const QByteArray zipBytes = archived(next, QStringLiteral("good"));

    LoopbackHttpsServer server(&m_ca);
    AppUnderUpdate app(m_env.root(), home, m_ca);
    QVERIFY2(app.error.isEmpty(), qPrintable(app.error));
    // Registered with the desktop: the launcher lists the revert only while
    // a copy is kept.
    const QString dataHome = home + QStringLiteral("/data");
    app.environment.insert(QStringLiteral("XDG_DATA_HOME"), dataHome);
    QProcess registering;
    registering.setProcessEnvironment(app.environment);
    registering.start(installed + QStringLiteral("/Contents/bin/Ferrowhistle"), {QStringLiteral("--register-with-desktop")});
    QVERIFY(registering.waitForFinished(60000) && registering.exitCode() == 0);
    const QString entry = desktopEntryPath(dataHome);
    auto listsRevert = [&] { return readBytes(entry).contains("Actions=show-test-message;settings;revert-update;quit;"); };
    QVERIFY(readBytes(entry).contains("Actions=show-test-message;settings;quit;"));
    app.serve(server, feedFor(server, QStringLiteral("1.0.1"), 501, zipBytes, f.developer.identityPem()), zipBytes);
    QVERIFY(app.start(installed));
    QCOMPARE(app.action(actionId(AppAction::RevertUpdate)).errorName(), BusNames::nothingKeptError());
    installOnceOffered(app);
    if (QTest::currentTestFailed())
        return;

    QTRY_VERIFY_WITH_TIMEOUT(app.log().contains(QStringLiteral("Update to 1.0.0 (501) started; 1.0.0 (500) is kept beside it")),
                             120000);
    QTRY_VERIFY_WITH_TIMEOUT(!AppUnderUpdate::watchRuns(installed), 30000);
    const qint64 newPid = app.bus().appPid();
    QVERIFY(newPid != 0 && newPid != app.firstPid());
    QCOMPARE(buildAt(installed), QStringLiteral("501"));
    QCOMPARE(snapshotTree(installed), snapshotTree(next));
    QCOMPARE(snapshotTree(previous), before);
    QTRY_VERIFY_WITH_TIMEOUT(listsRevert(), 30000);

    // A quit after the record is no failure.
    QCOMPARE(app.action(actionId(AppAction::Quit)).type(), QDBusMessage::ReplyMessage);
    QVERIFY(app.bus().waitForApp(false));
    QCOMPARE(buildAt(installed), QStringLiteral("501"));
    QCOMPARE(snapshotTree(previous), before);
    QVERIFY(!app.log().join(u'\n').contains(QStringLiteral("was put back")));

    // Started again (by hand this time), it reverts on request.
    AppUnderUpdate again(m_env.root(), home + QStringLiteral("-again"), m_ca);
    QVERIFY2(again.error.isEmpty(), qPrintable(again.error));
    again.environment.insert(QStringLiteral("HOME"), home);
    again.environment.insert(QStringLiteral("XDG_DATA_HOME"), dataHome);
    QVERIFY(again.start(installed));
    QCOMPARE(again.action(actionId(AppAction::RevertUpdate)).type(), QDBusMessage::ReplyMessage);
    QTRY_VERIFY_WITH_TIMEOUT(again.bus().appPid() != 0 && again.bus().appPid() != again.firstPid(), 120000);
    QCOMPARE(buildAt(installed), QStringLiteral("500"));
    QCOMPARE(snapshotTree(installed), before);
    QVERIFY(again.log().contains(QStringLiteral("Reverted to 1.0.0 (500); relaunching")));
    // The newer copy stays kept until the older one has shown that it starts.
    QTRY_VERIFY_WITH_TIMEOUT(again.log().contains(QStringLiteral("Revert to 1.0.0 (500) started; 1.0.0 (501) is no longer kept")),
                             120000);
    QTRY_VERIFY_WITH_TIMEOUT(!AppUnderUpdate::watchRuns(installed), 30000);
    QCOMPARE(entriesWithPrefix(applications, QStringLiteral(".Ferrowhistle-")), QStringList());
    QTRY_VERIFY_WITH_TIMEOUT(!readBytes(entry).contains("revert-update"), 30000);
    QVERIFY(readBytes(entry).contains("Actions=show-test-message;settings;quit;"));
    QCOMPARE(again.action(actionId(AppAction::RevertUpdate)).errorName(), BusNames::nothingKeptError());
    QCOMPARE(again.action(actionId(AppAction::Quit)).type(), QDBusMessage::ReplyMessage);
    QVERIFY(again.bus().waitForApp(false));
}

// Build 500 runs, installs 501, and is asked back; but 500 no longer starts
// on what 501 left behind (a file stands for that here). The revert is
// watched like an update, so 501 comes back and runs from the same path.
void tst_RollbackEndToEnd::aRevertToABuildThatDoesNotStartBringsTheNewerOneBack()
{
    SigningFixture f;
    const QString home = m_env.root() + QStringLiteral("/home-revert");
    const QString installed = f.unsignedCopyOfApp(home + QStringLiteral("/Applications"), 500);
    QVERIFY(!installed.isEmpty());
    const QString applications = QFileInfo(installed).path();
    const QString marker = applications + QStringLiteral("/500-cannot-start");
    const QString program = installed + QStringLiteral("/Contents/bin/Ferrowhistle");
    QVERIFY(QFile::rename(program, program + QStringLiteral(".real")));
    // Its watch mode still runs: that is the code that brought 501 in.
    writeScript(program, "here=$(dirname \"$0\")\n"
                         "if [ \"$1\" != --watch-start ] && [ -e \"$here/../../../500-cannot-start\" ]; then kill -SEGV $$; fi\n"
                         "exec \"$here/Ferrowhistle.real\" \"$@\"\n");
    signBundle(installed, f.developer.identityPem());
    notarizeBundle(installed, f.notary.identityPem());
    const QString next = f.signedCopyOfApp(m_env.root() + QStringLiteral("/release-revert"), 501);
    QVERIFY(!next.isEmpty());
    const QByteArray zipBytes = archived(next, QStringLiteral("revert"));

    LoopbackHttpsServer server(&m_ca);
    AppUnderUpdate app(m_env.root(), home, m_ca);
    QVERIFY2(app.error.isEmpty(), qPrintable(app.error));
    app.serve(server, feedFor(server, QStringLiteral("1.0.1"), 501, zipBytes, f.developer.identityPem()), zipBytes);
    QVERIFY(app.start(installed));
    installOnceOffered(app);
    if (QTest::currentTestFailed())
        return;
    QTRY_VERIFY_WITH_TIMEOUT(app.log().contains(QStringLiteral("Update to 1.0.0 (501) started; 1.0.0 (500) is kept beside it")),
                             120000);
    QTRY_VERIFY_WITH_TIMEOUT(!AppUnderUpdate::watchRuns(installed), 30000);
    const qint64 updated = app.bus().appPid();
    QCOMPARE(buildAt(installed), QStringLiteral("501"));

    writeBytes(marker, "");
    QCOMPARE(app.action(actionId(AppAction::RevertUpdate)).type(), QDBusMessage::ReplyMessage);
    QTRY_VERIFY2_WITH_TIMEOUT(app.log().contains(QStringLiteral("Revert to 1.0.0 (500) didn't start, so 1.0.0 (501) was put back.")),
                              qPrintable(app.log().join(u'\n')), 120000);
    QTRY_VERIFY_WITH_TIMEOUT(!AppUnderUpdate::watchRuns(installed), 30000);
    QTRY_VERIFY_WITH_TIMEOUT(app.bus().appPid() != 0 && app.bus().appPid() != updated, 60000);
    QCOMPARE(QFileInfo(QStringLiteral("/proc/%1/exe").arg(app.bus().appPid())).symLinkTarget(), program);
    QCOMPARE(buildAt(installed), QStringLiteral("501"));
    QCOMPARE(snapshotTree(installed), snapshotTree(next));
    // The build that didn't start is not kept; nothing is held against 501.
    QCOMPARE(entriesWithPrefix(applications, QStringLiteral(".Ferrowhistle-")), QStringList());
    QVERIFY(!app.log().join(u'\n').contains(QStringLiteral("Update to 1.0.0 (501) didn't start")));
    QCOMPARE(app.action(actionId(AppAction::Quit)).type(), QDBusMessage::ReplyMessage);
    QVERIFY(app.bus().waitForApp(false));
}

QTEST_GUILESS_MAIN(tst_RollbackEndToEnd)
#include "tst_RollbackEndToEnd.moc"
