#pragma once

#include "platform/UniqueFd.h"

#include <QString>
#include <QStringList>

#include <optional>

// Today's watch asks the running copy on the session bus whether it started;
// these records are the contracts of older builds' watches, kept so that
// updates work across versions both ways, and the evidence when there is no
// session bus.
//
// The proof that a copy started: a small file in the per-user temporary
// folder, named after the bundle's path, that whichever process runs that
// copy writes with its own build once its launch has settled, its updater
// has loaded and it owns the bus name (or runs without a bus). It is written
// only while a watch waits for it: the watch holds a lock file of its own
// beside it, and a start that finds no such lock held writes nothing. So the
// copy the watch started counts, and so does one that a launcher, a start at
// login or D-Bus activation started from the same path meanwhile; nothing in
// the environment can point the record elsewhere.
namespace StartRecord {

inline const QString kRecordPrefix = QStringLiteral("Ferrowhistle-started-");
inline const QString kWatchPrefix = QStringLiteral("Ferrowhistle-watch-");
// The older contract: a watch names the record in its child's environment,
// and the child writes its build there once started.
inline constexpr char kRequestVariable[] = "FERROWHISTLE_START_RECORD";

// The record asked for in the environment, taken out of it so that nothing
// this copy starts later inherits it. Only an absolute path whose name is a
// record's is taken; call before any other thread runs.
QString takeRequestedPath();
// A fresh name for the record a watch of the copy at bundlePath names in its
// child's environment; the sweep leaves it while that watch lives.
QString requestPathFor(const QString &bundlePath, const QString &temp);

// The record for the copy at bundlePath, in the temporary folder temp.
QString pathFor(const QString &bundlePath, const QString &temp);
// Writes build to path in one step, replacing whatever stands at the name
// (a link included) without following it. Returns the reason when it could
// not.
std::optional<QString> write(const QString &path, qint64 build);
// The build recorded at path, if there is a whole record there (never read
// through a link).
std::optional<qint64> read(const QString &path);
// For the copy at bundlePath, running build: writes the record when a live
// watch waits for it. Returns the reason when a record was wanted but could
// not be written; nothing otherwise.
std::optional<QString> writeIfAwaited(const QString &bundlePath, qint64 build, const QString &temp);
// Whether a live watch waits for the copy at bundlePath.
bool awaited(const QString &bundlePath, const QString &temp);
// Made and held by the watch while it waits: the lock that tells a start
// its record is wanted. Released, its file goes; a watch killed meanwhile
// leaves it, unlocked, to the sweep.
class WatchLock {
public:
    // Invalid, with the reason in *problem, when it could not be made.
    static WatchLock hold(const QString &bundlePath, const QString &temp, QString *problem);
    WatchLock() = default;
    WatchLock(WatchLock &&) = default;
    WatchLock &operator=(WatchLock &&) = default;
    ~WatchLock() { release(); }
    bool held() const { return m_fd.valid(); }
    // Removes the file, then lets go of the lock.
    void release();

private:
    UniqueFd m_fd;
    QString m_path;
};
// Removes from temp the lock files of watches that have ended and records
// that no live watch waits for; returns the paths removed.
QStringList sweep(const QString &temp);

} // namespace StartRecord
