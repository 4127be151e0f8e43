// The session's transport where it differs from a plain fetch: the proxy is
// the one Qt would choose (never one libcurl finds by itself), a redirect
// from https to http is refused with a sentence that says so, and quitting
// stops a transfer in progress before the process goes on to exit.

#include "LoopbackHttpsServer.h"
#include "UpdateTestSupport.h"

#include "support/TestEnvironment.h"
#include "update/NetworkSession.h"

#include <QNetworkProxy>
#include <QtTest>

using namespace std::chrono_literals;
using Server = LoopbackHttpsServer;

class tst_NetworkSession : public QObject {
    Q_OBJECT
    TestEnvironment m_env;
    TestCertificateAuthority m_ca;

    Outcome<NetworkSession::Response> fetch(const QUrl &url, NetworkSession::Limits limits = {})
    {
        return outcomeOf(NetworkSession::shared().get(url, {}, limits));
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY2(m_ca.error.isEmpty(), qPrintable(m_ca.error));
        m_ca.trust();
    }
    void cleanup()
    {
        QNetworkProxy::setApplicationProxy(QNetworkProxy::NoProxy);
        qunsetenv("https_proxy");
        qunsetenv("HTTPS_PROXY");
    }

    void theProxyIsQtsChoice()
    {
        Server server(&m_ca), proxy(nullptr);
        server.serve(Server::response(200, "direct"));
        proxy.serve("HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");

        // A proxy set for the application carries the request: a tunnel is
        // asked for, the proxy refuses it, and nothing else is tried. (Qt
        // never sends loopback addresses through a proxy, so the address is
        // a name only the proxy would resolve.)
        QNetworkProxy::setApplicationProxy(QNetworkProxy(QNetworkProxy::HttpProxy, QStringLiteral("127.0.0.1"), proxy.serverPort()));
        const auto tunnelled = fetch(QUrl(QStringLiteral("https://updates.invalid:4443/f")));
        QVERIFY(!tunnelled.value && !tunnelled.error.isEmpty());
        QCOMPARE(proxy.requests.size(), 1);
        QCOMPARE(proxy.requests[0].path, "updates.invalid:4443");
        // The same setting leaves a loopback address alone.
        QVERIFY(fetch(server.url("/f")).value);
        QCOMPARE(proxy.requests.size(), 1);

        // No proxy for the application: straight to the server, even with a
        // proxy in the environment that libcurl would have used by itself.
        QNetworkProxy::setApplicationProxy(QNetworkProxy::NoProxy);
        const QByteArray proxyUrl = "http://127.0.0.1:" + QByteArray::number(proxy.serverPort());
        qputenv("https_proxy", proxyUrl);
        qputenv("HTTPS_PROXY", proxyUrl);
        const auto direct = fetch(server.url("/f"));
        QVERIFY2(direct.value, qPrintable(direct.error));
        QCOMPARE(direct.value->body, "direct");
        QCOMPARE(proxy.requests.size(), 1);
    }

    void insecureRedirectIsRefusedWithItsReason()
    {
        Server secure(&m_ca), plain(nullptr);
        plain.serve(Server::response(200, "plain"));
        secure.serve(Server::response(301, "", "Location: " + plain.url("/f").toEncoded() + "\r\n"));
        const auto o = fetch(secure.url("/f"));
        QVERIFY(!o.value);
        QCOMPARE(o.error, "The server redirected from https to an insecure address.");
        QCOMPARE(plain.requests.size(), 0);

        // From http, both schemes are fine: nothing is made less safe.
        Server start(nullptr);
        secure.serve(Server::response(200, "secure"));
        start.serve(Server::response(302, "", "Location: " + secure.url("/g").toEncoded() + "\r\n"));
        const auto up = fetch(start.url("/f"));
        QVERIFY2(up.value, qPrintable(up.error));
        QCOMPARE(up.value->body, "secure");
    }

    void quittingStopsATransferInProgress()
    {
        Server server(&m_ca);
        server.handler = [](const Server::Request &) { return Server::Answer{{}, true}; };
        NetworkSession::Limits limits;
        limits.inactivity = 10min;
        bool done = false;
        QString error;
        [](QUrl url, NetworkSession::Limits limits, bool &done, QString &error) -> QCoro::Task<> {
            try {
                auto transfer = NetworkSession::shared().get(url, {}, limits);
                co_await std::move(transfer);
            } catch (const PlatformError &e) {
                error = e.localizedDescription();
            }
            done = true;
        }(server.url("/held"), limits, done, error);
        QTRY_COMPARE(server.heldCount(), 1);

        QTimer::singleShot(0, qApp, &QCoreApplication::quit);
        QCoreApplication::exec();
        // By the time the event loop has returned, the transfer has let go of
        // its connection; its task hears why as soon as events run again.
        QTRY_COMPARE(server.heldOpen(), 0);
        QTRY_VERIFY(done);
        QCOMPARE(error, "The request was cancelled.");
    }
};

QTEST_GUILESS_MAIN(tst_NetworkSession)
#include "tst_NetworkSession.moc"
