#include "update/Updater.h"

#include "platform/BootClockTimer.h"
#include "platform/SystemLog.h"
#include "platform/Worker.h"
#include "update/ReleaseFeed.h"
#include "update/SignedFeed.h"
#include "update/SystemCheck.h"
#include "release/PhasedRollout.h"
#include "release/VersionRules.h"

#include <QCoreApplication>
#include <QSysInfo>

#include <qcoro/qcorotimer.h>

#include <unistd.h>

Updater &Updater::shared()
{
    static Updater *instance = new Updater();
    return *instance;
}

namespace {

Updater::Environment standardEnvironment()
{
    Updater::Environment environment;
    // Every build reads it, so whatever a user's environment holds is bounded
    // here: a limit the watch would refuse, or one its clock could not count
    // to, would leave nothing started after an update.
    if (qEnvironmentVariableIsSet(Updater::kStartLimitVariable)) {
        const QString text = qEnvironmentVariable(Updater::kStartLimitVariable);
        if (const auto limit = UpdaterDefaults::parseStartLimit(text))
            environment.startLimit = *limit;
        else
            systemLog({QStringLiteral(FERROWHISTLE_BUNDLE_ID), QStringLiteral("updater"),
                       QStringLiteral("Ignored %1=\"%2\": not a whole number of milliseconds from %3 to %4; "
                                      "a new copy has %5 ms to start")
                           .arg(QString::fromLatin1(Updater::kStartLimitVariable), text.left(40))
                           .arg(UpdaterDefaults::kShortestStartLimit.count())
                           .arg(UpdaterDefaults::kLongestStartLimit.count())
                           .arg(environment.startLimit.count())});
    }
    return environment;
}

} // namespace

Updater::Updater() : Updater(standardEnvironment()) {}

Updater::Updater(Environment environment, QObject *parent) : UpdaterInterface(parent), m_env(std::move(environment))
{
    if (!m_env.sleep)
        m_env.sleep = &sleepOnBootClock;
    if (!m_env.terminate)
        m_env.terminate = [] { QCoreApplication::quit(); };
    // The members are set directly: reading the settings writes nothing back
    // and announces nothing. A value of the wrong type counts as absent.
    m_lastCheck = m_env.defaults.date(kLastCheckKey);
    m_automatic = m_env.defaults.boolean(kAutomaticCheckKey).value_or(true);
    const QVariant group = m_env.defaults.object(kRolloutGroupKey);
    if (group.typeId() == QMetaType::LongLong && group.toLongLong() >= 0 && group.toLongLong() < PhasedRollout::kGroups)
        m_rolloutGroup = int(group.toLongLong());
    m_held = UpdaterDefaults::parseHeldRollout(m_env.defaults.string(kHeldRolloutKey));
    // Put there by the watch of the kept copy when an update didn't start.
    m_rolledBack = UpdaterDefaults::parseRolledBack(m_env.defaults.string(UpdaterDefaults::rolledBackKey()));
    m_newestFeeds = UpdaterDefaults::parseNewestFeeds(m_env.defaults.string(kNewestFeedsKey));
}

QByteArray Updater::standardInstallIdentity()
{
    // Worked out rather than picked at random: a group that had to be
    // written to be kept would change at every start while the settings
    // cannot be written, and the install would jump ahead of its turn.
    // /etc/machine-id stays for the life of the system; containers may
    // lack it, and then the host name is what stays.
    QByteArray machine = QSysInfo::machineUniqueId();
    if (machine.isEmpty())
        machine = QSysInfo::machineHostName().toUtf8();
    return machine + '\n' + QByteArray::number(::getuid()) + '\n' + QByteArrayLiteral(FERROWHISTLE_BUNDLE_ID);
}

QCoro::Task<bool> Updater::settleRolloutGroup(QPointer<Updater> updater)
{
    if (!updater)
        co_return false;
    if (updater->m_rolloutGroup)
        co_return true;
    // The machine id is a file: read off the GUI thread. (Started and awaited
    // in two steps: GCC 12 destroys temporaries of a co_await expression
    // twice.)
    auto reading = onWorker(updater->m_env.installIdentity);
    const QByteArray identity = co_await std::move(reading);
    if (!updater)
        co_return false;
    if (!updater->m_rolloutGroup)
        updater->m_rolloutGroup = PhasedRollout::groupOf(identity);
    co_return true;
}

std::optional<QString> Updater::rolledBackVersion() const
{
    if (m_rolledBack && m_rolledBack->build > currentBuild())
        return m_rolledBack->version;
    return std::nullopt;
}

void Updater::clearRolledBack(qint64 offeredBuild)
{
    Q_EMIT willChange();
    m_rolledBack.reset();
    Q_EMIT changed();
    // The watch of another start may have recorded a later roll-back since
    // this one read the settings; that record stays.
    storeChange(UpdaterDefaults::clearingRolledBackBefore(offeredBuild));
}

std::optional<Updater::State> Updater::refusedOffer(const Release &release, bool userInitiated)
{
    const QList<qint64> failed = UpdaterDefaults::buildList(m_env.defaults.string(UpdaterDefaults::failedBuildsKey()));
    if (failed.contains(release.build)) {
        log(QStringLiteral("Update %1 (%2) didn't start on this computer before, so it isn't offered")
                .arg(release.version)
                .arg(release.build));
        if (!userInitiated)
            return State::upToDate();
        return State::failed(QStringLiteral("Ferrowhistle %1 didn't start on this computer and was rolled back.")
                                 .arg(release.version));
    }
    const QList<qint64> reverted = UpdaterDefaults::buildList(m_env.defaults.string(UpdaterDefaults::revertedBuildsKey()));
    if (!userInitiated && reverted.contains(release.build)) {
        log(QStringLiteral("Update %1 (%2) was reverted on this computer, so only Check Now offers it")
                .arg(release.version)
                .arg(release.build));
        return State::upToDate();
    }
    return std::nullopt;
}

void Updater::setState(State state)
{
    Q_EMIT willChange();
    m_state = std::move(state);
    Q_EMIT changed();
}

void Updater::setLastError(std::optional<QString> error)
{
    Q_EMIT willChange();
    m_lastError = std::move(error);
    Q_EMIT changed();
}

void Updater::setLastCheck(std::optional<QDateTime> date)
{
    Q_EMIT willChange();
    m_lastCheck = std::move(date);
    Q_EMIT changed();
    if (m_lastCheck)
        store(kLastCheckKey, *m_lastCheck);
    else
        unstore(kLastCheckKey);
}

void Updater::setAutomatic(bool automatic)
{
    Q_EMIT willChange();
    m_automatic = automatic;
    Q_EMIT changed();
    store(kAutomaticCheckKey, automatic);
}

void Updater::store(const QString &key, const QVariant &value)
{
    // Written off the GUI thread: another program holding the settings lock
    // must not freeze the switch. The value in memory holds either way; a
    // settings file that cannot be written (a folder in its place, a full
    // disk) is worth a line, not a stop.
    const auto logFailure = [this](const QString &sentence) { log(sentence); };
    try {
        m_env.defaults.post(key, value, this, logFailure);
    } catch (const DefaultsStoreError &e) {
        logFailure(QString::fromStdString(e.what()));
    }
}

void Updater::storeChange(UpdaterDefaults::SettingsChange change)
{
    m_env.defaults.postUpdate(std::move(change), this, [this](const QString &sentence) { log(sentence); });
}

void Updater::unstore(const QString &key)
{
    // By the background writer too, never on a thread of Qt's pool: the
    // application's end waits for that pool, and a removal blocked on
    // another program's lock would keep the old process from ever ending
    // after an install or a revert. The writer gives up on it at exit.
    m_env.defaults.postRemoval(key, this, [this](const QString &sentence) { log(sentence); });
}

std::optional<Updater::Release> Updater::availableRelease() const
{
    if (const Release *release = m_state.release())
        return *release;
    return std::nullopt;
}

QUrl Updater::feedURL() const { return ReleaseFeed::feedURL(m_env.defaults); }

QUrl Updater::defaultFeedURL() { return ReleaseFeed::defaultFeedURL(); }

QCoro::Task<Updater::Release> Updater::fetchRelease()
{
    QPointer<Updater> self(this);
    const QUrl url = feedURL();
    // The replay floor of this address only: the address is the key even if
    // the setting changes while the feed is fetched.
    const QString address = url.toString(QUrl::FullyEncoded);
    const auto floor = m_newestFeeds.constFind(address);
    SignedFeed::Trust trust{m_env.bundle, m_env.clock,
                            floor == m_newestFeeds.cend() ? std::nullopt : std::optional<QDateTime>(*floor),
                            [self](const QString &line) { if (self) self->log(line); },
                            [self, address](const QDateTime &published) { if (self) self->noteFeedAccepted(address, published); },
                            UpdaterDefaults::channelOf(m_env.defaults.string(UpdaterDefaults::channelKey()))};
    auto fetch = SignedFeed::fetchRelease(session(), url, ReleaseFeed::userAgent(m_env.bundle), m_env.fetchLimits,
                                          std::move(trust));
    co_return co_await std::move(fetch);
}

void Updater::noteFeedAccepted(const QString &address, const QDateTime &published)
{
    const auto known = m_newestFeeds.constFind(address);
    if (known != m_newestFeeds.cend() && published <= *known)
        return;
    m_newestFeeds.insert(address, published);
    // Merged with what the file holds: another instance may have accepted a
    // later feed, or one from another address, since this one started.
    storeChange(UpdaterDefaults::raisingNewestFeed(address, published));
}

qint64 Updater::currentBuild() const { return VersionRules::buildOfBundle(m_env.bundle); }

bool Updater::isCompatible(const Release &release) const
{
    return VersionRules::isCompatible(release, VersionRules::runningSystemVersion());
}

void Updater::log(const QString &text) const
{
    systemLog({QStringLiteral(FERROWHISTLE_BUNDLE_ID), QStringLiteral("updater"), text});
}

QCoro::Task<> Updater::check(bool userInitiated)
{
    // The test and the change to checking happen in one turn on the GUI
    // thread, so no second check can slip in between.
    if (m_state.kind() == State::Kind::checking || m_state.kind() == State::Kind::installing || m_installRunning)
        co_return;
    // An offer the user already has is not taken back by a quiet check
    // that finds the same release still held back for this group, nor, when
    // Check Now made it, by one that fails.
    const std::optional<Release> offered = availableRelease();
    const bool offeredByUser = offered && offered == m_userOffer;
    setState(State::checking());

    QPointer<Updater> self(this);
    std::optional<Release> release;
    QString failure;
    try {
        release = co_await fetchRelease();
    } catch (...) {
        failure = localizedDescription(std::current_exception());
    }
    // The updater may have gone while the feed was on its way.
    if (!self)
        co_return;

    if (!release) {
        self->log(QStringLiteral("Update check failed: ") + failure);
        self->setLastError(failure);
        // Only the user is told in place; a quiet check withdraws an offer
        // of its own and is tried again at the next look.
        if (userInitiated)
            self->m_userOffer.reset();
        self->setState(userInitiated ? State::failed(failure)
                       : offeredByUser ? State::available(*offered)
                                       : State::idle());
        co_return;
    }
    const bool mayHoldBack = !userInitiated && offered != release && release->isPhased();
    if (mayHoldBack) {
        auto settling = settleRolloutGroup(self);
        const bool settled = co_await std::move(settling);
        if (!settled)
            co_return;
    }

    const QDateTime now = self->m_env.clock();
    self->setLastCheck(now);
    self->setLastError(std::nullopt);
    if (userInitiated)
        self->m_userOffer.reset();
    const auto settle = [&](State state) {
        if (userInitiated && state.kind() == State::Kind::available)
            self->m_userOffer = *release;
        self->setState(std::move(state));
    };
    if (VersionRules::isOfferable(*release, self->currentBuild(), VersionRules::runningSystemVersion())) {
        if (std::optional<State> refused = self->refusedOffer(*release, userInitiated)) {
            self->setHeld(std::nullopt);
            settle(std::move(*refused));
            co_return;
        }
        // A release this computer can't run is not offered; Check Now says what is missing.
        auto requirements = unmetSystemRequirement(*release);
        const std::optional<QString> unmet = co_await std::move(requirements);
        if (!self)
            co_return;
        if (unmet) {
            self->log(QStringLiteral("Update %1 (%2) isn't offered: ").arg(release->version).arg(release->build) + *unmet);
            self->setHeld(std::nullopt);
            settle(userInitiated ? State::failed(*unmet) : State::upToDate());
            co_return;
        }
        if (mayHoldBack && self->holdsBack(*release, now)) {
            self->setHeld(UpdaterDefaults::HeldRollout{*release->pubDate, *release->phasedRolloutInterval});
            settle(State::upToDate());
            co_return;
        }
        self->setHeld(std::nullopt);
        // A newer build than the one put back: its sentence has done its work.
        if (self->m_rolledBack && release->build > self->m_rolledBack->build)
            self->clearRolledBack(release->build);
        self->log(QStringLiteral("Update available: %1 (%2)").arg(release->version).arg(release->build));
        settle(State::available(*release));
    } else {
        self->setHeld(std::nullopt);
        settle(State::upToDate());
    }
}

void Updater::setHeld(std::optional<UpdaterDefaults::HeldRollout> held)
{
    if (held == m_held)
        return;
    m_held = std::move(held);
    // Emptied rather than removed: the write goes through the background
    // writer like every other one, and empty reads as nothing held.
    store(kHeldRolloutKey, m_held ? UpdaterDefaults::heldRolloutText(*m_held) : QString());
}

std::optional<QDateTime> Updater::heldUntil() const
{
    if (!m_held || !m_rolloutGroup)
        return std::nullopt;
    return PhasedRollout::dueDate(m_held->pubDate, m_held->intervalSeconds, *m_rolloutGroup);
}

bool Updater::holdsBack(const Release &release, const QDateTime &now)
{
    if (!release.isPhased())
        return false;
    const int group = *m_rolloutGroup; // settled by the check before it asks
    const std::optional<QDateTime> due = PhasedRollout::dueDate(*release.pubDate, *release.phasedRolloutInterval, group);
    if (due && now >= *due)
        return false;
    const QString what = QStringLiteral("Update held back: %1 (%2) reaches this computer's rollout group (%3) ")
                             .arg(release.version)
                             .arg(release.build)
                             .arg(group);
    log(what + (due ? QStringLiteral("at ") + PhasedRollout::formatDate(*due) : QStringLiteral("at no date a clock can show")));
    return true;
}

bool Updater::isCheckDue() const
{
    // Never checked counts as the most distant past. A lastCheck in the
    // future (the clock was once far ahead) is due as well: waiting for a day
    // after it could postpone every check for years.
    if (!m_lastCheck)
        return true;
    // A release held back for this install's group is looked for again once
    // that group's turn has come, not a day after the check that held it.
    if (const std::optional<QDateTime> due = heldUntil(); due && m_env.clock() >= *due)
        return true;
    const qint64 elapsedMs = m_lastCheck->msecsTo(m_env.clock());
    return elapsedMs < 0
        || elapsedMs >= std::chrono::duration_cast<std::chrono::milliseconds>(m_env.schedule.checkInterval).count();
}

std::chrono::milliseconds Updater::untilNextLook(std::chrono::milliseconds tick) const
{
    // A turn that comes before the next hourly look is waited for exactly,
    // on the boot clock like the tick. One that has passed (its check
    // failed) is tried again at the tick, as any failed check is.
    const std::optional<QDateTime> due = heldUntil();
    if (!m_automatic || !due)
        return tick;
    const qint64 ms = m_env.clock().msecsTo(*due);
    return ms > 0 && ms < tick.count() ? std::chrono::milliseconds(ms) : tick;
}

void Updater::startAutomaticChecks()
{
    if (m_loop)
        return;
    // Once per process, before the first look: what an interrupted install
    // or move left behind.
    removeLeftovers();
    removeRedundantSetAsideCopies();
    m_loop.emplace(runLoop(QPointer<Updater>(this), m_env.sleep, m_env.schedule));
}

QCoro::Task<> Updater::runLoop(QPointer<Updater> updater, Sleeper sleep, Schedule schedule)
{
    // Holds the updater only weakly: the loop never keeps it alive and ends
    // at its next look once it is gone. A sleeper that fails is said once and
    // replaced by a plain timer, so the loop can never spin.
    bool sleeperFailed = false;
    auto pause = [&](std::chrono::milliseconds duration) -> QCoro::Task<> {
        if (!sleeperFailed) {
            bool failed = false;
            try {
                co_await sleep(duration);
            } catch (...) {
                failed = true;
            }
            if (!failed)
                co_return;
            sleeperFailed = true;
            if (Updater *self = updater.data())
                self->log(QStringLiteral("The boot-clock timer failed; the automatic checks use a plain timer from now on"));
        }
        co_await QCoro::sleepFor(duration);
    };
    co_await pause(schedule.firstDelay);
    // A release held back before a restart: its turn is worked out again
    // from its rollout and this install's group.
    if (Updater *self = updater.data(); self && self->m_held) {
        auto settling = settleRolloutGroup(updater);
        const bool settled = co_await std::move(settling);
        if (!settled)
            co_return;
    }
    for (;;) {
        Updater *self = updater.data();
        if (!self)
            co_return;
        if (self->automatic() && self->isCheckDue()) {
            co_await self->check(false);
            self = updater.data();
            if (!self)
                co_return;
        }
        co_await pause(self->untilNextLook(schedule.tick));
    }
}
