#include "app/StartWatch.h"

#include "location/InstallLocations.h"
#include "location/PreviousCopy.h"
#include "platform/AtomicWrite.h"
#include "platform/Bundle.h"
#include "platform/DefaultsStore.h"
#include "platform/SystemError.h"
#include "platform/SystemLog.h"
#include "platform/TempDirectory.h"
#include "release/UpdaterDefaults.h"
#include "release/VersionRules.h"

#include <QFile>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <thread>
#include <vector>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace StartRecord {

QString takePath()
{
    const QString path = qEnvironmentVariable(kVariable);
    qunsetenv(kVariable);
    return path;
}

std::optional<QString> write(const QString &path, qint64 build)
{
    return writeFileAtomically(path, QByteArray::number(build), QFileDevice::ReadOwner | QFileDevice::WriteOwner);
}

std::optional<qint64> read(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    // A record is a few digits; anything longer is not one.
    const QByteArray bytes = file.read(32);
    return VersionRules::parseInteger(QString::fromLatin1(bytes));
}

} // namespace StartRecord

namespace {

void journal(const QString &text)
{
    systemLog({QStringLiteral(FERROWHISTLE_BUNDLE_ID), QStringLiteral("updater"), text});
}

QString programOf(const QString &bundlePath) { return bundlePath + QStringLiteral("/Contents/bin/Ferrowhistle"); }

QString described(const Bundle &bundle, qint64 build)
{
    return QStringLiteral("%1 (%2)").arg(bundle.infoString(QStringLiteral("CFBundleShortVersionString")).value_or(QStringLiteral("?")))
        .arg(build);
}

// The watch's own process becomes the program; returns only when that failed.
void execProgram(const QString &program)
{
    const QByteArray path = QFile::encodeName(program);
    char *argv[] = {const_cast<char *>(path.constData()), nullptr};
    ::execv(path.constData(), argv);
    journal(QStringLiteral("Couldn't start %1: %2").arg(program, systemErrorText(errno)));
}

QString exitText(int status)
{
    if (WIFSIGNALED(status))
        return QStringLiteral("it was ended by signal %1 (%2) before it had started")
            .arg(WTERMSIG(status))
            .arg(QString::fromLocal8Bit(::strsignal(WTERMSIG(status))));
    return QStringLiteral("it exited with status %1 before it had started").arg(WEXITSTATUS(status));
}

QString limitText(std::chrono::milliseconds limit)
{
    if (limit.count() % 1000 == 0)
        return QStringLiteral("%1 seconds").arg(limit.count() / 1000);
    return QStringLiteral("%1 ms").arg(limit.count());
}

} // namespace

void StartWatch::step(Step s) const
{
    if (hook)
        hook(s);
}

StartWatch::Outcome StartWatch::startUnwatched(const QString &why)
{
    m_reason = why;
    journal(QStringLiteral("Not watching the start of %1: %2").arg(bundlePath, why));
    (startProgram ? startProgram : execProgram)(programOf(bundlePath));
    return Outcome::NotWatched;
}

StartWatch::Outcome StartWatch::run()
{
    using Clock = std::chrono::steady_clock;
    step(Step::BeforeStart);
    const QString previous = previousPath.isEmpty() ? PreviousCopy::pathBeside(bundlePath) : previousPath;
    const Bundle installed = Bundle::atPath(bundlePath);
    const Bundle kept = Bundle::atPath(previous);
    const qint64 installedBuild = VersionRules::buildOfBundle(installed);
    const qint64 keptBuild = VersionRules::buildOfBundle(kept);
    // Only the pair this watch was started for: a later update may have
    // replaced either copy since.
    if (installedBuild != build)
        return startUnwatched(QStringLiteral("it holds build %1, not %2").arg(installedBuild).arg(build));
    if (keptBuild <= 0 || keptBuild >= build)
        return startUnwatched(QStringLiteral("no older copy is kept at %1").arg(previous));
    const QString newCopy = described(installed, build);
    const QString oldCopy = described(kept, keptBuild);

    QString record = recordPath;
    if (record.isEmpty()) {
        const QString temp = temporaryDirectory();
        if (temp.isEmpty())
            return startUnwatched(QStringLiteral("there is no private temporary folder for its start record"));
        record = temp + QStringLiteral("/Ferrowhistle-started-") + InstallLocations::newUuidText();
    }
    QFile::remove(record);

    // The new copy, with the record's place in its environment.
    std::vector<QByteArray> environment;
    const QByteArray prefix = QByteArray(StartRecord::kVariable) + '=';
    for (char **e = environ; *e; ++e)
        if (!QByteArray::fromRawData(*e, int(std::strlen(*e))).startsWith(prefix))
            environment.emplace_back(*e);
    environment.push_back(prefix + QFile::encodeName(record));
    std::vector<char *> envp;
    for (QByteArray &e : environment)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    const QByteArray program = QFile::encodeName(programOf(bundlePath));
    char *argv[] = {const_cast<char *>(program.constData()), nullptr};
    pid_t child = 0;
    const int spawned = ::posix_spawn(&child, program.constData(), nullptr, nullptr, argv, envp.data());

    bool confirmed = false;
    bool alive = spawned == 0;
    auto recorded = [&] { return StartRecord::read(record) == build; };
    if (!alive) {
        m_reason = QStringLiteral("its program couldn't be started: ") + systemErrorText(spawned);
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
            if (::waitpid(child, &status, WNOHANG) == child) {
                alive = false;
                // A quit after the record is no failure.
                confirmed = recorded();
                m_reason = exitText(status);
                break;
            }
            if (Clock::now() - started >= limit) {
                // Held still while the record is looked at, so it cannot
                // record in between and then be ended all the same.
                ::kill(child, SIGSTOP);
                confirmed = recorded();
                if (confirmed)
                    ::kill(child, SIGCONT);
                m_reason = QStringLiteral("it hadn't started after ") + limitText(limit);
                break;
            }
            std::this_thread::sleep_for(pollInterval);
        }
    }
    if (confirmed) {
        m_reason.clear();
        QFile::remove(record);
        journal(QStringLiteral("Update to %1 started; %2 is kept beside it").arg(newCopy, oldCopy));
        return Outcome::Confirmed;
    }

    step(Step::BeforeEnd);
    if (alive) {
        ::kill(child, SIGKILL);
        int status = 0;
        while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
        }
    }
    QFile::remove(record);
    journal(QStringLiteral("Update to %1: %2").arg(newCopy, m_reason));

    // Marked first: should the watch die before the swap back, the build is
    // still never offered again.
    step(Step::BeforeMark);
    try {
        const DefaultsStore settings = DefaultsStore::standard();
        settings.setValue(UpdaterDefaults::failedBuildsKey(),
                          UpdaterDefaults::withBuild(settings.string(UpdaterDefaults::failedBuildsKey()), build));
        const QString version = installed.infoString(QStringLiteral("CFBundleShortVersionString")).value_or(QString());
        settings.setValue(UpdaterDefaults::rolledBackKey(), UpdaterDefaults::rolledBackText({build, version}));
    } catch (const DefaultsStoreError &e) {
        journal(QString::fromUtf8(e.what()));
    }

    step(Step::BeforeSwapBack);
    // Once more, now that the new copy has ended: a copy that a later update
    // put in place is never swapped out.
    if (VersionRules::buildOfBundle(installed) != build || VersionRules::buildOfBundle(kept) != keptBuild) {
        m_reason = QStringLiteral("the copies changed while it was watched");
        journal(QStringLiteral("Update to %1 didn't start, but %2 was not put back: %3").arg(newCopy, oldCopy, m_reason));
        return Outcome::StoodDown;
    }
    AtomicSwap::Result swapped;
    try {
        swapped = AtomicSwap::replace(bundlePath, previous,
                                      InstallLocations::keptCopyPath(InstallLocations::parentFolder(bundlePath)), swapHook);
    } catch (const SwapError &e) {
        m_reason = e.description();
        journal(QStringLiteral("Update to %1 didn't start, and %2 couldn't be put back: %3").arg(newCopy, oldCopy, m_reason));
        return Outcome::StoodDown;
    }
    step(Step::AfterSwapBack);
    journal(QStringLiteral("Update to %1 didn't start, so %2 was put back.").arg(newCopy, oldCopy));

    // The copy that didn't start is not kept: it is removed, as the kept
    // copy's name is the old one's no longer.
    step(Step::BeforeDiscard);
    PreviousCopy::discard(swapped.oldEntryPath);

    step(Step::BeforeStartOld);
    (startProgram ? startProgram : execProgram)(programOf(bundlePath));
    return Outcome::RolledBack;
}
