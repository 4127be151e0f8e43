// The boot-clock timer: it fires once, not before its time, and can be
// re-armed and stopped; the coroutine sleep resumes after it.

#include "platform/BootClockTimer.h"

#include <QtTest>

using namespace std::chrono_literals;

class tst_BootClockTimer : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void firesOnceAfterItsDuration()
    {
        BootClockTimer timer;
        QSignalSpy spy(&timer, &BootClockTimer::timeout);
        const qint64 start = BootClockTimer::now();
        timer.start(80ms);
        QVERIFY(timer.isActive());
        QVERIFY(spy.wait(30000));
        QVERIFY(BootClockTimer::now() - start >= 80'000'000);
        QVERIFY(!timer.isActive());
        QTest::qWait(150);
        QCOMPARE(spy.count(), 1);
    }

    void restartReplacesTheDeadline()
    {
        BootClockTimer timer;
        QSignalSpy spy(&timer, &BootClockTimer::timeout);
        timer.start(1h);
        const qint64 start = BootClockTimer::now();
        timer.start(50ms);
        QVERIFY(spy.wait(30000));
        QVERIFY(BootClockTimer::now() - start >= 50'000'000);
    }

    void stoppedTimerStaysQuiet()
    {
        BootClockTimer timer;
        QSignalSpy spy(&timer, &BootClockTimer::timeout);
        timer.start(30ms);
        timer.stop();
        QVERIFY(!spy.wait(200));
    }

    void coroutineSleepResumes()
    {
        bool done = false;
        QEventLoop loop;
        const qint64 start = BootClockTimer::now();
        [](bool &d, QEventLoop &l) -> QCoro::Task<> {
            co_await sleepOnBootClock(60ms);
            d = true;
            l.quit();
        }(done, loop);
        QVERIFY(!done);
        if (!done)
            loop.exec();
        QVERIFY(done);
        QVERIFY(BootClockTimer::now() - start >= 60'000'000);
    }
};

QTEST_GUILESS_MAIN(tst_BootClockTimer)
#include "tst_BootClockTimer.moc"
