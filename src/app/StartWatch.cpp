#include "app/StartWatch.h"

#include "app/RunningCopy.h"

#include "location/StartRecord.h"

#include "desktop/DisplayCheck.h"
#include "location/InstallLocations.h"
#include "location/PreviousCopy.h"
#include "platform/Bundle.h"
#include "platform/DefaultsStore.h"
#include "platform/DurationText.h"
#include "platform/FileIO.h"
#include "platform/SystemError.h"
#include "platform/SystemLog.h"
#include "platform/TempDirectory.h"
#include "platform/UniqueFd.h"
#include "release/UpdaterDefaults.h"
#include "release/VersionRules.h"

#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

extern char **environ;


namespace {

void journal(const QString &text)
{
    systemLog({QStringLiteral(FERROWHISTLE_BUNDLE_ID), QStringLiteral("updater"), text});
}

QString programOf(const QString &bundlePath) { return bundlePath + QStringLiteral("/Contents/bin/Ferrowhistle"); }

QString described(const QString &version, qint64 build)
{
    return QStringLiteral("%1 (%2)").arg(version.isEmpty() ? QStringLiteral("?") : version).arg(build);
}

// Starts program with args, not waiting for it. Returns 0 or the error.
int spawn(const QString &program, const QList<QByteArray> &args, pid_t *pid,
          const posix_spawn_file_actions_t *actions = nullptr)
{
    const QByteArray path = QFile::encodeName(program);
    std::vector<char *> argv{const_cast<char *>(path.constData())};
    for (const QByteArray &arg : args)
        argv.push_back(const_cast<char *>(arg.constData()));
    argv.push_back(nullptr);
    return ::posix_spawn(pid, path.constData(), actions, nullptr, argv.data(), environ);
}

// Started beside the watch and left to whoever reaps orphans once the watch
// has gone.
bool startBeside(const QString &program)
{
    pid_t pid = 0;
    if (const int rc = spawn(program, {}, &pid); rc != 0) {
        journal(QStringLiteral("Couldn't start %1: %2").arg(program, systemErrorText(rc)));
        return false;
    }
    return true;
}

QString exitText(int status)
{
    if (WIFSIGNALED(status))
        return QStringLiteral("it was ended by signal %1 (%2) before it had started")
            .arg(WTERMSIG(status))
            .arg(QString::fromLocal8Bit(::strsignal(WTERMSIG(status))));
    return QStringLiteral("it exited with status %1 before it had started").arg(WEXITSTATUS(status));
}

void reap(pid_t pid)
{
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
}

// The session the new copy needs: a display it can reach, and the session
// bus where the environment names one. Without them a copy can't start, and
// that says nothing of its build. exited: the copy ended by itself, when a
// display the watch cannot check may as well have gone.
std::optional<QString> defaultSessionProblem(bool exited)
{
    // The app runs through X11 (XWayland included) unless told otherwise.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "xcb");
    if (std::optional<QString> display = missingDisplay())
        return display;
    if (exited && !displayCheckable())
        return QStringLiteral("the display of platform %1 can't be checked").arg(qEnvironmentVariable("QT_QPA_PLATFORM"));
    const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
    if (!qEnvironmentVariableIsSet("DBUS_SESSION_BUS_ADDRESS")
        && (runtime.isEmpty() || ::access((runtime + "/bus").constData(), F_OK) != 0))
        return std::nullopt; // no bus named: the app runs without automation
    sd_bus *bus = nullptr;
    const int rc = sd_bus_open_user(&bus);
    sd_bus_unref(bus);
    if (rc < 0)
        return QStringLiteral("no session bus: ") + systemErrorText(-rc);
    return std::nullopt;
}

// Errors of the program itself (missing, not executable, not a program):
// evidence against the build. Any other (EAGAIN, ENOMEM...) is the
// system's, and says nothing of it.
bool isExecFailure(int error)
{
    switch (error) {
    case ENOENT:
    case EACCES:
    case EPERM:
    case ENOEXEC:
    case ENOTDIR:
    case EISDIR:
    case ELOOP:
    case ENAMETOOLONG:
    case ELIBBAD:
        return true;
    default:
        return false;
    }
}

// The kept copy's own assessment tool checks it: its seal, its signature and
// notarization against this copy's anchors, and its identifier. A check
// still running at the limit has failed.
std::optional<QString> runKeptCopyCheck(const QString &keptPath, std::chrono::milliseconds limit)
{
    using Clock = std::chrono::steady_clock;
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        return systemErrorText(errno);
    UniqueFd readEnd(fds[0]);
    UniqueFd writeEnd(fds[1]);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, writeEnd.get(), STDERR_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    const int rc = spawn(keptPath + QStringLiteral("/Contents/bin/ferrowhistle-assess"),
                         {QByteArrayLiteral("--verify-kept"), QFile::encodeName(keptPath)}, &pid, &actions);
    posix_spawn_file_actions_destroy(&actions);
    writeEnd.reset();
    if (rc != 0)
        return QStringLiteral("its check couldn't be run: ") + systemErrorText(rc);
    // One line on failure; read to the end so the tool never blocks on us,
    // but no longer than the limit.
    QByteArray said;
    char buffer[512];
    const Clock::time_point deadline = Clock::now() + limit;
    bool late = false;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            late = true;
            break;
        }
        pollfd p{readEnd.get(), POLLIN, 0};
        const int ready = ::poll(&p, 1, int(std::min<qint64>(left.count(), 1000)));
        if (ready < 0 && errno != EINTR)
            break;
        if (ready <= 0)
            continue;
        const ssize_t n = ::read(readEnd.get(), buffer, sizeof buffer);
        if (n > 0 && said.size() < 4096)
            said.append(buffer, int(n));
        else if (n == 0 || (n < 0 && errno != EINTR))
            break;
    }
    // A tool that closed its output may still run: it gets what is left.
    int status = 0;
    while (!late) {
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid || (done < 0 && errno != EINTR))
            break;
        if (Clock::now() >= deadline)
            late = true;
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (late) {
        ::kill(pid, SIGKILL);
        reap(pid);
        return QStringLiteral("its check didn't finish within ") + describeDuration(limit);
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0)
        return std::nullopt;
    const QString line = QString::fromUtf8(said).trimmed();
    return line.isEmpty() ? QStringLiteral("its check failed") : line;
}

} // namespace

void StartWatch::step(Step s) const
{
    if (hook)
        hook(s);
}

void StartWatch::startAtPath()
{
    m_startedProgram = (startProgram ? startProgram : startBeside)(programOf(bundlePath));
}

StartWatch::Outcome StartWatch::startUnwatched(const QString &why)
{
    m_reason = why;
    journal(QStringLiteral("Not watching the start of %1: %2").arg(bundlePath, why));
    startAtPath();
    return Outcome::NotWatched;
}

StartWatch::Outcome StartWatch::standDown(const QString &line)
{
    journal(line);
    startAtPath();
    return Outcome::StoodDown;
}

StartWatch::Outcome StartWatch::run()
{
    using Clock = std::chrono::steady_clock;
    step(Step::BeforeStart);
    const QString previous = previousPath.isEmpty() ? PreviousCopy::pathBeside(bundlePath) : previousPath;
    const Bundle installed = Bundle::atPath(bundlePath);
    const qint64 installedBuild = VersionRules::buildOfBundle(installed);
    // Only the pair this watch was started for: a later update may have
    // replaced either copy since.
    if (installedBuild != build)
        return startUnwatched(QStringLiteral("it holds build %1, not %2").arg(installedBuild).arg(build));
    // Never through a link: a kept copy is a folder of its own.
    const std::optional<PreviousCopy::Kept> kept = PreviousCopy::inspect(previous);
    if (!kept || kept->build == build)
        return startUnwatched(QStringLiteral("no other copy is kept at %1").arg(previous));
    // A revert puts the older build at the path and keeps the newer one.
    const bool reverting = kept->build > build;
    const QString newVersion = installed.infoString(QStringLiteral("CFBundleShortVersionString")).value_or(QString());
    const QString newCopy = described(newVersion, build);
    const QString oldCopy = described(kept->version, kept->build);
    const QString what = (reverting ? QStringLiteral("Revert to ") : QStringLiteral("Update to ")) + newCopy;
    const QString program = programOf(bundlePath);
    const QString canonicalBundle = QFileInfo(bundlePath).canonicalFilePath();

    // The evidence: the bus name's owner says it is this copy.
    RunningCopy bus;
    // Older builds do not answer on the bus; they write the records their
    // own watches waited for: the one a watch's lock asks for, and the one
    // named in the environment of the process the watch starts.
    const QString temp = temporaryFolder.isEmpty() ? temporaryDirectory() : temporaryFolder;
    QString record, requested;
    StartRecord::WatchLock watchLock;
    if (!temp.isEmpty()) {
        record = StartRecord::pathFor(bundlePath, temp);
        requested = StartRecord::requestPathFor(bundlePath, temp);
        // A stale record goes before the lock is held, so none written for
        // this watch can be removed.
        QFile::remove(record);
        QString lockProblem;
        watchLock = StartRecord::WatchLock::hold(bundlePath, temp, &lockProblem);
        if (!watchLock.held())
            record.clear();
    }
    std::vector<QByteArray> environment;
    const QByteArray requestPrefix = QByteArray(StartRecord::kRequestVariable) + '=';
    for (char **e = environ; *e; ++e)
        if (!QByteArray::fromRawData(*e, int(std::strlen(*e))).startsWith(requestPrefix))
            environment.emplace_back(*e);
    if (!requested.isEmpty())
        environment.push_back(requestPrefix + QFile::encodeName(requested));
    std::vector<char *> envp;
    for (QByteArray &e : environment)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    const auto startChild = [&](pid_t *pid) {
        if (spawnChild)
            return spawnChild(program, envp.data(), pid);
        const QByteArray path = QFile::encodeName(program);
        char *argv[] = {const_cast<char *>(path.constData()), nullptr};
        return ::posix_spawn(pid, path.constData(), nullptr, nullptr, argv, envp.data());
    };
    const auto removeRecords = [&] {
        if (!record.isEmpty())
            QFile::remove(record);
        if (!requested.isEmpty())
            QFile::remove(requested);
        watchLock.release();
    };

    // The old copy has gone; should it have been the X server's last
    // client, the server may be resetting now. Held from here on, it
    // resets no more while the new copy starts.
    DisplayHold display;
    pid_t child = 0;
    const int spawned = startChild(&child);

    const auto sessionLacks = [this](bool exited) { return sessionProblem ? sessionProblem(exited) : defaultSessionProblem(exited); };
    const std::chrono::milliseconds wait = std::clamp(limit, std::chrono::milliseconds(0), UpdaterDefaults::kLongestStartLimit);
    bool confirmed = false;
    bool alive = spawned == 0;
    bool verdict = false;     // evidence against the build
    bool startedAgain = false; // one failure may be the session's, two are the build's
    RunningCopy::Answer lastAnswer;
    const auto recorded = [&] {
        return (!record.isEmpty() && StartRecord::read(record) == build) || (!requested.isEmpty() && StartRecord::read(requested) == build);
    };
    const auto answered = [&] {
        if (!bus.connected())
            return false;
        lastAnswer = bus.ask(program);
        return lastAnswer.kind == RunningCopy::Answer::Answered && lastAnswer.build == build
               && (lastAnswer.bundlePath == bundlePath || QFileInfo(lastAnswer.bundlePath).canonicalFilePath() == canonicalBundle);
    };
    const auto spawnFailure = [&](int error) {
        m_reason = QStringLiteral("its program couldn't be started: ") + systemErrorText(error);
        verdict = isExecFailure(error);
    };
    if (!alive) {
        spawnFailure(spawned);
    } else {
        m_child = child;
        Clock::time_point started = Clock::now();
        // The child's status once it has been reaped.
        bool ended = false;
        int endedStatus = 0;
        for (;;) {
            step(Step::Waiting);
            if (recorded() || answered()) {
                confirmed = true;
                break;
            }
            int status = 0;
            if (alive && !ended && ::waitpid(child, &status, WNOHANG) == child) {
                ended = true;
                endedStatus = status;
            }
            if (alive && ended) {
                alive = false;
                status = endedStatus;
                ended = false;
                // A quit after it started is no failure.
                if (recorded() || answered()) {
                    confirmed = true;
                    break;
                }
                // An exit 0 handed its command line to an instance already
                // running: whichever copy owns the name may still answer, so
                // the wait goes on.
                const bool handedOver = WIFEXITED(status) && WEXITSTATUS(status) == 0;
                if (!handedOver) {
                    // A toolkit that loses its display aborts: a signal too
                    // may be the session's doing.
                    const std::optional<QString> lacking = sessionLacks(true);
                    m_reason = lacking ? exitText(status) + QStringLiteral(", but ") + *lacking : exitText(status);
                    if (lacking)
                        break;
                    // The session may have failed for a moment only (an X
                    // server that resets when its last client leaves): a
                    // build is judged on a second failure, never a first,
                    // and the second start has the whole limit.
                    if (!startedAgain) {
                        startedAgain = true;
                        display.hold();
                        journal(QStringLiteral("%1: %2; it is started once more").arg(what, m_reason));
                        if (const int again = startChild(&child); again != 0) {
                            spawnFailure(again);
                            break;
                        }
                        m_child = child;
                        alive = true;
                        started = Clock::now();
                        continue;
                    }
                    verdict = true;
                    break;
                }
            }
            if (Clock::now() - started >= wait) {
                const QString late = QStringLiteral("it hadn't started after ") + describeDuration(wait);
                // Held still while the records are looked at, so it cannot
                // record in between and then be ended all the same; stopped
                // for sure before they are read.
                if (alive) {
                    ::kill(child, SIGSTOP);
                    int stopped = 0;
                    while (::waitpid(child, &stopped, WUNTRACED) < 0 && errno == EINTR) {
                    }
                    if (!WIFSTOPPED(stopped)) {
                        // It ended just now: judged as any end is.
                        ended = true;
                        endedStatus = stopped;
                        continue;
                    }
                }
                confirmed = recorded();
                const std::optional<QString> lacking = confirmed ? std::nullopt : sessionLacks(false);
                const bool noBus = !bus.connected();
                if (alive && (confirmed || lacking || noBus))
                    ::kill(child, SIGCONT);
                if (confirmed)
                    break;
                if (lacking) {
                    m_reason = late + QStringLiteral(", but ") + *lacking;
                    break;
                }
                if (noBus) {
                    m_reason = late + QStringLiteral(", but there is no session bus to ask it (") + bus.problem() + u')';
                    break;
                }
                if (alive) {
                    // The process this watch started: it hung.
                    m_reason = late;
                    verdict = true;
                    break;
                }
                // It gave way to an instance that hasn't said it is this
                // build. That is no evidence against the build, and that
                // instance is not the watch's to end.
                m_reason = QStringLiteral("it handed over to an instance that didn't say it started as this copy (%1)")
                               .arg(lastAnswer.detail.isEmpty() ? QStringLiteral("no answer") : lastAnswer.detail);
                break;
            }
            std::this_thread::sleep_for(pollInterval);
        }
    }
    if (confirmed) {
        m_reason.clear();
        m_leftRunning = alive;
        removeRecords();
        if (reverting) {
            PreviousCopy::discard(previous);
            journal(QStringLiteral("Revert to %1 started; %2 is no longer kept").arg(newCopy, oldCopy));
        } else {
            journal(QStringLiteral("Update to %1 started; %2 is kept beside it").arg(newCopy, oldCopy));
        }
        return Outcome::Confirmed;
    }
    removeRecords();

    // No verdict: nothing is held against the build, and the copy at the
    // path stays, with the kept copy beside it. A good update is never
    // undone for what the session did.
    if (!verdict && alive) {
        m_leftRunning = true;
        journal(QStringLiteral("%1: %2; it is left running, and nothing is held against it").arg(what, m_reason));
        return Outcome::StoodDown;
    }
    if (!verdict)
        return standDown(QStringLiteral("%1: %2; it is started again, and nothing is held against it").arg(what, m_reason));

    // From here until the kept copy is started the name is the watch's, so
    // that no launcher, activation or call starts the broken copy from the
    // path meanwhile: queued now, it passes to the watch as the copy ends.
    step(Step::BeforeEnd);
    if (bus.connected()) {
        if (const std::optional<QString> problem = bus.holdName())
            journal(QStringLiteral("Couldn't hold the bus name while %1 is put back: %2").arg(oldCopy, *problem));
    }
    if (alive) {
        ::kill(child, SIGKILL);
        reap(child);
    }
    journal(QStringLiteral("%1: %2").arg(what, m_reason));
    // An older build a revert left is never offered anyway.
    const bool mark = !reverting;
    const auto giveUp = [&](const QString &line) {
        bus.release();
        return standDown(line);
    };

    // The kept copy runs next: it must be the one kept, whole and signed.
    step(Step::BeforeCheck);
    const std::optional<PreviousCopy::Kept> stillKept = PreviousCopy::inspect(previous);
    std::optional<QString> unfit;
    if (!stillKept || stillKept->build != kept->build)
        unfit = QStringLiteral("it is no longer the copy that was kept");
    else
        unfit = checkKeptCopy ? checkKeptCopy(previous) : runKeptCopyCheck(previous, keptCheckLimit);
    if (unfit) {
        m_reason = *unfit;
        return giveUp(QStringLiteral("%1 didn't start, but %2 was not put back: %3").arg(what, oldCopy, m_reason));
    }

    step(Step::BeforeSwapBack);
    // Once more, now that the new copy has ended: a copy that a later update
    // put in place is never swapped out.
    if (VersionRules::buildOfBundle(installed) != build) {
        m_reason = QStringLiteral("the copies changed while it was watched");
        return giveUp(QStringLiteral("%1 didn't start, but %2 was not put back: %3").arg(what, oldCopy, m_reason));
    }
    AtomicSwap::Result swapped;
    try {
        swapped = AtomicSwap::replace(bundlePath, previous,
                                      InstallLocations::keptCopyPath(InstallLocations::parentFolder(bundlePath)), swapHook);
    } catch (const SwapError &e) {
        m_reason = e.description();
        return giveUp(QStringLiteral("%1 didn't start, and %2 couldn't be put back: %3").arg(what, oldCopy, m_reason));
    }
    step(Step::AfterSwapBack);
    journal(QStringLiteral("%1 didn't start, so %2 was put back.").arg(what, oldCopy));

    // Recorded after the copy is back, within a bounded wait: another
    // program holding the settings must not keep the broken build at the
    // path. Should the mark be lost, the build is offered again and its next
    // start is watched again.
    step(Step::BeforeMark);
    if (mark) {
        try {
            UpdaterDefaults::recordRolledBack(DefaultsStore::standard(), {build, newVersion}, settingsWait);
            m_marked = true;
        } catch (const DefaultsStoreError &e) {
            journal(QString::fromUtf8(e.what()));
        }
    }

    // The copy that didn't start is not kept: it is removed, as the kept
    // copy's name is the old one's no longer.
    step(Step::BeforeDiscard);
    PreviousCopy::discard(swapped.oldEntryPath);

    // The name goes just before the kept copy starts, so that copy takes it.
    step(Step::BeforeStartOld);
    bus.release();
    startAtPath();
    return Outcome::RolledBack;
}
