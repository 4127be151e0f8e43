#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QJsonObject>
#include <QString>

#include "release/FeedScope.h"

#include <functional>

// The signed release feed: the record with the dates "published" (when it
// was signed) and "expires", written as it is served, and the developer's
// detached signature over exactly those bytes in the file beside it (FEED
// plus ".sig"). A copy that verifies updates decodes nothing of a feed
// before that signature holds, and refuses one that has expired, so a
// publisher renews the feed before it does.

// How long a signed feed may be believed: whole days, 1 to 365. Throws
// std::runtime_error.
qint64 requireValidDays(const QString &days);

struct SignedFeedFiles {
    QByteArray feed;
    QByteArray signature;
};

// The record with the app and channel it is for (scope), published = now
// (to the second) and expires = now + days, and its signature by the
// identity, which must be a developer ID identity (the one the copies accept
// updates from). Throws std::runtime_error, also for a channel that is not a
// channel name or an empty identifier.
SignedFeedFiles signFeed(QJsonObject record, const FeedScope &scope, const QByteArray &identityPem, qint64 validDays,
                         const QDateTime &now);

// Writes the feed to path and the signature to path + ".sig" so that a run
// stopped at any moment leaves what the next renewFeed repairs: the new feed
// whole under path + ".next", then the signature over it in place, then the
// feed renamed into place, each step synced. Stopped before the signature,
// the old pair is still whole (the leftover is removed); stopped after it,
// the signature vouches for the waiting feed, which is moved in. The hook
// runs before each step (for tests, which stop the write there). Throws
// std::runtime_error.
enum class FeedWriteStep { Signature, Rename };
using FeedWriteHook = std::function<void(FeedWriteStep)>;
void writeSignedFeed(const QString &path, const SignedFeedFiles &files, const FeedWriteHook &hook = {});

// Signs the feed at path again with new dates, keeping every other field.
// First finishes a write that was stopped (see writeSignedFeed); returns
// whether it had to. Then refuses (std::runtime_error, nothing more written)
// a feed that does not decode as the app decodes it, one that does not name
// its app and channel (made by an older tool: make it anew with `feed`), one
// without a signature beside it or whose signature no longer matches its
// bytes (it was changed after signing: make it anew with `feed`), and an
// identity that is not a developer ID identity of the same team, issued by
// the same authority, as the last signature's.
bool renewFeed(const QString &path, const QByteArray &identityPem, qint64 validDays, const QDateTime &now);
