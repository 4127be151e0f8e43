// The action on the session bus, called from here against the app from the
// built bundle, on a bus of our own, with the card watched on the X server.
#include "app/TestMessage.h"
#include "hud/HUDPosition.h"
#include "intent/AutomationIntrospection.h"
#include "intent/BusNames.h"
#include "intent/DisplayMessageIntent.h"
#include "support/PrivateBus.h"
#include "support/TestEnvironment.h"
#include "support/X11Windows.h"

#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusPendingCallWatcher>
#include <QDBusVariant>
#include <QElapsedTimer>
#include <QTest>
#include <QXmlStreamReader>

#include <climits>
#include <cmath>
#include <limits>
#include <memory>

namespace {

const QString kCard = QStringLiteral("Ferrowhistle");
const QString kInvalidArgs = QStringLiteral("org.freedesktop.DBus.Error.InvalidArgs");

QDBusMessage methodCall(const QString &iface, const QString &member, const QVariantList &args = {})
{
    QDBusMessage m = QDBusMessage::createMethodCall(BusNames::service(), BusNames::objectPath(), iface, member);
    m.setArguments(args);
    return m;
}

QDBusMessage displayCall(const QString &message, const QString &position, double duration)
{
    return methodCall(BusNames::intentsInterface(), QStringLiteral("DisplayMessage"), {message, position, duration});
}

// One pending call, with what the X server showed while it was open.
struct Watched {
    QDBusPendingCall pending;
    std::unique_ptr<QDBusPendingCallWatcher> watcher;
    qint64 repliedAtMs = -1;
    bool cardMappedAtReply = false;
};

struct Timeline {
    QElapsedTimer clock;
    qint64 firstMappedMs = -1;
    qint64 lastMappedMs = -1;
    int mostCardsAtOnce = 0;
    QList<X11Window> firstCards;
};

std::unique_ptr<Watched> send(const QDBusConnection &bus, const QDBusMessage &call, const Timeline &t,
                              const X11Client &x)
{
    // The watcher lives with the record, which goes before the timeline.
    auto w = std::make_unique<Watched>(Watched{bus.asyncCall(call, INT_MAX), nullptr});
    w->watcher = std::make_unique<QDBusPendingCallWatcher>(w->pending);
    Watched *raw = w.get();
    QObject::connect(w->watcher.get(), &QDBusPendingCallWatcher::finished, [raw, &t, &x] {
        raw->repliedAtMs = t.clock.elapsed();
        raw->cardMappedAtReply = !x.mappedWindowsNamed(kCard).isEmpty();
    });
    return w;
}

// Polls the X server until every call has its reply (or the time is up).
void watchUntilReplied(Timeline &t, const X11Client &x, const QList<Watched *> &calls, int timeoutMs = 60000)
{
    auto allDone = [&] {
        for (Watched *c : calls)
            if (c->repliedAtMs < 0)
                return false;
        return true;
    };
    QElapsedTimer limit;
    limit.start();
    while (!allDone() && limit.elapsed() < timeoutMs) {
        const QList<X11Window> cards = x.mappedWindowsNamed(kCard);
        if (!cards.isEmpty()) {
            if (t.firstMappedMs < 0) {
                t.firstMappedMs = t.clock.elapsed();
                t.firstCards = cards;
            }
            t.lastMappedMs = t.clock.elapsed();
            t.mostCardsAtOnce = std::max(t.mostCardsAtOnce, int(cards.size()));
        }
        QTest::qWait(10);
    }
}

bool waitForCard(const X11Client &x, bool mapped, int timeoutMs = 30000)
{
    return QTest::qWaitFor([&] { return x.mappedWindowsNamed(kCard).isEmpty() != mapped; }, timeoutMs);
}

int indexOfLine(const QStringList &lines, const QString &prefix, int from = 0)
{
    for (int i = from; i < lines.size(); ++i)
        if (lines.at(i).startsWith(prefix))
            return i;
    return -1;
}

} // namespace

class TestAutomationService : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanupTestCase();

    void displayTimeIsGivenOnlyForFinitePositiveDurations();
    void replyComesOnceTheCardIsGone();
    void nonPositiveDurationsMeanAutomatic_data();
    void nonPositiveDurationsMeanAutomatic();
    void aNewerMessageExtendsEveryWait();
    void badCallsAreRefusedAndShowNothing_data();
    void badCallsAreRefusedAndShowNothing();
    void hugeMessageAndVanishingCallerLeaveTheAppServing();
    void introspectionDescribesTheAction();
    void applicationInterfaceAndActions();

private:
    TestEnvironment m_env;
    std::unique_ptr<PrivateBus> m_bus;
    std::unique_ptr<AppProcess> m_app;
    X11Client m_x;
};

void TestAutomationService::initTestCase()
{
    QVERIFY(m_x.isConnected());
    qDBusRegisterMetaType<QList<QDBusVariant>>();
    m_bus = std::make_unique<PrivateBus>(m_env.root() + QStringLiteral("/bus"), m_env.root() + QStringLiteral("/services"));
    QVERIFY(m_bus->isRunning());
    m_app = std::make_unique<AppProcess>(m_bus->environment());
    QVERIFY(m_bus->waitForOwner(BusNames::service()));
}

void TestAutomationService::init()
{
    QVERIFY(waitForCard(m_x, false));
    m_env.clearDebugLog();
}

void TestAutomationService::cleanupTestCase()
{
    if (!m_app)
        return;
    // The quit action: replied to first, then the app ends normally.
    const QDBusMessage reply = m_bus->connection().call(
        methodCall(BusNames::applicationInterface(), QStringLiteral("ActivateAction"),
                   {BusNames::quitAction(), QVariant::fromValue(QList<QDBusVariant>{}), QVariantMap{}}));
    QCOMPARE(reply.type(), QDBusMessage::ReplyMessage);
    QVERIFY(m_app->process().waitForFinished(10000));
    QCOMPARE(m_app->process().exitStatus(), QProcess::NormalExit);
    QCOMPARE(m_app->process().exitCode(), 0);
}

void TestAutomationService::displayTimeIsGivenOnlyForFinitePositiveDurations()
{
    const double inf = std::numeric_limits<double>::infinity();
    QCOMPARE(DisplayMessageIntent::displayTime(5), std::optional<double>(5));
    QCOMPARE(DisplayMessageIntent::displayTime(0.25), std::optional<double>(0.25));
    for (double automatic : {0.0, -0.0, -3.0, inf, -inf, std::nan("")})
        QVERIFY2(!DisplayMessageIntent::displayTime(automatic), qPrintable(QString::number(automatic)));
}

void TestAutomationService::replyComesOnceTheCardIsGone()
{
    Timeline t;
    t.clock.start();
    auto call = send(m_bus->connection(), displayCall(QStringLiteral("Five seconds"), QString(), 5), t, m_x);
    watchUntilReplied(t, m_x, {call.get()});

    QCOMPARE(call->pending.reply().type(), QDBusMessage::ReplyMessage);
    QVERIFY(!call->cardMappedAtReply);
    // Five seconds on screen, then the closing pause.
    QVERIFY2(call->repliedAtMs >= 5600, qPrintable(QString::number(call->repliedAtMs)));
    QVERIFY(t.firstMappedMs >= 0);
    QVERIFY2(t.lastMappedMs - t.firstMappedMs >= 4500, qPrintable(QString::number(t.lastMappedMs - t.firstMappedMs)));

    // The empty position is the default: the middle of the (panel-less) screen.
    QCOMPARE(t.firstCards.size(), 1);
    const QRect card = t.firstCards.first().geometry;
    const QSize root = m_x.rootSize();
    QVERIFY2(std::abs(card.center().x() * 2 + 1 - root.width()) <= 2, qPrintable(QString::number(card.x())));
    QVERIFY2(std::abs(card.center().y() * 2 + 1 - root.height()) <= 2, qPrintable(QString::number(card.y())));

    const QStringList log = m_env.debugLogMessages();
    const int perform = log.indexOf(QStringLiteral("DisplayMessageIntent.perform() message=\"Five seconds\""));
    const int show = indexOfLine(log, QStringLiteral("show() message=\"Five seconds\" appIsReady=true"));
    const int complete = log.indexOf(QStringLiteral("showAndWait complete"));
    QVERIFY(perform >= 0);
    QVERIFY(show > perform);
    QVERIFY(complete > show);
}

void TestAutomationService::nonPositiveDurationsMeanAutomatic_data()
{
    QTest::addColumn<double>("duration");
    QTest::newRow("zero") << 0.0;
    QTest::newRow("negative") << -3.0;
    QTest::newRow("NaN") << std::nan("");
}

void TestAutomationService::nonPositiveDurationsMeanAutomatic()
{
    QFETCH(double, duration);
    Timeline t;
    t.clock.start();
    auto call = send(m_bus->connection(), displayCall(QStringLiteral("Hi"), QStringLiteral("bottom"), duration), t, m_x);
    watchUntilReplied(t, m_x, {call.get()});
    QCOMPARE(call->pending.reply().type(), QDBusMessage::ReplyMessage);
    QVERIFY(t.firstMappedMs >= 0);
    QVERIFY(!call->cardMappedAtReply);
    // A short message stays the automatic minimum of 2 s.
    QVERIFY2(call->repliedAtMs >= 2600, qPrintable(QString::number(call->repliedAtMs)));
}

void TestAutomationService::aNewerMessageExtendsEveryWait()
{
    Timeline t;
    t.clock.start();
    // The first would stay a minute on its own.
    auto first = send(m_bus->connection(), displayCall(QStringLiteral("first"), QString(), 60), t, m_x);
    QVERIFY(waitForCard(m_x, true));
    const qint64 secondSentMs = t.clock.elapsed();
    auto second = send(m_bus->connection(), displayCall(QStringLiteral("second"), QStringLiteral("topLeft"), 1), t, m_x);
    watchUntilReplied(t, m_x, {first.get(), second.get()}, 30000);

    QCOMPARE(first->pending.reply().type(), QDBusMessage::ReplyMessage);
    QCOMPARE(second->pending.reply().type(), QDBusMessage::ReplyMessage);
    // The second replaced the first at once, and both waits end with it.
    QCOMPARE(t.mostCardsAtOnce, 1);
    for (const Watched *w : {first.get(), second.get()}) {
        QVERIFY(!w->cardMappedAtReply);
        QVERIFY2(w->repliedAtMs >= secondSentMs + 1600, qPrintable(QString::number(w->repliedAtMs - secondSentMs)));
    }
    const QStringList log = m_env.debugLogMessages();
    QCOMPARE(log.count(QStringLiteral("showAndWait complete")), 2);
}

void TestAutomationService::badCallsAreRefusedAndShowNothing_data()
{
    QTest::addColumn<QString>("member");
    QTest::addColumn<QVariantList>("args");
    QTest::addColumn<QString>("error");
    QTest::addColumn<QStringList>("mentions");

    QStringList nine;
    for (HUDPosition p : HUDPositions::allCases())
        nine.append(HUDPositions::rawValue(p));
    const QString dm = QStringLiteral("DisplayMessage");
    QTest::newRow("unknown position") << dm << QVariantList{QStringLiteral("x"), QStringLiteral("middle"), 1.0}
                                      << kInvalidArgs << nine + QStringList{QStringLiteral("middle")};
    QTest::newRow("other case") << dm << QVariantList{QStringLiteral("x"), QStringLiteral("TopLeft"), 1.0}
                                << kInvalidArgs << nine;
    QTest::newRow("display title") << dm << QVariantList{QStringLiteral("x"), QStringLiteral("top left"), 1.0}
                                   << kInvalidArgs << nine;
    QTest::newRow("blank before") << dm << QVariantList{QStringLiteral("x"), QStringLiteral(" center"), 1.0}
                                  << kInvalidArgs << nine;
    QTest::newRow("huge position") << dm << QVariantList{QStringLiteral("x"), QString(200000, QLatin1Char('p')), 1.0}
                                   << kInvalidArgs << nine;
    QTest::newRow("integer duration") << dm << QVariantList{QStringLiteral("x"), QString(), 1} << kInvalidArgs
                                      << QStringList{QStringLiteral("ssd"), QStringLiteral("ssi")};
    QTest::newRow("too few") << dm << QVariantList{QStringLiteral("x"), QString()} << kInvalidArgs
                             << QStringList{QStringLiteral("ssd")};
    QTest::newRow("too many") << dm << QVariantList{QStringLiteral("x"), QString(), 1.0, QStringLiteral("y")}
                              << kInvalidArgs << QStringList{QStringLiteral("ssd")};
    QTest::newRow("none") << dm << QVariantList{} << kInvalidArgs << QStringList{QStringLiteral("ssd")};
    QTest::newRow("unknown method") << QStringLiteral("ShowMessage") << QVariantList{QStringLiteral("x")}
                                    << QStringLiteral("org.freedesktop.DBus.Error.UnknownMethod")
                                    << QStringList{QStringLiteral("ShowMessage")};
}

void TestAutomationService::badCallsAreRefusedAndShowNothing()
{
    QFETCH(QString, member);
    QFETCH(QVariantList, args);
    QFETCH(QString, error);
    QFETCH(QStringList, mentions);

    const QDBusMessage reply = m_bus->connection().call(methodCall(BusNames::intentsInterface(), member, args));
    QCOMPARE(reply.type(), QDBusMessage::ErrorMessage);
    QCOMPARE(reply.errorName(), error);
    for (const QString &m : mentions)
        QVERIFY2(reply.errorMessage().contains(m), qPrintable(reply.errorMessage()));
    // Bad input is echoed, but never at length.
    QVERIFY(reply.errorMessage().size() < 400);

    QTest::qWait(300);
    QVERIFY(m_x.mappedWindowsNamed(kCard).isEmpty());
    QCOMPARE(indexOfLine(m_env.debugLogMessages(), QStringLiteral("DisplayMessageIntent.perform()")), -1);
}

void TestAutomationService::hugeMessageAndVanishingCallerLeaveTheAppServing()
{
    QString huge;
    while (huge.size() < 1024 * 1024)
        huge += QStringLiteral("word ");
    {
        // A caller that leaves while it waits for its reply.
        const QString name = QStringLiteral("fw-test-leaving-caller");
        QDBusConnection leaving = QDBusConnection::connectToBus(m_bus->address(), name);
        QVERIFY(leaving.isConnected());
        QDBusPendingCall pending = leaving.asyncCall(displayCall(huge, QString(), 1), INT_MAX);
        QVERIFY(waitForCard(m_x, true, 60000));
        QDBusConnection::disconnectFromBus(name);
        Q_UNUSED(pending);
    }
    Timeline t;
    t.clock.start();
    auto after = send(m_bus->connection(), displayCall(QStringLiteral("after"), QString(), 1), t, m_x);
    watchUntilReplied(t, m_x, {after.get()});
    QCOMPARE(after->pending.reply().type(), QDBusMessage::ReplyMessage);
    QVERIFY(after->repliedAtMs >= 1600);
    QCOMPARE(m_app->process().state(), QProcess::Running);

    const QStringList log = m_env.debugLogMessages();
    const int hugeLine = indexOfLine(log, QStringLiteral("DisplayMessageIntent.perform() message=\"word word"));
    QVERIFY(hugeLine >= 0);
    QVERIFY(log.at(hugeLine).size() > huge.size());
}

void TestAutomationService::introspectionDescribesTheAction()
{
    const QDBusMessage reply = m_bus->connection().call(
        methodCall(QStringLiteral("org.freedesktop.DBus.Introspectable"), QStringLiteral("Introspect")));
    QCOMPARE(reply.type(), QDBusMessage::ReplyMessage);

    // Annotations by owner: "method" for the action, "arg:NAME" for its
    // parameters; interfaces seen on the object.
    QMultiHash<QString, QPair<QString, QString>> notes;
    QStringList interfaces;
    QStringList args;
    QXmlStreamReader xml(reply.arguments().at(0).toString());
    QString iface, method, arg;
    const QString prefix = AutomationIntrospection::annotationPrefix();
    while (!xml.atEnd()) {
        xml.readNext();
        if (xml.isEndElement() && xml.name() == QLatin1String("arg"))
            arg.clear();
        if (!xml.isStartElement())
            continue;
        const QString name = xml.attributes().value(QLatin1String("name")).toString();
        if (xml.name() == QLatin1String("interface"))
            interfaces.append(iface = name);
        else if (xml.name() == QLatin1String("method"))
            method = name;
        else if (xml.name() == QLatin1String("arg") && iface == BusNames::intentsInterface())
            args.append(arg = name);
        else if (xml.name() == QLatin1String("annotation") && iface == BusNames::intentsInterface()
                 && method == QLatin1String("DisplayMessage") && name.startsWith(prefix))
            notes.insert(arg.isEmpty() ? QStringLiteral("method") : QStringLiteral("arg:") + arg,
                         {name.mid(prefix.size()), xml.attributes().value(QLatin1String("value")).toString()});
    }
    QVERIFY2(!xml.hasError(), qPrintable(xml.errorString()));
    for (const QString &i : {BusNames::intentsInterface(), BusNames::applicationInterface(), BusNames::instanceInterface()})
        QVERIFY(interfaces.contains(i));
    QCOMPARE(args, (QStringList{QStringLiteral("message"), QStringLiteral("position"), QStringLiteral("duration")}));

    auto note = [&](const QString &owner, const QString &key) {
        for (const auto &[k, v] : notes.values(owner))
            if (k == key)
                return v;
        return QStringLiteral("<missing>");
    };
    QCOMPARE(note(QStringLiteral("method"), QStringLiteral("Title")), QStringLiteral("Display Message"));
    QCOMPARE(note(QStringLiteral("method"), QStringLiteral("ParameterSummary")),
             QStringLiteral("Display message ${message} at ${position}"));
    QCOMPARE(note(QStringLiteral("arg:message"), QStringLiteral("Title")), QStringLiteral("Message"));
    QCOMPARE(note(QStringLiteral("arg:position"), QStringLiteral("Title")), QStringLiteral("Position"));
    QCOMPARE(note(QStringLiteral("arg:position"), QStringLiteral("TypeName")), QStringLiteral("Position"));
    QCOMPARE(note(QStringLiteral("arg:position"), QStringLiteral("Default")), QStringLiteral("center"));
    QCOMPARE(note(QStringLiteral("arg:duration"), QStringLiteral("Title")), QStringLiteral("Duration"));
    QCOMPARE(note(QStringLiteral("arg:duration"), QStringLiteral("Default")), QStringLiteral("0"));
    QCOMPARE(note(QStringLiteral("arg:duration"), QStringLiteral("Description")),
             QStringLiteral("Seconds to keep the message on screen. 0 means automatic, based on message length."));

    // The nine cases in picker order, each with its display title. (The
    // multi-hash hands values back newest first.)
    QStringList cases;
    const auto positionNotes = notes.values(QStringLiteral("arg:position"));
    for (auto it = positionNotes.crbegin(); it != positionNotes.crend(); ++it)
        if (it->first.startsWith(QLatin1String("Case.")))
            cases.append(it->first.mid(5) + QLatin1Char('=') + it->second);
    QCOMPARE(cases, (QStringList{QStringLiteral("center=center"), QStringLiteral("top=top"),
                                 QStringLiteral("bottom=bottom"), QStringLiteral("left=left"),
                                 QStringLiteral("right=right"), QStringLiteral("topLeft=top left"),
                                 QStringLiteral("topRight=top right"), QStringLiteral("bottomLeft=bottom left"),
                                 QStringLiteral("bottomRight=bottom right")}));
}

void TestAutomationService::applicationInterfaceAndActions()
{
    const QString app = BusNames::applicationInterface();
    const QVariant noParameter = QVariant::fromValue(QList<QDBusVariant>{});
    QDBusConnection bus = m_bus->connection();

    QCOMPARE(bus.call(methodCall(app, QStringLiteral("Activate"), {QVariantMap{}})).type(), QDBusMessage::ReplyMessage);
    const QDBusMessage open =
        bus.call(methodCall(app, QStringLiteral("Open"), {QStringList{QStringLiteral("file:///etc/hosts")}, QVariantMap{}}));
    QCOMPARE(open.errorName(), QStringLiteral("org.freedesktop.DBus.Error.NotSupported"));

    auto action = [&](const QString &name, const QVariant &parameter) {
        return bus.call(methodCall(app, QStringLiteral("ActivateAction"), {name, parameter, QVariantMap{}}));
    };
    QCOMPARE(action(QStringLiteral("launch-rockets"), noParameter).errorName(), kInvalidArgs);
    const QVariant oneParameter = QVariant::fromValue(QList<QDBusVariant>{QDBusVariant(1)});
    QCOMPARE(action(BusNames::quitAction(), oneParameter).errorName(), kInvalidArgs);
    QCOMPARE(m_app->process().state(), QProcess::Running);

    QCOMPARE(action(BusNames::showTestMessageAction(), noParameter).type(), QDBusMessage::ReplyMessage);
    QVERIFY(waitForCard(m_x, true));
    QVERIFY(indexOfLine(m_env.debugLogMessages(),
                        QStringLiteral("show() message=\"") + testMessageText() + QStringLiteral("\" appIsReady=true"))
            >= 0);
}

QTEST_MAIN(TestAutomationService)
#include "tst_AutomationService.moc"
