#include "intent/SingleInstance.h"

#include "intent/AutomationService.h"
#include "intent/BusNames.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusReply>

namespace {

// The running instance answers the hand-over at once; this only guards
// against one that has hung.
constexpr int kForwardTimeoutMs = 15000;
// The owner can quit between our request and the hand-over; then the name
// is free and the next round takes it.
constexpr int kAttempts = 3;

bool ownerVanished(const QDBusMessage &reply)
{
    const QString name = reply.errorName();
    return name == QLatin1String("org.freedesktop.DBus.Error.ServiceUnknown")
           || name == QLatin1String("org.freedesktop.DBus.Error.NameHasNoOwner");
}

} // namespace

namespace SingleInstance {

Outcome claim(QDBusConnection connection, AutomationService *service, const QStringList &arguments)
{
    if (!connection.isConnected())
        return {Outcome::Unavailable, QStringLiteral("no session bus (%1)").arg(connection.lastError().message())};
    if (!connection.registerVirtualObject(BusNames::objectPath(), service))
        return {Outcome::Unavailable, QStringLiteral("cannot register %1 (%2)")
                                          .arg(BusNames::objectPath(), connection.lastError().message())};

    QString lastError;
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        const QDBusReply<QDBusConnectionInterface::RegisterServiceReply> reply = connection.interface()->registerService(
            BusNames::service(), QDBusConnectionInterface::DontQueueService,
            QDBusConnectionInterface::DontAllowReplacement);
        if (!reply.isValid()) {
            connection.unregisterObject(BusNames::objectPath());
            return {Outcome::Unavailable,
                    QStringLiteral("cannot own %1 (%2)").arg(BusNames::service(), reply.error().message())};
        }
        if (reply.value() == QDBusConnectionInterface::ServiceRegistered)
            return {Outcome::Primary, {}};

        QDBusMessage call = QDBusMessage::createMethodCall(BusNames::service(), BusNames::objectPath(),
                                                           BusNames::instanceInterface(),
                                                           QStringLiteral("HandleCommandLine"));
        call << arguments;
        call.setAutoStartService(false);
        const QDBusMessage answer = connection.call(call, QDBus::Block, kForwardTimeoutMs);
        if (answer.type() == QDBusMessage::ReplyMessage) {
            connection.unregisterObject(BusNames::objectPath());
            return {Outcome::Forwarded, {}};
        }
        lastError = answer.errorMessage();
        if (!ownerVanished(answer))
            break;
    }
    connection.unregisterObject(BusNames::objectPath());
    return {Outcome::Failed, QStringLiteral("the running instance did not take the command line (%1)").arg(lastError)};
}

} // namespace SingleInstance
