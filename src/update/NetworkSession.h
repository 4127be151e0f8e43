#pragma once

#include <QByteArray>
#include <QList>
#include <QNetworkRequest>
#include <QPair>
#include <QUrl>

#include <qcoro/qcorotask.h>

#include <chrono>
#include <functional>
#include <optional>

class QNetworkAccessManager;

// The updater's one network session, shared by the feed fetch and the
// download. It keeps nothing between requests: a cookie jar that neither
// stores nor hands out cookies, no cache (every answer comes from the
// network and none is saved), no credentials offered (nobody answers an
// authentication challenge and none are reused), and redirects followed only
// when they do not leave https for http.
class NetworkSession {
public:
    static NetworkSession &shared();

    struct Limits {
        // The longest wait for the next piece of data.
        std::chrono::milliseconds inactivity{std::chrono::seconds(30)};
        // The longest the whole transfer may take. Without it a server that
        // trickles one byte at a time never trips the inactivity timeout and
        // could hold a check for as long as it likes.
        std::chrono::milliseconds overall{std::chrono::minutes(2)};
        // The most body bytes accepted.
        qint64 maxBytes = 1024 * 1024;
    };

    struct Response {
        enum class Outcome { Complete, TooLarge, TookTooLong, SinkFailed };
        Outcome outcome = Outcome::Complete;
        // The final response's HTTP status after redirects; none when the
        // answer carried no HTTP status.
        std::optional<int> statusCode;
        QByteArray body;
        // Body bytes received (and handed to the sink) before the end or
        // the abort; for TooLarge by a declared length, that length.
        qint64 bytes = 0;
    };
    // Takes each piece of the body as it arrives; false stops the transfer
    // (outcome SinkFailed).
    using Sink = std::function<bool(const char *data, qint64 size)>;

    // A request carrying the session's rules for url. The inactivity limit
    // is kept by get(), not by the request.
    QNetworkRequest request(const QUrl &url) const;

    // GETs url with the extra headers and returns the whole body. A transport
    // failure (no network, name lookup, TLS, refused redirect, timeout...)
    // throws PlatformError with the network layer's own description; a
    // timeout reads "The request timed out." (Qt reports it as a cancelled
    // operation, which would tell the user the wrong story).
    QCoro::Task<Response> get(QUrl url, QList<QPair<QByteArray, QByteArray>> headers, Limits limits);
    // The same, handing the body to sink piece by piece instead of keeping
    // it; Response::body stays empty. Memory stays bounded whatever the size.
    QCoro::Task<Response> get(QUrl url, QList<QPair<QByteArray, QByteArray>> headers, Limits limits, Sink sink);

    QNetworkAccessManager &manager() { return *m_manager; }

    // A limit as the sentences about it say it: "2 minutes", "0.5 seconds".
    static QString describeDuration(std::chrono::milliseconds limit);

private:
    NetworkSession();
    QNetworkAccessManager *m_manager;
};
