// The boot-clock sleep resumes, and not before its time.

#include "platform/BootClockTimer.h"

#include <QtTest>

using namespace std::chrono_literals;

class tst_BootClockTimer : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void sleepResumesOnceItsTimeHasPassed()
    {
        const qint64 start = BootClockTimer::now();
        bool done = false;
        QEventLoop loop;
        [](bool &d, QEventLoop &l) -> QCoro::Task<> {
            co_await sleepOnBootClock(60ms);
            d = true;
            l.quit();
        }(done, loop);
        QVERIFY(!done);
        loop.exec();
        QVERIFY(BootClockTimer::now() - start >= 60'000'000);
    }
};

QTEST_GUILESS_MAIN(tst_BootClockTimer)
#include "tst_BootClockTimer.moc"
