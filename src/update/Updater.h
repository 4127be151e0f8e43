#pragma once

#include "platform/AtomicSwap.h"
#include "platform/Bundle.h"
#include "platform/DefaultsStore.h"
#include "update/NetworkSession.h"
#include "release/Release.h"
#include "update/UpdaterInterface.h"
#include "release/UpdaterDefaults.h"
#include "release/UpdaterFailure.h"
#include "location/InstallLocations.h"
#include "update/install/SafeUnzip.h"

#include <QDateTime>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QString>
#include <QUrl>

#include <qcoro/qcorotask.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <variant>

// The self-update owner: what the updater is doing, when it last checked
// successfully, why the last check failed, and whether daily checks are on.
// One instance per process (shared()), living on the GUI thread; everything
// that reads or changes its state runs there, so the state itself is what
// keeps two checks (or a check and an install) from overlapping.
class Updater final : public UpdaterInterface {
    Q_OBJECT
public:
    using Failure = UpdaterFailure;

    // The schedule of the automatic checks. Durations are counted on a clock
    // that keeps running through suspend; the check interval is measured on
    // the wall clock from lastCheck.
    struct Schedule {
        std::chrono::milliseconds firstDelay{std::chrono::seconds(30)};
        std::chrono::milliseconds tick{std::chrono::hours(1)};
        std::chrono::seconds checkInterval{std::chrono::hours(24)};
    };
    using Clock = std::function<QDateTime()>;
    using Sleeper = std::function<QCoro::Task<>(std::chrono::milliseconds)>;

    // The limits of one download of a release archive.
    static NetworkSession::Limits defaultDownloadLimits()
    {
        NetworkSession::Limits limits;
        limits.inactivity = std::chrono::seconds(120);
        // Without an overall limit a server that trickles a byte now and
        // then would hold the install (and the installing state) forever.
        limits.overall = std::chrono::minutes(30);
        limits.maxBytes = kMaxArchiveBytes;
        return limits;
    }
    static constexpr qint64 kMaxArchiveBytes = 209715200;
    // How long a helper program (the assessment tool) may run.
    static constexpr std::chrono::milliseconds kToolTimeLimit{std::chrono::seconds(60)};
    // How long a new copy has to record its start after an update.
    static constexpr std::chrono::milliseconds kStartLimit = UpdaterDefaults::kDefaultStartLimit;

    // What the updater works against. The defaults are the real ones; tests
    // replace the bundle, the settings file, the durations and the clock, and
    // (for an install inside a test process) what ending the process means.
    struct Environment {
        // Taken once: after an install has swapped the bundle, /proc/self/exe
        // names the old copy, which this path no longer holds.
        Bundle bundle = Bundle::main();
        DefaultsStore defaults = DefaultsStore::standard();
        Schedule schedule;
        Clock clock = [] { return QDateTime::currentDateTimeUtc(); };
        Sleeper sleep;          // empty: sleep on CLOCK_BOOTTIME
        NetworkSession::Limits fetchLimits;
        NetworkSession::Limits downloadLimits = defaultDownloadLimits();
        UnzipLimits unzipLimits;
        QStringList mediaPrefixes = InstallLocations::defaultMediaPrefixes();
        // Ends the process once the relaunch shell runs: leaves the event
        // loop, so the bus name is released and the exit status is 0.
        std::function<void()> terminate;
        // The shell that waits for this process and opens the bundle again.
        QString relaunchShell = QStringLiteral("/bin/sh");
        // Called before each step of the swap (tests stop there).
        AtomicSwap::StepHook swapHook;
        // How long the assessment tool may run before it is stopped.
        std::chrono::milliseconds toolTimeLimit = kToolTimeLimit;
        // How long the check of the kept copy after a swap may take before
        // the new copy is relaunched unwatched.
        std::chrono::milliseconds keptCopyCheckLimit = UpdaterDefaults::kKeptCopyCheckLimit;
        // How long a new copy has to prove that it started before the kept
        // copy is put back.
        std::chrono::milliseconds startLimit = kStartLimit;
        // What tells this install apart from others, for a rollout group
        // when none is stored. Called on a worker thread; never throws.
        std::function<QByteArray()> installIdentity = &Updater::standardInstallIdentity;
        // The folders where the system's libraries are looked for when a
        // candidate's loadability is checked; empty: the system's own.
        QStringList systemLibraryFolders;
    };
    // The variable that shortens startLimit for the copy that shared()
    // makes: the tests of broken releases run the real app. Only values
    // UpdaterDefaults::parseStartLimit accepts count; others are logged and
    // ignored.
    static constexpr const char *kStartLimitVariable = "FERROWHISTLE_START_LIMIT_MS";

    static inline const QString kAutomaticCheckKey = UpdaterDefaults::automaticCheckKey();
    static inline const QString kLastCheckKey = UpdaterDefaults::lastCheckKey();
    static inline const QString kRolloutGroupKey = UpdaterDefaults::rolloutGroupKey();
    static inline const QString kHeldRolloutKey = UpdaterDefaults::heldRolloutKey();
    static inline const QString kNewestFeedsKey = UpdaterDefaults::newestFeedsKey();

    // The one instance, made on first use on the GUI thread, never destroyed.
    static Updater &shared();

    // Used by shared(), and by tests to run an updater against their own
    // environment (and to "restart" it by making another).
    Updater();
    explicit Updater(Environment environment, QObject *parent = nullptr);

    const State &state() const override { return m_state; }
    const std::optional<QString> &lastError() const override { return m_lastError; }
    const std::optional<QDateTime> &lastCheck() const override { return m_lastCheck; }
    bool automatic() const override { return m_automatic; }
    // Bound to "Check for updates daily"; stored on every assignment.
    void setAutomatic(bool automatic) override;

    // The release carried by state when it is available, else none.
    std::optional<Release> availableRelease() const override;

    // Fetches the feed and settles on upToDate, available or (when the user
    // asked) failed; an automatic check that fails goes back to idle, or to
    // the offer Check Now made when there is one. Never throws. Does nothing
    // while a check or an install runs. An automatic check holds a phased
    // release back (upToDate) until this install's group is due, unless that
    // very release is on offer already.
    QCoro::Task<> check(bool userInitiated) override;

    // This install's phased-rollout group, 0 to 6, once known: the stored
    // one, or the one worked out from installIdentity the first time an
    // automatic check needs it. A worked-out group is not written: it comes
    // out the same at every start, whether or not the settings can be written.
    std::optional<int> rolloutGroup() const { return m_rolloutGroup; }
    // The machine id (or, on a system without one, the host name), the user
    // id and the bundle identifier.
    static QByteArray standardInstallIdentity();

    // Starts the loop of automatic checks unless it already runs: a first look
    // after the first delay, then one look per tick, each checking when
    // automatic is on and a check interval has passed since lastCheck.
    void startAutomaticChecks() override;
    bool automaticChecksStarted() const { return m_loop.has_value(); }

    // Installs the release: download, checks, swap, relaunch. Does nothing
    // while an install runs. Ends in failed with the reason, or with the
    // process ending after the relaunch shell has started.
    void install(const Release &release) override;
    bool isInstalling() const { return m_installRunning; }

    std::optional<KeptCopy> keptCopy() const override;
    void revert() override;
    std::optional<QString> rolledBackVersion() const override;
    // Where the previous copy is kept.
    QString previousCopyPath() const;

    // Whether the running copy sits on removable media, a mounted image or a
    // translocated path, where it cannot replace itself.
    bool isRunningFromDiskImage() const;
    // The running bundle, as found at start.
    QString bundlePath() const { return m_env.bundle.path(); }
    // Removes what an interrupted install or move left beside the bundle and
    // in the temporary directory, logging each removal. Never fails.
    void removeLeftovers() const;
    // Removes the copies a fallback swap set aside, once a whole, verified
    // copy runs at the path (never when this copy runs from a set-aside or
    // the kept copy's name); on a worker.
    QCoro::Task<> removeRedundantSetAsideCopies();
    // Starts a shell that opens the bundle at bundlePath once this process
    // has gone, then ends the process. Throws PlatformError when the shell
    // cannot be started (the process then keeps running).
    void relaunch(const QString &bundlePath);
    // The same, with the kept copy's program watching the new copy start.
    void relaunchWatched(const QString &bundlePath, qint64 build);
    // Runs a program to its end with output discarded and no input. Throws
    // PlatformError when it cannot start, UpdaterFailure "<name> exited with
    // status N." when it ends otherwise than with status 0, and ToolTimedOut
    // once it has been killed for running past the limit.
    static QCoro::Task<> runTool(QString program, QStringList arguments,
                                 std::chrono::milliseconds limit = kToolTimeLimit);

    QUrl feedURL() const;
    static QUrl defaultFeedURL();
    NetworkSession &session() const { return NetworkSession::shared(); }
    // One fetch of the feed; changes nothing here.
    QCoro::Task<Release> fetchRelease();

    // The running build (CFBundleVersion by the integer rule), read afresh.
    qint64 currentBuild() const;
    // Whether the running system meets the release's minimum version.
    bool isCompatible(const Release &release) const;

    // One line to the system log, subsystem = the bundle identifier,
    // category "updater".
    void log(const QString &text) const;

private:
    void setState(State state);
    void setLastError(std::optional<QString> error);
    void setLastCheck(std::optional<QDateTime> date);
    bool isCheckDue() const;
    // How long the loop sleeps before its next look: the tick, or less when
    // a held release reaches this install's group sooner.
    std::chrono::milliseconds untilNextLook(std::chrono::milliseconds tick) const;
    // Whether an automatic check keeps a phased release back from this
    // install for now; says so in the log, with the date it is due.
    bool holdsBack(const Release &release, const QDateTime &now);
    // Works the group out (on a worker) unless it is known. False when the
    // updater went meanwhile.
    static QCoro::Task<bool> settleRolloutGroup(QPointer<Updater> updater);
    // When the held release reaches this install's group; none when nothing
    // is held, the group is not known yet, or the turn never comes.
    std::optional<QDateTime> heldUntil() const;
    void setHeld(std::optional<UpdaterDefaults::HeldRollout> held);
    void store(const QString &key, const QVariant &value);
    // A read-modify-write of the settings through the background writer,
    // under the settings lock; a failure is logged.
    void storeChange(UpdaterDefaults::SettingsChange change);
    // Removes a key from the settings through the background writer; a
    // failure is logged.
    void unstore(const QString &key);
    static QCoro::Task<> runLoop(QPointer<Updater> updater, Sleeper sleep, Schedule schedule);
    struct InstallRun;
    QCoro::Task<> runInstall(Release release);
    QCoro::Task<> downloadAndInstall(Release release);
    QCoro::Task<> installSteps(std::shared_ptr<InstallRun> run);
    // The candidate from the whole archive: download, digest, unzip into a
    // new staging folder (run->staging).
    QCoro::Task<> candidateFromArchive(std::shared_ptr<InstallRun> run);
    // The candidate from a delta the release offers from this build, made in
    // a new staging folder beside the bundle from a copy of the running one;
    // the folder, or empty once the delta could not be used (the reason is
    // logged, and what it made is removed).
    QCoro::Task<QString> candidateFromDelta(Release release, QString work, QString destination, QString name,
                                            NetworkSession::Limits limits, qint64 maxBytesMade);
    QCoro::Task<bool> assess(QString tool, QString candidate);
    QCoro::Task<> runRevert();
    // Awaits the steps of an install or a revert, which end the process when
    // they succeed; a failure is logged after failedPrefix and shown.
    QCoro::Task<> awaitReplacement(QCoro::Task<> steps, QString failedPrefix);
    QCoro::Task<> revertSteps();
    // Why a kept copy may neither watch a start nor be put back.
    struct KeptCopyProblem {
        enum Kind { NotAFolder, NotSigned, NotNotarized, OtherIdentifier, AssessmentHung } kind;
        QString detail;
    };
    // The checks a download passes, for the copy kept at path: a folder of
    // its own (never a link), sealed and signed by the running copy's team,
    // notarized, with this app's identifier.
    QCoro::Task<std::optional<KeptCopyProblem>> checkKeptCopy(QString path, Bundle running);
    // The relaunch after an exchange: watched by the kept copy's program
    // once that copy passes checkKeptCopy, plain otherwise.
    QCoro::Task<> relaunchWatchedOnceChecked(QString bundlePath, qint64 build);
    // Removes a kept copy that is not older than this build or has been kept
    // too long.
    void sortOutPreviousCopy() const;
    // A feed's release that this computer has seen fail, or that the user
    // reverted from: not offered, or (failed, when the user asked) with why.
    std::optional<State> refusedOffer(const Release &release, bool userInitiated);
    void clearRolledBack(qint64 offeredBuild);
    // Keeps the publication date of a signed feed accepted from address
    // when it is the newest from there so far.
    void noteFeedAccepted(const QString &address, const QDateTime &published);

    Environment m_env;
    State m_state = State::idle();
    std::optional<QString> m_lastError;
    std::optional<QDateTime> m_lastCheck;
    bool m_automatic = true;
    std::optional<int> m_rolloutGroup;
    // The rollout of the phased release the last check held back, also in
    // the settings: the loop looks again at this install's turn rather than
    // a day later, after a restart too.
    std::optional<UpdaterDefaults::HeldRollout> m_held;
    // The release the last Check Now offered: a quiet check leaves that
    // offer in place, whether it fails or finds the release held back.
    std::optional<Release> m_userOffer;
    std::optional<QCoro::Task<>> m_loop;
    bool m_installRunning = false;
    // The work and staging folders this process made: the sweep, which is
    // for what earlier processes left, never takes an install's own folders
    // from under it (a check asked for early runs before the sweep).
    QSet<QString> m_ownFolders;
    std::optional<UpdaterDefaults::RolledBack> m_rolledBack;
    // The publication date of the newest signed feed accepted from each
    // address, also in the settings: an older one from there is a replay.
    UpdaterDefaults::NewestFeeds m_newestFeeds;
};
