// The card on two monitors: the app from the built bundle on an Xorg server
// of the test's own (the dummy driver, two RandR outputs side by side), a
// bus of its own, the pointer moved and cards clicked with xdotool.
#include "hud/HUDScreen.h"
#include "intent/BusNames.h"
#include "platform/DefaultsStore.h"
#include "support/DummyXorg.h"
#include "support/PrivateBus.h"
#include "support/TestEnvironment.h"
#include "support/X11Windows.h"

#include <QDBusPendingCall>
#include <QDBusPendingReply>
#include <QScopeGuard>
#include <QTest>

#include <climits>
#include <memory>

namespace {

const QString kCard = QStringLiteral("Ferrowhistle");
constexpr int kMonitorWidth = 1280;

QDBusMessage display(const QString &message, double duration, const QVariantMap &options)
{
    QDBusMessage m = QDBusMessage::createMethodCall(BusNames::service(), BusNames::objectPath(),
                                                    BusNames::intentsInterface(),
                                                    QStringLiteral("DisplayMessageWithOptions"));
    m.setArguments({message, QString(), duration, options});
    return m;
}

QVariantMap on(const QString &screen)
{
    return {{QStringLiteral("screen"), screen}};
}

// Which monitor each card is on, left to right: 0 the left, 1 the right.
QList<int> monitorsOf(const QList<X11Window> &cards)
{
    QList<int> out;
    for (const X11Window &w : cards)
        out.append(w.geometry.center().x() / kMonitorWidth);
    std::sort(out.begin(), out.end());
    return out;
}

} // namespace

class TestHUDScreens : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanupTestCase();
    void pointerLandsOnTheMonitorUnderIt();
    void allMapsOneCardOnEachAndAnswersOnce();
    void theSettingChoosesWhenTheCallDoesNot();
    void aMonitorSwitchedOffClosesOnlyItsCard();

private:
    QList<X11Window> cards() const { return m_x->mappedWindowsNamed(kCard); }
    bool moveTo(int x, int y) const
    {
        return m_xorg->run(QStringLiteral("xdotool"),
                           {QStringLiteral("mousemove"), QString::number(x), QString::number(y)});
    }
    bool click(const X11Window &card) const
    {
        const QPoint at = card.geometry.center();
        return m_xorg->run(QStringLiteral("xdotool"), {QStringLiteral("mousemove"), QString::number(at.x()),
                                                       QString::number(at.y()), QStringLiteral("click"),
                                                       QStringLiteral("1")});
    }
    QString outcomeOf(QDBusPendingCall call) const
    {
        if (!QTest::qWaitFor([&] { return call.isFinished(); }, 60000))
            return QStringLiteral("(no reply)");
        const QDBusMessage reply = call.reply();
        return reply.type() == QDBusMessage::ReplyMessage ? reply.arguments().value(0).toString() : reply.errorMessage();
    }

    TestEnvironment m_env;
    std::unique_ptr<DummyXorg> m_xorg;
    std::unique_ptr<X11Client> m_x;
    std::unique_ptr<PrivateBus> m_bus;
    QProcess m_app;
};

void TestHUDScreens::initTestCase()
{
    m_xorg = std::make_unique<DummyXorg>(m_env.root());
    if (!m_xorg->isRunning())
        QSKIP(qPrintable(QStringLiteral("no Xorg with the dummy driver to give two monitors: ") + m_xorg->failure()));
    QString error;
    QVERIFY2(m_xorg->useTwoMonitors(&error), qPrintable(error));
    m_x = std::make_unique<X11Client>(m_xorg->display().toLatin1());
    QVERIFY(m_x->isConnected());
    QCOMPARE(m_x->rootSize(), QSize(2 * kMonitorWidth, 1024));

    m_bus = std::make_unique<PrivateBus>(m_env.root() + QStringLiteral("/bus"), m_env.root() + QStringLiteral("/services"));
    QVERIFY(m_bus->isRunning());
    m_app.setProcessEnvironment(m_xorg->environment(m_bus->environment()));
    m_app.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_app.start(bundleProgram(QStringLiteral("Ferrowhistle")));
    QVERIFY(m_bus->waitForApp(true));
}

void TestHUDScreens::init()
{
    QVERIFY(QTest::qWaitFor([this] { return cards().isEmpty(); }, 30000));
    m_env.clearDebugLog();
    DefaultsStore::standard().remove(HUDScreens::settingKey());
}

void TestHUDScreens::cleanupTestCase()
{
    if (m_bus)
        m_bus->stopApp();
}

void TestHUDScreens::pointerLandsOnTheMonitorUnderIt()
{
    for (const auto &[x, monitor] : {std::pair{1900, 1}, {300, 0}, {2559, 1}, {1279, 0}}) {
        QVERIFY(moveTo(x, 500));
        const QDBusPendingCall call = m_bus->connection().asyncCall(display(QStringLiteral("Here"), 0.5, on(QStringLiteral("pointer"))), INT_MAX);
        QVERIFY(QTest::qWaitFor([this] { return !cards().isEmpty(); }, 30000));
        QCOMPARE(monitorsOf(cards()), QList<int>{monitor});
        // Centred in that monitor.
        const QRect g = cards().first().geometry;
        QVERIFY(std::abs(g.center().x() - (monitor * kMonitorWidth + kMonitorWidth / 2)) <= 1);
        QCOMPARE(outcomeOf(call), QStringLiteral("timeout"));
    }
    QVERIFY(m_env.debugLogMessages().filter(QStringLiteral(" screens=2")).size() == 4);
}

void TestHUDScreens::allMapsOneCardOnEachAndAnswersOnce()
{
    QVERIFY(moveTo(10, 10));
    QDBusPendingCall call = m_bus->connection().asyncCall(display(QStringLiteral("Everywhere"), 1.5, on(QStringLiteral("all"))), INT_MAX);
    QVERIFY(QTest::qWaitFor([this] { return cards().size() == 2; }, 30000));
    QCOMPARE(monitorsOf(cards()), (QList<int>{0, 1}));
    // Both at the same height, and the same size.
    QCOMPARE(cards()[0].geometry.y(), cards()[1].geometry.y());
    QCOMPARE(cards()[0].geometry.size(), cards()[1].geometry.size());
    QVERIFY(!call.isFinished());
    QCOMPARE(outcomeOf(call), QStringLiteral("timeout"));
    QVERIFY(cards().isEmpty());
    // One "ordering front" line for each card, for one request.
    const QStringList log = m_env.debugLogMessages();
    QCOMPARE(log.filter(QStringLiteral("ordering front: ")).size(), 2);
    QCOMPARE(log.filter(QStringLiteral("showAndWait complete")).size(), 1);

    // A click on either takes both away.
    call = m_bus->connection().asyncCall(display(QStringLiteral("Click one"), 60, on(QStringLiteral("all"))), INT_MAX);
    QVERIFY(QTest::qWaitFor([this] { return cards().size() == 2; }, 30000));
    QList<X11Window> up = cards();
    std::sort(up.begin(), up.end(), [](const X11Window &a, const X11Window &b) { return a.geometry.x() > b.geometry.x(); });
    QVERIFY(click(up.first())); // the right-hand one
    QCOMPARE(outcomeOf(call), QStringLiteral("clicked"));
    QVERIFY(cards().isEmpty());
}

void TestHUDScreens::theSettingChoosesWhenTheCallDoesNot()
{
    const DefaultsStore store = DefaultsStore::standard();
    store.setValue(HUDScreens::settingKey(), QStringLiteral("all"));
    QDBusPendingCall call = m_bus->connection().asyncCall(display(QStringLiteral("Setting"), 0.5, {}), INT_MAX);
    QVERIFY(QTest::qWaitFor([this] { return cards().size() == 2; }, 30000));
    QCOMPARE(outcomeOf(call), QStringLiteral("timeout"));
    // The call's own choice wins over it.
    QVERIFY(moveTo(2000, 100));
    call = m_bus->connection().asyncCall(display(QStringLiteral("Mine"), 0.5, on(QStringLiteral("main"))), INT_MAX);
    QVERIFY(QTest::qWaitFor([this] { return !cards().isEmpty(); }, 30000));
    QCOMPARE(monitorsOf(cards()), QList<int>{0});
    QCOMPARE(outcomeOf(call), QStringLiteral("timeout"));
}

void TestHUDScreens::aMonitorSwitchedOffClosesOnlyItsCard()
{
    const auto restore = qScopeGuard([this] { m_xorg->useTwoMonitors(); });
    const QString xrandr = QStringLiteral("xrandr");
    QDBusPendingCall call = m_bus->connection().asyncCall(display(QStringLiteral("Stay"), 60, on(QStringLiteral("all"))), INT_MAX);
    QVERIFY(QTest::qWaitFor([this] { return cards().size() == 2; }, 30000));
    QVERIFY(m_xorg->run(xrandr, {QStringLiteral("--output"), QStringLiteral("DUMMY1"), QStringLiteral("--off")}));
    // The right-hand card goes; the app and the other card stay.
    QVERIFY(QTest::qWaitFor([this] { return cards().size() == 1; }, 30000));
    QCOMPARE(monitorsOf(cards()), QList<int>{0});
    QCOMPARE(m_app.state(), QProcess::Running);
    QVERIFY(!call.isFinished());
    QVERIFY(click(cards().first()));
    QCOMPARE(outcomeOf(call), QStringLiteral("clicked"));

    // A message whose only card goes with its monitor ends at once.
    QVERIFY(m_xorg->useTwoMonitors());
    QVERIFY(moveTo(2000, 500));
    QVERIFY(QTest::qWaitFor([this] { return cards().isEmpty(); }, 30000));
    call = m_bus->connection().asyncCall(display(QStringLiteral("Gone"), 60, on(QStringLiteral("pointer"))), INT_MAX);
    QVERIFY(QTest::qWaitFor([this] { return !cards().isEmpty(); }, 30000));
    QCOMPARE(monitorsOf(cards()), QList<int>{1});
    QVERIFY(m_xorg->run(xrandr, {QStringLiteral("--output"), QStringLiteral("DUMMY1"), QStringLiteral("--off")}));
    QCOMPARE(outcomeOf(call), QStringLiteral("timeout"));
    QCOMPARE(m_app.state(), QProcess::Running);
    // And it goes on serving.
    call = m_bus->connection().asyncCall(display(QStringLiteral("After"), 0.5, on(QStringLiteral("all"))), INT_MAX);
    QCOMPARE(outcomeOf(call), QStringLiteral("timeout"));
}

QTEST_GUILESS_MAIN(TestHUDScreens)
#include "tst_HUDScreens.moc"
