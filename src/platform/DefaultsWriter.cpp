#include "platform/DefaultsWriter.h"

#include "platform/DefaultsStore.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QStringList>

#include <algorithm>
#include <utility>

using namespace std::chrono_literals;

namespace {
void finishShared() { DefaultsWriter::shared().finish(); }
} // namespace

DefaultsWriter::Edit DefaultsWriter::inOrder(const std::vector<Step> &steps)
{
    // Each edit sees the file as the changes posted before it leave it.
    return [&steps](const QVariantMap &current) {
        QVariantMap now = current;
        QVariantMap out;
        for (const Step &step : steps) {
            const QVariantMap set = step.edit ? step.edit(std::as_const(now)) : QVariantMap{{step.key, step.value}};
            for (auto it = set.begin(); it != set.end(); ++it) {
                out.insert(it.key(), it.value());
                if (it.value().isValid())
                    now.insert(it.key(), it.value());
                else
                    now.remove(it.key());
            }
        }
        return out;
    };
}

DefaultsWriter &DefaultsWriter::shared()
{
    static DefaultsWriter writer;
    return writer;
}

DefaultsWriter::~DefaultsWriter() { finish(); }

void DefaultsWriter::post(const QString &path, const QString &key, const QVariant &value, QObject *context,
                          FailureHandler onFailure)
{
    enqueue(path, Step{key, value, {}}, context, std::move(onFailure));
}

void DefaultsWriter::postEdit(const QString &path, Edit edit, QObject *context, FailureHandler onFailure)
{
    enqueue(path, Step{QString(), QVariant(), std::move(edit)}, context, std::move(onFailure));
}

void DefaultsWriter::enqueue(const QString &path, Step step, QObject *context, FailureHandler onFailure)
{
    std::lock_guard lock(m_mutex);
    Batch &batch = m_queued[path];
    if (step.edit)
        batch.hasEdits = true;
    else
        batch.values.insert(step.key, step.value);
    batch.steps.push_back(std::move(step));
    if (onFailure)
        batch.failureHandlers.push_back({QPointer<QObject>(context), std::move(onFailure)});
    if (!m_thread.joinable()) {
        m_stopping = false;
        m_abandon = false;
        m_thread = std::thread(&DefaultsWriter::run, this);
    }
    // Finished while Qt is still whole; statics are destroyed in no order we
    // could rely on.
    if (!m_postRoutineAdded && QCoreApplication::instance()) {
        qAddPostRoutine(&finishShared);
        m_postRoutineAdded = true;
    }
    m_wake.notify_all();
}

std::optional<QVariant> DefaultsWriter::unwritten(const QString &path, const QString &key) const
{
    std::lock_guard lock(m_mutex);
    // The queued batch is newer than the one being written.
    if (const auto it = m_queued.find(path); it != m_queued.end()) {
        if (const auto v = it->second.values.find(key); v != it->second.values.end())
            return *v;
    }
    if (m_writing && m_writing->first == path) {
        if (const auto v = m_writing->second.values.find(key); v != m_writing->second.values.end())
            return *v;
    }
    return std::nullopt;
}

QVariantMap DefaultsWriter::unwritten(const QString &path) const
{
    std::lock_guard lock(m_mutex);
    QVariantMap out;
    if (m_writing && m_writing->first == path)
        out = m_writing->second.values;
    if (const auto it = m_queued.find(path); it != m_queued.end())
        out.insert(it->second.values);
    return out;
}

bool DefaultsWriter::hasWorkLocked(const QString &path) const
{
    if (path.isEmpty())
        return !m_queued.empty() || m_writing.has_value();
    return m_queued.count(path) != 0 || (m_writing && m_writing->first == path);
}

bool DefaultsWriter::waitUntilWritten(const QString &path, std::chrono::milliseconds timeout)
{
    std::unique_lock lock(m_mutex);
    const auto done = [&] { return !hasWorkLocked(path); };
    if (timeout == std::chrono::milliseconds::max()) {
        m_idle.wait(lock, done);
        return true;
    }
    return m_idle.wait_for(lock, timeout, done);
}

void DefaultsWriter::finish()
{
    std::unique_lock lock(m_mutex);
    m_postRoutineAdded = false;
    if (!m_thread.joinable())
        return;
    m_stopping = true;
    m_wake.notify_all();
    if (!m_idle.wait_for(lock, kExitWait, [&] { return m_queued.empty() && !m_writing; })) {
        // The failures of what is left are reported as warnings.
        m_abandon = true;
        m_wake.notify_all();
    }
    lock.unlock();
    m_thread.join();
    lock.lock();
    m_thread = std::thread();
}

void DefaultsWriter::report(const std::vector<Failure> &handlers, const QString &sentence, bool stopping)
{
    // While stopping, the application's event loop has ended: nobody would
    // read a queued call.
    QCoreApplication *app = QCoreApplication::instance();
    bool delivered = false;
    if (app && !stopping) {
        for (const Failure &f : handlers) {
            QMetaObject::invokeMethod(
                app,
                [f, sentence] {
                    if (f.context)
                        f.handler(sentence);
                },
                Qt::QueuedConnection);
            delivered = true;
        }
    }
    if (!delivered)
        qWarning("%s", qUtf8Printable(sentence));
}

void DefaultsWriter::run()
{
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_wake.wait(lock, [&] { return !m_queued.empty() || m_stopping; });
        if (m_queued.empty())
            return;
        auto node = m_queued.extract(m_queued.begin());
        m_writing.emplace(node.key(), std::move(node.mapped()));
        const QString path = m_writing->first;
        const QVariantMap values = m_writing->second.values;
        const std::vector<Step> steps = m_writing->second.steps;
        const bool hasEdits = m_writing->second.hasEdits;
        lock.unlock();

        QString failure;
        auto pause = 2ms;
        const auto keepWaiting = [&] {
            // Polled rather than blocking in flock, so that the wait can be
            // given up at exit.
            std::unique_lock relock(m_mutex);
            m_wake.wait_for(relock, pause, [&] { return m_abandon; });
            pause = std::min<std::chrono::milliseconds>(pause * 2, 100ms);
            return !m_abandon;
        };
        try {
            if (hasEdits)
                DefaultsStore(path).apply(DefaultsStore::Change(inOrder(steps)), keepWaiting);
            else
                DefaultsStore(path).apply(values, keepWaiting);
        } catch (const DefaultsStoreError &e) {
            failure = QString::fromUtf8(e.what());
        }

        lock.lock();
        const std::vector<Failure> handlers = std::move(m_writing->second.failureHandlers);
        m_writing.reset();
        m_idle.notify_all();
        if (!failure.isEmpty()) {
            const bool stopping = m_stopping;
            lock.unlock();
            report(handlers, failure, stopping);
            lock.lock();
        }
    }
}
