#include "intent/AutomationService.h"

#include "hud/HUDPosition.h"
#include "intent/AutomationInterfaceXml.h"
#include "intent/BusArguments.h"
#include "intent/BusNames.h"

#include <QDBusArgument>
#include <QDBusConnectionInterface>
#include <QDBusPendingCallWatcher>
#include <QDBusVariant>

namespace {

const QString kInvalidArgs = QStringLiteral("org.freedesktop.DBus.Error.InvalidArgs");
const QString kUnknownMethod = QStringLiteral("org.freedesktop.DBus.Error.UnknownMethod");
const QString kNotSupported = QStringLiteral("org.freedesktop.DBus.Error.NotSupported");

using BusArguments::shortened;

bool expectSignature(const QDBusMessage &call, const QDBusConnection &connection, const char *expected,
                     const char *description)
{
    const auto refusal = BusArguments::signatureRefusal(call.member(), call.signature(), expected, description);
    if (refusal)
        connection.send(call.createErrorReply(kInvalidArgs, *refusal));
    return !refusal;
}

// Which of our interfaces a call without an interface name means.
QString interfaceFor(const QString &member)
{
    if (member == QLatin1String("DisplayMessage") || member == QLatin1String("DisplayMessageWithOptions"))
        return BusNames::intentsInterface();
    if (member == QLatin1String("Activate") || member == QLatin1String("Open")
        || member == QLatin1String("ActivateAction"))
        return BusNames::applicationInterface();
    if (member == QLatin1String("HandleCommandLine") || member == QLatin1String(BusNames::Literal::build)
        || member == QLatin1String(BusNames::Literal::bundlePath))
        return BusNames::instanceInterface();
    return {};
}

} // namespace

AutomationService::AutomationService(QObject *parent) : QDBusVirtualObject(parent) {}

QString AutomationService::introspect(const QString &path) const
{
    Q_UNUSED(path);
    return AutomationInterfaceXml::interfacesXml();
}

QString AutomationService::invalidPositionText(const QString &position)
{
    return BusArguments::invalidPositionText(position);
}

bool AutomationService::handleMessage(const QDBusMessage &message, const QDBusConnection &connection)
{
    if (message.type() != QDBusMessage::MethodCallMessage)
        return false;
    const QString member = message.member();
    const QString iface = message.interface().isEmpty() ? interfaceFor(member) : message.interface();

    if (iface == BusNames::intentsInterface()) {
        if (member == QLatin1String("DisplayMessage")) {
            displayMessage(message, connection);
            return true;
        }
        if (member == QLatin1String("DisplayMessageWithOptions")) {
            displayMessageWithOptions(message, connection);
            return true;
        }
    } else if (iface == BusNames::applicationInterface()) {
        if (member == QLatin1String("Activate")) {
            // The settings window is the app's only window, and on desktops
            // without a tray a launcher click is the way to reach it.
            if (expectSignature(message, connection, "a{sv}", "a{sv} platform_data")) {
                connection.send(message.createReply());
                Q_EMIT settingsRequested();
            }
            return true;
        }
        if (member == QLatin1String("Open")) {
            if (expectSignature(message, connection, "asa{sv}", "as uris, a{sv} platform_data"))
                connection.send(message.createErrorReply(kNotSupported, QStringLiteral("Ferrowhistle opens no files")));
            return true;
        }
        if (member == QLatin1String("ActivateAction")) {
            if (expectSignature(message, connection, "sava{sv}", "s action_name, av parameter, a{sv} platform_data"))
                activateAction(message, connection);
            return true;
        }
    } else if (iface == BusNames::instanceInterface()) {
        if (member == QLatin1String("HandleCommandLine")) {
            if (expectSignature(message, connection, "as", "as arguments")) {
                const QStringList arguments = message.arguments().at(0).toStringList();
                connection.send(message.createReply());
                Q_EMIT commandLineReceived(arguments);
            }
            return true;
        }
        const bool build = member == QLatin1String(BusNames::Literal::build);
        if (build || member == QLatin1String(BusNames::Literal::bundlePath)) {
            if (!expectSignature(message, connection, "", "no arguments"))
                return true;
            if (m_bundlePath.isEmpty())
                connection.send(message.createErrorReply(BusNames::startingError(),
                                                         QStringLiteral("this copy's launch has not settled yet")));
            else
                connection.send(build ? message.createReply(m_build) : message.createReply(m_bundlePath));
            return true;
        }
    } else {
        // Introspectable, Peer and Properties are answered by Qt.
        return false;
    }
    connection.send(message.createErrorReply(
        kUnknownMethod, QStringLiteral("no method \"%1\" in interface %2").arg(shortened(member), iface)));
    return true;
}

void AutomationService::displayMessage(const QDBusMessage &call, const QDBusConnection &connection)
{
    auto checked = BusArguments::displayMessage(call.signature(), call.arguments());
    if (const QString *refusal = std::get_if<QString>(&checked)) {
        connection.send(call.createErrorReply(kInvalidArgs, *refusal));
        return;
    }
    auto &args = std::get<BusArguments::DisplayMessageCall>(checked);
    DisplayMessageIntent intent;
    intent.message = std::move(args.message);
    intent.position = args.position;
    intent.duration = args.duration;
    // Not awaited: the coroutine owns its frame and ends after the reply.
    performAndReply(std::move(intent), call, connection);
}

void AutomationService::displayMessageWithOptions(const QDBusMessage &call, const QDBusConnection &connection)
{
    auto checked = BusArguments::displayMessageWithOptions(call.signature(), call.arguments());
    if (const QString *refusal = std::get_if<QString>(&checked)) {
        connection.send(call.createErrorReply(kInvalidArgs, *refusal));
        return;
    }
    auto &args = std::get<BusArguments::DisplayMessageWithOptionsCall>(checked);
    DisplayMessageIntent intent;
    intent.message = std::move(args.display.message);
    intent.position = args.display.position;
    intent.duration = args.display.duration;
    intent.screen = args.screen;
    performAndReply(std::move(intent), call, connection, true);
}

QCoro::Task<> AutomationService::performAndReply(DisplayMessageIntent intent, QDBusMessage call,
                                                 QDBusConnection connection, bool withOutcome)
{
    const HUDOutcome outcome = co_await intent.perform();
    // A caller that has gone meanwhile is fine: the bus drops the reply.
    if (withOutcome)
        connection.send(call.createReply(HUDOutcomes::rawValue(outcome)));
    else
        connection.send(call.createReply());
}

void AutomationService::activateAction(const QDBusMessage &call, const QDBusConnection &connection)
{
    const QList<QVariant> args = call.arguments();
    const QString action = args.at(0).toString();
    const QDBusArgument parameter = args.at(1).value<QDBusArgument>();
    bool hasParameter = false;
    parameter.beginArray();
    hasParameter = !parameter.atEnd();
    parameter.endArray();

    if (!m_actionIds.contains(action)) {
        connection.send(call.createErrorReply(
            kInvalidArgs, QStringLiteral("unknown action \"%1\"; actions: %2")
                              .arg(shortened(action), m_actionIds.join(QStringLiteral(", ")))));
        return;
    }
    if (hasParameter) {
        connection.send(call.createErrorReply(
            kInvalidArgs, QStringLiteral("action \"%1\" takes no parameter").arg(action)));
        return;
    }
    const std::optional<ActionRefusal> refusal = m_actionHandler ? m_actionHandler(action) : std::nullopt;
    if (refusal)
        connection.send(call.createErrorReply(refusal->errorName, refusal->message));
    else
        connection.send(call.createReply());
}

void AutomationService::quitOnceRepliesAreOut(const QDBusConnection &connection)
{
    // Quit only once the replies have left: a round trip to the bus after
    // them proves the bus has them (messages on one connection stay in order).
    QDBusMessage ping = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.DBus"),
                                                       QStringLiteral("/org/freedesktop/DBus"),
                                                       QStringLiteral("org.freedesktop.DBus.Peer"),
                                                       QStringLiteral("Ping"));
    auto *watcher = new QDBusPendingCallWatcher(connection.asyncCall(ping), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher *w) {
        w->deleteLater();
        Q_EMIT quitRequested();
    });
}
