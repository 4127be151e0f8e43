#include "update/NetworkSession.h"
#include "update/SystemCertificates.h"
#include "update/SystemProxy.h"

#include "release/UpdaterFailure.h"
#include "platform/Worker.h"

#include <QCoreApplication>
#include <QFile>
#include <QHostAddress>
#include <QNetworkProxyFactory>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QThreadPool>

#include <curl/curl.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <set>

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// One transfer as both sides see it: the coroutine that awaits it (or the
// session, at quit) may stop it from the GUI thread while it runs.
struct NetworkSession::Transfer {
    std::atomic<bool> stopped{false};
    std::mutex lock;
    CURLM *multi = nullptr; // while the transfer waits in it

    void stop()
    {
        stopped = true;
        const std::lock_guard guard(lock);
        if (multi)
            curl_multi_wakeup(multi);
    }
};

struct NetworkSession::Running {
    std::mutex lock;
    std::set<Transfer *> transfers;
};

namespace {

struct Request {
    QUrl url;
    QList<QPair<QByteArray, QByteArray>> headers;
    NetworkSession::Limits limits;
    NetworkSession::Sink sink;
};

// What the callbacks keep of a transfer in progress.
struct Progress {
    Progress(const Request &r, CURL *e) : request(r), easy(e) {}
    const Request &request;
    CURL *easy;
    NetworkSession::Response response;
    Clock::time_point lastHeard = Clock::now();
    bool ended = false; // a callback set the outcome and stopped the transfer
    QString refusal;    // a transport failure a callback found
    // The answer whose headers are being read (there is one per redirect).
    long status = 0;
    std::optional<qint64> declaredLength;
    QByteArray location;
};

bool isRedirect(long status)
{
    return status >= 300 && status < 400 && status != 304;
}

size_t onHeader(char *data, size_t size, size_t count, void *context)
{
    auto &p = *static_cast<Progress *>(context);
    const size_t n = size * count;
    p.lastHeard = Clock::now();
    const QByteArray line = QByteArray(data, qsizetype(n)).trimmed();
    if (line.startsWith("HTTP/")) {
        p.status = line.split(' ').value(1).toLong();
        p.declaredLength.reset();
        p.location.clear();
        return n;
    }
    if (!line.isEmpty()) {
        const qsizetype colon = line.indexOf(':');
        const QByteArray name = line.left(colon).trimmed().toLower();
        const QByteArray value = line.mid(colon + 1).trimmed();
        bool ok = false;
        if (colon > 0 && name == "content-length") {
            const qint64 length = value.toLongLong(&ok);
            if (ok)
                p.declaredLength = length;
        } else if (colon > 0 && name == "location") {
            p.location = value;
        }
        return n;
    }
    // The end of one answer's headers.
    if (p.status < 200) // informational; the real answer follows
        return n;
    if (isRedirect(p.status) && !p.location.isEmpty()) {
        char *current = nullptr;
        curl_easy_getinfo(p.easy, CURLINFO_EFFECTIVE_URL, &current);
        const QUrl from = QUrl::fromEncoded(current ? QByteArray(current) : QByteArray());
        const QUrl to = from.resolved(QUrl::fromEncoded(p.location));
        if (from.scheme() == QLatin1String("https") && to.scheme() != QLatin1String("https")) {
            p.refusal = QStringLiteral("The server redirected from https to an insecure address.");
            return 0;
        }
        return n;
    }
    // A declared length beyond the cap need not be read to be refused.
    // Checked here, not by CURLOPT_MAXFILESIZE_LARGE, whose error carries no
    // length for the sentence that names it.
    if (p.declaredLength && *p.declaredLength > p.request.limits.maxBytes) {
        p.response.bytes = *p.declaredLength;
        p.response.outcome = NetworkSession::Response::Outcome::TooLarge;
        p.ended = true;
        return 0;
    }
    return n;
}

size_t onBody(char *data, size_t size, size_t count, void *context)
{
    auto &p = *static_cast<Progress *>(context);
    const auto n = qint64(size * count);
    p.lastHeard = Clock::now();
    p.response.bytes += n;
    if (p.response.bytes > p.request.limits.maxBytes) {
        p.response.outcome = NetworkSession::Response::Outcome::TooLarge;
        p.ended = true;
        return 0;
    }
    if (n > 0 && !p.request.sink(data, n)) {
        p.response.outcome = NetworkSession::Response::Outcome::SinkFailed;
        p.ended = true;
        return 0;
    }
    return size_t(n);
}

bool isLoopback(const QUrl &url)
{
    // Qt's own rule, kept for every source of proxies: a local address is
    // never sent through one.
    const QString host = url.host();
    QHostAddress address;
    return host == QLatin1String("localhost") || host.startsWith(QLatin1String("localhost."))
        || (address.setAddress(host) && address.isLoopback());
}

// The proxy Qt would use for url (the application's setting, else the
// system's).
SystemProxy::Choice qtProxyFor(const QUrl &url)
{
    for (const QNetworkProxy &p : QNetworkProxyFactory::proxyForQuery(QNetworkProxyQuery(url))) {
        if (p.type() == QNetworkProxy::NoProxy)
            break;
        if (p.type() != QNetworkProxy::HttpProxy && p.type() != QNetworkProxy::Socks5Proxy)
            continue; // a caching proxy cannot carry https
        QUrl address;
        address.setScheme(p.type() == QNetworkProxy::HttpProxy ? QStringLiteral("http") : QStringLiteral("socks5h"));
        address.setHost(p.hostName());
        address.setPort(p.port());
        return {address.toEncoded(), p.user().toUtf8(), p.password().toUtf8()};
    }
    return {};
}

// The proxy for url, as libcurl takes it; empty for a direct connection,
// which also keeps libcurl from reading proxies of its own from the
// environment. A setting the application made is Qt's; otherwise the
// desktop's choice comes from the host's libproxy (see SystemProxy), and
// where the host can't say, from Qt (the environment's variables).
// (libcurl copies every string it is given.)
void useProxyFor(CURL *easy, const Request &request, const NetworkSession::Transfer &transfer)
{
    std::optional<SystemProxy::Choice> choice;
    if (isLoopback(request.url))
        choice.emplace();
    else if (QNetworkProxyFactory::usesSystemConfiguration())
        choice = SystemProxy::ask(request.url, request.limits.inactivity, [&transfer] { return transfer.stopped.load(); });
    if (!choice)
        choice = qtProxyFor(request.url);
    curl_easy_setopt(easy, CURLOPT_PROXY, choice->proxy.constData());
    if (!choice->user.isEmpty()) {
        curl_easy_setopt(easy, CURLOPT_PROXYUSERNAME, choice->user.constData());
        curl_easy_setopt(easy, CURLOPT_PROXYPASSWORD, choice->password.constData());
    }
}

// The authorities trusted: the system's store (SystemCertificates finds it
// where the distribution keeps it, since the libcurl and OpenSSL a release
// carries know only the build machine's paths), and whatever the process
// added to Qt's default TLS configuration. An https request with neither
// fails at once with a sentence that says so, rather than with a handshake
// error naming no cause.
void trustFor(CURL *easy, bool secure)
{
    const std::optional<SystemCertificates::Location> store = SystemCertificates::locate();
    const QByteArray path = store ? QFile::encodeName(store->path) : QByteArray();
    // Both are set, the unused one to none, so that libcurl's and OpenSSL's
    // built-in paths are never tried.
    curl_easy_setopt(easy, CURLOPT_CAINFO, store && !store->folder ? path.constData() : nullptr);
    curl_easy_setopt(easy, CURLOPT_CAPATH, store && store->folder ? path.constData() : nullptr);
    QByteArray extra;
    for (const QSslCertificate &c : QSslConfiguration::defaultConfiguration().caCertificates())
        extra += c.toPem();
    if (!extra.isEmpty()) {
        curl_blob blob{extra.data(), size_t(extra.size()), CURL_BLOB_COPY};
        curl_easy_setopt(easy, CURLOPT_CAINFO_BLOB, &blob);
    } else if (!store && secure) {
        throw PlatformError(SystemCertificates::noneFoundSentence());
    }
}

const QString kCancelled = QStringLiteral("The request was cancelled.");

// Runs one transfer to its end on the calling thread.
NetworkSession::Response perform(const Request &request, NetworkSession::Transfer &transfer)
{
    const Clock::time_point start = Clock::now();
    const NetworkSession::Limits &limits = request.limits;
    const std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> easyHandle(curl_easy_init(), curl_easy_cleanup);
    const std::unique_ptr<CURLM, decltype(&curl_multi_cleanup)> multiHandle(curl_multi_init(), curl_multi_cleanup);
    CURL *const easy = easyHandle.get();
    CURLM *const multi = multiHandle.get();
    if (!easy || !multi)
        throw PlatformError(QStringLiteral("The network transfer couldn't be started."));
    Progress p(request, easy);

    const QByteArray url = request.url.toEncoded();
    const bool secure = request.url.scheme() == QLatin1String("https");
    char errorText[CURL_ERROR_SIZE] = {};
    curl_easy_setopt(easy, CURLOPT_URL, url.constData());
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(easy, CURLOPT_MAXREDIRS, 50L);
    curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, secure ? "https" : "http,https");
    curl_easy_setopt(easy, CURLOPT_SSLVERSION, long(CURL_SSLVERSION_TLSv1_2));
    curl_easy_setopt(easy, CURLOPT_ACCEPT_ENCODING, "");
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, errorText);
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, onHeader);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, &p);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, onBody);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &p);
    curl_slist *headerList = nullptr;
    for (const auto &[name, value] : request.headers)
        headerList = curl_slist_append(headerList, (name + ": " + value).constData());
    const std::unique_ptr<curl_slist, decltype(&curl_slist_free_all)> headers(headerList, curl_slist_free_all);
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers.get());
    useProxyFor(easy, request, transfer);
    // Asking the desktop for its proxy may take a while (a PAC file); the
    // wait for data starts once the transfer does.
    p.lastHeard = Clock::now();
    trustFor(easy, secure);

    curl_multi_add_handle(multi, easy);
    // Published for stop() while the transfer waits; withdrawn before the
    // handles go.
    struct Published {
        NetworkSession::Transfer &t;
        CURLM *multi;
        CURL *easy;
        Published(NetworkSession::Transfer &t, CURLM *m, CURL *e) : t(t), multi(m), easy(e)
        {
            const std::lock_guard guard(t.lock);
            t.multi = multi;
        }
        ~Published()
        {
            {
                const std::lock_guard guard(t.lock);
                t.multi = nullptr;
            }
            curl_multi_remove_handle(multi, easy);
        }
    } published(transfer, multi, easy);

    bool timedOut = false;
    bool tookTooLong = false;
    for (;;) {
        int running = 0;
        const CURLMcode step = curl_multi_perform(multi, &running);
        if (step != CURLM_OK)
            throw PlatformError(QString::fromUtf8(curl_multi_strerror(step)));
        if (!running)
            break;
        if (transfer.stopped)
            throw PlatformError(kCancelled);
        // Both limits are counted here rather than by libcurl's options:
        // CURLOPT_LOW_SPEED_LIMIT/_TIME judge an average speed, which a slow
        // trickle of data fails, and CURLOPT_TIMEOUT_MS ends with the same
        // code as a stall, so the two sentences could not be told apart.
        const Clock::time_point now = Clock::now();
        const auto quietLeft = limits.inactivity - (now - p.lastHeard);
        const auto overallLeft = limits.overall - (now - start);
        if (quietLeft <= 0ms) {
            timedOut = true;
            break;
        }
        if (overallLeft <= 0ms) {
            tookTooLong = true;
            break;
        }
        const auto wait = std::chrono::ceil<std::chrono::milliseconds>(std::min({quietLeft, overallLeft, Clock::duration(1s)}));
        curl_multi_poll(multi, nullptr, 0, int(wait.count()), nullptr);
    }

    long status = 0;
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
    if (status > 0)
        p.response.statusCode = int(status);
    if (timedOut)
        throw PlatformError(QStringLiteral("The request timed out."));
    if (tookTooLong) {
        p.response.outcome = NetworkSession::Response::Outcome::TookTooLong;
        return p.response;
    }
    if (p.ended)
        return p.response;
    if (!p.refusal.isEmpty())
        throw PlatformError(p.refusal);
    CURLcode result = CURLE_OK;
    int queued = 0;
    while (CURLMsg *m = curl_multi_info_read(multi, &queued))
        if (m->msg == CURLMSG_DONE && m->easy_handle == easy)
            result = m->data.result;
    if (result != CURLE_OK)
        throw PlatformError(QString::fromUtf8(errorText[0] ? errorText : curl_easy_strerror(result)));
    return p.response;
}

} // namespace

NetworkSession &NetworkSession::shared()
{
    // Never destroyed: it lives as long as the process, like the updater.
    static NetworkSession *instance = new NetworkSession();
    return *instance;
}

NetworkSession::NetworkSession() : m_threads(new QThreadPool()), m_running(new Running())
{
    curl_global_init(CURL_GLOBAL_DEFAULT);
    // A transfer can last as long as its overall limit; it never waits for
    // a thread behind the app's other work.
    m_threads->setMaxThreadCount(8);
    if (auto *app = QCoreApplication::instance())
        QObject::connect(app, &QCoreApplication::aboutToQuit, app, [this] { stopAll(); });
}

void NetworkSession::stopAll()
{
    {
        const std::lock_guard guard(m_running->lock);
        for (Transfer *t : m_running->transfers)
            t->stop();
    }
    m_threads->waitForDone(5000);
}

QCoro::Task<NetworkSession::Response> NetworkSession::get(QUrl url, QList<QPair<QByteArray, QByteArray>> headers,
                                                          Limits limits)
{
    auto body = std::make_shared<QByteArray>();
    auto transfer = get(std::move(url), std::move(headers), limits, [body](const char *data, qint64 size) {
        body->append(data, size);
        return true;
    });
    Response response = co_await std::move(transfer);
    if (response.outcome == Response::Outcome::Complete)
        response.body = std::move(*body);
    co_return response;
}

QCoro::Task<NetworkSession::Response> NetworkSession::get(QUrl url, QList<QPair<QByteArray, QByteArray>> headers,
                                                          Limits limits, Sink sink)
{
    auto transfer = std::make_shared<Transfer>();
    // However this frame ends, even destroyed while it waits, the transfer
    // stops with it.
    struct StopOnExit {
        std::shared_ptr<Transfer> t;
        ~StopOnExit() { t->stop(); }
    } stopOnExit{transfer};
    auto run = [request = Request{std::move(url), std::move(headers), limits, std::move(sink)}, transfer,
                running = m_running] {
        {
            const std::lock_guard guard(running->lock);
            running->transfers.insert(transfer.get());
        }
        struct Unlisted {
            Running *r;
            Transfer *t;
            ~Unlisted()
            {
                const std::lock_guard guard(r->lock);
                r->transfers.erase(t);
            }
        } unlisted{running, transfer.get()};
        if (transfer->stopped)
            throw PlatformError(kCancelled);
        return perform(request, *transfer);
    };
    auto work = onWorker(std::move(run), m_threads);
    Response response = co_await std::move(work);
    co_return response;
}

