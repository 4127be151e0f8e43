#pragma once

#include <QPointer>
#include <QString>
#include <QVariant>
#include <QVariantMap>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

// The process's one background writer of settings files. Changes posted from
// the GUI thread are written here, so neither another program holding the
// settings lock nor a slow disk can freeze the application.
//
// Changes to one file reach it in the order they were posted: those posted
// while a write is waiting for the lock are gathered and go in with the next
// write, the last value of each key winning. Until a change is on disk, the
// process's own reads of that file see it (unwritten()), so the program reads
// what it set. A change that cannot be written (a folder where the file
// belongs, a full disk) is dropped and its failure reported; a lock held by
// another program is waited out for as long as the process runs.
//
// When the application object goes away (or, without one, at exit) the writer
// finishes what it holds, waiting up to kExitWait for a lock; whatever is left
// after that is named in a warning.
class DefaultsWriter {
public:
    using FailureHandler = std::function<void(const QString &sentence)>;

    static constexpr std::chrono::seconds kExitWait{5};

    static DefaultsWriter &shared();

    DefaultsWriter() = default;
    ~DefaultsWriter();
    DefaultsWriter(const DefaultsWriter &) = delete;
    DefaultsWriter &operator=(const DefaultsWriter &) = delete;

    // value has been checked by the caller (the store) to be one it can keep;
    // an invalid value removes the key.
    // onFailure runs on the application's thread while context still exists.
    void post(const QString &path, const QString &key, const QVariant &value, QObject *context,
              FailureHandler onFailure);
    // A read-modify-write of the file (DefaultsStore::update's change): run
    // here under the file's lock, on what the file holds then with the
    // changes posted before it applied, so that an entry another program
    // adds to a list meanwhile is kept. What it sets is read back by this
    // process once it is on disk.
    using Edit = std::function<QVariantMap(const QVariantMap &current)>;
    void postEdit(const QString &path, Edit edit, QObject *context, FailureHandler onFailure);

    // The newest value posted for key that is not yet on disk (invalid for
    // a removal).
    std::optional<QVariant> unwritten(const QString &path, const QString &key) const;
    // Every value posted for the file that is not yet on disk.
    QVariantMap unwritten(const QString &path) const;

    // Waits until nothing posted for path (every file when path is empty) is
    // left to write, or until timeout; returns whether nothing is left.
    bool waitUntilWritten(const QString &path = QString(),
                          std::chrono::milliseconds timeout = std::chrono::milliseconds::max());

    // Finishes within kExitWait and ends the thread. Later posts start it
    // again.
    void finish();

private:
    struct Failure {
        QPointer<QObject> context;
        FailureHandler handler;
    };
    // One posted change: a value for key (invalid: a removal), or an edit.
    struct Step {
        QString key;
        QVariant value;
        Edit edit;
    };
    struct Batch {
        QVariantMap values; // the last value posted for each key
        std::vector<Step> steps; // every change, in the order posted
        bool hasEdits = false;
        std::vector<Failure> failureHandlers;
    };

    void enqueue(const QString &path, Step step, QObject *context, FailureHandler onFailure);
    // The batch's changes as one change, applied in the order posted.
    static Edit inOrder(const std::vector<Step> &steps);

    void run();
    bool hasWorkLocked(const QString &path) const;
    static void report(const std::vector<Failure> &handlers, const QString &sentence, bool stopping);

    mutable std::mutex m_mutex;
    std::condition_variable m_wake;   // the thread: work arrived, or give up
    std::condition_variable m_idle;   // waiters: a write finished
    std::map<QString, Batch> m_queued; // by path, not yet taken
    std::optional<std::pair<QString, Batch>> m_writing;
    bool m_stopping = false;   // the thread ends once nothing is queued
    bool m_abandon = false;    // stop waiting for locks
    bool m_postRoutineAdded = false;
    std::thread m_thread;
};
