// One app per session: a second launch hands its command line to the first
// and ends; without a session bus the app runs alone.
#include "support/PrivateBus.h"
#include "support/TestEnvironment.h"
#include "support/X11Windows.h"

#include <QTest>

class TestSingleInstance : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void init();
    void secondLaunchForwardsItsTestMessage();
    void everyHandOverEndsCleanly();
    void desktopActionsReachTheRunningInstance();
    void withoutSessionBusTheAppRunsAlone();

private:
    QList<X11Window> cards() const { return m_x.mappedWindowsNamed(QStringLiteral("Ferrowhistle")); }
    int logLines(const QString &prefix) const
    {
        const QStringList log = m_env.debugLogMessages();
        return int(std::count_if(log.begin(), log.end(), [&](const QString &l) { return l.startsWith(prefix); }));
    }
    QProcess *launch(const QProcessEnvironment &env, const QStringList &args)
    {
        auto *p = new QProcess(this);
        p->setProcessEnvironment(env);
        p->start(bundleProgram(QStringLiteral("Ferrowhistle")), args);
        return p;
    }
    TestEnvironment m_env;
    X11Client m_x;
};

void TestSingleInstance::init()
{
    QVERIFY(QTest::qWaitFor([this] { return cards().isEmpty(); }, 30000));
    m_env.clearDebugLog();
}

void TestSingleInstance::secondLaunchForwardsItsTestMessage()
{
    PrivateBus bus(m_env.root() + QStringLiteral("/bus"), m_env.root() + QStringLiteral("/none"));
    QProcess *first = launch(bus.environment(), {});
    QVERIFY(bus.waitForApp(true));
    const qint64 owner = bus.appPid();

    QProcess *second = launch(bus.environment(), {QStringLiteral("--position"), QStringLiteral("topRight"),
                                                  QStringLiteral("--test-message"), QStringLiteral("Forwarded")});
    QVERIFY(second->waitForFinished(30000));
    QCOMPARE(second->exitStatus(), QProcess::NormalExit);
    QCOMPARE(second->exitCode(), 0);
    // The first instance shows it, at the forwarded placement.
    QVERIFY(QTest::qWaitFor([this] { return !cards().isEmpty(); }, 30000));
    QVERIFY(cards().first().geometry.center().x() > m_x.rootSize().width() / 2);
    QVERIFY(cards().first().geometry.center().y() < m_x.rootSize().height() / 2);
    QCOMPARE(bus.appPid(), owner);
    QCOMPARE(logLines(QStringLiteral("app init, args=")), 1); // the second never got that far
    QCOMPARE(logLines(QStringLiteral("show() message=\"Forwarded\" appIsReady=true")), 1);
    bus.stopApp();
    QTRY_COMPARE_WITH_TIMEOUT(first->state(), QProcess::NotRunning, 10000);

    // A name owner that does not take command lines: the launch says so.
    QVERIFY(bus.connection().registerService(QStringLiteral("com.copperkestrel.Ferrowhistle")));
    QProcess *refused = launch(bus.environment(), {QStringLiteral("--test-message"), QStringLiteral("Lost")});
    QVERIFY(refused->waitForFinished(30000));
    QCOMPARE(refused->exitCode(), 1);
    QVERIFY(QString::fromUtf8(refused->readAllStandardError()).contains(QStringLiteral("did not take the command line")));
    bus.connection().unregisterService(QStringLiteral("com.copperkestrel.Ferrowhistle"));
}

void TestSingleInstance::everyHandOverEndsCleanly()
{
    // A later launch ends right after the hand-over, while its icon may
    // still be decoding; that must never take the process down.
    PrivateBus bus(m_env.root() + QStringLiteral("/bus-loop"), m_env.root() + QStringLiteral("/none"));
    QProcess *first = launch(bus.environment(), {});
    QVERIFY(bus.waitForApp(true));
    constexpr int kLaunches = 200;
    for (int i = 0; i < kLaunches; ++i) {
        QProcess later;
        later.setProcessEnvironment(bus.environment());
        later.start(bundleProgram(QStringLiteral("Ferrowhistle")),
                    {QStringLiteral("--test-message"), QStringLiteral("loop %1").arg(i)});
        QVERIFY(later.waitForFinished(30000));
        QVERIFY2(later.exitStatus() == QProcess::NormalExit && later.exitCode() == 0,
                 qPrintable(QStringLiteral("launch %1 ended with status %2, exit code %3: %4")
                                .arg(i)
                                .arg(later.exitStatus())
                                .arg(later.exitCode())
                                .arg(QString::fromUtf8(later.readAllStandardError()))));
    }
    QTRY_COMPARE_WITH_TIMEOUT(logLines(QStringLiteral("command line from another launch")), kLaunches, 30000);
    bus.stopApp();
    QTRY_COMPARE_WITH_TIMEOUT(first->state(), QProcess::NotRunning, 10000);
}

void TestSingleInstance::desktopActionsReachTheRunningInstance()
{
    PrivateBus bus(m_env.root() + QStringLiteral("/bus-actions"), m_env.root() + QStringLiteral("/none"));
    QProcess *first = launch(bus.environment(), {});
    QVERIFY(bus.waitForApp(true));
    const qint64 owner = bus.appPid();

    QProcess *show = launch(bus.environment(), {QStringLiteral("--action"), QStringLiteral("show-test-message")});
    QVERIFY(show->waitForFinished(30000));
    QCOMPARE(show->exitCode(), 0);
    QVERIFY(QTest::qWaitFor([this] { return !cards().isEmpty(); }, 30000));
    QCOMPARE(bus.appPid(), owner);
    QCOMPARE(logLines(QStringLiteral("show() message=\"Ferrowhistle is working")), 1);

    // Quit ends the running instance, and the launch that asked still ends 0.
    QProcess *quit = launch(bus.environment(), {QStringLiteral("--action"), QStringLiteral("quit")});
    QVERIFY(quit->waitForFinished(30000));
    QCOMPARE(quit->exitCode(), 0);
    QTRY_COMPARE_WITH_TIMEOUT(first->state(), QProcess::NotRunning, 30000);
    QCOMPARE(first->exitCode(), 0);

    // With nothing running, quit starts nothing that stays.
    const int inits = logLines(QStringLiteral("app init"));
    QProcess *idle = launch(bus.environment(), {QStringLiteral("--action"), QStringLiteral("quit")});
    QVERIFY(idle->waitForFinished(30000));
    QCOMPARE(idle->exitCode(), 0);
    QCOMPARE(bus.appPid(), 0);
    QCOMPARE(logLines(QStringLiteral("app init")), inits);
}

void TestSingleInstance::withoutSessionBusTheAppRunsAlone()
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), QStringLiteral("unix:path=/nonexistent/fw-no-bus"));
    QProcess *app = launch(env, {QStringLiteral("--test-message"), QStringLiteral("Alone")});
    QVERIFY(QTest::qWaitFor([this] { return !cards().isEmpty(); }, 30000));
    QCOMPARE(logLines(QStringLiteral("automation unavailable")), 1);
    QCOMPARE(logLines(QStringLiteral("show() message=\"Alone\"")), 1);
    app->terminate();
    QVERIFY(app->waitForFinished(10000));
}

QTEST_MAIN(TestSingleInstance)
#include "tst_SingleInstance.moc"
