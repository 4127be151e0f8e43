#pragma once

#include "platform/AtomicSwap.h"

#include <QString>

#include <chrono>
#include <functional>
#include <optional>


// What the kept copy's program does after an update or a revert
// (`--watch-start`): it starts the copy at the bundle path and waits for its
// start record. The copy is judged only on evidence against it: killed by a
// signal, an error exit while the session (display, bus, temporary folder)
// is there, a hang past the limit, a program that can't be started. Then it
// is ended, the kept copy is checked and exchanged back into the bundle
// path, an update's build is marked as one that never started here, a
// journal line says so, and the kept copy is started. A start that handed
// over to an instance already running, or one that the session failed, is
// no verdict on the build.
class StartWatch {
public:
    static constexpr std::chrono::milliseconds kDefaultLimit{std::chrono::seconds(60)};
    // How long the mark of a build that didn't start may wait for another
    // program's lock on the settings, once the kept copy is back.
    static constexpr std::chrono::milliseconds kSettingsWait{std::chrono::seconds(5)};

    // The points a test stops at (by throwing), as a kill would.
    enum class Step { BeforeStart, Waiting, BeforeEnd, BeforeCheck, BeforeSwapBack, AfterSwapBack, BeforeMark, BeforeDiscard, BeforeStartOld };
    enum class Outcome {
        Confirmed,    // the copy at the path recorded its start
        RolledBack,   // the kept copy is back and was started
        NotWatched,   // the copies were not the ones expected; the bundle was started as it is
        StoodDown,    // no verdict, or putting the kept copy back was not safe or failed; the copy at the path runs or was started
    };

    QString bundlePath;
    qint64 build = 0;
    std::chrono::milliseconds limit = kDefaultLimit;
    // Where the kept copy is; by default beside the bundle.
    QString previousPath;
    // The per-user temporary folder for the record; by default the standard one.
    QString temporaryFolder;
    std::chrono::milliseconds pollInterval{50};
    std::chrono::milliseconds settingsWait = kSettingsWait;
    // Starts a program once the watch is done with it (the kept copy put
    // back, or a bundle that is not watched). By default the watch's own
    // process becomes that program (exec).
    std::function<void(const QString &program)> startProgram;
    // Checks the kept copy (seal, signature, notarization, identifier)
    // before it is put back; returns the reason it fails. By default the
    // kept copy's own assessment tool does it.
    std::function<std::optional<QString>(const QString &keptPath)> checkKeptCopy;
    // Whether the session the copy needs is there; returns what is missing.
    // By default the display and, where one is named, the session bus.
    std::function<std::optional<QString>()> sessionProblem;
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
    // The new copy's process id once started (0 before).
    qint64 childPid() const { return m_child; }

    // The longest limit a watch takes; a longer one is cut to this.
    static constexpr std::chrono::milliseconds kMaxLimit{std::chrono::minutes(10)};

private:
    void step(Step s) const;
    void startAtPath();
    Outcome startUnwatched(const QString &why);
    Outcome standDown(const QString &line);
    qint64 m_child = 0;
    QString m_reason;
    bool m_marked = false;
    bool m_leftRunning = false;
};
