#include "platform/SignalWait.h"

#include <QTimer>

#include <utility>

SignalWaitContext::SignalWaitContext(QObject *sender, std::optional<std::chrono::milliseconds> limit)
    : m_sender(sender)
{
    if (!sender) {
        m_over = true;
        return;
    }
    // Queued like the signal: a sender destroyed in the middle of its own
    // work never runs the waiting coroutine from its destructor.
    connect(sender, &QObject::destroyed, this, [this] { end(false); }, Qt::QueuedConnection);
    if (limit) {
        m_timer = new QTimer(this);
        m_timer->setSingleShot(true);
        // A coarse timer may fire early, and an early end is a wrong answer.
        m_timer->setTimerType(Qt::PreciseTimer);
        connect(m_timer, &QTimer::timeout, this, [this] { end(false); });
        m_timer->start(std::max(*limit, std::chrono::milliseconds(0)));
    }
}

void SignalWaitContext::end(bool signalled)
{
    if (m_over)
        return;
    m_over = true;
    m_signalled = signalled;
    if (m_timer)
        m_timer->stop();
    if (m_sender)
        disconnect(m_sender, nullptr, this, nullptr);
    // Last: the coroutine may end the wait, and with it this object.
    if (std::coroutine_handle<> waiting = std::exchange(m_waiting, {}))
        waiting.resume();
}
