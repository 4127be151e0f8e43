// Screen readers: the app from the built bundle with an accessibility bus
// (at-spi2-core's bus launcher, its registry, and the status that says an
// assistive technology runs), read with an AT-SPI client while a card is up.
#include "intent/BusNames.h"
#include "support/PrivateBus.h"
#include "support/TestEnvironment.h"
#include "support/X11Windows.h"

#include <QDBusConnectionInterface>
#include <QDBusPendingCall>
#include <QDBusVariant>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QScopeGuard>
#include <QTest>

#include <climits>
#include <memory>

namespace {

const QString kCard = QStringLiteral("Ferrowhistle");
const QString kLauncher = QStringLiteral("/usr/libexec/at-spi-bus-launcher");

QDBusMessage display(const QString &message, double duration)
{
    QDBusMessage m = QDBusMessage::createMethodCall(BusNames::service(), BusNames::objectPath(),
                                                    BusNames::intentsInterface(), QStringLiteral("DisplayMessage"));
    m.setArguments({message, QString(), duration});
    return m;
}

} // namespace

class TestHUDAccessible : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void everyCardOfASessionIsAnnounced();
    void theCardIsANotificationNamedByItsText_data();
    void theCardIsANotificationNamedByItsText();

private:
    // What the AT-SPI client finds, one object a row.
    QJsonArray accessibleObjects(QString *error) const;

    TestEnvironment m_env;
    X11Client m_x;
    std::unique_ptr<PrivateBus> m_bus;
    QProcess m_launcher;
    QProcess m_app;
};

void TestHUDAccessible::initTestCase()
{
    QVERIFY2(QFileInfo(kLauncher).isExecutable(), "at-spi2-core's bus launcher is missing (scripts/install-deps)");
    m_bus = std::make_unique<PrivateBus>(m_env.root() + QStringLiteral("/bus"), m_env.root() + QStringLiteral("/services"));
    QVERIFY(m_bus->isRunning() && m_x.isConnected());

    // The launcher keeps the status in GSettings; in memory here, so that
    // nothing outlives the test (and no dconf service is needed).
    QProcessEnvironment launcherEnv = m_bus->environment();
    launcherEnv.insert(QStringLiteral("GSETTINGS_BACKEND"), QStringLiteral("memory"));
    m_launcher.setProcessEnvironment(launcherEnv);
    m_launcher.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_launcher.start(kLauncher, {QStringLiteral("--launch-immediately")});
    QVERIFY(m_launcher.waitForStarted());
    QDBusConnection bus = m_bus->connection();
    QVERIFY(QTest::qWaitFor([&] { return bus.interface()->isServiceRegistered(QStringLiteral("org.a11y.Bus")); }, 30000));
    // What a screen reader sets when it starts: accessibility on, and a
    // screen reader running.
    for (const char *property : {"IsEnabled", "ScreenReaderEnabled"}) {
        QDBusMessage enable = QDBusMessage::createMethodCall(QStringLiteral("org.a11y.Bus"), QStringLiteral("/org/a11y/bus"),
                                                             QStringLiteral("org.freedesktop.DBus.Properties"),
                                                             QStringLiteral("Set"));
        enable.setArguments({QStringLiteral("org.a11y.Status"), QString::fromLatin1(property), QVariant::fromValue(QDBusVariant(true))});
        const QDBusMessage enabled = bus.call(enable);
        QVERIFY2(enabled.type() == QDBusMessage::ReplyMessage, qPrintable(enabled.errorMessage()));
    }

    m_app.setProcessEnvironment(m_bus->environment());
    m_app.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_app.start(bundleProgram(QStringLiteral("Ferrowhistle")));
    QVERIFY(m_bus->waitForApp(true));
    // A screen reader finds the app once it has joined the accessibility bus.
    QString error;
    QVERIFY2(QTest::qWaitFor([&] {
                 for (const QJsonValue &v : accessibleObjects(&error)) {
                     if (v.toObject().value(QStringLiteral("role")).toString() == QLatin1String("application")
                         && v.toObject().value(QStringLiteral("app")).toString() == QLatin1String("Ferrowhistle"))
                         return true;
                 }
                 return false;
             }, 30000),
             qPrintable(error));
}

void TestHUDAccessible::cleanupTestCase()
{
    if (m_bus)
        m_bus->stopApp();
    if (m_launcher.state() != QProcess::NotRunning) {
        m_launcher.terminate();
        m_launcher.waitForFinished(10000);
    }
}

QJsonArray TestHUDAccessible::accessibleObjects(QString *error) const
{
    QProcess client;
    client.setProcessEnvironment(m_bus->environment());
    // Debian's own Python, which python3-pyatspi is installed for.
    client.start(QStringLiteral("/usr/bin/python3"), {QStringLiteral(FW_SOURCE_DIR "/tests/hud/atspi_tree.py")});
    if (!client.waitForFinished(30000) || client.exitCode() != 0) {
        *error = QString::fromUtf8(client.readAllStandardError());
        return {};
    }
    QJsonParseError parse{};
    const QJsonDocument doc = QJsonDocument::fromJson(client.readAllStandardOutput(), &parse);
    if (parse.error != QJsonParseError::NoError)
        *error = parse.errorString();
    return doc.array();
}

void TestHUDAccessible::everyCardOfASessionIsAnnounced()
{
    // A screen reader that was there before the first card: it knows only
    // what the events told it, and what it read of their objects then.
    QProcess listener;
    listener.setProcessEnvironment(m_bus->environment());
    listener.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    listener.start(QStringLiteral("/usr/bin/python3"),
                   {QStringLiteral(FW_SOURCE_DIR "/tests/hud/atspi_listen.py"), QStringLiteral("Ferrowhistle")});
    const auto stop = qScopeGuard([&] {
        listener.terminate();
        listener.waitForFinished(10000);
    });
    QList<QJsonObject> heard;
    bool ready = false;
    const auto hear = [&] {
        while (listener.canReadLine()) {
            const QByteArray line = listener.readLine().trimmed();
            if (line == "ready")
                ready = true;
            else
                heard.append(QJsonDocument::fromJson(line).object());
        }
    };
    QVERIFY(QTest::qWaitFor([&] { hear(); return ready; }, 30000));

    // Announced: a notification, showing, whose name is the card's text.
    const auto announced = [&](const QString &text) {
        for (const QJsonObject &event : std::as_const(heard)) {
            const QJsonObject source = event.value(QStringLiteral("source")).toObject();
            if (event.value(QStringLiteral("type")).toString() == QLatin1String("object:state-changed:showing")
                && event.value(QStringLiteral("detail1")).toInt() == 1
                && source.value(QStringLiteral("role")).toString() == QLatin1String("notification")
                && source.value(QStringLiteral("name")).toString() == text)
                return true;
        }
        return false;
    };
    const auto heardSoFar = [&] {
        QStringList out;
        for (const QJsonObject &event : std::as_const(heard))
            out.append(QString::fromUtf8(QJsonDocument(event).toJson(QJsonDocument::Compact)));
        return out.join(QLatin1Char('\n'));
    };
    for (const QString &text : {QStringLiteral("First card"), QStringLiteral("Second card"), QStringLiteral("Third card")}) {
        QVERIFY(QTest::qWaitFor([this] { return m_x.mappedWindowsNamed(kCard).isEmpty(); }, 30000));
        const QDBusPendingCall call = m_bus->connection().asyncCall(display(text, 0.5), INT_MAX);
        QVERIFY2(QTest::qWaitFor([&] { hear(); return announced(text); }, 30000),
                 qPrintable(text + QStringLiteral(" was not announced; heard:\n") + heardSoFar()));
        QVERIFY(QTest::qWaitFor([&] { return call.isFinished(); }, 30000));
    }
}

void TestHUDAccessible::theCardIsANotificationNamedByItsText_data()
{
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("name");
    QTest::newRow("one line") << QStringLiteral("Backup finished") << QStringLiteral("Backup finished");
    // As shown: two lines, the trailing break gone.
    QTest::newRow("two lines") << QStringLiteral("Backup finished\r\nCopied 1,204 files\n")
                               << QStringLiteral("Backup finished\nCopied 1,204 files");
}

void TestHUDAccessible::theCardIsANotificationNamedByItsText()
{
    QFETCH(QString, message);
    QFETCH(QString, name);
    QVERIFY(QTest::qWaitFor([this] { return m_x.mappedWindowsNamed(kCard).isEmpty(); }, 30000));
    const QDBusPendingCall call = m_bus->connection().asyncCall(display(message, 30), INT_MAX);
    QVERIFY(QTest::qWaitFor([this] { return !m_x.mappedWindowsNamed(kCard).isEmpty(); }, 30000));

    // The registry learns of the card as it is shown; look until it has.
    QJsonObject card;
    QString error;
    QStringList seen;
    QVERIFY2(QTest::qWaitFor([&] {
                 seen.clear();
                 for (const QJsonValue &v : accessibleObjects(&error)) {
                     const QJsonObject o = v.toObject();
                     seen.append(o.value(QStringLiteral("app")).toString() + QLatin1Char('/') + o.value(QStringLiteral("role")).toString()
                                 + QLatin1Char('/') + o.value(QStringLiteral("name")).toString());
                     if (o.value(QStringLiteral("name")).toString() == name)
                         card = o;
                 }
                 return !card.isEmpty();
             }, 30000),
             qPrintable(error + QLatin1Char('\n') + seen.join(QLatin1Char('\n'))));
    QCOMPARE(card.value(QStringLiteral("app")).toString(), QStringLiteral("Ferrowhistle"));
    QCOMPARE(card.value(QStringLiteral("role")).toString(), QStringLiteral("notification"));
    const QJsonArray states = card.value(QStringLiteral("states")).toArray();
    QVERIFY(states.contains(QStringLiteral("showing")));
    // Announced, not focused: nothing takes the keyboard away from the user.
    QVERIFY(!states.contains(QStringLiteral("focused")));
    QVERIFY(!states.contains(QStringLiteral("focusable")));

    // A newer, short message takes its place; both calls then end.
    QDBusMessage dismiss = QDBusMessage::createMethodCall(BusNames::service(), BusNames::objectPath(),
                                                          BusNames::intentsInterface(), QStringLiteral("DisplayMessage"));
    dismiss.setArguments({QStringLiteral("next"), QString(), 0.2});
    QCOMPARE(m_bus->connection().call(dismiss, QDBus::Block, INT_MAX).type(), QDBusMessage::ReplyMessage);
    QVERIFY(QTest::qWaitFor([&] { return call.isFinished(); }, 10000));
}

QTEST_MAIN(TestHUDAccessible)
#include "tst_HUDAccessible.moc"
