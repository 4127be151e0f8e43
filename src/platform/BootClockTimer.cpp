#include "platform/BootClockTimer.h"

#include "platform/SignalWait.h"
#include "platform/SystemError.h"
#include "platform/SystemLog.h"

#include <QSocketNotifier>
#include <QTimer>

#include <qcoro/qcorotimer.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <stdexcept>

#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

namespace {

std::atomic<bool> g_failArming{false};

// Once per process: the hourly loop would otherwise repeat it every hour.
void logFallback(const QString &reason)
{
    static std::atomic<bool> logged{false};
    if (logged.exchange(true))
        return;
    systemLog({QStringLiteral(FERROWHISTLE_BUNDLE_ID), QStringLiteral("timer"),
               QStringLiteral("Couldn't use a timer on the boot clock (%1); waiting on the ordinary clock instead, "
                              "which doesn't count while the computer sleeps")
                   .arg(reason)});
}

} // namespace

void BootClockTimer::failArmingForTesting(bool fail) { g_failArming = fail; }

BootClockTimer::BootClockTimer(QObject *parent) : QObject(parent)
{
    m_fd = ::timerfd_create(CLOCK_BOOTTIME, TFD_NONBLOCK | TFD_CLOEXEC);
    if (m_fd < 0)
        throw std::runtime_error(std::string("timerfd_create(CLOCK_BOOTTIME) failed: ") + std::strerror(errno));
    m_notifier = new QSocketNotifier(m_fd, QSocketNotifier::Read, this);
    m_notifier->setEnabled(false);
    connect(m_notifier, &QSocketNotifier::activated, this, &BootClockTimer::onReadable);
}

BootClockTimer::~BootClockTimer()
{
    delete m_notifier;
    ::close(m_fd);
}

void BootClockTimer::start(std::chrono::nanoseconds duration)
{
    // A zero it_value would disarm the timer; one nanosecond fires at once.
    const qint64 ns = std::max<qint64>(duration.count(), 1);
    itimerspec deadline{};
    deadline.it_value.tv_sec = static_cast<time_t>(ns / 1'000'000'000);
    deadline.it_value.tv_nsec = static_cast<long>(ns % 1'000'000'000);
    const int rc = g_failArming ? (errno = EINVAL, -1) : ::timerfd_settime(m_fd, 0, &deadline, nullptr);
    if (rc == 0) {
        if (m_fallback)
            m_fallback->stop();
        m_notifier->setEnabled(true);
        return;
    }
    logFallback(QStringLiteral("timerfd_settime: ") + systemErrorText(errno));
    m_notifier->setEnabled(false);
    if (!m_fallback) {
        m_fallback = new QTimer(this);
        m_fallback->setSingleShot(true);
        m_fallback->setTimerType(Qt::PreciseTimer);
        connect(m_fallback, &QTimer::timeout, this, &BootClockTimer::timeout);
    }
    // Rounded up: never resume before the time asked for.
    m_fallback->start(std::chrono::ceil<std::chrono::milliseconds>(std::chrono::nanoseconds(ns)));
}

qint64 BootClockTimer::now()
{
    timespec ts{};
    ::clock_gettime(CLOCK_BOOTTIME, &ts);
    return static_cast<qint64>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

void BootClockTimer::onReadable()
{
    uint64_t expirations = 0;
    if (::read(m_fd, &expirations, sizeof expirations) != static_cast<ssize_t>(sizeof expirations))
        return; // EAGAIN: re-armed meanwhile, nothing expired yet
    m_notifier->setEnabled(false);
    Q_EMIT timeout();
}

QCoro::Task<> sleepOnBootClock(std::chrono::milliseconds duration)
{
    std::unique_ptr<BootClockTimer> timer;
    QString reason;
    try {
        timer = std::make_unique<BootClockTimer>();
    } catch (const std::runtime_error &e) {
        reason = QString::fromLocal8Bit(e.what());
    }
    if (!timer) {
        // No timerfd (an old or restricted kernel): an ordinary timer still
        // sleeps, it only stops counting while the machine is suspended.
        // Failing instead would turn an hourly loop into a busy one.
        logFallback(reason);
        co_await QCoro::sleepFor(duration);
        co_return;
    }
    SignalWait due(timer.get(), &BootClockTimer::timeout);
    timer->start(duration);
    co_await due;
}
