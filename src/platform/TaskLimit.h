#pragma once

#include "platform/SignalWait.h"

#include <QObject>

#include <qcoro/qcorotask.h>

#include <chrono>
#include <exception>
#include <memory>
#include <optional>
#include <utility>

// Says once that a task limited by withinLimit has ended.
class TaskEnded final : public QObject {
    Q_OBJECT
public:
    void announce() { Q_EMIT ended(); }
Q_SIGNALS:
    void ended();
};

namespace TaskLimitDetail {

template <typename T>
struct Outcome {
    std::optional<T> value;
    std::exception_ptr error;
    TaskEnded ended;
};

// Runs the task to its end, whoever still waits for it.
template <typename T>
QCoro::Task<> runToEnd(QCoro::Task<T> task, std::shared_ptr<Outcome<T>> outcome)
{
    try {
        T value = co_await std::move(task);
        outcome->value.emplace(std::move(value));
    } catch (...) {
        outcome->error = std::current_exception();
    }
    outcome->ended.announce();
}

} // namespace TaskLimitDetail

// The task's value, or nothing once limit has passed without it; what the
// task threw is rethrown. A task not done by then runs on to its end on its
// own, and what it gives goes nowhere: a task cannot be stopped halfway, so
// whatever it starts must end by itself (a helper program it runs has a limit
// of its own).
template <typename T>
QCoro::Task<std::optional<T>> withinLimit(QCoro::Task<T> task, std::chrono::milliseconds limit)
{
    auto outcome = std::make_shared<TaskLimitDetail::Outcome<T>>();
    SignalWait ended(&outcome->ended, &TaskEnded::ended, limit);
    TaskLimitDetail::runToEnd(std::move(task), outcome);
    if (!co_await ended)
        co_return std::nullopt;
    if (outcome->error)
        std::rethrow_exception(outcome->error);
    co_return std::move(outcome->value);
}
