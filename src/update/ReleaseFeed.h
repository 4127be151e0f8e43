#pragma once

#include "update/NetworkSession.h"
#include "release/Release.h"
#include "release/UpdaterDefaults.h"

#include <QByteArray>
#include <QString>
#include <QUrl>

#include <qcoro/qcorotask.h>

class Bundle;
class DefaultsStore;

// Where the release feed is and how it is fetched and judged.
namespace ReleaseFeed {

// The user default that overrides the feed address; only https is honoured.
inline const QString kFeedURLKey = UpdaterDefaults::feedURLKey();

// The built-in address: https on the build's feed host, fixed path.
QUrl defaultFeedURL();

// The override when it is a valid URL whose scheme is written exactly
// "https"; otherwise, silently, the built-in address.
QUrl feedURL(const DefaultsStore &defaults);

// "Ferrowhistle/" + the bundle's CFBundleShortVersionString, or "?" when the
// bundle has no such string.
QByteArray userAgent(const Bundle &bundle);

// Fetches and decodes the release at url. Fails with UpdaterFailure for a
// status other than 200 (0 when there is no HTTP status), an oversized body,
// a fetch beyond the overall limit, and a release whose url is not https;
// with PlatformError, unchanged, for transport and decoding errors.
QCoro::Task<Release> fetchRelease(NetworkSession &session, QUrl url, QByteArray userAgent,
                                  NetworkSession::Limits limits);

// The two halves of fetchRelease, for a feed whose bytes are judged (their
// signature) before they are decoded: the body of a 200 answer, with the
// same failures for the answer (what names the file in them: the feed, or
// its signature); then the decoding and the https rule.
QCoro::Task<QByteArray> fetchFeedBytes(NetworkSession &session, QUrl url, QByteArray userAgent,
                                       NetworkSession::Limits limits,
                                       QString what = QStringLiteral("The update feed"));
Release releaseFromFeed(const QByteArray &body);

} // namespace ReleaseFeed
