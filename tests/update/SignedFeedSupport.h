#pragma once

#include "LoopbackHttpsServer.h"

#include "FeedSigner.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>

// Feeds for the copies that verify updates: signed as the release tool signs
// them (`feed --identity`), with the developer's identity of the copy's
// fixture, for the app's stable channel unless a scope is given.
inline FeedScope appScope(const QString &channel = FeedScope::defaultChannel())
{
    return FeedScope{QStringLiteral("com.copperkestrel.Ferrowhistle"), channel};
}

inline SignedFeedFiles signedFeed(const QByteArray &record, const QByteArray &identityPem,
                                  const QDateTime &published = QDateTime::currentDateTimeUtc(), qint64 validDays = 30,
                                  const FeedScope &scope = appScope())
{
    return signFeed(QJsonDocument::fromJson(record).object(), scope, identityPem, validDays, published);
}

// The answer of a server that publishes a release: the feed's signature at
// any path ending in ".sig", the archive at any "*.zip", the feed elsewhere.
inline LoopbackHttpsServer::Answer releaseAnswer(const LoopbackHttpsServer::Request &request, const SignedFeedFiles &feed,
                                                 const QByteArray &zip)
{
    if (request.path.endsWith(".sig"))
        return {LoopbackHttpsServer::response(200, feed.signature)};
    if (request.path.endsWith(".zip"))
        return {LoopbackHttpsServer::response(200, zip)};
    return {LoopbackHttpsServer::response(200, feed.feed)};
}
