#pragma once

#include <QObject>
#include <QPointer>

#include <chrono>
#include <coroutine>
#include <memory>
#include <optional>

class QTimer;

// What one SignalWait connects to. It belongs to the wait, so an emission
// still queued once the wait is over is removed with it; while the wait
// lasts, only the first of the signal, the limit and the sender's end counts.
class SignalWaitContext final : public QObject {
public:
    SignalWaitContext(QObject *sender, std::optional<std::chrono::milliseconds> limit);

    bool isOver() const { return m_over; }
    bool signalled() const { return m_signalled; }
    void suspend(std::coroutine_handle<> waiting) { m_waiting = waiting; }
    // Ends the wait once; resumes the coroutine when it is suspended here.
    // The coroutine may destroy this object before the call returns.
    void end(bool signalled);

private:
    QPointer<QObject> m_sender;
    QTimer *m_timer = nullptr;
    std::coroutine_handle<> m_waiting;
    bool m_over = false;
    bool m_signalled = false;
};

// Awaits the next emission of a signal, at most limit when one is given:
//
//     SignalWait shown(&hud, &HUDController::panelShown, limit);
//     const bool came = co_await shown;
//
// true when the signal came; false when the limit passed or the sender was
// destroyed first. Watching starts at construction, so an emission before
// the co_await counts. The coroutine resumes from the event loop, never
// inside the emitter. Awaited as a named object only.
//
// Unlike a wait whose connection outlives it, a signal emitted several times
// before the loop delivers it resumes the coroutine once: what is queued for
// a wait that has ended is dropped, and never reaches a frame that is gone.
class SignalWait {
public:
    template <typename Sender, typename Signal>
    SignalWait(Sender *sender, Signal signal, std::optional<std::chrono::milliseconds> limit = std::nullopt)
        : m_context(std::make_unique<SignalWaitContext>(sender, limit))
    {
        if (sender) {
            SignalWaitContext *context = m_context.get();
            QObject::connect(sender, signal, context, [context] { context->end(true); }, Qt::QueuedConnection);
        }
    }
    SignalWait(const SignalWait &) = delete;
    SignalWait &operator=(const SignalWait &) = delete;

    // Trivial to copy and to destroy, so that how the compiler handles the
    // awaiter of a co_await expression cannot touch the wait itself.
    struct Awaiter {
        SignalWaitContext *context;
        bool await_ready() const noexcept { return context->isOver(); }
        void await_suspend(std::coroutine_handle<> waiting) const noexcept { context->suspend(waiting); }
        bool await_resume() const noexcept { return context->signalled(); }
    };
    Awaiter operator co_await() & noexcept { return {m_context.get()}; }
    // A temporary wait would be gone with the co_await expression.
    Awaiter operator co_await() && = delete;

private:
    std::unique_ptr<SignalWaitContext> m_context;
};
