#pragma once

#include <QThreadPool>
#include <QtConcurrent/QtConcurrentRun>

#include <qcoro/qcorofuture.h>
#include <qcoro/qcorotask.h>

#include <exception>
#include <optional>
#include <type_traits>
#include <utility>

// Runs f on a thread of pool (the global one unless named) and resumes the
// awaiting coroutine on its own thread with f's value, or with what f threw
// rethrown there (QtConcurrent alone would turn a plain exception into
// QUnhandledException).
template <typename F>
QCoro::Task<std::invoke_result_t<F>> onWorker(F f, QThreadPool *pool = QThreadPool::globalInstance())
{
    using R = std::invoke_result_t<F>;
    if constexpr (std::is_void_v<R>) {
        // Started and awaited in two steps: GCC 12 destroys temporaries of a
        // co_await expression twice.
        QFuture<std::exception_ptr> future = QtConcurrent::run(pool, [f = std::move(f)]() mutable -> std::exception_ptr {
            try {
                f();
                return nullptr;
            } catch (...) {
                return std::current_exception();
            }
        });
        std::exception_ptr error = co_await future;
        if (error)
            std::rethrow_exception(error);
    } else {
        using Result = std::pair<std::optional<R>, std::exception_ptr>;
        QFuture<Result> future = QtConcurrent::run(pool, [f = std::move(f)]() mutable -> Result {
            try {
                return {f(), nullptr};
            } catch (...) {
                return {std::nullopt, std::current_exception()};
            }
        });
        Result result = co_await future;
        if (result.second)
            std::rethrow_exception(result.second);
        co_return std::move(*result.first);
    }
}
