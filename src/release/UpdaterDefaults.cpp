#include "release/UpdaterDefaults.h"

#include "release/FeedScope.h"
#include "platform/DefaultsStore.h"
#include "release/PhasedRollout.h"
#include "release/Release.h"
#include "release/VersionRules.h"

#include <QStringList>

#include <QUrl>

namespace UpdaterDefaults {

const QList<Key> &keys()
{
    static const QList<Key> all{
        {feedURLKey(), QMetaType::QString},
        {automaticCheckKey(), QMetaType::Bool},
        {lastCheckKey(), QMetaType::QDateTime},
        {rolloutGroupKey(), QMetaType::LongLong},
        {failedBuildsKey(), QMetaType::QString},
        {revertedBuildsKey(), QMetaType::QString},
        {rolledBackKey(), QMetaType::QString},
        {heldRolloutKey(), QMetaType::QString},
        {channelKey(), QMetaType::QString},
        {newestFeedsKey(), QMetaType::QString},
    };
    return all;
}

QList<qint64> buildList(const std::optional<QString> &text)
{
    QList<qint64> builds;
    if (!text)
        return builds;
    for (const QString &piece : text->split(u' ', Qt::SkipEmptyParts))
        if (const std::optional<qint64> build = VersionRules::parseInteger(piece); build && !builds.contains(*build))
            builds.append(*build);
    return builds;
}

QString withBuild(const std::optional<QString> &text, qint64 build)
{
    QList<qint64> builds = buildList(text);
    if (!builds.contains(build))
        builds.append(build);
    QStringList pieces;
    for (const qint64 b : builds)
        pieces.append(QString::number(b));
    return pieces.join(u' ');
}

namespace {
// A value of another type counts as absent, as the readers take it.
std::optional<QString> stringIn(const QVariantMap &current, const QString &key)
{
    const QVariant value = current.value(key);
    return value.typeId() == QMetaType::QString ? std::optional(value.toString()) : std::nullopt;
}
} // namespace

SettingsChange addingBuild(const QString &key, qint64 build)
{
    return [key, build](const QVariantMap &current) { return QVariantMap{{key, withBuild(stringIn(current, key), build)}}; };
}

void recordRolledBack(const DefaultsStore &settings, const RolledBack &rolledBack, std::chrono::milliseconds lockWait)
{
    const SettingsChange addFailed = addingBuild(failedBuildsKey(), rolledBack.build);
    settings.update(
        [&](const QVariantMap &current) {
            QVariantMap changes = addFailed(current);
            changes.insert(rolledBackKey(), rolledBackText(rolledBack));
            return changes;
        },
        lockWait);
}

std::optional<RolledBack> parseRolledBack(const std::optional<QString> &text)
{
    if (!text)
        return std::nullopt;
    const qsizetype blank = text->indexOf(u' ');
    if (blank <= 0)
        return std::nullopt;
    const std::optional<qint64> build = VersionRules::parseInteger(QStringView(*text).left(blank));
    if (!build)
        return std::nullopt;
    return RolledBack{*build, text->mid(blank + 1)};
}

QString rolledBackText(const RolledBack &rolledBack)
{
    return QString::number(rolledBack.build) + u' ' + rolledBack.version;
}

std::optional<HeldRollout> parseHeldRollout(const std::optional<QString> &text)
{
    if (!text)
        return std::nullopt;
    const QStringList pieces = text->split(u' ');
    if (pieces.size() != 2)
        return std::nullopt;
    const std::optional<QDateTime> pubDate = PhasedRollout::parseDate(pieces[0]);
    const std::optional<qint64> interval = VersionRules::parseInteger(pieces[1]);
    if (!pubDate || !interval || *interval < 1)
        return std::nullopt;
    return HeldRollout{*pubDate, *interval};
}

QString heldRolloutText(const HeldRollout &held)
{
    return PhasedRollout::formatDate(held.pubDate) + u' ' + QString::number(held.intervalSeconds);
}

QString channelOf(const std::optional<QString> &setting)
{
    return setting && FeedScope::isChannelName(*setting) ? *setting : FeedScope::defaultChannel();
}

NewestFeeds parseNewestFeeds(const std::optional<QString> &text)
{
    NewestFeeds feeds;
    if (!text)
        return feeds;
    for (const QString &line : text->split(u'\n', Qt::SkipEmptyParts)) {
        const qsizetype blank = line.indexOf(u' ');
        if (blank <= 0 || blank + 1 >= line.size())
            continue;
        if (const std::optional<QDateTime> date = PhasedRollout::parseDate(line.left(blank)))
            feeds.insert(line.mid(blank + 1), *date);
    }
    return feeds;
}

QString newestFeedsText(const NewestFeeds &feeds)
{
    QStringList lines;
    for (auto it = feeds.begin(); it != feeds.end(); ++it)
        lines.append(PhasedRollout::formatDate(it.value()) + u' ' + it.key());
    return lines.join(u'\n');
}

SettingsChange raisingNewestFeed(const QString &address, const QDateTime &published)
{
    return [address, published](const QVariantMap &current) {
        NewestFeeds feeds = parseNewestFeeds(stringIn(current, newestFeedsKey()));
        const auto known = feeds.constFind(address);
        if (known != feeds.cend() && *known >= published)
            return QVariantMap();
        feeds.insert(address, published);
        return QVariantMap{{newestFeedsKey(), newestFeedsText(feeds)}};
    };
}

SettingsChange clearingRolledBackBefore(qint64 offeredBuild)
{
    return [offeredBuild](const QVariantMap &current) {
        if (!current.contains(rolledBackKey()))
            return QVariantMap();
        const std::optional<RolledBack> recorded = parseRolledBack(stringIn(current, rolledBackKey()));
        if (recorded && recorded->build >= offeredBuild)
            return QVariantMap();
        return QVariantMap{{rolledBackKey(), QVariant()}};
    };
}

bool isHonouredFeedURL(const QString &text)
{
    return QUrl(text, QUrl::StrictMode).isValid() && writtenScheme(text) == QLatin1String("https");
}

std::optional<std::chrono::milliseconds> parseStartLimit(QStringView text)
{
    const std::optional<qint64> ms = VersionRules::parseInteger(text);
    if (!ms || *ms < kShortestStartLimit.count() || *ms > kLongestStartLimit.count())
        return std::nullopt;
    return std::chrono::milliseconds(*ms);
}

} // namespace UpdaterDefaults
