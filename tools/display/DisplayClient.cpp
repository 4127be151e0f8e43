#include "DisplayClient.h"

#include "intent/BusNames.h"
#include "platform/Bundle.h"
#include "platform/UniqueFd.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QDBusReply>
#include <QDBusServiceWatcher>
#include <QFileInfo>
#include <QProcess>
#include <QPromise>
#include <QSocketNotifier>
#include <QTemporaryFile>
#include <QTimer>

#include <qcoro/qcorodbus.h>
#include <qcoro/qcorofuture.h>

#include <cerrno>
#include <climits>
#include <memory>
#include <optional>

#include <sys/syscall.h>
#include <unistd.h>

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

    // Its stderr goes to an unlinked-on-return file, so that when it fails
    // to start its own one-line reason can be passed on; when it runs, what
    // it writes later costs nothing once the file is gone.
    QTemporaryFile errors;
    if (!errors.open())
        co_return QStringLiteral("cannot start %1: no temporary file for its errors (%2)").arg(program, errors.errorString());

    // Detached: its own session, so Ctrl-C here leaves it running, and its
    // output goes nowhere we hold, so $(ferrowhistle-display ...) does not
    // wait on it.
    QProcess process;
    process.setProgram(program);
    process.setWorkingDirectory(QStringLiteral("/"));
    process.setStandardInputFile(QProcess::nullDevice());
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(errors.fileName());
    qint64 pid = 0;
    if (!process.startDetached(&pid))
        co_return QStringLiteral("cannot start %1: %2").arg(program, oneLine(process.errorString()));

    // The detached app is not our child, so its end is watched through a
    // process file descriptor, which becomes readable when it exits.
    const UniqueFd pidFd(static_cast<int>(::syscall(SYS_pidfd_open, static_cast<pid_t>(pid), 0)));
    const bool alreadyGone = !pidFd && errno == ESRCH;

    const QDBusReply<bool> owned = m_bus.interface()->isServiceRegistered(BusNames::service());
    if (owned.isValid() && owned.value())
        co_return QString();

    enum class Start { Appeared, Exited, TimedOut };
    auto promise = std::make_shared<QPromise<Start>>();
    const auto settle = [promise](Start outcome) {
        if (promise->future().isFinished())
            return;
        promise->addResult(outcome);
        promise->finish();
    };
    promise->start();
    QObject::connect(&watcher, &QDBusServiceWatcher::serviceRegistered, &watcher, [settle] { settle(Start::Appeared); });
    std::optional<QSocketNotifier> exited;
    if (pidFd) {
        exited.emplace(pidFd.get(), QSocketNotifier::Read);
        QObject::connect(&*exited, &QSocketNotifier::activated, &watcher, [settle] { settle(Start::Exited); });
    }
    if (alreadyGone)
        settle(Start::Exited);
    QTimer timeout;
    timeout.setSingleShot(true);
    QObject::connect(&timeout, &QTimer::timeout, &watcher, [settle] { settle(Start::TimedOut); });
    timeout.start(kStartTimeoutMs);

    const Start outcome = co_await promise->future();
    if (outcome == Start::Appeared)
        co_return QString();
    if (outcome == Start::TimedOut)
        co_return QStringLiteral("started %1, but it did not appear on the session bus within %2 s")
            .arg(program)
            .arg(kStartTimeoutMs / 1000);
    // It may have registered and then ended; that is not a failed start.
    const QDBusReply<bool> after = m_bus.interface()->isServiceRegistered(BusNames::service());
    if (after.isValid() && after.value())
        co_return QString();
    QString reason;
    for (const QByteArray &line : errors.readAll().split('\n')) {
        if (!line.trimmed().isEmpty())
            reason = oneLine(QString::fromLocal8Bit(line));
    }
    if (reason.isEmpty())
        co_return QStringLiteral("started %1, but it ended before it appeared on the session bus").arg(program);
    co_return QStringLiteral("started %1, but it ended before it appeared on the session bus: %2").arg(program, reason);
}
