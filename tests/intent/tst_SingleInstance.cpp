// One app per session: a second launch hands its command line to the first
// and ends; without a session bus the app runs alone.
#include "intent/BusNames.h"
#include "app/AppActions.h"
#include "support/PrivateBus.h"
#include "support/TestEnvironment.h"
#include "support/X11Windows.h"

#include <QDBusMessage>
#include <QTest>

#include <functional>

class TestSingleInstance : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void init();
    void secondLaunchForwardsItsTestMessage();
    void everyHandOverEndsCleanly();
    void launcherActionsDoWhatTheBusActionsDo();
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

// Each launcher action, run as its Exec line runs it (--action ID), does what
// ActivateAction does: handed to the running instance, and in a fresh start
// when none runs.
void TestSingleInstance::launcherActionsDoWhatTheBusActionsDo()
{
    PrivateBus bus(m_env.root() + QStringLiteral("/bus-actions"), m_env.root() + QStringLiteral("/none"));
    auto execLine = [&](AppAction action) {
        QProcess *p = launch(bus.environment(), {QStringLiteral("--action"), actionId(action)});
        return p->waitForFinished(30000) && p->exitStatus() == QProcess::NormalExit && p->exitCode() == 0;
    };
    auto busAction = [&](AppAction action) {
        QDBusMessage m = QDBusMessage::createMethodCall(BusNames::service(), BusNames::objectPath(),
                                                        BusNames::applicationInterface(), QStringLiteral("ActivateAction"));
        m.setArguments({actionId(action), QVariant::fromValue(QVariantList()), QVariant::fromValue(QVariantMap())});
        return bus.connection().call(m, QDBus::Block, 30000).type() == QDBusMessage::ReplyMessage;
    };
    const QString testMessage = QStringLiteral("show() message=\"Ferrowhistle is working");
    auto settingsWindows = [this] { return m_x.mappedWindowsNamed(QStringLiteral("Ferrowhistle Settings")); };
    // Closed as a user closes it, with Ctrl+W in the window.
    auto closeSettings = [&] {
        for (const X11Window &w : settingsWindows()) {
            QProcess::execute(QStringLiteral("xdotool"), {QStringLiteral("windowfocus"), QStringLiteral("--sync"), QString::number(w.id)});
            QProcess::execute(QStringLiteral("xdotool"), {QStringLiteral("key"), QStringLiteral("ctrl+w")});
        }
        return QTest::qWaitFor([&] { return settingsWindows().isEmpty(); }, 30000);
    };

    // Every action a launcher lists is covered here.
    QList<AppAction> listed;
    for (const LauncherAction &a : launcherActions(true))
        listed.append(*desktopActionNamed(a.id));
    QCOMPARE(listed, (QList<AppAction>{AppAction::ShowTestMessage, AppAction::Settings, AppAction::RevertUpdate, AppAction::Quit}));

    QProcess *first = launch(bus.environment(), {});
    QVERIFY(bus.waitForApp(true));
    const qint64 owner = bus.appPid();
    for (const auto &run : {std::function<bool(AppAction)>(execLine), std::function<bool(AppAction)>(busAction)}) {
        const int shown = logLines(testMessage);
        QVERIFY(run(AppAction::ShowTestMessage));
        QTRY_COMPARE_WITH_TIMEOUT(logLines(testMessage), shown + 1, 30000);
        QVERIFY(run(AppAction::Settings));
        QTRY_COMPARE_WITH_TIMEOUT(settingsWindows().size(), 1, 30000);
        QVERIFY(closeSettings());
        QCOMPARE(bus.appPid(), owner);
    }
    // The built bundle keeps no previous copy: the bus action says so, and
    // the Exec line's refusal, which has no caller to answer, is logged.
    QVERIFY(!busAction(AppAction::RevertUpdate));
    const int refused = logLines(QStringLiteral("action revert-update refused: no previous version is kept"));
    QVERIFY(execLine(AppAction::RevertUpdate));
    QTRY_COMPARE_WITH_TIMEOUT(logLines(QStringLiteral("action revert-update refused: no previous version is kept")), refused + 1, 30000);
    QCOMPARE(bus.appPid(), owner);
    // Quit ends the running instance, and the launch that asked still ends 0.
    QVERIFY(execLine(AppAction::Quit));
    QTRY_COMPARE_WITH_TIMEOUT(first->state(), QProcess::NotRunning, 30000);
    QCOMPARE(first->exitCode(), 0);

    // With nothing running, quit starts nothing that stays.
    const int inits = logLines(QStringLiteral("app init"));
    QVERIFY(execLine(AppAction::Quit));
    QCOMPARE(bus.appPid(), 0);
    QCOMPARE(logLines(QStringLiteral("app init")), inits);

    // The others start an instance that does them.
    QProcess *fresh = launch(bus.environment(), {QStringLiteral("--action"), actionId(AppAction::Settings)});
    QTRY_COMPARE_WITH_TIMEOUT(settingsWindows().size(), 1, 30000);
    QVERIFY(closeSettings());
    QVERIFY(busAction(AppAction::Quit));
    QTRY_COMPARE_WITH_TIMEOUT(fresh->state(), QProcess::NotRunning, 30000);
    const int shown = logLines(testMessage);
    fresh = launch(bus.environment(), {QStringLiteral("--action"), actionId(AppAction::ShowTestMessage)});
    QTRY_COMPARE_WITH_TIMEOUT(logLines(testMessage), shown + 1, 30000);
    bus.stopApp();
    QTRY_COMPARE_WITH_TIMEOUT(fresh->state(), QProcess::NotRunning, 30000);
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
