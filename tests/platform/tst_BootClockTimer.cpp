// The sleep of the automatic update loop counts on the boot clock (the one
// that goes on through suspend): its kernel timer is set on CLOCK_BOOTTIME,
// and it resumes, not before its time. A suspend cannot be made here, so the
// clock is checked where the kernel reports it, in the timer's fdinfo.

#include "platform/BootClockTimer.h"
#include "platform/SystemLog.h"

#include <QtTest>

#include <time.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

// The kernel's description of each timerfd this process holds, by fd.
QMap<int, QByteArray> timerFds()
{
    QMap<int, QByteArray> out;
    const QDir fds(QStringLiteral("/proc/self/fd"));
    for (const QString &name : fds.entryList(QDir::System | QDir::NoDotAndDotDot)) {
        char target[64] = {};
        const ssize_t n = ::readlink(QFile::encodeName(fds.filePath(name)).constData(), target, sizeof target - 1);
        if (n <= 0 || QByteArray(target, int(n)) != "anon_inode:[timerfd]")
            continue;
        QFile info(QStringLiteral("/proc/self/fdinfo/") + name);
        if (info.open(QIODevice::ReadOnly))
            out.insert(name.toInt(), info.readAll());
    }
    return out;
}

int clockIdOf(const QByteArray &fdinfo)
{
    for (const QByteArray &line : fdinfo.split('\n')) {
        if (line.startsWith("clockid:"))
            return line.mid(8).trimmed().toInt();
    }
    return -1;
}

// Sleeps on the boot clock, then marks it done and leaves the loop.
QCoro::Task<> sleepThenQuit(std::chrono::milliseconds duration, bool &done, QEventLoop &loop)
{
    co_await sleepOnBootClock(duration);
    done = true;
    loop.quit();
}

// Arms the timer for 60 ms and waits for it: true once it has fired, and
// not before its time.
bool firesAfter60ms(BootClockTimer &timer, QSignalSpy &fired)
{
    const qint64 start = BootClockTimer::now();
    timer.start(60ms);
    return fired.wait(60000) && BootClockTimer::now() - start >= 60'000'000;
}

} // namespace

class tst_BootClockTimer : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void sleepIsSetOnTheBootClock()
    {
        const QMap<int, QByteArray> before = timerFds();
        bool done = false;
        QEventLoop loop;
        sleepThenQuit(60ms, done, loop);
        QVERIFY(!done);

        // The sleep holds a timer of its own, on CLOCK_BOOTTIME, not on the
        // monotonic clock (which stops during suspend) as QTimer's are.
        QMap<int, QByteArray> added = timerFds();
        for (auto it = before.begin(); it != before.end(); ++it)
            added.remove(it.key());
        QCOMPARE(added.size(), 1);
        QCOMPARE(clockIdOf(added.first()), int(CLOCK_BOOTTIME));

        loop.exec();
        QVERIFY(done);
        QVERIFY(timerFds().keys() == before.keys()); // and lets it go when done
    }

    void timerResumesOnceItsTimeHasPassed()
    {
        BootClockTimer timer;
        QSignalSpy fired(&timer, &BootClockTimer::timeout);
        QVERIFY(firesAfter60ms(timer, fired));
        // One shot: no second timeout on its own, and it can be armed again.
        QCOMPARE(fired.count(), 1);
        timer.start(0ns);
        QTRY_COMPARE_WITH_TIMEOUT(fired.count(), 2, 60000);
    }

    // A kernel that refuses to arm the timer must not stop the loop that
    // sleeps on it: the ordinary clock stands in, and the journal says so
    // once, however often it happens.
    void refusedArmingFallsBackToAnOrdinaryTimer()
    {
        QStringList lines;
        const SystemLogSink previous = setSystemLogSink([&](const SystemLogEntry &e) { lines << e.message; });
        BootClockTimer::failArmingForTesting(true);
        BootClockTimer timer;
        QSignalSpy fired(&timer, &BootClockTimer::timeout);
        QVERIFY(firesAfter60ms(timer, fired));
        QCOMPARE(fired.count(), 1);

        bool done = false;
        QEventLoop loop;
        sleepThenQuit(10ms, done, loop);
        if (!done)
            loop.exec();
        QVERIFY(done);
        BootClockTimer::failArmingForTesting(false);
        setSystemLogSink(previous);

        QCOMPARE(lines.size(), 1);
        QVERIFY2(lines.first().startsWith(QStringLiteral("Couldn't use a timer on the boot clock (timerfd_settime: ")),
                 qPrintable(lines.first()));

        // Armed again once the kernel takes it, while the ordinary timer
        // still waits: that one is stopped, not left to fire as well. A
        // plain timer started after it and set later is the witness: Qt
        // fires its timers in the order of their deadlines, so a fallback
        // still armed would have fired before the witness does.
        BootClockTimer::failArmingForTesting(true);
        timer.start(50ms);
        BootClockTimer::failArmingForTesting(false);
        timer.start(1ns);
        QVERIFY(fired.wait(60000));
        QTimer witness;
        witness.setSingleShot(true);
        witness.setTimerType(Qt::PreciseTimer);
        QSignalSpy witnessed(&witness, &QTimer::timeout);
        witness.start(60ms);
        QVERIFY(witnessed.wait(60000));
        QCOMPARE(fired.count(), 2); // the kernel's timer only
    }
};

QTEST_GUILESS_MAIN(tst_BootClockTimer)
#include "tst_BootClockTimer.moc"
