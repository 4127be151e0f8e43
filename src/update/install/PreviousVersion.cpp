// The kept previous copy: what the start-up sweep does with it, and the
// revert that puts it back at the user's request.
#include "update/Updater.h"

#include "codesign/CodeSigning.h"
#include "location/PreviousCopy.h"
#include "platform/Worker.h"
#include "release/VersionRules.h"

#include <QFile>

#include <sys/stat.h>

namespace {

constexpr QChar kEllipsis(0x2026);

struct UpdaterGone {};

// When the copy was put in its place: renaming a folder sets its change
// time, and nothing else touches a kept copy.
std::optional<QDateTime> keptSince(const QString &path)
{
    struct stat st;
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0 || !S_ISDIR(st.st_mode))
        return std::nullopt;
    return QDateTime::fromMSecsSinceEpoch(qint64(st.st_ctim.tv_sec) * 1000 + st.st_ctim.tv_nsec / 1000000, Qt::UTC);
}

QString versionOf(const Bundle &bundle)
{
    return bundle.infoString(QStringLiteral("CFBundleShortVersionString")).value_or(QString());
}

} // namespace

QString Updater::previousCopyPath() const { return PreviousCopy::pathBeside(m_env.bundle.path()); }

std::optional<Updater::KeptCopy> Updater::keptCopy() const
{
    const Bundle kept = Bundle::atPath(previousCopyPath());
    const qint64 build = VersionRules::buildOfBundle(kept);
    if (build <= 0 || build >= currentBuild() || !keptSince(kept.path()))
        return std::nullopt;
    return KeptCopy{versionOf(kept), build};
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
    const std::optional<QDateTime> since = keptSince(path);
    if (!since) {
        // Not a folder (or nothing): not a copy either.
        struct stat st;
        if (::lstat(QFile::encodeName(path).constData(), &st) == 0 && PreviousCopy::discard(path))
            log(QStringLiteral("Removed leftover ") + path);
        return;
    }
    const Bundle kept = Bundle::atPath(path);
    const qint64 build = VersionRules::buildOfBundle(kept);
    // Not older than this copy: what a swap back or a revert left when it was
    // stopped before removing the copy it replaced.
    if (build <= 0 || build >= currentBuild()) {
        if (PreviousCopy::discard(path))
            log(QStringLiteral("Removed leftover ") + path);
        return;
    }
    if (since->addDays(PreviousCopy::kKeepDays) <= m_env.clock()) {
        const QString version = versionOf(kept); // read while it is there
        if (PreviousCopy::discard(path))
            log(QStringLiteral("Removed the previous version %1 (%2), kept since %3")
                    .arg(version)
                    .arg(build)
                    .arg(since->toString(Qt::ISODate)));
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
    const QString leavingVersion = versionOf(running);
    log(QStringLiteral("Reverting from %1 (%2) to %3 (%4)").arg(leavingVersion).arg(leaving).arg(version).arg(kept->build));
    setState(State::installing(QStringLiteral("Checking ") + version + kEllipsis));

    // The same checks as for a download, but for the build: an older build
    // is what a revert asks for.
    auto verify = [previous, running] {
        try {
            verifySignature(previous, running);
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
        throw Failure(QStringLiteral("The kept copy of Ferrowhistle %1 isn't signed by Ferrowhistle's developer (%2), so it wasn't put back.")
                          .arg(version, unsigned_));
    auto assessing = assess(running.helperProgram(QStringLiteral("ferrowhistle-assess")), previous);
    const bool notarized = co_await std::move(assessing);
    if (!self)
        throw UpdaterGone{};
    if (!notarized)
        throw Failure(QStringLiteral("Gatekeeper didn't accept the kept copy of Ferrowhistle %1 as notarized, so it wasn't put back.")
                          .arg(version));
    const std::optional<QString> identifier = running.identifier();
    if (!identifier || Bundle::atPath(previous).identifier() != identifier)
        throw Failure(QStringLiteral("The kept copy isn't this app (its bundle ID differs), so it wasn't put back."));

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
    try {
        m_env.defaults.setValue(UpdaterDefaults::revertedBuildsKey(),
                                UpdaterDefaults::withBuild(m_env.defaults.string(UpdaterDefaults::revertedBuildsKey()), leaving));
    } catch (const DefaultsStoreError &e) {
        log(QString::fromStdString(e.what()));
    }
    log(QStringLiteral("Reverted to %1 (%2); relaunching").arg(version).arg(kept->build));

    // The copy left behind goes; the one put back is no longer kept.
    const QString left = swapped.oldEntryPath;
    auto discarding = onWorker([left] { PreviousCopy::discard(left); });
    co_await std::move(discarding);
    if (!self)
        throw UpdaterGone{};
    relaunch(bundlePath);
}
