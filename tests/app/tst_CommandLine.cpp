// What the app does with its command line before it starts: help, version
// and usage errors print and exit without a display, without starting or
// reaching an instance; a missing display is one line and status 1.
#include "app/LaunchOptions.h"
#include "app/TrayMenu.h"
#include "support/PrivateBus.h"
#include "support/ProgramRun.h"
#include "support/TestEnvironment.h"

#include <QTest>

#include <memory>

namespace {

ProgramRun runApp(const QStringList &args, const QProcessEnvironment &env)
{
    return runToEnd(bundleProgram(QStringLiteral("Ferrowhistle")), args, env, 30000);
}

} // namespace

class TestCommandLine : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void valuesAreNeverOptions();
    void printsAndExitsWithoutStarting_data();
    void printsAndExitsWithoutStarting();
    void withoutDisplaySaysSoAndFails();

private:
    TestEnvironment m_env;
    // A running instance on a bus of the test's own: none of the launches
    // below may reach it.
    std::unique_ptr<PrivateBus> m_bus;
    QProcess m_first;
};

void TestCommandLine::initTestCase()
{
    m_bus = std::make_unique<PrivateBus>(m_env.root() + QStringLiteral("/bus"), m_env.root() + QStringLiteral("/none"));
    m_first.setProcessEnvironment(m_bus->environment());
    m_first.start(bundleProgram(QStringLiteral("Ferrowhistle")));
    QVERIFY(m_bus->waitForApp(true));
    // The last line of its start: the tray, put up once the launch has
    // settled (Xvfb has no tray to hold it). Nothing is logged after it.
    QTRY_VERIFY_WITH_TIMEOUT(m_env.debugLogMessages().contains(TrayMenu::noTrayLogLine()), 30000);
}

void TestCommandLine::cleanupTestCase()
{
    m_bus->stopApp();
    QTRY_COMPARE_WITH_TIMEOUT(m_first.state(), QProcess::NotRunning, 30000);
    m_bus.reset();
}

void TestCommandLine::valuesAreNeverOptions()
{
    const QString app = QStringLiteral("/x/Ferrowhistle");
    QCOMPARE(launchModeOf({app, QStringLiteral("--test-message"), QStringLiteral("--help")}).kind, LaunchMode::Run);
    QCOMPARE(launchModeOf({app, QStringLiteral("--position"), QStringLiteral("--version")}).kind, LaunchMode::Run);
    QCOMPARE(launchModeOf({app, QStringLiteral("--test-message"), QStringLiteral("x"), QStringLiteral("--help")}).kind,
             LaunchMode::Help);
    const LaunchMode action = launchModeOf({app, QStringLiteral("--action"), QStringLiteral("quit"),
                                            QStringLiteral("--action"), QStringLiteral("show-test-message")});
    QCOMPARE(action.kind, LaunchMode::Run);
    QCOMPARE(action.action, QStringLiteral("quit"));
    QCOMPARE(launchModeOf({app, QStringLiteral("--action")}).kind, LaunchMode::UsageError);
}

void TestCommandLine::printsAndExitsWithoutStarting_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("out");
    QTest::addColumn<QString>("err");
    QTest::newRow("--help") << QStringList{"--help"} << 0 << "Usage: Ferrowhistle" << "";
    QTest::newRow("-h after a message") << QStringList{"--test-message", "x", "-h"} << 0 << "--action NAME" << "";
    QTest::newRow("--version") << QStringList{"--version"} << 0 << "Ferrowhistle 1." << "";
    QTest::newRow("unknown action") << QStringList{"--action", "dance"} << 2 << ""
                                    << "unknown action \"dance\"; actions: show-test-message, settings, check-for-updates, install-update, revert-update, quit";
    QTest::newRow("action without name") << QStringList{"--action"} << 2 << "" << "--action needs the name";
}

void TestCommandLine::printsAndExitsWithoutStarting()
{
    QFETCH(QStringList, args);
    QFETCH(int, exitCode);
    QFETCH(QString, out);
    QFETCH(QString, err);
    m_env.clearDebugLog();
    QProcessEnvironment env = m_bus->environment();
    env.remove(QStringLiteral("DISPLAY"));

    const ProgramRun r = runApp(args, env);
    QVERIFY(!r.crashed);
    QCOMPARE(r.exitCode, exitCode);
    QVERIFY2(out.isEmpty() ? r.out.isEmpty() : r.out.contains(out), qPrintable(r.out));
    QVERIFY2(err.isEmpty() ? r.err.isEmpty() : r.err.contains(err), qPrintable(r.err));
    // Neither a start of its own nor a hand-over was logged.
    QVERIFY2(m_env.debugLogMessages().isEmpty(), qPrintable(m_env.debugLogMessages().join(u'\n')));
    QVERIFY(m_bus->appPid() > 0);
}

void TestCommandLine::withoutDisplaySaysSoAndFails()
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("DISPLAY"));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    env.remove(QStringLiteral("QT_QPA_PLATFORM"));
    ProgramRun r = runApp({QStringLiteral("--test-message"), QStringLiteral("nowhere")}, env);
    QVERIFY(!r.crashed);
    QCOMPARE(r.exitCode, 1);
    QCOMPARE(r.err, QStringLiteral("Ferrowhistle: no display: DISPLAY is not set\n"));

    // A display that is named but not there.
    env.insert(QStringLiteral("DISPLAY"), QStringLiteral(":4242"));
    r = runApp({}, env);
    QVERIFY(!r.crashed);
    QCOMPARE(r.exitCode, 1);
    QVERIFY2(r.err.startsWith(QStringLiteral("Ferrowhistle: no display: cannot connect")) && r.err.count(u'\n') == 1,
             qPrintable(r.err));
}

QTEST_GUILESS_MAIN(TestCommandLine)
#include "tst_CommandLine.moc"
