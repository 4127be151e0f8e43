// The action on the session bus, called from here against the app from the
// built bundle on a bus of our own, with the card watched on the X server.
#include "app/TestMessage.h"
#include "intent/AutomationInterfaceXml.h"
#include "hud/DebugLog.h"
#include "intent/BusNames.h"
#include "app/AppActions.h"
#include "intent/DisplayMessageIntent.h"
#include "platform/Bundle.h"
#include "release/VersionRules.h"
#include "support/PrivateBus.h"
#include "support/TestEnvironment.h"
#include "support/X11Windows.h"

#include <QDBusMetaType>
#include <QFileInfo>
#include <QDBusPendingCall>
#include <QDBusVariant>
#include <QElapsedTimer>
#include <QTest>
#include <QXmlStreamReader>

#include <climits>
#include <cmath>
#include <memory>
#include <vector>

namespace {

const QString kCard = QStringLiteral("Ferrowhistle");
const QString kInvalidArgs = QStringLiteral("org.freedesktop.DBus.Error.InvalidArgs");
const QString kNine = QStringLiteral("center, top, bottom, left, right, topLeft, topRight, bottomLeft, bottomRight");

QDBusMessage method(const QString &iface, const QString &member, const QVariantList &args)
{
    QDBusMessage m = QDBusMessage::createMethodCall(BusNames::service(), BusNames::objectPath(), iface, member);
    m.setArguments(args);
    return m;
}

QDBusMessage display(const QString &message, const QString &position, const QVariant &duration)
{
    return method(BusNames::intentsInterface(), QStringLiteral("DisplayMessage"), {message, position, duration});
}

QDBusMessage displayWithOptions(const QString &message, const QString &position, double duration,
                                const QVariantMap &options)
{
    return method(BusNames::intentsInterface(), QStringLiteral("DisplayMessageWithOptions"),
                  {message, position, duration, options});
}

QDBusMessage action(const QString &name, const QList<QDBusVariant> &parameter = {})
{
    return method(BusNames::applicationInterface(), QStringLiteral("ActivateAction"),
                  {name, QVariant::fromValue(parameter), QVariantMap{}});
}

// Sends calls, then polls the card on the X server until all have replied.
struct Watch {
    struct Reply {
        QDBusPendingCall pending;
        qint64 atMs = -1;
        bool cardUp = false;
    };
    explicit Watch(const X11Client &x) : x(x) { clock.start(); }
    Reply *send(const QDBusConnection &bus, const QDBusMessage &call)
    {
        replies.push_back(std::make_unique<Reply>(Reply{bus.asyncCall(call, INT_MAX)}));
        return replies.back().get();
    }
    bool untilReplied()
    {
        return QTest::qWaitFor([this] {
            const QList<X11Window> cards = x.mappedWindowsNamed(kCard);
            for (auto &r : replies)
                if (r->atMs < 0 && r->pending.isFinished())
                    r->atMs = clock.elapsed(), r->cardUp = !cards.isEmpty();
            if (!cards.isEmpty()) {
                if (firstSeenMs < 0)
                    first = cards.first().geometry, firstSeenMs = clock.elapsed();
                lastSeenMs = clock.elapsed();
                mostCards = std::max(mostCards, int(cards.size()));
            }
            return std::all_of(replies.begin(), replies.end(), [](auto &r) { return r->atMs >= 0; });
        }, 60000);
    }
    const X11Client &x;
    QElapsedTimer clock;
    std::vector<std::unique_ptr<Reply>> replies;
    qint64 firstSeenMs = -1, lastSeenMs = -1;
    int mostCards = 0;
    QRect first;
};

int lineIndex(const QStringList &lines, const QString &prefix)
{
    const auto it = std::find_if(lines.begin(), lines.end(), [&](const QString &l) { return l.startsWith(prefix); });
    return it == lines.end() ? -1 : int(it - lines.begin());
}

} // namespace

class TestAutomationService : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanupTestCase();
    void onlyFinitePositiveDurationsAreKept();
    void replyComesOnceTheCentredCardIsGone();
    void otherDurationsMeanAutomatic_data();
    void otherDurationsMeanAutomatic();
    void aNewerMessageExtendsEveryWait();
    void badCallsAreRefusedAndShowNothing_data();
    void badCallsAreRefusedAndShowNothing();
    void hugeMessageAndVanishingCallerLeaveTheAppServing();
    void othersAreAnsweredWhileAHugeWordIsShown_data();
    void othersAreAnsweredWhileAHugeWordIsShown();
    void outcomesReachTheCaller_data();
    void outcomesReachTheCaller();
    void introspectionDescribesTheAction();
    void applicationInterface();
    void theCopySaysWhichItIsOnceSettled();

private:
    bool cardUp() const { return !m_x.mappedWindowsNamed(kCard).isEmpty(); }
    TestEnvironment m_env;
    X11Client m_x;
    std::unique_ptr<PrivateBus> m_bus;
    QProcess m_app;
};

void TestAutomationService::initTestCase()
{
    qDBusRegisterMetaType<QList<QDBusVariant>>();
    m_bus = std::make_unique<PrivateBus>(m_env.root() + QStringLiteral("/bus"), m_env.root() + QStringLiteral("/services"));
    QVERIFY(m_bus->isRunning() && m_x.isConnected());
    m_app.setProcessEnvironment(m_bus->environment());
    m_app.start(bundleProgram(QStringLiteral("Ferrowhistle")));
    QVERIFY(m_bus->waitForApp(true));
}

void TestAutomationService::init()
{
    QVERIFY(QTest::qWaitFor([this] { return !cardUp(); }, 30000));
    m_env.clearDebugLog();
}

void TestAutomationService::cleanupTestCase()
{
    // The quit action is answered, then the app ends normally.
    QCOMPARE(m_bus->connection().call(action(actionId(AppAction::Quit))).type(), QDBusMessage::ReplyMessage);
    QVERIFY(m_app.waitForFinished(10000));
    QCOMPARE(m_app.exitStatus(), QProcess::NormalExit);
    QCOMPARE(m_app.exitCode(), 0);
}

void TestAutomationService::onlyFinitePositiveDurationsAreKept()
{
    QCOMPARE(DisplayMessageIntent::displayTime(0.25), std::optional<double>(0.25));
    // An infinite time would make the caller wait for ever.
    for (double automatic : {0.0, -3.0, double(INFINITY), -double(INFINITY), double(NAN)})
        QVERIFY(!DisplayMessageIntent::displayTime(automatic));
}

void TestAutomationService::replyComesOnceTheCentredCardIsGone()
{
    Watch watch(m_x);
    const auto *reply = watch.send(m_bus->connection(), display(QStringLiteral("Five seconds"), QString(), 5.0));
    QVERIFY(watch.untilReplied());
    QCOMPARE(reply->pending.reply().type(), QDBusMessage::ReplyMessage);
    QCOMPARE(reply->pending.reply().signature(), QString()); // the older method answers with nothing
    QVERIFY(!reply->cardUp);
    QVERIFY2(reply->atMs >= 5600, qPrintable(QString::number(reply->atMs)));
    QVERIFY2(watch.lastSeenMs - watch.firstSeenMs >= 4500, qPrintable(QString::number(watch.lastSeenMs)));
    // The empty position is the default, center (the test screen has no panels).
    const QSize root = m_x.rootSize();
    QVERIFY(std::abs(2 * watch.first.x() + watch.first.width() - root.width()) <= 2);
    QVERIFY(std::abs(2 * watch.first.y() + watch.first.height() - root.height()) <= 2);

    const QStringList log = m_env.debugLogMessages();
    const int perform = log.indexOf(QStringLiteral("DisplayMessageIntent.perform() message=\"Five seconds\""));
    QVERIFY(perform >= 0);
    QVERIFY(lineIndex(log, QStringLiteral("show() message=\"Five seconds\" appIsReady=true")) > perform);
    QVERIFY(log.indexOf(QStringLiteral("showAndWait complete")) > perform + 1);
}

void TestAutomationService::otherDurationsMeanAutomatic_data()
{
    QTest::addColumn<double>("duration");
    QTest::newRow("zero") << 0.0;
    QTest::newRow("negative") << -3.0;
}

void TestAutomationService::otherDurationsMeanAutomatic()
{
    QFETCH(double, duration);
    Watch watch(m_x);
    const auto *reply = watch.send(m_bus->connection(), display(QStringLiteral("Hi"), QStringLiteral("bottom"), duration));
    QVERIFY(watch.untilReplied());
    QCOMPARE(reply->pending.reply().type(), QDBusMessage::ReplyMessage);
    QVERIFY(watch.firstSeenMs >= 0 && !reply->cardUp);
    // A short message stays the automatic minimum of 2 s.
    QVERIFY2(reply->atMs >= 2600, qPrintable(QString::number(reply->atMs)));
}

void TestAutomationService::aNewerMessageExtendsEveryWait()
{
    Watch watch(m_x);
    // The first would stay a minute on its own.
    const auto *first = watch.send(m_bus->connection(), display(QStringLiteral("first"), QString(), 60.0));
    QVERIFY(QTest::qWaitFor([this] { return cardUp(); }, 30000));
    const qint64 secondSentMs = watch.clock.elapsed();
    const auto *second = watch.send(m_bus->connection(), display(QStringLiteral("second"), QStringLiteral("topLeft"), 1.0));
    QVERIFY(watch.untilReplied());
    QCOMPARE(watch.mostCards, 1);
    for (const auto *r : {first, second}) {
        QCOMPARE(r->pending.reply().type(), QDBusMessage::ReplyMessage);
        QVERIFY(!r->cardUp);
        QVERIFY2(r->atMs >= secondSentMs + 1600, qPrintable(QString::number(r->atMs - secondSentMs)));
    }
}

void TestAutomationService::badCallsAreRefusedAndShowNothing_data()
{
    QTest::addColumn<QDBusMessage>("call");
    QTest::addColumn<QString>("error");
    QTest::addColumn<QString>("mentions");
    const QString x = QStringLiteral("x");
    for (const QString &p : {QStringLiteral("middle"), QStringLiteral("TopLeft"), QStringLiteral("top left"),
                             QStringLiteral(" center"), QString(100000, QLatin1Char('p'))})
        QTest::newRow(qPrintable(p.left(10))) << display(x, p, 1.0) << kInvalidArgs << kNine;
    QTest::newRow("integer duration") << display(x, QString(), 1) << kInvalidArgs << QStringLiteral("\"ssi\"");
    QTest::newRow("too few") << method(BusNames::intentsInterface(), QStringLiteral("DisplayMessage"), {x, x})
                             << kInvalidArgs << QStringLiteral("\"ss\"");
    QTest::newRow("none") << method(BusNames::intentsInterface(), QStringLiteral("DisplayMessage"), {})
                          << kInvalidArgs << QStringLiteral("\"ssd\"");
    QTest::newRow("unknown method") << method(BusNames::intentsInterface(), QStringLiteral("Show"), {x})
                                    << QStringLiteral("org.freedesktop.DBus.Error.UnknownMethod") << QStringLiteral("Show");
    QTest::newRow("unknown action") << action(QStringLiteral("launch")) << kInvalidArgs << QStringLiteral("quit");
    QTest::newRow("action parameter") << action(actionId(AppAction::Quit), {QDBusVariant(1)}) << kInvalidArgs
                                      << QStringLiteral("no parameter");
    const QString known = QStringLiteral("screen (s: main, pointer, all)");
    QTest::newRow("options: unknown key") << displayWithOptions(x, QString(), 1.0, {{QStringLiteral("colour"), x}})
                                          << kInvalidArgs << known;
    QTest::newRow("options: a known and an unknown key")
        << displayWithOptions(x, QString(), 1.0, {{QStringLiteral("screen"), QStringLiteral("all")}, {QStringLiteral("Screen"), x}})
        << kInvalidArgs << QStringLiteral("\"Screen\"");
    QTest::newRow("options: screen as a number") << displayWithOptions(x, QString(), 1.0, {{QStringLiteral("screen"), 1}})
                                                 << kInvalidArgs << QStringLiteral("\"i\"");
    QTest::newRow("options: screen in a second variant")
        << displayWithOptions(x, QString(), 1.0,
                              {{QStringLiteral("screen"), QVariant::fromValue(QDBusVariant(QStringLiteral("all")))}})
        << kInvalidArgs << QStringLiteral("\"v\"");
    QTest::newRow("options: unknown screen") << displayWithOptions(x, QString(), 1.0, {{QStringLiteral("screen"), QStringLiteral("left")}})
                                             << kInvalidArgs << QStringLiteral("main, pointer, all");
    QTest::newRow("options: screen in another case")
        << displayWithOptions(x, QString(), 1.0, {{QStringLiteral("screen"), QStringLiteral("All")}}) << kInvalidArgs
        << QStringLiteral("\"All\"");
    QTest::newRow("options: bad position") << displayWithOptions(x, QStringLiteral("middle"), 1.0, {}) << kInvalidArgs << kNine;
    QTest::newRow("options: missing")
        << method(BusNames::intentsInterface(), QStringLiteral("DisplayMessageWithOptions"), {x, x, 1.0}) << kInvalidArgs
        << QStringLiteral("\"ssda{sv}\"");
    QTest::newRow("open") << method(BusNames::applicationInterface(), QStringLiteral("Open"), {QStringList{x}, QVariantMap{}})
                          << QStringLiteral("org.freedesktop.DBus.Error.NotSupported") << QStringLiteral("files");
}

void TestAutomationService::badCallsAreRefusedAndShowNothing()
{
    QFETCH(QDBusMessage, call);
    QFETCH(QString, error);
    QFETCH(QString, mentions);
    const QDBusMessage reply = m_bus->connection().call(call);
    QCOMPARE(reply.errorName(), error);
    QVERIFY2(reply.errorMessage().contains(mentions), qPrintable(reply.errorMessage()));
    QVERIFY(reply.errorMessage().size() < 400); // bad input is echoed, never at length
    // The refusal is the handler's answer: it has run and shown nothing.
    QVERIFY(!cardUp());
    QCOMPARE(lineIndex(m_env.debugLogMessages(), QStringLiteral("DisplayMessageIntent.perform()")), -1);
    QCOMPARE(m_app.state(), QProcess::Running);
}

void TestAutomationService::hugeMessageAndVanishingCallerLeaveTheAppServing()
{
    const QString huge = QStringLiteral("word ").repeated(840000); // 4 MiB
    const qint64 logBefore = QFileInfo(m_env.debugLogFile()).size();
    const QString name = QStringLiteral("fw-test-leaving-caller");
    QDBusConnection leaving = QDBusConnection::connectToBus(m_bus->address(), name);
    const QDBusPendingCall pending = leaving.asyncCall(display(huge, QString(), 1.0), INT_MAX);
    QVERIFY(QTest::qWaitFor([this] { return cardUp(); }, 60000));
    QDBusConnection::disconnectFromBus(name); // goes while it waits

    Watch watch(m_x);
    const auto *after = watch.send(m_bus->connection(), display(QStringLiteral("after"), QString(), 1.0));
    QVERIFY(watch.untilReplied());
    QCOMPARE(after->pending.reply().type(), QDBusMessage::ReplyMessage);
    QVERIFY(after->atMs >= 1600);
    // Logged shortened: any program in the session may send such messages.
    const QStringList log = m_env.debugLogMessages();
    QVERIFY(log.contains(QStringLiteral("DisplayMessageIntent.perform() message=\"") + loggedMessage(huge) + QLatin1Char('"')));
    QVERIFY(QFileInfo(m_env.debugLogFile()).size() - logBefore < 64 * 1024);
}

void TestAutomationService::othersAreAnsweredWhileAHugeWordIsShown_data()
{
    QTest::addColumn<QString>("message");
    const qsizetype n = 16 << 20;
    QTest::newRow("one 16 MiB word") << QString(n, u'm');
    QTest::newRow("16 MiB of line ends") << QString(n, u'\n');
    QTest::newRow("16 MiB of combining marks") << QStringLiteral("a") + QString(n / 2, QChar(0x0301));
    QTest::newRow("16 MiB of emoji") << QStringLiteral("\U0001F426").repeated(n / 4);
}

void TestAutomationService::othersAreAnsweredWhileAHugeWordIsShown()
{
    QFETCH(QString, message);
    Watch watch(m_x);
    const auto *huge = watch.send(m_bus->connection(), display(message, QString(), 30.0));
    QVERIFY(QTest::qWaitFor([this] { return cardUp(); }, 60000));
    // A call that needs the GUI thread is answered while the huge one waits.
    const QDBusMessage refused = m_bus->connection().call(display(QStringLiteral("x"), QStringLiteral("middle"), 1.0));
    QCOMPARE(refused.errorName(), kInvalidArgs);
    QVERIFY(!huge->pending.isFinished());
    QVERIFY(cardUp());

    // A short message replaces the card; both callers are answered once it is gone.
    watch.send(m_bus->connection(), display(QStringLiteral("after"), QString(), 1.0));
    QVERIFY(watch.untilReplied());
    QCOMPARE(huge->pending.reply().type(), QDBusMessage::ReplyMessage);
}

void TestAutomationService::outcomesReachTheCaller_data()
{
    QTest::addColumn<QString>("end");
    QTest::addColumn<QString>("outcome");
    QTest::newRow("its time runs out") << QStringLiteral("time") << QStringLiteral("timeout");
    QTest::newRow("a real click") << QStringLiteral("click") << QStringLiteral("clicked");
    QTest::newRow("a second call") << QStringLiteral("newer") << QStringLiteral("replaced");
}

void TestAutomationService::outcomesReachTheCaller()
{
    QFETCH(QString, end);
    QFETCH(QString, outcome);
    Watch watch(m_x);
    const double seconds = end == QLatin1String("time") ? 1.0 : 60.0;
    const auto *first = watch.send(m_bus->connection(), displayWithOptions(QStringLiteral("How did it end?"), QString(), seconds,
                                                                           {{QStringLiteral("screen"), QStringLiteral("main")}}));
    QVERIFY(QTest::qWaitFor([this] { return cardUp(); }, 30000));
    const Watch::Reply *second = nullptr;
    if (end == QLatin1String("click")) {
        // The user's click, through the X server: the card takes it
        // although it never takes the focus.
        const QPoint at = m_x.mappedWindowsNamed(kCard).first().geometry.center();
        QProcess xdotool;
        xdotool.start(QStringLiteral("xdotool"), {QStringLiteral("mousemove"), QString::number(at.x()),
                                                  QString::number(at.y()), QStringLiteral("click"), QStringLiteral("1")});
        QVERIFY(xdotool.waitForFinished(10000));
        QCOMPARE(xdotool.exitCode(), 0);
    } else if (end == QLatin1String("newer")) {
        second = watch.send(m_bus->connection(), displayWithOptions(QStringLiteral("newer"), QString(), 1.0, {}));
    }
    QVERIFY(watch.untilReplied());
    const QDBusMessage reply = first->pending.reply();
    QCOMPARE(reply.type(), QDBusMessage::ReplyMessage);
    QCOMPARE(reply.signature(), QStringLiteral("s"));
    QCOMPARE(reply.arguments().value(0).toString(), outcome);
    QVERIFY(!first->cardUp);
    if (second)
        QCOMPARE(second->pending.reply().arguments().value(0).toString(), QStringLiteral("timeout"));
    // A click ends it long before its minute.
    QVERIFY(first->atMs < 30000);
}

void TestAutomationService::introspectionDescribesTheAction()
{
    const QString xml = m_bus->connection()
                            .call(method(QStringLiteral("org.freedesktop.DBus.Introspectable"), QStringLiteral("Introspect"), {}))
                            .arguments()
                            .value(0)
                            .toString();
    QXmlStreamReader reader(xml);
    while (!reader.atEnd())
        reader.readNext();
    QVERIFY2(!reader.hasError(), qPrintable(reader.errorString()));
    // The annotations, in document order: the action's, then each argument's.
    qsizetype at = xml.indexOf(QStringLiteral("<method name=\"DisplayMessage\">"));
    const QStringList inOrder = {
        QStringLiteral("Title|Display Message"), QStringLiteral("ParameterSummary|Display message ${message} at ${position}"),
        QStringLiteral("Title|Message"), QStringLiteral("Title|Position"), QStringLiteral("Default|center"),
        QStringLiteral("TypeName|Position"), QStringLiteral("Case.center|center"), QStringLiteral("Case.top|top"),
        QStringLiteral("Case.bottom|bottom"), QStringLiteral("Case.left|left"), QStringLiteral("Case.right|right"),
        QStringLiteral("Case.topLeft|top left"), QStringLiteral("Case.topRight|top right"),
        QStringLiteral("Case.bottomLeft|bottom left"), QStringLiteral("Case.bottomRight|bottom right"),
        QStringLiteral("Title|Duration"),
        QStringLiteral("Description|Seconds to keep the message on screen. 0 means automatic, based on message length."),
        QStringLiteral("Default|0")};
    for (const QString &note : inOrder) {
        const QString element = QStringLiteral("<annotation name=\"%1%2\" value=\"%3\"/>")
                                    .arg(AutomationInterfaceXml::annotationPrefix(), note.section(QLatin1Char('|'), 0, 0),
                                         note.section(QLatin1Char('|'), 1));
        at = at < 0 ? -1 : xml.indexOf(element, at);
        QVERIFY2(at >= 0, qPrintable(element));
    }
    // The method with options: the same annotations, then its options and
    // its answer.
    at = xml.indexOf(QStringLiteral("<method name=\"DisplayMessageWithOptions\">"));
    QVERIFY(at >= 0);
    for (const QString &piece :
         {AutomationInterfaceXml::annotationPrefix() + QStringLiteral("Title\" value=\"Display Message\""),
          QStringLiteral("<arg name=\"message\" type=\"s\" direction=\"in\">"),
          QStringLiteral("<arg name=\"duration\" type=\"d\" direction=\"in\">"),
          QStringLiteral("<arg name=\"options\" type=\"a{sv}\" direction=\"in\">"),
          AutomationInterfaceXml::annotationPrefix() + QStringLiteral("Case.screen.pointer\""),
          QStringLiteral("<arg name=\"outcome\" type=\"s\" direction=\"out\">"),
          AutomationInterfaceXml::annotationPrefix() + QStringLiteral("Case.replaced\"")}) {
        at = at < 0 ? -1 : xml.indexOf(piece, at);
        QVERIFY2(at >= 0, qPrintable(piece));
    }
    for (const QString &iface : {BusNames::applicationInterface(), BusNames::instanceInterface()})
        QVERIFY(xml.contains(QStringLiteral("<interface name=\"%1\">").arg(iface)));
}

void TestAutomationService::applicationInterface()
{
    QDBusConnection bus = m_bus->connection();
    QCOMPARE(bus.call(method(BusNames::applicationInterface(), QStringLiteral("Activate"), {QVariantMap{}})).type(),
             QDBusMessage::ReplyMessage);
    QCOMPARE(bus.call(action(actionId(AppAction::ShowTestMessage))).type(), QDBusMessage::ReplyMessage);
    QVERIFY(QTest::qWaitFor([this] { return cardUp(); }, 30000));
    const QString line = QStringLiteral("show() message=\"%1\" appIsReady=true").arg(testMessageText());
    QVERIFY(lineIndex(m_env.debugLogMessages(), line) >= 0);
}

void TestAutomationService::theCopySaysWhichItIsOnceSettled()
{
    // What the start watch asks of the name's owner: an error until the
    // launch has settled, then this copy's build and bundle.
    QDBusConnection bus = m_bus->connection();
    const QDBusMessage build = method(BusNames::instanceInterface(), QStringLiteral("Build"), {});
    QDBusMessage reply;
    QVERIFY(QTest::qWaitFor([&] {
        reply = bus.call(build);
        if (reply.type() == QDBusMessage::ErrorMessage && reply.errorName() != BusNames::startingError())
            return true;
        return reply.type() == QDBusMessage::ReplyMessage;
    }, 30000));
    QCOMPARE(reply.type(), QDBusMessage::ReplyMessage);
    const Bundle bundle = Bundle::atPath(QStringLiteral(FW_BUNDLE_DIR));
    QCOMPARE(reply.arguments().value(0).toLongLong(), VersionRules::buildOfBundle(bundle));
    QCOMPARE(reply.signature(), QStringLiteral("x"));
    const QDBusMessage path = bus.call(method(BusNames::instanceInterface(), QStringLiteral("BundlePath"), {}));
    QCOMPARE(path.arguments().value(0).toString(), QFileInfo(QStringLiteral(FW_BUNDLE_DIR)).canonicalFilePath());
    const QDBusMessage withArgument = bus.call(method(BusNames::instanceInterface(), QStringLiteral("Build"), {1}));
    QCOMPARE(withArgument.errorName(), kInvalidArgs);
}

QTEST_MAIN(TestAutomationService)
#include "tst_AutomationService.moc"
