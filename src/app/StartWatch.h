#pragma once

#include "platform/AtomicSwap.h"

#include <QString>

#include <chrono>
#include <functional>
#include <optional>

// The proof that a copy started: a small file, named by whoever waits for
// it, that the copy writes with its own build once its launch has settled,
// its updater has loaded and it owns the bus name (or runs without a bus).
// Its place travels in the environment, so only a watched start writes one.
namespace StartRecord {

inline constexpr const char *kVariable = "FERROWHISTLE_START_RECORD";

// The place asked for, taken out of the environment so that nothing this
// copy starts later inherits it. Call before any other thread runs.
QString takePath();
// Writes build to path in one step. Returns the reason when it could not.
std::optional<QString> write(const QString &path, qint64 build);
// The build recorded at path, if there is a whole record there.
std::optional<qint64> read(const QString &path);

} // namespace StartRecord

// What the kept copy's program does after an update (`--watch-start`): it
// starts the new copy at the bundle path and waits for its start record. If
// the new copy ends before recording, or has not recorded within the limit,
// it is ended, the kept copy is exchanged back into the bundle path, the
// build is marked as one that never started here, a journal line says so,
// and the kept copy is started.
class StartWatch {
public:
    static constexpr std::chrono::milliseconds kDefaultLimit{std::chrono::seconds(60)};

    // The points a test stops at (by throwing), as a kill would.
    enum class Step { BeforeStart, Waiting, BeforeEnd, BeforeMark, BeforeSwapBack, AfterSwapBack, BeforeDiscard, BeforeStartOld };
    enum class Outcome {
        Confirmed,    // the new copy recorded its start
        RolledBack,   // the kept copy is back and was started
        NotWatched,   // the copies were not the ones expected; the bundle was started as it is
        StoodDown,    // the new copy did not start, and putting the kept copy back was not safe or failed
    };

    QString bundlePath;
    qint64 build = 0;
    std::chrono::milliseconds limit = kDefaultLimit;
    // Where the kept copy is; by default beside the bundle.
    QString previousPath;
    // Where the record is to be written; by default a fresh name in the
    // per-user temporary directory.
    QString recordPath;
    std::chrono::milliseconds pollInterval{50};
    // Starts a program once the watch is done with it (the kept copy put
    // back, or a bundle that is not watched). By default the watch's own
    // process becomes that program (exec).
    std::function<void(const QString &program)> startProgram;
    std::function<void(Step)> hook;
    AtomicSwap::StepHook swapHook;

    // Runs the watch to its end. The process of the new copy is left running
    // when it confirmed and ended otherwise.
    Outcome run();
    // Why the last run rolled back or stood down, as said in the journal.
    const QString &reason() const { return m_reason; }
    // The new copy's process id once started (0 before).
    qint64 childPid() const { return m_child; }

private:
    void step(Step s) const;
    Outcome startUnwatched(const QString &why);
    qint64 m_child = 0;
    QString m_reason;
};
