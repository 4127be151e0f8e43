// The kept previous copy: what the start-up sweep does with it, and the
// revert that puts it back at the user's request.
#include "update/Updater.h"

#include "codesign/CodeSigning.h"
#include "location/PreviousCopy.h"
#include "location/StartRecord.h"
#include "platform/DurationText.h"
#include "platform/TaskLimit.h"
#include "platform/TempDirectory.h"
#include "platform/Worker.h"
#include "release/VersionRules.h"

#include <QFile>

#include <sys/stat.h>

namespace {

constexpr QChar kEllipsis(0x2026);

struct UpdaterGone {};

} // namespace

QString Updater::previousCopyPath() const { return PreviousCopy::pathBeside(m_env.bundle.path()); }

std::optional<Updater::KeptCopy> Updater::keptCopy() const
{
    const std::optional<PreviousCopy::Kept> kept = PreviousCopy::olderBeside(m_env.bundle.path());
    if (!kept)
        return std::nullopt;
    return KeptCopy{kept->version, kept->build};
}

QCoro::Task<std::optional<Updater::KeptCopyProblem>> Updater::checkKeptCopy(QString path, Bundle running)
{
    QPointer<Updater> self(this);
    // Never through a link: what runs or is put back is the folder itself.
    if (!PreviousCopy::inspect(path))
        co_return KeptCopyProblem{KeptCopyProblem::NotAFolder, QString()};
    auto verify = [path, running] {
        try {
            verifySignature(path, running);
            return QString();
        } catch (const CodeSigningError &e) {
            return e.reason().isEmpty() ? QStringLiteral("unknown error") : e.reason();
        }
    };
    auto verifying = onWorker(std::move(verify));
    const QString unsigned_ = co_await std::move(verifying);
    if (!self)
        throw UpdaterGone{};
    if (!unsigned_.isEmpty())
        co_return KeptCopyProblem{KeptCopyProblem::NotSigned, unsigned_};
    auto assessing = assess(running.helperProgram(QStringLiteral("ferrowhistle-assess")), path);
    bool notarized = false;
    bool hung = false;
    try {
        notarized = co_await std::move(assessing);
    } catch (const Failure &) {
        // Its words are for a download; this is the kept copy.
        hung = true;
    }
    if (!self)
        throw UpdaterGone{};
    if (hung)
        co_return KeptCopyProblem{KeptCopyProblem::AssessmentHung, describeDuration(m_env.toolTimeLimit)};
    if (!notarized)
        co_return KeptCopyProblem{KeptCopyProblem::NotNotarized, QString()};
    const std::optional<QString> identifier = running.identifier();
    if (!identifier || Bundle::atPath(path).identifier() != identifier)
        co_return KeptCopyProblem{KeptCopyProblem::OtherIdentifier, QString()};
    co_return std::nullopt;
}

void Updater::sortOutPreviousCopy() const
{
    // Started by hand from the kept name (say, after the new copy hung and
    // its watch was killed): the kept copy beside this bundle is this very
    // process's own, and is the one that works.
    if (PreviousCopy::isKeptCopy(m_env.bundle.path())) {
        log(QStringLiteral("Running the previous version kept at %1; it is left in place").arg(m_env.bundle.path()));
        return;
    }
    const QString path = previousCopyPath();
    const std::optional<PreviousCopy::Kept> kept = PreviousCopy::inspect(path);
    if (!kept) {
        // Not a copy (a link, a file, a folder with no build): gone.
        struct stat st;
        if (::lstat(QFile::encodeName(path).constData(), &st) == 0 && PreviousCopy::discard(path))
            log(QStringLiteral("Removed leftover ") + path);
        return;
    }
    // Not older than this copy: what a swap back or a revert left when it was
    // stopped before removing the copy it replaced. While a watch waits for
    // this copy's start, a newer one kept is what it puts back.
    if (kept->build >= currentBuild()) {
        if (StartRecord::awaited(m_env.bundle.path(), temporaryDirectory()))
            return;
        if (PreviousCopy::discard(path))
            log(QStringLiteral("Removed leftover ") + path);
        return;
    }
    if (kept->since.addDays(PreviousCopy::kKeepDays) <= m_env.clock()) {
        if (PreviousCopy::discard(path))
            log(QStringLiteral("Removed the previous version %1 (%2), kept since %3")
                    .arg(kept->version)
                    .arg(kept->build)
                    .arg(kept->since.toString(Qt::ISODate)));
    }
}

void Updater::revert()
{
    if (m_installRunning || m_state.kind() == State::Kind::installing)
        return;
    m_installRunning = true;
    runRevert();
}

QCoro::Task<> Updater::runRevert()
{
    // On success the process is ending; the kept copy takes over.
    return awaitReplacement(revertSteps(), QStringLiteral("Revert failed: "));
}

QCoro::Task<> Updater::revertSteps()
{
    QPointer<Updater> self(this);
    const std::optional<KeptCopy> kept = keptCopy();
    if (!kept)
        throw Failure(QStringLiteral("No previous version of Ferrowhistle is kept, so there is nothing to revert to."));
    const QString bundlePath = m_env.bundle.path();
    const QString previous = previousCopyPath();
    const QString version = kept->version;
    const Bundle running = m_env.bundle;
    const qint64 leaving = currentBuild();
    const QString leavingVersion = running.infoString(QStringLiteral("CFBundleShortVersionString")).value_or(QString());
    log(QStringLiteral("Reverting from %1 (%2) to %3 (%4)").arg(leavingVersion).arg(leaving).arg(version).arg(kept->build));
    setState(State::installing(QStringLiteral("Checking ") + version + kEllipsis));

    // The same checks as for a download, but for the build: an older build
    // is what a revert asks for.
    auto checking = checkKeptCopy(previous, running);
    const std::optional<KeptCopyProblem> problem = co_await std::move(checking);
    if (!self)
        throw UpdaterGone{};
    if (problem) {
        switch (problem->kind) {
        case KeptCopyProblem::NotAFolder:
            throw Failure(QStringLiteral("The kept copy of Ferrowhistle %1 isn't a folder of its own, so it wasn't put back.").arg(version));
        case KeptCopyProblem::NotSigned:
            throw Failure(QStringLiteral("The kept copy of Ferrowhistle %1 isn't signed by Ferrowhistle's developer (%2), so it wasn't put back.")
                              .arg(version, problem->detail));
        case KeptCopyProblem::NotNotarized:
            throw Failure(QStringLiteral("Gatekeeper didn't accept the kept copy of Ferrowhistle %1 as notarized, so it wasn't put back.")
                              .arg(version));
        case KeptCopyProblem::OtherIdentifier:
            throw Failure(QStringLiteral("The kept copy isn't this app (its bundle ID differs), so it wasn't put back."));
        case KeptCopyProblem::AssessmentHung:
            throw Failure(QStringLiteral("Gatekeeper didn't finish checking the kept copy of Ferrowhistle %1 within %2, so it wasn't put back.")
                              .arg(version, problem->detail));
        }
    }

    setState(State::installing(QStringLiteral("Reverting to ") + version + kEllipsis));
    AtomicSwap::Result swapped;
    try {
        swapped = AtomicSwap::replace(bundlePath, previous, InstallLocations::keptCopyPath(InstallLocations::parentFolder(bundlePath)),
                                      m_env.swapHook);
    } catch (const SwapError &e) {
        if (!e.keptAt().isEmpty())
            log(QStringLiteral("Couldn't put this copy back at %1; it is kept at %2").arg(bundlePath, e.keptAt()));
        throw PlatformError(e.description());
    }
    // Not offered again by the automatic checks; Check Now still shows it.
    // Added by the background writer under the settings lock: another
    // program holding the settings must not freeze the app, and a build it
    // adds to the list meanwhile must stay.
    storeChange(UpdaterDefaults::addingBuild(UpdaterDefaults::revertedBuildsKey(), leaving));
    log(QStringLiteral("Reverted to %1 (%2); relaunching").arg(version).arg(kept->build));

    // The copy left is kept until the one put back has shown that it starts:
    // an older build may fail on what the newer one wrote, and then the
    // newer one comes back. An exchange has already put it at the kept
    // name; a file system that can't exchange left it aside.
    bool watched = true;
    if (swapped.usedFallback) {
        try {
            PreviousCopy::keep(bundlePath, swapped.oldEntryPath);
        } catch (const SwapError &e) {
            log(QStringLiteral("Couldn't keep %1 (%2) beside the copy put back: %3").arg(leavingVersion).arg(leaving).arg(e.description()));
            watched = false;
        }
    }
    if (!watched) {
        relaunch(bundlePath);
        co_return;
    }
    auto relaunching = relaunchWatchedOnceChecked(bundlePath, kept->build);
    co_await std::move(relaunching);
}

QCoro::Task<> Updater::relaunchWatchedOnceChecked(QString bundlePath, qint64 build)
{
    QPointer<Updater> self(this);
    // After the exchange this process's own bundle, with its tool and its
    // anchors, is the kept copy: it is checked by its own trust, never by
    // the copy now at the path.
    const QString previous = PreviousCopy::pathBeside(bundlePath);
    // Within a limit, and whatever ends it: the swap is done, so a check
    // that hangs or fails must still end in a relaunch, only an unwatched one.
    const std::chrono::milliseconds limit = m_env.keptCopyCheckLimit;
    auto checking = withinLimit(checkKeptCopy(previous, Bundle::atPath(previous)), limit);
    std::optional<std::optional<KeptCopyProblem>> outcome;
    QString why;
    try {
        outcome = co_await std::move(checking);
    } catch (const UpdaterGone &) {
        throw;
    } catch (...) {
        why = QStringLiteral("its check couldn't be finished: ") + localizedDescription(std::current_exception());
    }
    if (!self)
        throw UpdaterGone{};
    if (why.isEmpty() && !outcome)
        why = QStringLiteral("its check didn't finish within ") + describeDuration(limit);
    if (why.isEmpty() && !*outcome) {
        relaunchWatched(bundlePath, build);
        co_return;
    }
    // Its program would run unchecked as the watch, and be put back
    // unchecked: the copy at the path starts on its own instead.
    if (why.isEmpty()) {
        const KeptCopyProblem &problem = **outcome;
        switch (problem.kind) {
        case KeptCopyProblem::NotAFolder:
            why = QStringLiteral("it isn't a folder of its own");
            break;
        case KeptCopyProblem::NotSigned:
            why = QStringLiteral("it isn't signed by Ferrowhistle's developer (%1)").arg(problem.detail);
            break;
        case KeptCopyProblem::NotNotarized:
            why = QStringLiteral("Gatekeeper didn't accept it as notarized");
            break;
        case KeptCopyProblem::OtherIdentifier:
            why = QStringLiteral("its bundle ID differs");
            break;
        case KeptCopyProblem::AssessmentHung:
            why = QStringLiteral("Gatekeeper didn't finish checking it within %1").arg(problem.detail);
            break;
        }
    }
    log(QStringLiteral("The kept copy at %1 failed its check (%2), so the start of %3 isn't watched").arg(previous, why, bundlePath));
    relaunch(bundlePath);
}
