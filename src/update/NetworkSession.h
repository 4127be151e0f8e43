#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QUrl>

#include <qcoro/qcorotask.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

class QThreadPool;

// The updater's one network session, shared by the feed fetch and the
// download. It keeps nothing between requests: no cookies (none kept, none
// sent), no cache (every answer comes from the network and none is saved), no
// credentials offered (nobody answers an authentication challenge), and
// redirects followed only when they do not leave https for http.
//
// Each transfer runs on a thread of the session's own, with libcurl, and the
// body goes from there straight to its sink: a download of hundreds of MiB
// costs no hand-over per block between threads. The proxy is the one the
// application set through Qt, else the desktop's as the host's libproxy
// gives it (SystemProxy), else the one Qt finds; the trusted certificates are
// the system's store (see SystemCertificates) and any authority the process
// has added to Qt's default TLS configuration.
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
    // Takes each piece of the body as it arrives, on the transfer's thread;
    // false stops the transfer (outcome SinkFailed). It is called for the
    // last time before the transfer's task resumes, and owns (by value or
    // shared) whatever it writes to: the awaiting coroutine may be gone.
    using Sink = std::function<bool(const char *data, qint64 size)>;

    // GETs url with the extra headers and returns the whole body. A transport
    // failure (no network, name lookup, TLS, refused redirect, timeout...)
    // throws PlatformError with the network layer's own description; running
    // out of the inactivity limit reads "The request timed out.".
    QCoro::Task<Response> get(QUrl url, QList<QPair<QByteArray, QByteArray>> headers, Limits limits);
    // The same, handing the body to sink piece by piece instead of keeping
    // it; Response::body stays empty. Memory stays bounded whatever the size.
    QCoro::Task<Response> get(QUrl url, QList<QPair<QByteArray, QByteArray>> headers, Limits limits, Sink sink);

    struct Transfer;

private:
    NetworkSession();
    // Stops every transfer still running and waits for their threads, so
    // that none is inside libcurl or OpenSSL while the process exits.
    void stopAll();

    QThreadPool *m_threads;
    struct Running;
    Running *m_running;
};
