#pragma once

#include <QDateTime>
#include <QList>
#include <QMap>
#include <QMetaType>
#include <QString>
#include <QStringView>

#include <QVariantMap>

#include <chrono>
#include <functional>
#include <optional>

class DefaultsStore;

// The user defaults the updater reads (the card's one, HUDScreen, is in
// hud/HUDScreen.h). Kept in one place so that ferrowhistle-defaults can tell
// a user who writes anything else, or a value of the wrong type, that the
// app will not see it.
namespace UpdaterDefaults {

// A read-modify-write of the settings, for DefaultsStore::update or
// postUpdate: given what the file holds, the keys to set.
using SettingsChange = std::function<QVariantMap(const QVariantMap &current)>;

inline QString feedURLKey() { return QStringLiteral("UpdateFeedURL"); }
inline QString automaticCheckKey() { return QStringLiteral("updateAutomaticCheck"); }
inline QString lastCheckKey() { return QStringLiteral("updateLastCheck"); }
// This install's phased-rollout group, 0 to 6, when one is set; without it
// the app works the group out from the machine, the user and the bundle.
inline QString rolloutGroupKey() { return QStringLiteral("updateRolloutGroup"); }
// Builds that were installed here and did not start, so they were put back:
// decimal numbers separated by blanks. Never offered again.
inline QString failedBuildsKey() { return QStringLiteral("updateFailedBuilds"); }
// Builds the user reverted from: not offered again by the automatic checks.
inline QString revertedBuildsKey() { return QStringLiteral("updateRevertedBuilds"); }
// The last update put back because it did not start: its build, a blank and
// its version ("501 1.0.1"), until a newer build is offered.
inline QString rolledBackKey() { return QStringLiteral("updateRolledBack"); }

// The rollout of the release the last automatic check held back: its
// pubDate, a blank and its interval in seconds ("2026-12-08T10:00:00Z
// 86400"), empty when nothing is held back. Kept so that after a restart the
// app still looks again at this install's turn, not a day later.
inline QString heldRolloutKey() { return QStringLiteral("updateHeldRollout"); }

// The channel of releases this install follows; a signed feed of another
// channel is refused. A value that is not a channel name (FeedScope) means
// the default, as an unusable feed address means the built-in one.
inline QString channelKey() { return QStringLiteral("UpdateChannel"); }
QString channelOf(const std::optional<QString> &setting);

// The publication date of the newest signed feed accepted here from each
// feed address: an older feed served later from that address (a replay that
// hides a newer release) is refused. Kept per address, so a newer feed met
// elsewhere cannot hold back the one this install reads. One line per
// address: the date (PhasedRollout::formatDate), a blank, the address.
inline QString newestFeedsKey() { return QStringLiteral("updateNewestFeeds"); }
using NewestFeeds = QMap<QString, QDateTime>;
// Lines that do not parse are skipped.
NewestFeeds parseNewestFeeds(const std::optional<QString> &text);
QString newestFeedsText(const NewestFeeds &feeds);
// A change that raises the floor of address to published, as the file holds
// the floors at that moment: the floors of other addresses, and a later one
// of this address that another instance accepted meanwhile, are kept.
SettingsChange raisingNewestFeed(const QString &address, const QDateTime &published);

struct Key {
    QString name;
    QMetaType::Type type; // QString, Bool, QDateTime or LongLong, as stored
};

const QList<Key> &keys();

// The builds of a list kept under failedBuildsKey or revertedBuildsKey;
// pieces that are not whole numbers are skipped.
QList<qint64> buildList(const std::optional<QString> &text);
// The list with build added (once).
QString withBuild(const std::optional<QString> &text, qint64 build);

// A change for DefaultsStore::update or postUpdate that adds build to the
// list kept under key (failedBuildsKey or revertedBuildsKey) as the file
// holds it at that moment, so that a build another process added since it
// was last read stays in the list.
SettingsChange addingBuild(const QString &key, qint64 build);

// What rolledBackKey holds, read back; none when it does not parse.
struct RolledBack {
    qint64 build = 0;
    QString version;
    bool operator==(const RolledBack &) const = default;
};
std::optional<RolledBack> parseRolledBack(const std::optional<QString> &text);
QString rolledBackText(const RolledBack &rolledBack);
// A change that removes rolledBackKey once a build newer than the one it
// names is offered, as the file holds it at that moment: a record another
// process wrote meanwhile of that build or a later one stays.
SettingsChange clearingRolledBackBefore(qint64 offeredBuild);

// Records an update that didn't start and was put back: its build joins
// failedBuildsKey and it becomes rolledBackKey, read and written in one go
// under the settings lock, so a build another process adds meanwhile stays
// in the list. Waits at most lockWait; throws DefaultsStoreError.
void recordRolledBack(const DefaultsStore &settings, const RolledBack &rolledBack, std::chrono::milliseconds lockWait);

// What heldRolloutKey holds, read back; none when it is empty or does not
// parse.
struct HeldRollout {
    QDateTime pubDate;
    qint64 intervalSeconds = 0;
    bool operator==(const HeldRollout &) const = default;
};
std::optional<HeldRollout> parseHeldRollout(const std::optional<QString> &text);
QString heldRolloutText(const HeldRollout &held);

// Whether the feed override is used: a valid address written with the
// https scheme. Anything else falls back to the built-in feed.
bool isHonouredFeedURL(const QString &text);

// How long a new copy has after an update to prove that it started, as the
// environment may shorten it for tests and as the relaunch hands it to the
// watch (`--watch-start`). Both read it with parseStartLimit, so whatever the
// updater accepts the watch accepts too. The longest is far below where the
// watch's clock arithmetic could overflow.
inline constexpr std::chrono::milliseconds kDefaultStartLimit{std::chrono::seconds(60)};
inline constexpr std::chrono::milliseconds kShortestStartLimit{1};
inline constexpr std::chrono::milliseconds kLongestStartLimit{std::chrono::minutes(10)};
// A limit in milliseconds by the one integer rule, from kShortestStartLimit
// to kLongestStartLimit; nothing for anything else.
std::optional<std::chrono::milliseconds> parseStartLimit(QStringView text);
// How long the check of the kept copy (its seal, signature, notarization
// and identifier) may take before it counts as failed. A check that never
// ends must not hold up the relaunch after a swap, nor the watch.
inline constexpr std::chrono::milliseconds kKeptCopyCheckLimit{std::chrono::minutes(2)};

} // namespace UpdaterDefaults
