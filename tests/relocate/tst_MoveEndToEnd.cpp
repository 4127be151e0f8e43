// The move as a user meets it: the real app, signed, started from a
// read-only medium under /media (a mount of the test's own), asks whether to
// move; real key presses on the X server answer. Not Now lets the launch go
// on; Return copies it into ~/Applications, registers that copy with the
// desktop and relaunches it from there, where it does not ask again.
#include "../codesign/SigningFixture.h"

#include "codesign/CodeSigning.h"
#include "intent/BusNames.h"
#include "app/AppActions.h"
#include "location/DesktopIntegration.h"
#include "support/FileTrees.h"
#include "support/PrivateBus.h"
#include "support/TestEnvironment.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QtTest>

#include <unistd.h>

namespace {

QString xdotool(const QStringList &args)
{
    QProcess p;
    p.start(QStringLiteral("xdotool"), args);
    if (!p.waitForFinished(10000) || p.exitCode() != 0)
        return {};
    return QString::fromUtf8(p.readAllStandardOutput()).trimmed();
}

// The question comes to the front with the keyboard focus: a key pressed
// now goes to it, as the user's would.
bool pressInFocusedDialog(const QString &key)
{
    const auto focused = [] { return xdotool({QStringLiteral("getwindowfocus"), QStringLiteral("getwindowname")}) == QLatin1String("Ferrowhistle"); };
    return QTest::qWaitFor(focused, 60000) && QProcess::execute(QStringLiteral("xdotool"), {QStringLiteral("key"), key}) == 0;
}

QDBusMessage quitAction()
{
    QDBusMessage m = QDBusMessage::createMethodCall(BusNames::service(), BusNames::objectPath(),
                                                    BusNames::applicationInterface(), QStringLiteral("ActivateAction"));
    m.setArguments({actionId(AppAction::Quit), QVariant::fromValue(QVariantList()), QVariant::fromValue(QVariantMap())});
    return m;
}

} // namespace

class tst_MoveEndToEnd : public QObject {
    Q_OBJECT
    TestEnvironment m_env;
    SigningFixture m_fixture;
    QString m_home;
    QString m_dataHome;
    QString m_app; // the signed copy that goes onto the medium
    std::unique_ptr<PrivateBus> m_bus;

    // Starts the app from /media/USB Stick/ in a mount namespace of its own
    // (the relaunched copy inherits it). The journal is out of reach there,
    // so the app's log lines come on its standard error.
    // Its output goes to a file: the relaunched copy writes on after the
    // first process has gone, which a pipe would answer with SIGPIPE.
    void startFromMedium(QProcess &app, const QStringList &arguments, const QString &output)
    {
        QProcessEnvironment env = m_bus->environment();
        env.insert(QStringLiteral("HOME"), m_home);
        env.insert(QStringLiteral("XDG_DATA_HOME"), m_dataHome);
        app.setProcessEnvironment(env);
        app.setProcessChannelMode(QProcess::MergedChannels);
        app.setStandardOutputFile(output);
        const QString script = QStringLiteral(
            "set -e; mkdir -p /media; mount -t tmpfs tmpfs /media; mkdir '/media/USB Stick';"
            "cp -a \"$0\" '/media/USB Stick/'; mount -o remount,ro /media;"
            "if [ -d /run/systemd/journal ]; then mount -t tmpfs tmpfs /run/systemd/journal; fi;"
            "exec '/media/USB Stick/Ferrowhistle.app/Contents/bin/Ferrowhistle' \"$@\"");
        app.start(QStringLiteral("unshare"), QStringList{QStringLiteral("--mount"), QStringLiteral("--propagation"),
                                                        QStringLiteral("private"), QStringLiteral("/bin/sh"),
                                                        QStringLiteral("-c"), script, m_app}
                                                 + arguments);
    }

    QString exeOf(qint64 pid) { return QFileInfo(QStringLiteral("/proc/%1/exe").arg(pid)).symLinkTarget(); }

private Q_SLOTS:
    void initTestCase()
    {
        if (::geteuid() != 0)
            QSKIP("a medium under /media of the test's own needs root (a mount namespace)");
        // Blanks, quotes and a dollar sign on the way to the moved copy: the
        // relaunch and the desktop files must carry them.
        m_home = m_env.root() + QStringLiteral("/home of 'Ann' $USER");
        m_dataHome = m_env.root() + QStringLiteral("/data");
        QVERIFY(QDir().mkpath(m_home));
        // The activation folder exists before the bus starts, so that it
        // watches it.
        QVERIFY(QDir().mkpath(m_dataHome + QStringLiteral("/dbus-1/services")));
        m_app = m_fixture.signedCopyOfApp(m_env.root() + QStringLiteral("/signed"), 700);
        QVERIFY(!m_app.isEmpty());
        m_bus = std::make_unique<PrivateBus>(m_env.root(), m_dataHome + QStringLiteral("/dbus-1/services"));
        QVERIFY(m_bus->isRunning());
    }

    void notNowLetsTheLaunchGoOn();
    void returnMovesAndRelaunchesFromApplications();
};

void tst_MoveEndToEnd::notNowLetsTheLaunchGoOn()
{
    const auto before = snapshotTree(m_home);
    m_env.clearDebugLog();
    QProcess app;
    const QString output = m_env.root() + QStringLiteral("/not-now.out");
    startFromMedium(app, {QStringLiteral("--test-message"), QStringLiteral("still here")}, output);
    QVERIFY(m_bus->waitForApp(true));
    QVERIFY(pressInFocusedDialog(QStringLiteral("Escape")));

    // The launch went on: the message from the command line is shown.
    QTRY_VERIFY_WITH_TIMEOUT(m_env.debugLogMessages().join(u'\n').contains(QStringLiteral("after orderFront: isVisible=true")), 30000);
    QVERIFY(m_env.debugLogMessages().join(u'\n').contains(QStringLiteral("show() message=\"still here\"")));
    QCOMPARE(snapshotTree(m_home), before);
    QCOMPARE(m_bus->connection().call(quitAction()).type(), QDBusMessage::ReplyMessage);
    QTRY_COMPARE_WITH_TIMEOUT(app.state(), QProcess::NotRunning, 30000);
    QCOMPARE(app.exitCode(), 0);
    QVERIFY2(!readBytes(output).contains("Moved to"), "moved without being asked to");
}

void tst_MoveEndToEnd::returnMovesAndRelaunchesFromApplications()
{
    const QString moved = m_home + QStringLiteral("/Applications/Ferrowhistle.app");
    const QString movedProgram = moved + QStringLiteral("/Contents/bin/Ferrowhistle");
    m_env.clearDebugLog();
    QProcess app;
    const QString outputFile = m_env.root() + QStringLiteral("/move.out");
    startFromMedium(app, {}, outputFile);
    QVERIFY(m_bus->waitForApp(true));
    const qint64 firstPid = m_bus->appPid();
    QVERIFY(exeOf(firstPid).startsWith(QStringLiteral("/media/USB Stick/")));
    QVERIFY(pressInFocusedDialog(QStringLiteral("Return")));

    // The old process leaves through its event loop; the moved copy takes the name.
    QTRY_COMPARE_WITH_TIMEOUT(app.state(), QProcess::NotRunning, 120000);
    QCOMPARE(app.exitStatus(), QProcess::NormalExit);
    QCOMPARE(app.exitCode(), 0);
    const QByteArray output = readBytes(outputFile);
    QVERIFY2(output.contains("Ferrowhistle: Moved to " + moved.toUtf8() + " from the disk image; relaunching"), output.constData());
    QTRY_VERIFY_WITH_TIMEOUT(m_bus->appPid() != 0 && m_bus->appPid() != firstPid, 60000);
    QCOMPARE(exeOf(m_bus->appPid()), movedProgram);

    QCOMPARE(snapshotTree(moved), snapshotTree(m_app));
    verifySignature(moved, Bundle::atPath(moved));
    QCOMPARE(entriesWithPrefix(m_home + QStringLiteral("/Applications"), QStringLiteral(".Ferrowhistle-move-")), QStringList());

    // From Applications it does not ask: its launch runs to the end at once,
    // and no dialog has the focus.
    QTRY_COMPARE_WITH_TIMEOUT(m_env.debugLogMessages().filter(QStringLiteral("applicationDidFinishLaunching")).size(), 2, 30000);
    QDBusMessage ping = QDBusMessage::createMethodCall(BusNames::service(), BusNames::objectPath(),
                                                       QStringLiteral("org.freedesktop.DBus.Introspectable"), QStringLiteral("Introspect"));
    QCOMPARE(m_bus->connection().call(ping).type(), QDBusMessage::ReplyMessage);
    QVERIFY(xdotool({QStringLiteral("getwindowfocus"), QStringLiteral("getwindowname")}) != QLatin1String("Ferrowhistle"));

    // The desktop now starts the moved copy: D-Bus activation through the
    // rewritten service file, after it has quit.
    const QByteArray entry = desktopEntryText(movedProgram, QStringLiteral("/icon.png"), launcherActions(false));
    const qsizetype exec = entry.indexOf("\nExec=");
    QVERIFY(readBytes(desktopEntryPath(m_dataHome)).contains(entry.mid(exec, entry.indexOf('\n', exec + 1) - exec)));
    // So does the session at login, from the entry the move wrote.
    const QString autostart = autostartEntryPath(userConfigHome());
    QVERIFY(autostartStartsBundle(moved, userConfigHome()));
    QCOMPARE(m_bus->connection().call(quitAction()).type(), QDBusMessage::ReplyMessage);
    QVERIFY(m_bus->waitForApp(false));
    // A user who turned start at login off stays off: a start writes nothing.
    QVERIFY(QFile::remove(autostart));
    m_bus->connection().interface()->call(QStringLiteral("ReloadConfig"));
    QCOMPARE(m_bus->connection().interface()->startService(BusNames::service()).error().type(), QDBusError::NoError);
    QVERIFY(m_bus->waitForApp(true));
    QCOMPARE(exeOf(m_bus->appPid()), movedProgram);
    QTRY_VERIFY_WITH_TIMEOUT(m_env.debugLogMessages().filter(QStringLiteral("applicationDidFinishLaunching")).size() == 3, 30000);
    QCOMPARE(m_bus->connection().call(quitAction()).type(), QDBusMessage::ReplyMessage);
    QVERIFY(m_bus->waitForApp(false));
    QVERIFY(!QFileInfo::exists(autostart));
}

QTEST_GUILESS_MAIN(tst_MoveEndToEnd)
#include "tst_MoveEndToEnd.moc"
