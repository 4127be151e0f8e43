#pragma once

#include <QCoreApplication>
#include <QElapsedTimer>

#include <algorithm>
#include <vector>

// Shared by the in-process card benchmarks.
namespace BenchLoop {

inline double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : (v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2);
}

// Serves the event loop for ms, then deletes what was left for later, so
// one round's cards are gone before the next starts.
inline void settle(int ms)
{
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

} // namespace BenchLoop
