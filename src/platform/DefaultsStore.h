#pragma once

#include <QDateTime>
#include <QString>
#include <QVariant>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>

class QObject;

// A failed write to the defaults store, with a sentence naming the file and
// the system's reason.
class DefaultsStoreError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The per-user settings: one XML property list of typed values (string,
// boolean, date; integers and reals are read too) at
// ${XDG_CONFIG_HOME:-~/.config}/ferrowhistle/defaults.plist.
//
// Reads go to the disk every time, so a value written by another process is
// seen by the next read. A missing, empty, unreadable or corrupt file reads as
// empty; nothing here crashes on what it finds on disk.
//
// Every write is read-modify-write under an exclusive flock on a separate lock
// file (defaults.plist.lock, never followed if it is a symbolic link), so two
// writers never lose each other's keys, and replaces the file atomically
// (temporary file, fsync, rename, fsync of the folder), so a reader never sees
// half a file. When defaults.plist is a symbolic link (a dotfile manager's),
// the file it names is the one replaced; the link stays. Values of types this
// store does not interpret (arrays, dictionaries, data) are kept untouched. A
// file that does not parse is moved aside to defaults.plist.corrupt-<UTC time>
// (with -2, -3... when that name is taken) before the first write replaces
// it, so whatever it held, and held before, can still be recovered by hand.
class DefaultsStore {
public:
    explicit DefaultsStore(QString path);
    // The store at the standard place for this user, worked out from the
    // environment at the time of the call.
    static DefaultsStore standard();
    static QString standardPath();

    QString path() const { return m_path; }

    // The value with its type: QString, bool, QDateTime (UTC), qint64 or
    // double. Invalid when the key is absent, the value has another type, or
    // the file cannot be read.
    QVariant object(const QString &key) const;
    std::optional<QString> string(const QString &key) const;
    std::optional<bool> boolean(const QString &key) const;
    std::optional<QDateTime> date(const QString &key) const;
    // Every key with a value of one of the types above.
    QVariantMap dictionary() const;
    // For tests: runs between a read's two steps (the values not yet
    // written, then the file), where a write may finish.
    static void setReadStepHookForTesting(std::function<void()> hook);

    // value must be a QString, bool, QDateTime, or an integer or double.
    // Throws DefaultsStoreError when the file cannot be replaced; the file on
    // disk is then exactly as it was.
    void setValue(const QString &key, const QVariant &value) const;
    // Sets every key of values in one replacement of the file, waiting at
    // most lockWait for another program's lock (and for this process's
    // posted changes); throws DefaultsStoreError when that is not enough.
    // For a process that must not wait on others for long (the start
    // watch), never for the GUI thread.
    void setValues(const QVariantMap &values, std::chrono::milliseconds lockWait) const;
    // A read-modify-write under the lock, with the same bounded waits as
    // setValues: change gets every key the file holds at that moment (as
    // dictionary() reads them) and returns the keys to set; an invalid
    // QVariant among them removes its key. Nothing is written when nothing
    // changes. No other writer can slip in between the read and the write,
    // so a list kept in one key never loses another process's entry. change
    // may throw DefaultsStoreError; the file is then as it was.
    using Change = std::function<QVariantMap(const QVariantMap &current)>;
    void update(const Change &change, std::chrono::milliseconds lockWait) const;
    // Returns whether the key was there. Throws like setValue.
    // Both first wait for the changes this process posted to the file, so
    // the order of changes holds; both may wait for another process's lock.
    bool remove(const QString &key) const;

    // For the GUI thread: hands the value to the process's background writer
    // (DefaultsWriter) and returns at once; reads in this process see it from
    // now on. Throws DefaultsStoreError only for a value of a type the store
    // can't keep. When the file cannot be written, onFailure is called on the
    // application's thread with the sentence, if context still exists.
    void post(const QString &key, const QVariant &value, QObject *context = nullptr,
              std::function<void(const QString &)> onFailure = {}) const;
    // The same for a read-modify-write (update()): change runs on the
    // writer, under the lock, after the changes posted before it, so an
    // entry another program adds to a list meanwhile is kept. Reads in this
    // process see what it sets once it is written.
    void postUpdate(Change change, QObject *context = nullptr, std::function<void(const QString &)> onFailure = {}) const;
    // The same for a removal: reads in this process see the key gone at once.
    // Like every posted change, it waits out another program's lock while
    // the process runs and at most DefaultsWriter::kExitWait at its end.
    void postRemoval(const QString &key, QObject *context = nullptr,
                     std::function<void(const QString &)> onFailure = {}) const;

private:
    friend class DefaultsWriter;
    // Called while another process holds the lock; may pause, and returns
    // whether to try again.
    using LockWait = std::function<bool()>;
    // Sets every key of values in one replacement of the file, without
    // waiting for posted changes (the writer is the one that writes them);
    // an invalid value removes its key. An empty keepWaiting waits for the
    // lock as long as it takes.
    void apply(const QVariantMap &values, const LockWait &keepWaiting) const;
    void apply(const Change &change, const LockWait &keepWaiting) const;
    // Waits for this process's posted changes and returns how long is left
    // of lockWait for the lock; throws when they are not written in time.
    LockWait boundedWait(std::chrono::milliseconds lockWait) const;

    QString m_path;
};

// Reads a store's file again and again, as the card does for each message,
// with the answer a fresh DefaultsStore read would give: the file is parsed
// again only when a stat says it may have changed (its device, inode, size,
// modification or change time differ). A file whose change time is within
// two seconds of the stat is parsed every time: a change within a file
// system's time granularity (up to two seconds) leaves those times as they
// were. Values this process has
// posted but not yet written count first, as in DefaultsStore::object().
// For one thread.
class DefaultsReader {
public:
    using WallClock = std::function<std::chrono::system_clock::time_point()>;
    // now is for tests; by default the system clock.
    explicit DefaultsReader(WallClock now = {});
    ~DefaultsReader();
    DefaultsReader(const DefaultsReader &) = delete;
    DefaultsReader &operator=(const DefaultsReader &) = delete;

    QVariant object(const QString &path, const QString &key);
    std::optional<QString> string(const QString &path, const QString &key);

private:
    struct Remembered;
    WallClock m_now;
    std::unique_ptr<Remembered> m_remembered;
};
