#pragma once

#include "platform/AtomicSwap.h"
#include "release/UpdaterDefaults.h"

#include <QString>

#include <chrono>
#include <functional>
#include <optional>

#include <sys/types.h>


// What the kept copy's program does after an update or a revert
// (`--watch-start`): it starts the copy at the bundle path and asks the
// owner of the app's bus name whether it started: the owner must run the
// program at the path and answer with this build and bundle, which it does
// once its launch has settled. (Older builds' records count too, so that
// updates work across versions.) The copy is judged only on evidence
// against the process the watch started: killed by a signal or an error
// exit while the session (display, bus) is there, twice; a hang past the
// limit; a program that can't be executed. Then it is ended while the watch
// holds the bus name, so nothing starts from the path meanwhile; the kept
// copy is checked and exchanged back into the bundle path, an update's build
// is marked as one that never started here, a journal line says so, and the
// kept copy is started. A start that handed over to an instance already
// running, or one that the session failed, is no verdict on the build, and
// nothing the watch did not start is ever ended.
class StartWatch {
public:
    // How long the mark of a build that didn't start may wait for another
    // program's lock on the settings, once the kept copy is back.
    static constexpr std::chrono::milliseconds kSettingsWait{std::chrono::seconds(5)};

    // The points a test stops at (by throwing), as a kill would.
    enum class Step { BeforeStart, Waiting, BeforeEnd, BeforeCheck, BeforeSwapBack, AfterSwapBack, BeforeMark, BeforeDiscard, BeforeStartOld };
    enum class Outcome {
        Confirmed,    // the copy at the path said it started
        RolledBack,   // the kept copy is back and was started
        NotWatched,   // the copies were not the ones expected; the bundle was started as it is
        StoodDown,    // no verdict, or putting the kept copy back was not safe or failed; the copy at the path runs or was started
    };

    QString bundlePath;
    qint64 build = 0;
    // Cut to the longest limit the updater hands out.
    std::chrono::milliseconds limit = UpdaterDefaults::kDefaultStartLimit;
    // Where the kept copy is; by default beside the bundle.
    QString previousPath;
    // The per-user temporary folder for older builds' records; by default
    // the standard one.
    QString temporaryFolder;
    // How long the kept copy's check may run.
    std::chrono::milliseconds keptCheckLimit = UpdaterDefaults::kKeptCopyCheckLimit;
    std::chrono::milliseconds pollInterval{50};
    std::chrono::milliseconds settingsWait = kSettingsWait;
    // Starts a program once the watch is done with it (the kept copy put
    // back, or a bundle that is not watched), and says whether it did. By
    // default it is started beside the watch and left running, so that the
    // watch's own exit status can tell the relaunch shell whether anything
    // was started.
    std::function<bool(const QString &program)> startProgram;
    // Checks the kept copy (seal, signature, notarization, identifier)
    // before it is put back; returns the reason it fails. By default the
    // kept copy's own assessment tool does it.
    std::function<std::optional<QString>(const QString &keptPath)> checkKeptCopy;
    // Whether the session the copy needs is there; returns what is missing.
    // By default the display and, where one is named, the session bus.
    // exited: asked after the copy ended by itself, when a platform whose
    // display can't be checked counts as a problem too.
    std::function<std::optional<QString>(bool exited)> sessionProblem;
    // Starts the program at the path with the environment given and returns
    // 0 or the error, as posix_spawn does; by default posix_spawn. (Errors
    // such as EAGAIN can't be made to happen for a test.)
    std::function<int(const QString &program, char *const *environment, pid_t *pid)> spawnChild;
    std::function<void(Step)> hook;
    AtomicSwap::StepHook swapHook;

    // Runs the watch to its end. The process of the new copy is left running
    // when it confirmed or no verdict was reached, and ended otherwise.
    Outcome run();
    // Why the last run rolled back or stood down, as said in the journal.
    const QString &reason() const { return m_reason; }
    // Whether the build was marked as one that didn't start.
    bool marked() const { return m_marked; }
    // Whether the copy it started runs on after the watch (confirmed, or
    // left running without a verdict).
    bool leftRunning() const { return m_leftRunning; }
    // Whether something runs from the watch's doing: the copy it confirmed
    // or left running, or a program it started.
    bool somethingRuns() const { return m_leftRunning || m_startedProgram; }
    // The new copy's process id once started (0 before).
    qint64 childPid() const { return m_child; }

private:
    void step(Step s) const;
    void startAtPath();
    Outcome startUnwatched(const QString &why);
    Outcome standDown(const QString &line);
    qint64 m_child = 0;
    QString m_reason;
    bool m_marked = false;
    bool m_leftRunning = false;
    bool m_startedProgram = false;
};
