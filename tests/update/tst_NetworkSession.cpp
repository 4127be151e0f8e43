// The session's transport where it differs from a plain fetch: the proxy is
// the application's, else the desktop's as the host's libproxy names it, else
// Qt's (never one libcurl finds by itself), a redirect
// from https to http is refused with a sentence that says so, and quitting
// stops a transfer in progress before the process goes on to exit.

#include "LoopbackHttpsServer.h"
#include "UpdateTestSupport.h"

#include "support/TestEnvironment.h"
#include "update/NetworkSession.h"
#include "update/SystemProxy.h"

#include <QNetworkProxy>
#include <QNetworkProxyFactory>
#include <QProcess>
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
        qunsetenv("LD_LIBRARY_PATH");
        qunsetenv("DESKTOP_SESSION");
        qunsetenv("XDG_CURRENT_DESKTOP");
        SystemProxy::useProgram({});
    }

    // GNOME's proxy settings, in GLib's keyfile store under this test's
    // XDG_CONFIG_HOME, as the host's libproxy and its GNOME plugin read them
    // in a GNOME session.
    static void setGnomeProxy(quint16 port)
    {
        qputenv("GSETTINGS_BACKEND", "keyfile");
        qputenv("DESKTOP_SESSION", "gnome");
        qputenv("XDG_CURRENT_DESKTOP", "GNOME");
        const auto set = [](const QString &schema, const QString &key, const QString &value) {
            QProcess p;
            p.start(QStringLiteral("gsettings"), {QStringLiteral("set"), schema, key, value});
            QVERIFY2(p.waitForFinished(-1) && p.exitCode() == 0, p.readAllStandardError().constData());
        };
        set(QStringLiteral("org.gnome.system.proxy"), QStringLiteral("mode"), QStringLiteral("manual"));
        set(QStringLiteral("org.gnome.system.proxy"), QStringLiteral("ignore-hosts"), QStringLiteral("[]"));
        for (const QString &scheme : {QStringLiteral("http"), QStringLiteral("https")}) {
            set(QStringLiteral("org.gnome.system.proxy.") + scheme, QStringLiteral("host"), QStringLiteral("127.0.0.1"));
            set(QStringLiteral("org.gnome.system.proxy.") + scheme, QStringLiteral("port"), QString::number(port));
        }
    }

    // The desktop's manual proxy carries a request when the application set
    // none, through the helper that asks the host's libproxy; a local
    // address still goes straight. Where that helper can't open a libproxy,
    // or never answers, the environment's proxy (Qt's choice) carries it,
    // never a direct connection instead.
    void theDesktopsProxyCarriesTheRequest_data()
    {
        QTest::addColumn<QString>("helper");
        QTest::addColumn<bool>("libproxyHidden");
        QTest::addColumn<bool>("gnome");
        QTest::newRow("GNOME's manual proxy") << QStringLiteral(FW_BUNDLE_DIR "/Contents/bin/ferrowhistle-proxy") << false << true;
        QTest::newRow("no libproxy: the environment")
            << QStringLiteral(FW_BUNDLE_DIR "/Contents/bin/ferrowhistle-proxy") << true << false;
        QTest::newRow("no helper: the environment") << QStringLiteral("/nonexistent/ferrowhistle-proxy") << false << false;
        QTest::newRow("a helper that never answers: the environment") << QStringLiteral("hangs") << false << false;
    }
    void theDesktopsProxyCarriesTheRequest()
    {
        QFETCH(QString, helper);
        QFETCH(bool, libproxyHidden);
        QFETCH(bool, gnome);
        Server server(&m_ca), proxy(nullptr);
        server.serve(Server::response(200, "direct"));
        proxy.serve("HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
        QNetworkProxyFactory::setUseSystemConfiguration(true);
        if (gnome) {
            setGnomeProxy(proxy.serverPort());
            if (QTest::currentTestFailed())
                return;
        } else {
            const QByteArray proxyUrl = "http://127.0.0.1:" + QByteArray::number(proxy.serverPort());
            qputenv("https_proxy", proxyUrl);
            qputenv("HTTPS_PROXY", proxyUrl);
        }
        if (libproxyHidden) {
            // The loader looks here first: what it finds is no library.
            const QString folder = m_env.root() + QStringLiteral("/no-libproxy");
            QVERIFY(QDir().mkpath(folder));
            QFile fake(folder + QStringLiteral("/libproxy.so.1"));
            QVERIFY(fake.open(QIODevice::WriteOnly) && fake.write("not a library\n") > 0);
            qputenv("LD_LIBRARY_PATH", folder.toUtf8());
        }
        NetworkSession::Limits limits;
        if (helper == QLatin1String("hangs")) {
            helper = m_env.root() + QStringLiteral("/hangs");
            QFile script(helper);
            QVERIFY(script.open(QIODevice::WriteOnly) && script.write("#!/bin/sh\nexec sleep 600\n") > 0);
            script.close();
            QVERIFY(script.setPermissions(script.permissions() | QFile::ExeOwner));
            limits.inactivity = 10s; // the helper's wait; the transfers take far less
        }
        SystemProxy::useProgram(helper);

        const auto tunnelled = fetch(QUrl(QStringLiteral("https://updates.invalid:4443/f")), limits);
        QVERIFY(!tunnelled.value && !tunnelled.error.isEmpty());
        QCOMPARE(proxy.requests.size(), 1);
        QCOMPARE(proxy.requests[0].path, "updates.invalid:4443");
        const auto local = fetch(server.url("/f"), limits);
        QVERIFY2(local.value, qPrintable(local.error));
        QCOMPARE(local.value->body, "direct");
        QCOMPARE(proxy.requests.size(), 1);
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
