#include "app/StartWatch.h"

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

#include <QDir>
#include <QFile>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <thread>
#include <vector>

#include <fcntl.h>
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

// The processes, other than this one, that run the program file at path: a
// copy started from the bundle path by anyone. A program that is a script
// runs as its interpreter, with the script's path as its first argument.
std::vector<pid_t> processesRunning(const QString &program)
{
    std::vector<pid_t> found;
    const QByteArray wanted = QFile::encodeName(program);
    const QStringList pids = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &name : pids) {
        bool ok = false;
        const pid_t pid = pid_t(name.toInt(&ok));
        if (!ok || pid == ::getpid())
            continue;
        char target[4096];
        const QByteArray link = "/proc/" + name.toLatin1() + "/exe";
        const ssize_t n = ::readlink(link.constData(), target, sizeof target);
        if (n > 0 && QByteArray(target, int(n)) == wanted) {
            found.push_back(pid);
            continue;
        }
        QFile cmdline(QStringLiteral("/proc/%1/cmdline").arg(name));
        if (cmdline.open(QIODevice::ReadOnly) && cmdline.read(8192).split('\0').value(1) == wanted)
            found.push_back(pid);
    }
    return found;
}

// The session the new copy needs: a display it can reach, and the session
// bus where the environment names one. Without them a copy can't start, and
// that says nothing of its build.
std::optional<QString> defaultSessionProblem()
{
    // The app runs through X11 (XWayland included) unless told otherwise.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "xcb");
    if (std::optional<QString> display = missingDisplay())
        return display;
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

// Whether a record can be written in temp at all (a full or read-only
// temporary folder is the session's fault, not the build's).
std::optional<QString> recordUnwritable(const QString &temp)
{
    const QString probe = temp + u'/' + StartRecord::kRecordPrefix + QStringLiteral("probe-") + InstallLocations::newUuidText();
    const std::optional<QString> problem = StartRecord::write(probe, 0);
    QFile::remove(probe);
    if (problem)
        return QStringLiteral("its start record couldn't be written (%1)").arg(*problem);
    return std::nullopt;
}

// The kept copy's own assessment tool checks it: its seal, its signature and
// notarization against this copy's anchors, and its identifier.
std::optional<QString> runKeptCopyCheck(const QString &keptPath)
{
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
    // One line on failure; read to the end so the tool never blocks on us.
    QByteArray said;
    char buffer[512];
    for (;;) {
        const ssize_t n = ::read(readEnd.get(), buffer, sizeof buffer);
        if (n > 0 && said.size() < 4096)
            said.append(buffer, int(n));
        else if (n == 0 || (n < 0 && errno != EINTR))
            break;
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
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

    const QString temp = temporaryFolder.isEmpty() ? temporaryDirectory() : temporaryFolder;
    if (temp.isEmpty())
        return startUnwatched(QStringLiteral("there is no private temporary folder for its start record"));
    QString lockProblem;
    StartRecord::WatchLock watchLock = StartRecord::WatchLock::hold(bundlePath, temp, &lockProblem);
    if (!watchLock.held())
        return startUnwatched(QStringLiteral("its start record couldn't be prepared: ") + lockProblem);
    const QString record = StartRecord::pathFor(bundlePath, temp);
    QFile::remove(record);

    // The old copy has gone; should it have been the X server's last
    // client, the server may be resetting now. Held from here on, it
    // resets no more while the new copy starts.
    DisplayHold display;
    pid_t child = 0;
    const int spawned = spawn(programOf(bundlePath), {}, &child);

    const auto sessionLacks = [this] { return sessionProblem ? sessionProblem() : defaultSessionProblem(); };
    const std::chrono::milliseconds wait = std::clamp(limit, std::chrono::milliseconds(0), UpdaterDefaults::kLongestStartLimit);
    bool confirmed = false;
    bool alive = spawned == 0;
    bool verdict = false;     // evidence against the build
    bool startedAgain = false; // one failure may be the session's, two are the build's
    auto recorded = [&] { return StartRecord::read(record) == build; };
    if (!alive) {
        m_reason = QStringLiteral("its program couldn't be started: ") + systemErrorText(spawned);
        verdict = true;
    } else {
        m_child = child;
        const Clock::time_point started = Clock::now();
        for (;;) {
            step(Step::Waiting);
            if (recorded()) {
                confirmed = true;
                break;
            }
            int status = 0;
            if (alive && ::waitpid(child, &status, WNOHANG) == child) {
                alive = false;
                // A quit after the record is no failure.
                if (recorded()) {
                    confirmed = true;
                    break;
                }
                // An exit 0 handed its command line to an instance already
                // running: whichever copy runs from the path may still
                // record, so the wait goes on.
                const bool handedOver = WIFEXITED(status) && WEXITSTATUS(status) == 0;
                if (!handedOver) {
                    // A toolkit that loses its display aborts: a signal too
                    // may be the session's doing.
                    const std::optional<QString> lacking = sessionLacks();
                    m_reason = lacking ? exitText(status) + QStringLiteral(", but ") + *lacking : exitText(status);
                    if (lacking)
                        break;
                    // The session may have failed for a moment only (an X
                    // server that resets when its last client leaves): a
                    // build is judged on a second failure, never a first.
                    if (!startedAgain) {
                        startedAgain = true;
                        display.hold();
                        journal(QStringLiteral("%1: %2; it is started once more").arg(what, m_reason));
                        if (spawn(programOf(bundlePath), {}, &child) == 0) {
                            m_child = child;
                            alive = true;
                            continue;
                        }
                    }
                    verdict = true;
                    break;
                }
            }
            if (Clock::now() - started >= wait) {
                // Held still while the record is looked at, so it cannot
                // record in between and then be ended all the same.
                if (alive)
                    ::kill(child, SIGSTOP);
                confirmed = recorded();
                const std::optional<QString> lacking = confirmed ? std::nullopt : sessionLacks();
                const std::optional<QString> unwritable = confirmed || lacking ? std::nullopt : recordUnwritable(temp);
                if (alive && (confirmed || lacking || unwritable))
                    ::kill(child, SIGCONT);
                if (confirmed)
                    break;
                const QString late = QStringLiteral("it hadn't started after ") + describeDuration(wait);
                if (lacking || unwritable) {
                    m_reason = late + QStringLiteral(", but ") + *(lacking ? lacking : unwritable);
                    break;
                }
                if (alive) {
                    m_reason = late;
                    verdict = true;
                    break;
                }
                // It gave way to an instance. If that one runs from the
                // path, it is this build, and it hung.
                const std::vector<pid_t> others = processesRunning(programOf(bundlePath));
                if (others.empty()) {
                    m_reason = QStringLiteral("it handed over to an instance that isn't this copy");
                    break;
                }
                for (const pid_t pid : others)
                    ::kill(pid, SIGKILL);
                m_reason = late;
                verdict = true;
                break;
            }
            std::this_thread::sleep_for(pollInterval);
        }
    }
    if (confirmed) {
        m_reason.clear();
        m_leftRunning = alive;
        QFile::remove(record);
        watchLock.release();
        if (reverting) {
            PreviousCopy::discard(previous);
            journal(QStringLiteral("Revert to %1 started; %2 is no longer kept").arg(newCopy, oldCopy));
        } else {
            journal(QStringLiteral("Update to %1 started; %2 is kept beside it").arg(newCopy, oldCopy));
        }
        return Outcome::Confirmed;
    }
    QFile::remove(record);
    watchLock.release();

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

    step(Step::BeforeEnd);
    if (alive) {
        ::kill(child, SIGKILL);
        reap(child);
    }
    journal(QStringLiteral("%1: %2").arg(what, m_reason));
    // An older build a revert left is never offered anyway.
    const bool mark = !reverting;

    // The kept copy runs next: it must be the one kept, whole and signed.
    step(Step::BeforeCheck);
    const std::optional<PreviousCopy::Kept> stillKept = PreviousCopy::inspect(previous);
    std::optional<QString> unfit;
    if (!stillKept || stillKept->build != kept->build)
        unfit = QStringLiteral("it is no longer the copy that was kept");
    else
        unfit = checkKeptCopy ? checkKeptCopy(previous) : runKeptCopyCheck(previous);
    if (unfit) {
        m_reason = *unfit;
        return standDown(QStringLiteral("%1 didn't start, but %2 was not put back: %3").arg(what, oldCopy, m_reason));
    }

    step(Step::BeforeSwapBack);
    // Once more, now that the new copy has ended: a copy that a later update
    // put in place is never swapped out.
    if (VersionRules::buildOfBundle(installed) != build) {
        m_reason = QStringLiteral("the copies changed while it was watched");
        return standDown(QStringLiteral("%1 didn't start, but %2 was not put back: %3").arg(what, oldCopy, m_reason));
    }
    AtomicSwap::Result swapped;
    try {
        swapped = AtomicSwap::replace(bundlePath, previous,
                                      InstallLocations::keptCopyPath(InstallLocations::parentFolder(bundlePath)), swapHook);
    } catch (const SwapError &e) {
        m_reason = e.description();
        return standDown(QStringLiteral("%1 didn't start, and %2 couldn't be put back: %3").arg(what, oldCopy, m_reason));
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
            const DefaultsStore settings = DefaultsStore::standard();
            settings.setValues({{UpdaterDefaults::failedBuildsKey(),
                                 UpdaterDefaults::withBuild(settings.string(UpdaterDefaults::failedBuildsKey()), build)},
                                {UpdaterDefaults::rolledBackKey(), UpdaterDefaults::rolledBackText({build, newVersion})}},
                               settingsWait);
            m_marked = true;
        } catch (const DefaultsStoreError &e) {
            journal(QString::fromUtf8(e.what()));
        }
    }

    // The copy that didn't start is not kept: it is removed, as the kept
    // copy's name is the old one's no longer.
    step(Step::BeforeDiscard);
    PreviousCopy::discard(swapped.oldEntryPath);

    step(Step::BeforeStartOld);
    startAtPath();
    return Outcome::RolledBack;
}
