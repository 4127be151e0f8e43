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

QNetworkRequest NetworkSession::request(const QUrl &url, std::chrono::milliseconds inactivity) const
{
    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    request.setAttribute(QNetworkRequest::CacheSaveControlAttribute, false);
    request.setAttribute(QNetworkRequest::CookieLoadControlAttribute, QNetworkRequest::Manual);
    request.setAttribute(QNetworkRequest::CookieSaveControlAttribute, QNetworkRequest::Manual);
    request.setAttribute(QNetworkRequest::AuthenticationReuseAttribute, QNetworkRequest::Manual);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
    request.setTransferTimeout(static_cast<int>(inactivity.count()));
    return request;
}

QCoro::Task<NetworkSession::Response> NetworkSession::get(QUrl url, QList<QPair<QByteArray, QByteArray>> headers,
                                                          Limits limits)
{
    QNetworkRequest req = request(url, limits.inactivity);
    for (const auto &[name, value] : headers)
        req.setRawHeader(name, value);

    Response response;
    std::unique_ptr<QNetworkReply, void (*)(QNetworkReply *)> reply(m_manager->get(req),
                                                                     [](QNetworkReply *r) { r->deleteLater(); });
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
    auto readAvailable = [&] {
        if (ownAbort || !reply->isOpen())
            return;
        const QByteArray chunk = reply->read(limits.maxBytes + 1 - response.body.size());
        response.body += chunk;
        if (response.body.size() > limits.maxBytes || reply->bytesAvailable() > 0)
            abortWith(Response::Outcome::TooLarge);
    };
    QObject::connect(reply.get(), &QNetworkReply::metaDataChanged, reply.get(), [&] {
        // A declared length beyond the cap need not be read to be refused.
        bool ok = false;
        const qint64 declared = reply->header(QNetworkRequest::ContentLengthHeader).toLongLong(&ok);
        if (ok && declared > limits.maxBytes)
            abortWith(Response::Outcome::TooLarge);
    });
    QObject::connect(reply.get(), &QIODevice::readyRead, reply.get(), readAvailable);
    QTimer overall;
    overall.setSingleShot(true);
    QObject::connect(&overall, &QTimer::timeout, reply.get(), [&] { abortWith(Response::Outcome::TookTooLong); });
    overall.start(limits.overall);

    if (!reply->isFinished())
        co_await qCoro(reply.get(), &QNetworkReply::finished);
    overall.stop();
    readAvailable();
    QObject::disconnect(reply.get(), nullptr, reply.get(), nullptr);

    if (ownAbort) {
        response.body.clear();
        response.statusCode.reset();
        co_return response;
    }
    const QNetworkReply::NetworkError error = reply->error();
    if (error == QNetworkReply::OperationCanceledError)
        throw PlatformError(QStringLiteral("The request timed out."));
    if (error != QNetworkReply::NoError && !isHttpStatusError(error))
        throw PlatformError(reply->errorString());
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (status.isValid())
        response.statusCode = status.toInt();
    co_return response;
}
