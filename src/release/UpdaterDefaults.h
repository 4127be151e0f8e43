#pragma once

#include <QList>
#include <QMetaType>
#include <QString>

// The user defaults the updater reads (the card's one, HUDScreen, is in
// hud/HUDScreen.h). Kept in one place so that ferrowhistle-defaults can tell
// a user who writes anything else, or a value of the wrong type, that the
// app will not see it.
namespace UpdaterDefaults {

inline QString feedURLKey() { return QStringLiteral("UpdateFeedURL"); }
inline QString automaticCheckKey() { return QStringLiteral("updateAutomaticCheck"); }
inline QString lastCheckKey() { return QStringLiteral("updateLastCheck"); }
// This install's phased-rollout group, 0 to 6: picked at random by the app
// the first time a phased release needs it, then kept.
inline QString rolloutGroupKey() { return QStringLiteral("updateRolloutGroup"); }

struct Key {
    QString name;
    QMetaType::Type type; // QString, Bool, QDateTime or LongLong, as stored
};

const QList<Key> &keys();

// Whether the feed override is used: a valid address written with the
// https scheme. Anything else falls back to the built-in feed.
bool isHonouredFeedURL(const QString &text);

} // namespace UpdaterDefaults
