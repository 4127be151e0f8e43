// The one wait for "this signal, or a limit": a signal emitted twice before
// the event loop delivers it resumes the waiting coroutine once, whether the
// wait is gone by the second delivery or still in its frame; the limit and
// the sender's end resume it with false.

#include "platform/SignalWait.h"

#include <QtTest>

#include <qcoro/qcorotask.h>

#include <memory>

using namespace std::chrono_literals;

namespace {

class Emitter final : public QObject {
    Q_OBJECT
Q_SIGNALS:
    void ping(int value);
};

// What the coroutine below went through.
struct Trace {
    int resumed = 0;
    std::optional<bool> first;
    std::optional<bool> second;
};

// Waits on first, then on second. With keepFirst, the first wait stays in
// the frame while the coroutine waits on second.
QCoro::Task<> waitInTurn(Emitter *first, Emitter *second, std::optional<std::chrono::milliseconds> limit, bool keepFirst,
                         Trace &trace)
{
    if (keepFirst) {
        SignalWait one(first, &Emitter::ping, limit);
        trace.first = co_await one;
        ++trace.resumed;
        SignalWait two(second, &Emitter::ping, 1h);
        trace.second = co_await two;
        ++trace.resumed;
        co_return;
    }
    {
        SignalWait one(first, &Emitter::ping, limit);
        trace.first = co_await one;
        ++trace.resumed;
    }
    SignalWait two(second, &Emitter::ping, 1h);
    trace.second = co_await two;
    ++trace.resumed;
}

// Delivers everything already posted, more than once: a delivery may post
// again.
void deliverPosted()
{
    for (int i = 0; i < 3; ++i)
        QCoreApplication::sendPostedEvents();
}

} // namespace

class tst_SignalWait : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void emittedTwiceResumesOnce_data();
    void emittedTwiceResumesOnce();
    void endsWithoutTheSignal_data();
    void endsWithoutTheSignal();
};

void tst_SignalWait::emittedTwiceResumesOnce_data()
{
    QTest::addColumn<bool>("keepFirst");
    QTest::addColumn<bool>("limited");
    QTest::newRow("wait gone before the second delivery") << false << true;
    QTest::newRow("wait still in the frame") << true << true;
    QTest::newRow("no limit, wait gone") << false << false;
    QTest::newRow("no limit, wait in the frame") << true << false;
}

void tst_SignalWait::emittedTwiceResumesOnce()
{
    QFETCH(bool, keepFirst);
    QFETCH(bool, limited);
    Emitter first;
    Emitter second;
    Trace trace;
    const std::optional<std::chrono::milliseconds> limit = limited ? std::optional(1h) : std::nullopt;
    QCoro::Task<> task = waitInTurn(&first, &second, limit, keepFirst, trace);
    QCOMPARE(trace.resumed, 0);

    // Both queued before the loop runs, as a card on each of two screens
    // emits its signal twice in one go.
    Q_EMIT first.ping(1);
    Q_EMIT first.ping(2);
    deliverPosted();
    QCOMPARE(trace.resumed, 1);
    QCOMPARE(trace.first, std::optional(true));
    // The second emission did not resume the coroutine now waiting on the
    // other object.
    QCOMPARE(trace.second, std::nullopt);

    Q_EMIT second.ping(3);
    deliverPosted();
    QCOMPARE(trace.resumed, 2);
    QCOMPARE(trace.second, std::optional(true));
    QVERIFY(task.isReady());
}

void tst_SignalWait::endsWithoutTheSignal_data()
{
    QTest::addColumn<QString>("how");
    QTest::newRow("the limit passes") << "limit";
    QTest::newRow("a limit of zero") << "zero";
    QTest::newRow("the sender is destroyed") << "destroyed";
    QTest::newRow("no sender") << "null";
    QTest::newRow("signal and limit due together") << "both";
}

void tst_SignalWait::endsWithoutTheSignal()
{
    QFETCH(QString, how);
    auto first = std::make_unique<Emitter>();
    Emitter second;
    Trace trace;
    std::optional<std::chrono::milliseconds> limit;
    if (how == QLatin1String("limit"))
        limit = 1ms;
    else if (how == QLatin1String("zero") || how == QLatin1String("both"))
        limit = 0ms;
    Emitter *sender = how == QLatin1String("null") ? nullptr : first.get();
    QCoro::Task<> task = waitInTurn(sender, &second, limit, true, trace);

    if (how == QLatin1String("destroyed"))
        first.reset();
    if (how == QLatin1String("both"))
        Q_EMIT first->ping(1);
    QVERIFY(QTest::qWaitFor([&] { return trace.resumed > 0; }, 60000));
    // Once only, whichever came first; anything still pending is dropped.
    QTest::qWait(20);
    deliverPosted();
    QCOMPARE(trace.resumed, 1);
    if (how != QLatin1String("both"))
        QCOMPARE(trace.first, std::optional(false));
    QCOMPARE(trace.second, std::nullopt);
    if (first)
        Q_EMIT first->ping(2);
    deliverPosted();
    QCOMPARE(trace.resumed, 1);

    // Finished here: a coroutine left waiting would be resumed by the end
    // of this row's objects and write to what is gone.
    Q_EMIT second.ping(3);
    deliverPosted();
    QCOMPARE(trace.resumed, 2);
    QCOMPARE(trace.second, std::optional(true));
    QVERIFY(task.isReady());
}

QTEST_GUILESS_MAIN(tst_SignalWait)
#include "tst_SignalWait.moc"
