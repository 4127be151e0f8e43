// The install of an offered release: download, the chain of checks, the
// swap and the relaunch. Everything that touches the updater's state runs on
// the GUI thread; hashing, unpacking, the signature check and removals run on
// workers and are awaited.
#include "update/Updater.h"

#include "codesign/CodeSigning.h"
#include "location/AppLocation.h"
#include "location/PreviousCopy.h"
#include "location/Relaunch.h"
#include "platform/RemoveTree.h"
#include "platform/SystemError.h"
#include "platform/TempDirectory.h"
#include "update/SigningFailure.h"
#include "release/VersionRules.h"
#include "update/install/ArchiveDigest.h"
#include "update/install/Download.h"
#include "update/install/Loadability.h"
#include "platform/Worker.h"
#include "platform/DurationText.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <sys/stat.h>

namespace {

constexpr QChar kEllipsis(0x2026);

// Thrown when the updater went away during a run: the run then only cleans up.
struct UpdaterGone {};

QString systemText(int error) { return systemErrorText(error); }

bool isFolder(const QString &path)
{
    struct stat st;
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The size of the file at path; throws the system's error.
qint64 fileSize(const QString &path)
{
    struct stat st;
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        throw PlatformError(QStringLiteral("Couldn't read the download: ") + systemText(errno));
    return qint64(st.st_size);
}

} // namespace

bool Updater::isRunningFromDiskImage() const
{
    return AppLocation{m_env.bundle.path(), m_env.mediaPrefixes}.isOnRemovableMedia();
}

void Updater::relaunch(const QString &bundlePath)
{
    try {
        Relauncher{m_env.relaunchShell, m_env.terminate}.relaunch(bundlePath);
    } catch (const RelaunchError &e) {
        throw PlatformError(e.description());
    }
}

void Updater::relaunchWatched(const QString &bundlePath, qint64 build)
{
    try {
        // Within what the watch accepts, whatever an environment was given:
        // a limit it refused would leave the new copy started unwatched.
        const std::chrono::milliseconds limit =
            std::clamp(m_env.startLimit, UpdaterDefaults::kShortestStartLimit, UpdaterDefaults::kLongestStartLimit);
        Relauncher{m_env.relaunchShell, m_env.terminate}.relaunchWatched(bundlePath, PreviousCopy::pathBeside(bundlePath), build,
                                                                       limit.count());
    } catch (const RelaunchError &e) {
        throw PlatformError(e.description());
    }
}

void Updater::install(const Release &release)
{
    // The state test alone would let a second request in before the first
    // run has published "installing"; the flag closes that window.
    if (m_installRunning || m_state.kind() == State::Kind::installing)
        return;
    m_installRunning = true;
    runInstall(release);
}

QCoro::Task<> Updater::runInstall(Release release)
{
    log(QStringLiteral("Installing update %1 (%2)").arg(release.version).arg(release.build));
    // On success the process is ending; the new copy takes over.
    return awaitReplacement(downloadAndInstall(release), QStringLiteral("Update failed: "));
}

QCoro::Task<> Updater::awaitReplacement(QCoro::Task<> steps, QString failedPrefix)
{
    QPointer<Updater> self(this);
    QString failure;
    try {
        co_await std::move(steps);
    } catch (const UpdaterGone &) {
        co_return;
    } catch (...) {
        failure = localizedDescription(std::current_exception());
    }
    if (!self)
        co_return;
    self->m_installRunning = false;
    if (failure.isEmpty())
        co_return; // the process is ending; the copy put in place takes over
    self->log(failedPrefix + failure);
    self->setState(State::failed(failure));
}

// What one run works with. Kept in one object rather than in locals of the
// coroutine, whose frame some compilers lay out wrongly for variables of
// nested scopes that live across suspensions.
struct Updater::InstallRun {
    Release release;
    Bundle running = Bundle::atPath(QString());
    QString bundlePath;
    QString destination;
    QString name; // the bundle's folder name
    QString work;
    QString archive;
    QString staging;
    QString candidate;
    QString movedAside; // the old copy, when the swap had to move it aside
    QString digest;
    qint64 newBuild = 0;
    // The running copy's, read before the swap replaces it on disk.
    qint64 oldBuild = 0;
    QString oldVersion;
    NetworkSession::Limits downloadLimits;
    UnzipLimits unzipLimits;
    AtomicSwap::StepHook swapHook;
    NetworkSession::Response response;
    bool assessed = false;
    std::exception_ptr error;

    // Removes the staging directory, the work directory and the old copy
    // moved aside, as far as they exist; errors are ignored (the next start
    // sweeps the first two).
    QCoro::Task<> clean()
    {
        QStringList paths;
        for (QString *path : {&staging, &work, &movedAside}) {
            if (!path->isEmpty())
                paths << *path;
            path->clear();
        }
        if (paths.isEmpty())
            co_return;
        auto remove = [paths] {
            for (const QString &p : paths)
                removeTree(p);
        };
        // Called and awaited in two steps throughout: GCC 12 destroys a
        // by-value argument of a coroutine twice when the call stands inside
        // the co_await expression.
        auto removal = onWorker(std::move(remove));
        co_await std::move(removal);
    }
};

QCoro::Task<> Updater::downloadAndInstall(Release release)
{
    using namespace InstallLocations;
    auto run = std::make_shared<InstallRun>();
    run->release = std::move(release);
    run->running = m_env.bundle;
    run->bundlePath = m_env.bundle.path();
    run->downloadLimits = m_env.downloadLimits;
    run->unzipLimits = m_env.unzipLimits;
    run->swapHook = m_env.swapHook;

    // Refusals of where the copy runs, before anything changes.
    if (isRunningFromDiskImage())
        throw Failure(QStringLiteral("Ferrowhistle is running from the disk image, so it can't update itself. "
                                     "Move it to Applications first."));
    run->destination = parentFolder(run->bundlePath);
    // The kept copy started by hand would install over its own name.
    if (PreviousCopy::isKeptCopy(run->bundlePath))
        throw Failure(QStringLiteral("This is the copy of Ferrowhistle kept from before the last update, so it can't "
                                     "update itself. Start the installed copy in %1 instead.")
                          .arg(run->destination));
    run->name = lastComponent(run->bundlePath);
    if (!isWritableFolder(run->destination))
        throw Failure(QStringLiteral("Ferrowhistle can't replace itself in ") + run->destination
                      + QStringLiteral(". Ask for the new version's DMG and install it by hand."));

    setState(State::installing(QStringLiteral("Downloading ") + run->release.version + kEllipsis));

    // The work directory, private to this user.
    const QString temp = temporaryDirectory();
    if (temp.isEmpty())
        throw PlatformError(QStringLiteral("There is no private temporary folder to download into."));
    const QString work = temp + u'/' + kWorkPrefix + newUuidText();
    if (::mkdir(QFile::encodeName(work).constData(), 0700) != 0)
        throw PlatformError(QStringLiteral("Couldn't make a folder for the download: ") + systemText(errno));
    run->work = work;
    m_ownFolders.insert(work);
    run->archive = work + u'/' + kArchiveName;

    // Everything from here cleans what exists when it fails.
    try {
        auto steps = installSteps(run);
        co_await std::move(steps);
    } catch (...) {
        run->error = std::current_exception();
    }
    if (run->error) {
        auto cleaning = run->clean();
        co_await std::move(cleaning);
        std::rethrow_exception(run->error);
    }
}

QCoro::Task<> Updater::installSteps(std::shared_ptr<InstallRun> run)
{
    using namespace InstallLocations;
    QPointer<Updater> self(this);
    auto alive = [&self]() -> Updater & {
        if (!self)
            throw UpdaterGone{};
        return *self;
    };

    // A delta from this build, when the feed offers one, makes the candidate
    // from the running copy; whatever goes wrong there, the archive does.
    auto fromDelta = candidateFromDelta(run->release, run->work, run->destination, run->name, run->downloadLimits,
                                        run->unzipLimits.maxBytes);
    run->staging = co_await std::move(fromDelta);
    alive();
    if (run->staging.isEmpty()) {
        auto fromArchive = candidateFromArchive(run);
        co_await std::move(fromArchive);
        alive();
    }

    // A bundle under the running copy's folder name.
    run->candidate = run->staging + u'/' + run->name;
    if (!isFolder(run->candidate))
        throw Failure(QStringLiteral("The download doesn't contain ") + run->name + u'.');

    // Signed by our team, under our identifier; the running copy's
    // identity is read now.
    auto verify = [run] {
        try {
            verifySignature(run->candidate, run->running);
        } catch (const CodeSigningError &e) {
            throw signingFailure(e);
        }
    };
    auto verifying = onWorker(std::move(verify));
    co_await std::move(verifying);
    alive();

    // Notarized, as this copy's own assessment tool judges it (never
    // the candidate's).
    auto assessing = assess(run->running.helperProgram(QStringLiteral("ferrowhistle-assess")), run->candidate);
    run->assessed = co_await std::move(assessing);
    alive();
    if (!run->assessed)
        throw Failure(QStringLiteral("Gatekeeper didn't accept the download as notarized, so it wasn't installed."));

    // The same application, a newer build.
    const std::optional<QString> identifier = run->running.identifier();
    const Bundle candidateBundle = Bundle::atPath(run->candidate);
    if (!identifier || !VersionRules::isNewerBuildOfSameApp(candidateBundle, *identifier, currentBuild()))
        throw Failure(QStringLiteral("The download isn't a newer build of Ferrowhistle."));
    run->newBuild = VersionRules::parseInteger(candidateBundle.infoString(QStringLiteral("CFBundleVersion")).value_or(QString()))
                        .value_or(0);

    // Loadable here: every program and library finds what it needs.
    auto checkLoading = [candidate = run->candidate, folders = m_env.systemLibraryFolders] {
        Loadability::check(candidate, folders);
    };
    auto loading = onWorker(std::move(checkLoading));
    co_await std::move(loading);
    alive();

    // The swap. Whatever moment the process dies, the bundle path holds a
    // whole copy; the old one ends up inside the staging folder (exchanged
    // with the candidate) or, where folders cannot be exchanged, under a kept
    // name beside the bundle; from there it becomes the kept previous copy.
    setState(State::installing(QStringLiteral("Installing ") + run->release.version + kEllipsis));
    run->oldBuild = currentBuild();
    run->oldVersion = run->running.infoString(QStringLiteral("CFBundleShortVersionString")).value_or(QString());
    AtomicSwap::Result swapped;
    try {
        swapped = AtomicSwap::replace(run->bundlePath, run->candidate, keptCopyPath(run->destination), run->swapHook);
    } catch (const SwapError &e) {
        if (!e.keptAt().isEmpty())
            log(QStringLiteral("Couldn't put the old copy back at %1; it is kept at %2").arg(run->bundlePath, e.keptAt()));
        throw PlatformError(e.description());
    }
    if (swapped.usedFallback) {
        run->movedAside = swapped.oldEntryPath;
        log(QStringLiteral("The file system can't exchange folders; the old copy was moved aside instead"));
    }
    log(QStringLiteral("Installed update %1 (%2); relaunching").arg(run->release.version).arg(run->newBuild));

    // The old copy is kept beside the new one, in place of any copy kept
    // before, so that it can come back if the new one doesn't start. The
    // update stands without it: a copy that could not be kept is only said.
    const QString oldCopy = swapped.usedFallback ? swapped.oldEntryPath : run->candidate;
    bool kept = false;
    try {
        const QString older = PreviousCopy::keep(run->bundlePath, oldCopy);
        kept = true;
        // What was kept before goes with the run's folders.
        run->movedAside = older.startsWith(run->staging + u'/') ? QString() : older;
        log(QStringLiteral("Kept %1 (%2) at %3").arg(run->oldVersion).arg(run->oldBuild).arg(PreviousCopy::pathBeside(run->bundlePath)));
    } catch (const SwapError &e) {
        log(QStringLiteral("Couldn't keep the previous version: ") + e.description());
    }

    // The old copy goes, with the staging and work folders.
    auto cleaning = run->clean();
    co_await std::move(cleaning);
    alive();

    // The relaunch: the new copy starts from the same path once this
    // process has gone, watched by the kept copy's program when there is one.
    if (kept) {
        auto relaunching = relaunchWatchedOnceChecked(run->bundlePath, run->newBuild);
        co_await std::move(relaunching);
    } else {
        relaunch(run->bundlePath);
    }
}

QCoro::Task<> Updater::candidateFromArchive(std::shared_ptr<InstallRun> run)
{
    using namespace InstallLocations;
    QPointer<Updater> self(this);
    auto alive = [&self]() -> Updater & {
        if (!self)
            throw UpdaterGone{};
        return *self;
    };

    // The download, streamed into the archive file, then its status, its
    // time and its size.
    auto download = downloadToFile(session(), run->release.url, run->archive, run->downloadLimits);
    run->response = co_await std::move(download);
    alive();
    const int status = run->response.statusCode.value_or(0);
    if (status != 200)
        throw Failure(QStringLiteral("The download failed (HTTP %1).").arg(status));
    if (run->response.outcome == NetworkSession::Response::Outcome::TookTooLong)
        throw Failure(QStringLiteral("The download took longer than %1, so it wasn't installed.")
                          .arg(describeDuration(run->downloadLimits.overall)));
    const qint64 size = run->response.outcome == NetworkSession::Response::Outcome::TooLarge ? run->response.bytes
                                                                                             : fileSize(run->archive);
    if (size < 1 || size > run->downloadLimits.maxBytes)
        throw Failure(QStringLiteral("The download was an unexpected size (%1 bytes).").arg(size));

    alive().setState(State::installing(QStringLiteral("Checking the download") + kEllipsis));

    // The digest, compared as text with the published one.
    auto hash = [run] { return sha256HexOfFile(run->archive); };
    auto hashing = onWorker(std::move(hash));
    run->digest = co_await std::move(hashing);
    alive();
    if (run->digest != run->release.sha256.toLower())
        throw Failure(QStringLiteral("The download doesn't match the published checksum, so it wasn't installed."));

    // Unpacked beside the bundle, on the file system it replaces.
    run->staging = run->destination + u'/' + kStagingPrefix + newUuidText();
    m_ownFolders.insert(run->staging);
    auto unzip = [run] { safeUnzip(run->archive, run->staging, run->unzipLimits); };
    auto unzipping = onWorker(std::move(unzip));
    co_await std::move(unzipping);
    alive();
}

QCoro::Task<bool> Updater::assess(QString tool, QString candidate)
{
    // Any failure of the tool, to start or to accept, is a refusal; one that
    // hangs is stopped at its limit and said to have hung.
    QStringList arguments;
    arguments << QStringLiteral("--assess") << QStringLiteral("--type") << QStringLiteral("execute") << candidate;
    const std::chrono::milliseconds limit = m_env.toolTimeLimit;
    bool accepted = true;
    bool hung = false;
    try {
        auto running = runTool(tool, arguments, limit);
        co_await std::move(running);
    } catch (const ToolTimedOut &) {
        hung = true;
    } catch (...) {
        accepted = false;
    }
    if (hung)
        throw Failure(QStringLiteral("Gatekeeper didn't finish checking the download within %1, so it wasn't installed.")
                          .arg(describeDuration(limit)));
    co_return accepted;
}
