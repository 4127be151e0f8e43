#include "DisplayClient.h"

#include "intent/BusNames.h"
#include "platform/Bundle.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QDBusReply>
#include <QDBusServiceWatcher>
#include <QFileInfo>
#include <QProcess>

#include <qcoro/qcorodbus.h>
#include <qcoro/qcorosignal.h>

#include <chrono>
#include <climits>

namespace {

// The call lasts as long as the message stays; libdbus reads INT_MAX as
// "no timeout".
constexpr int kCallTimeoutMs = INT_MAX;

QString oneLine(QString text)
{
    text.replace(QLatin1Char('\n'), QLatin1Char(' '));
    return text.trimmed();
}

bool isSpawnError(const QString &errorName)
{
    return errorName.startsWith(QLatin1String("org.freedesktop.DBus.Error.Spawn."));
}

// No app owns the name and none could be activated for it (no activation
// file, or a stale one): starting the app beside us may still work.
bool noAppCameUp(const QString &errorName)
{
    return isSpawnError(errorName) || errorName == QLatin1String("org.freedesktop.DBus.Error.ServiceUnknown");
}

} // namespace

QCoro::Task<DisplayClient::Result> DisplayClient::run(DisplayArguments arguments)
{
    if (!m_bus.isConnected())
        co_return Result{1, QStringLiteral("cannot reach the session bus: %1").arg(oneLine(m_bus.lastError().message()))};

    // Call straight away: a running app answers, and an installed activation
    // file makes the bus start one, which holds the message until it has
    // finished launching. Only when neither is there is the app started here.
    const Result first = co_await call(arguments);
    const QString errorName = first.error.section(QLatin1Char(' '), 0, 0);
    if (first.exitCode == 0 || !noAppCameUp(errorName))
        co_return first;
    const QString launchError = co_await launchBesideUs();
    if (!launchError.isEmpty()) {
        // After a failed activation both reasons matter; "no such name" adds nothing.
        co_return Result{1, isSpawnError(errorName) ? first.error + QStringLiteral("; ") + launchError : launchError};
    }
    co_return co_await call(arguments);
}

QCoro::Task<DisplayClient::Result> DisplayClient::call(const DisplayArguments &arguments)
{
    QDBusMessage message = QDBusMessage::createMethodCall(BusNames::service(), BusNames::objectPath(),
                                                          BusNames::intentsInterface(),
                                                          QStringLiteral("DisplayMessage"));
    message << arguments.message << arguments.position << arguments.duration;
    const QDBusMessage reply = co_await m_bus.asyncCall(message, kCallTimeoutMs);
    if (reply.type() == QDBusMessage::ReplyMessage)
        co_return Result{0, {}};
    const QString name = reply.errorName();
    // The error name leads, so the caller can tell a failed activation.
    const QString text = name + QLatin1Char(' ') + oneLine(reply.errorMessage());
    if (name == QLatin1String("org.freedesktop.DBus.Error.InvalidArgs"))
        co_return Result{2, text};
    if (name == QLatin1String("org.freedesktop.DBus.Error.NoReply"))
        co_return Result{1, QStringLiteral("Ferrowhistle went away before the message had gone (%1)").arg(text)};
    co_return Result{1, text};
}

QCoro::Task<QString> DisplayClient::launchBesideUs()
{
    const QString program = Bundle::main().helperProgram(QStringLiteral("Ferrowhistle"));
    if (!QFileInfo(program).isExecutable())
        co_return QStringLiteral("Ferrowhistle is not running and %1 cannot be started (no such program)").arg(program);

    // Watch before starting, so a quick registration cannot slip past.
    QDBusServiceWatcher watcher(BusNames::service(), m_bus, QDBusServiceWatcher::WatchForRegistration);

    // Detached: its own session, so Ctrl-C here leaves it running, and its
    // output goes nowhere, so $(ferrowhistle-display ...) does not wait on it.
    QProcess process;
    process.setProgram(program);
    process.setWorkingDirectory(QStringLiteral("/"));
    process.setStandardInputFile(QProcess::nullDevice());
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QProcess::nullDevice());
    if (!process.startDetached())
        co_return QStringLiteral("cannot start %1: %2").arg(program, oneLine(process.errorString()));

    const QDBusReply<bool> owned = m_bus.interface()->isServiceRegistered(BusNames::service());
    if (owned.isValid() && owned.value())
        co_return QString();
    const auto registered = co_await qCoro(&watcher, &QDBusServiceWatcher::serviceRegistered,
                                           std::chrono::milliseconds(kStartTimeoutMs));
    if (!registered)
        co_return QStringLiteral("started %1, but it did not appear on the session bus within %2 s")
            .arg(program)
            .arg(kStartTimeoutMs / 1000);
    co_return QString();
}
