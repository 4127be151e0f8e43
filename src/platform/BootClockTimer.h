#pragma once

#include <QObject>

#include <qcoro/qcorotask.h>

#include <chrono>

class QSocketNotifier;
class QTimer;

// A one-shot timer on CLOCK_BOOTTIME, which keeps counting while the machine
// is suspended: an hour's sleep that spans a night of suspend is over when
// the machine wakes, instead of an hour later. Built on a timerfd, so the
// process gets exactly one wake-up when it is due and none before.
class BootClockTimer final : public QObject {
    Q_OBJECT
public:
    explicit BootClockTimer(QObject *parent = nullptr);
    ~BootClockTimer() override;

    // (Re)arms the timer; a non-positive duration fires on the next turn of
    // the event loop. Where the kernel refuses to arm it, an ordinary timer
    // (which stops counting during suspend) stands in, with one journal line
    // for the process: a timer that silently never fired would stop the
    // hourly loop for good.
    void start(std::chrono::nanoseconds duration);

    // For tests: makes arming the kernel's timer fail.
    static void failArmingForTesting(bool fail);

    // Nanoseconds on CLOCK_BOOTTIME, for measuring what the timer waited.
    static qint64 now();

Q_SIGNALS:
    void timeout();

private:
    void onReadable();

    int m_fd = -1;
    QSocketNotifier *m_notifier = nullptr;
    QTimer *m_fallback = nullptr;
};

// Suspends the calling coroutine for the duration, counted on CLOCK_BOOTTIME.
QCoro::Task<> sleepOnBootClock(std::chrono::milliseconds duration);
