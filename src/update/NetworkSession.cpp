#include "update/NetworkSession.h"

#include "update/UpdaterFailure.h"

#include <QCoreApplication>
#include <QNetworkAccessManager>
#include <QNetworkCookie>
#include <QNetworkCookieJar>
#include <QNetworkReply>
#include <QPointer>
#include <QTimer>

#include <qcoro/qcorosignal.h>

namespace {

// Neither keeps nor sends cookies, whatever the server asks.
class RefusingCookieJar final : public QNetworkCookieJar {
public:
    using QNetworkCookieJar::QNetworkCookieJar;
    QList<QNetworkCookie> cookiesForUrl(const QUrl &) const override { return {}; }
    bool setCookiesFromUrl(const QList<QNetworkCookie> &, const QUrl &) override { return false; }
    bool insertCookie(const QNetworkCookie &) override { return false; }
    bool updateCookie(const QNetworkCookie &) override { return false; }
};

// Whether the reply's error is about the HTTP status rather than the
// transport: then the status is what the caller judges.
bool isHttpStatusError(QNetworkReply::NetworkError error)
{
    return (error >= QNetworkReply::ContentAccessDenied && error <= QNetworkReply::UnknownContentError)
        || (error >= QNetworkReply::InternalServerError && error <= QNetworkReply::UnknownServerError);
}

} // namespace

NetworkSession &NetworkSession::shared()
{
    // Never destroyed: it lives as long as the process, like the updater.
    static NetworkSession *instance = new NetworkSession();
    return *instance;
}

NetworkSession::NetworkSession() : m_manager(new QNetworkAccessManager())
{
    m_manager->setCookieJar(new RefusingCookieJar(m_manager));
    m_manager->setCache(nullptr);
    m_manager->setRedirectPolicy(QNetworkRequest::NoLessSafeRedirectPolicy);
    m_manager->setStrictTransportSecurityEnabled(false); // nothing learnt from one answer is kept
}

QNetworkRequest NetworkSession::request(const QUrl &url) const
{
    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    request.setAttribute(QNetworkRequest::CacheSaveControlAttribute, false);
    request.setAttribute(QNetworkRequest::CookieLoadControlAttribute, QNetworkRequest::Manual);
    request.setAttribute(QNetworkRequest::CookieSaveControlAttribute, QNetworkRequest::Manual);
    request.setAttribute(QNetworkRequest::AuthenticationReuseAttribute, QNetworkRequest::Manual);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
    return request;
}

QCoro::Task<NetworkSession::Response> NetworkSession::get(QUrl url, QList<QPair<QByteArray, QByteArray>> headers,
                                                          Limits limits)
{
    QByteArray body;
    auto transfer = get(std::move(url), std::move(headers), limits, [&body](const char *data, qint64 size) {
        body.append(data, size);
        return true;
    });
    Response response = co_await std::move(transfer);
    if (response.outcome == Response::Outcome::Complete)
        response.body = std::move(body);
    co_return response;
}

QCoro::Task<NetworkSession::Response> NetworkSession::get(QUrl url, QList<QPair<QByteArray, QByteArray>> headers,
                                                          Limits limits, Sink sink)
{
    QNetworkRequest req = request(url);
    for (const auto &[name, value] : headers)
        req.setRawHeader(name, value);

    Response response;
    std::unique_ptr<QNetworkReply, void (*)(QNetworkReply *)> reply(m_manager->get(req),
                                                                     [](QNetworkReply *r) { r->deleteLater(); });
    // Qt would otherwise buffer whatever the server sends faster than we
    // take it. The sink sees pieces of at most kPiece, taken once that much
    // has come (or the reply has finished): every read hands a note back to
    // Qt's network thread, and reading each small block as it lands costs
    // more in those hand-overs than the data does. The buffer holds several
    // pieces, so the network thread keeps reading while a piece is taken.
    constexpr qint64 kPiece = 256 * 1024;
    reply->setReadBufferSize(4 * kPiece);
    bool ownAbort = false;

    auto abortWith = [&](Response::Outcome outcome) {
        if (ownAbort)
            return;
        ownAbort = true;
        response.outcome = outcome;
        // Aborting finishes the reply, which resumes this coroutine and ends
        // its frame; do it from the event loop, not from inside a handler or
        // timer that lives in that frame.
        QTimer::singleShot(0, reply.get(), [r = reply.get()] { r->abort(); });
    };
    QByteArray piece;
    auto readAvailable = [&] {
        if (!reply->isFinished() && reply->bytesAvailable() < kPiece)
            return;
        while (!ownAbort && reply->isOpen() && reply->bytesAvailable() > 0) {
            const qint64 room = limits.maxBytes + 1 - response.bytes;
            piece.resize(qsizetype(std::min(kPiece, room)));
            const qint64 n = reply->read(piece.data(), piece.size());
            if (n <= 0)
                return;
            if (response.bytes + n > limits.maxBytes) {
                response.bytes += n;
                abortWith(Response::Outcome::TooLarge);
                return;
            }
            response.bytes += n;
            if (!sink(piece.constData(), n)) {
                abortWith(Response::Outcome::SinkFailed);
                return;
            }
        }
    };
    auto noteStatus = [&] {
        const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
        if (status.isValid())
            response.statusCode = status.toInt();
    };
    QObject::connect(reply.get(), &QNetworkReply::metaDataChanged, reply.get(), [&] {
        noteStatus();
        // A declared length beyond the cap need not be read to be refused.
        bool ok = false;
        const qint64 declared = reply->header(QNetworkRequest::ContentLengthHeader).toLongLong(&ok);
        if (ok && declared > limits.maxBytes) {
            response.bytes = declared;
            abortWith(Response::Outcome::TooLarge);
        }
    });
    // The inactivity limit is counted here rather than by Qt's transfer
    // timeout, which is restarted through a posted event (a wake-up of the
    // event loop) for every block that arrives. Running out of it aborts the
    // reply the way Qt's would: a cancelled operation, reported as a timeout.
    QTimer silence;
    silence.setSingleShot(true);
    silence.setInterval(limits.inactivity);
    QObject::connect(&silence, &QTimer::timeout, reply.get(), [r = reply.get()] {
        QTimer::singleShot(0, r, [r] { r->abort(); });
    });
    auto heard = [&silence] { silence.start(); };
    QObject::connect(reply.get(), &QNetworkReply::metaDataChanged, reply.get(), heard);
    QObject::connect(reply.get(), &QNetworkReply::redirected, reply.get(), heard);
    QObject::connect(reply.get(), &QNetworkReply::encrypted, reply.get(), heard);
    QObject::connect(reply.get(), &QIODevice::readyRead, reply.get(), heard);
    QObject::connect(reply.get(), &QIODevice::readyRead, reply.get(), readAvailable);
    silence.start();
    QTimer overall;
    overall.setSingleShot(true);
    QObject::connect(&overall, &QTimer::timeout, reply.get(), [&] { abortWith(Response::Outcome::TookTooLong); });
    overall.start(limits.overall);

    if (!reply->isFinished())
        co_await qCoro(reply.get(), &QNetworkReply::finished);
    overall.stop();
    silence.stop();
    readAvailable();
    QObject::disconnect(reply.get(), nullptr, reply.get(), nullptr);

    if (ownAbort)
        co_return response;
    const QNetworkReply::NetworkError error = reply->error();
    if (error == QNetworkReply::OperationCanceledError)
        throw PlatformError(QStringLiteral("The request timed out."));
    if (error != QNetworkReply::NoError && !isHttpStatusError(error))
        throw PlatformError(reply->errorString());
    noteStatus();
    co_return response;
}

QString NetworkSession::describeDuration(std::chrono::milliseconds limit)
{
    const qint64 ms = limit.count();
    if (ms % 60000 == 0)
        return ms == 60000 ? QStringLiteral("1 minute") : QStringLiteral("%1 minutes").arg(ms / 60000);
    return QStringLiteral("%1 seconds").arg(QString::number(static_cast<double>(ms) / 1000.0));
}
