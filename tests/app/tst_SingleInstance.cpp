// One app per session: a second launch hands its command line to the first
// and ends; without a session bus the app runs alone.
#include "intent/BusNames.h"
#include "support/PrivateBus.h"
#include "support/TestEnvironment.h"
#include "support/X11Windows.h"

#include <QDBusConnectionInterface>
#include <QTest>

#include <memory>

namespace {

const QString kCard = QStringLiteral("Ferrowhistle");

int countLines(const QStringList &lines, const QString &prefix)
{
    int n = 0;
    for (const QString &l : lines)
        n += l.startsWith(prefix) ? 1 : 0;
    return n;
}

} // namespace

class TestSingleInstance : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void init();
    void secondLaunchForwardsItsTestMessage();
    void secondLaunchFailsLoudlyWhenTheOwnerWillNotListen();
    void withoutSessionBusTheAppRunsAlone();

private:
    bool waitForCard(bool mapped)
    {
        return QTest::qWaitFor([&] { return m_x.mappedWindowsNamed(kCard).isEmpty() != mapped; }, 30000);
    }
    TestEnvironment m_env;
    X11Client m_x;
};

void TestSingleInstance::init()
{
    QVERIFY(m_x.isConnected());
    QVERIFY(waitForCard(false));
    m_env.clearDebugLog();
}

void TestSingleInstance::secondLaunchForwardsItsTestMessage()
{
    PrivateBus bus(m_env.root() + QStringLiteral("/bus-forward"), m_env.root() + QStringLiteral("/no-services"));
    QVERIFY(bus.isRunning());
    AppProcess first(bus.environment());
    QVERIFY(bus.waitForOwner(BusNames::service()));
    const qint64 owner = bus.ownerPid(BusNames::service());

    AppProcess second(bus.environment(), {QStringLiteral("--position"), QStringLiteral("topRight"),
                                          QStringLiteral("--test-message"), QStringLiteral("Forwarded")});
    QVERIFY(second.process().waitForFinished(30000));
    QCOMPARE(second.process().exitStatus(), QProcess::NormalExit);
    QCOMPARE(second.process().exitCode(), 0);

    // The first instance shows it, at the forwarded placement.
    QVERIFY(waitForCard(true));
    const QList<X11Window> cards = m_x.mappedWindowsNamed(kCard);
    QCOMPARE(cards.size(), 1);
    QVERIFY(cards.first().geometry.center().x() > m_x.rootSize().width() / 2);
    QVERIFY(cards.first().geometry.center().y() < m_x.rootSize().height() / 2);
    QCOMPARE(bus.ownerPid(BusNames::service()), owner);
    QCOMPARE(first.process().state(), QProcess::Running);

    const QStringList log = m_env.debugLogMessages();
    // Only the first launch got as far as logging its start.
    QCOMPARE(countLines(log, QStringLiteral("app init, args=")), 1);
    QCOMPARE(countLines(log, QStringLiteral("command line from another launch, args=")), 1);
    QCOMPARE(countLines(log, QStringLiteral("show() message=\"Forwarded\" appIsReady=true")), 1);
}

void TestSingleInstance::secondLaunchFailsLoudlyWhenTheOwnerWillNotListen()
{
    // Someone else holds the name and has no such object.
    PrivateBus bus(m_env.root() + QStringLiteral("/bus-squatter"), m_env.root() + QStringLiteral("/no-services"));
    QVERIFY(bus.isRunning());
    QVERIFY(bus.connection().registerService(BusNames::service()));

    AppProcess launch(bus.environment(), {QStringLiteral("--test-message"), QStringLiteral("Lost?")});
    QVERIFY(launch.process().waitForFinished(30000));
    QCOMPARE(launch.process().exitCode(), 1);
    QVERIFY(m_x.mappedWindowsNamed(kCard).isEmpty());
}

void TestSingleInstance::withoutSessionBusTheAppRunsAlone()
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), QStringLiteral("unix:path=/nonexistent/fw-no-bus"));
    AppProcess app(env, {QStringLiteral("--test-message"), QStringLiteral("Alone")});
    QVERIFY(waitForCard(true));
    QCOMPARE(app.process().state(), QProcess::Running);
    const QStringList log = m_env.debugLogMessages();
    QCOMPARE(countLines(log, QStringLiteral("automation unavailable")), 1);
    QCOMPARE(countLines(log, QStringLiteral("show() message=\"Alone\"")), 1);
}

QTEST_MAIN(TestSingleInstance)
#include "tst_SingleInstance.moc"
