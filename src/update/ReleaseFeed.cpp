#include "update/ReleaseFeed.h"

#include "platform/Bundle.h"
#include "platform/DefaultsStore.h"
#include "release/UpdaterDefaults.h"
#include "release/UpdaterFailure.h"
#include "platform/DurationText.h"

#ifndef FERROWHISTLE_FEED_HOST
#error "FERROWHISTLE_FEED_HOST must name the host of the built-in release feed"
#endif

namespace ReleaseFeed {

namespace {

QString describeBytes(qint64 bytes)
{
    constexpr qint64 MiB = 1024 * 1024;
    if (bytes % MiB == 0)
        return QStringLiteral("%1 MiB").arg(bytes / MiB);
    if (bytes < MiB && bytes % 1024 == 0)
        return QStringLiteral("%1 KiB").arg(bytes / 1024);
    return QStringLiteral("%1 bytes").arg(bytes);
}

} // namespace

QUrl defaultFeedURL()
{
    static const QUrl url(QStringLiteral("https://" FERROWHISTLE_FEED_HOST
                                         "/u/5b1e7c90d2a4f8e3c6b0a917/ferrowhistle/appcast.json"),
                          QUrl::StrictMode);
    return url;
}

QUrl feedURL(const DefaultsStore &defaults)
{
    if (const auto text = defaults.string(kFeedURLKey)) {
        if (UpdaterDefaults::isHonouredFeedURL(*text))
            return QUrl(*text, QUrl::StrictMode);
    }
    return defaultFeedURL();
}

QByteArray userAgent(const Bundle &bundle)
{
    const auto version = bundle.infoString(QStringLiteral("CFBundleShortVersionString"));
    return "Ferrowhistle/" + (version ? version->toUtf8() : QByteArrayLiteral("?"));
}

QCoro::Task<Release> fetchRelease(NetworkSession &session, QUrl url, QByteArray userAgent,
                                  NetworkSession::Limits limits)
{
    auto fetch = fetchFeedBytes(session, std::move(url), std::move(userAgent), limits);
    const QByteArray body = co_await std::move(fetch);
    co_return releaseFromFeed(body);
}

QCoro::Task<QByteArray> fetchFeedBytes(NetworkSession &session, QUrl url, QByteArray userAgent,
                                       NetworkSession::Limits limits, QString what)
{
    QList<QPair<QByteArray, QByteArray>> headers;
    headers.append({QByteArray("User-Agent"), userAgent});
    auto transfer = session.get(url, headers, limits);
    const NetworkSession::Response response = co_await std::move(transfer);

    switch (response.outcome) {
    case NetworkSession::Response::Outcome::TooLarge:
        throw UpdaterFailure(QStringLiteral("%1 is larger than %2, so it wasn't read.").arg(what, describeBytes(limits.maxBytes)));
    case NetworkSession::Response::Outcome::TookTooLong:
        throw UpdaterFailure(QStringLiteral("%1 took longer than %2 to arrive, so the check was stopped.")
                                 .arg(what, describeDuration(limits.overall)));
    case NetworkSession::Response::Outcome::Complete:
    case NetworkSession::Response::Outcome::SinkFailed: // the in-memory sink never fails
        break;
    }
    const int status = response.statusCode.value_or(0);
    if (status != 200)
        throw UpdaterFailure(QStringLiteral("%1 couldn't be read (HTTP %2).").arg(what).arg(status));
    co_return response.body;
}

Release releaseFromFeed(const QByteArray &body)
{
    QString urlText;
    Release release = Release::decode(body, &urlText);
    if (writtenScheme(urlText) != QLatin1String("https"))
        throw UpdaterFailure(QStringLiteral("The update feed points somewhere other than an https address."));
    return release;
}

} // namespace ReleaseFeed
