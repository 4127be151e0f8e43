#pragma once

#include <QByteArray>
#include <QString>

// Whom a signed feed is for: the app (its bundle identifier) and the channel
// of releases it belongs to ("stable" unless a release says otherwise).
// Signed with the rest of the record, so a feed the team signed for another
// of its apps, or for another channel, can't be served in place of ours.
struct FeedScope {
    QString identifier;
    QString channel;

    bool operator==(const FeedScope &) const = default;

    static QString identifierKey() { return QStringLiteral("bundleIdentifier"); }
    static QString channelKey() { return QStringLiteral("channel"); }
    static QString defaultChannel() { return QStringLiteral("stable"); }

    // 1 to 64 ASCII letters, digits, ".", "_" and "-": a name that reads the
    // same in a feed, a setting and a command line.
    static bool isChannelName(const QString &name);

    // Both present: "bundleIdentifier" a non-empty string, "channel" a
    // channel name. Throws PlatformError in the words of the release
    // decoder.
    static FeedScope decode(const QByteArray &body);
};
