#include "platform/BootClockTimer.h"

#include <QSocketNotifier>

#include <qcoro/qcorosignal.h>
#include <qcoro/qcorotimer.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <stdexcept>

#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

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
    ::timerfd_settime(m_fd, 0, &deadline, nullptr);
    m_notifier->setEnabled(true);
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
    try {
        timer = std::make_unique<BootClockTimer>();
    } catch (const std::runtime_error &) {
    }
    if (!timer) {
        // No timerfd (an old or restricted kernel): an ordinary timer still
        // sleeps, it only stops counting while the machine is suspended.
        // Failing instead would turn an hourly loop into a busy one.
        co_await QCoro::sleepFor(duration);
        co_return;
    }
    timer->start(duration);
    co_await qCoro(timer.get(), &BootClockTimer::timeout);
}
