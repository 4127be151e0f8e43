// The feed over real HTTPS on loopback: address rules, the request, how
// answers are judged, redirects and the limits of a fetch.

#include "LoopbackHttpsServer.h"
#include "UpdateTestSupport.h"

#include "platform/DefaultsStore.h"
#include "support/TestEnvironment.h"
#include "update/ReleaseFeed.h"

#include <QtTest>

using namespace std::chrono_literals;
using Server = LoopbackHttpsServer;

class tst_ReleaseFeed : public QObject {
    Q_OBJECT
    TestEnvironment m_env;
    TestCertificateAuthority m_ca;
    std::unique_ptr<Server> m_server;

    Outcome<Release> fetch(NetworkSession::Limits limits = {}, const QByteArray &userAgent = "Ferrowhistle/1.0")
    {
        return outcomeOf(ReleaseFeed::fetchRelease(NetworkSession::shared(), m_server->url("/feed.json"), userAgent, limits));
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY2(m_ca.error.isEmpty(), qPrintable(m_ca.error));
        m_ca.trust();
    }
    void init() { m_server = std::make_unique<Server>(&m_ca); }

    void overrideCountsOnlyWhenHttps()
    {
        const QUrl builtIn = ReleaseFeed::defaultFeedURL();
        QCOMPARE(builtIn.scheme(), "https");
        QCOMPARE(builtIn.path(), "/u/5b1e7c90d2a4f8e3c6b0a917/ferrowhistle/appcast.json");
        const DefaultsStore store = DefaultsStore::standard();
        QCOMPARE(ReleaseFeed::feedURL(store), builtIn);
        const QString other = "https://feeds.example.org/f.json";
        store.setValue(ReleaseFeed::kFeedURLKey, other);
        QCOMPARE(ReleaseFeed::feedURL(store), QUrl(other));
        for (const char *rejected : {"http://feeds.example.org/f.json", "HTTPS://feeds.example.org/f.json",
                                     "file:///etc/passwd", "feeds.example.org/f.json", "https://exa mple.org/", ""}) {
            store.setValue(ReleaseFeed::kFeedURLKey, QString::fromLatin1(rejected));
            QVERIFY2(ReleaseFeed::feedURL(store) == builtIn, rejected);
        }
        store.setValue(ReleaseFeed::kFeedURLKey, true);
        QCOMPARE(ReleaseFeed::feedURL(store), builtIn);
    }

    void requestCarriesTheVersionAndNothingKept()
    {
        QCOMPARE(ReleaseFeed::userAgent(makeTestBundle(m_env.root() + "/a", {{"CFBundleShortVersionString", "2.5"}})),
                 "Ferrowhistle/2.5");
        QCOMPARE(ReleaseFeed::userAgent(makeTestBundle(m_env.root() + "/b", {{"CFBundleShortVersionString", "<integer>2</integer>"}})),
                 "Ferrowhistle/?");
        QCOMPARE(ReleaseFeed::userAgent(Bundle::atPath(m_env.root() + "/none")), "Ferrowhistle/?");

        // The first answer sets a cookie and may be cached for an hour; the
        // second fetch must still reach the server, and without the cookie.
        m_server->serve(Server::response(200, Server::feed(7), "Set-Cookie: s=abc; Max-Age=3600\r\n"
                                                               "Cache-Control: public, max-age=3600\r\nETag: \"v1\"\r\n"));
        QVERIFY(fetch({}, "Ferrowhistle/2.5").value);
        QVERIFY(fetch().value);
        QCOMPARE(m_server->requests.size(), 2);
        QCOMPARE(m_server->requests[0].headers.value("user-agent"), "Ferrowhistle/2.5");
        for (const auto &r : m_server->requests)
            QVERIFY(!r.headers.contains("cookie") && !r.headers.contains("if-none-match"));
    }

    void answersAreJudged_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("error"); // empty: decodes; "*": any platform error
        const QByteArray feed = Server::feed(7);
        const QString tooLarge = "The update feed is larger than 1 MiB, so it wasn't read.";
        QTest::newRow("200") << Server::response(200, feed) << "";
        QTest::newRow("200, exactly 1 MiB") << Server::response(200, feed + QByteArray((1 << 20) - feed.size(), ' ')) << "";
        for (int status : {201, 304, 404, 500, 503})
            QTest::newRow(qPrintable(QString::number(status)))
                << Server::response(status, status == 304 ? "" : feed)
                << QStringLiteral("The update feed couldn't be read (HTTP %1).").arg(status);
        QTest::newRow("http download") << Server::response(200, Server::feed(7, "http://dl.example.org/F.zip"))
                                       << "The update feed points somewhere other than an https address.";
        QTest::newRow("empty body") << Server::response(200, "") << "The update feed is empty.";
        QTest::newRow("truncated json") << Server::response(200, feed.chopped(1)) << "*";
        QTest::newRow("body cut short") << QByteArray("HTTP/1.1 200 OK\r\nContent-Length: 900\r\n\r\n") + feed << "*";
        QTest::newRow("not http") << QByteArray("SSH-2.0-OpenSSH_9.2\r\n\r\n") << "*";
        QTest::newRow("declared too large") << Server::response(200, feed + QByteArray(1 << 20, ' ')) << tooLarge;
        QTest::newRow("found too large") << "HTTP/1.1 200 OK\r\n\r\n" + feed + QByteArray(3 << 20, ' ') << tooLarge;
    }
    void answersAreJudged()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, error);
        m_server->serve(bytes);
        const auto o = fetch();
        QCOMPARE(o.value.has_value(), error.isEmpty());
        if (error == "*")
            QVERIFY(!o.isUpdaterFailure && !o.error.isEmpty());
        else
            QCOMPARE(o.error, error);
    }

    void redirectsAreFollowedOnlyOnHttps()
    {
        Server secure(&m_ca), plain(nullptr);
        secure.serve(Server::response(200, Server::feed(9)));
        plain.serve(Server::response(200, Server::feed(9)));
        m_server->serve(Server::response(302, "", "Location: " + secure.url("/f").toEncoded() + "\r\n"));
        QCOMPARE(fetch().value->build, 9);
        m_server->serve(Server::response(302, "", "Location: " + plain.url("/f").toEncoded() + "\r\n"));
        const auto o = fetch();
        QVERIFY(!o.value && !o.isUpdaterFailure && !o.error.isEmpty());
        QCOMPARE(plain.requests.size(), 0);
    }

    void silenceAndTricklingAreCutOff()
    {
        NetworkSession::Limits limits;
        limits.inactivity = 300ms;
        m_server->handler = [](const auto &) { return Server::Answer{{}, true}; };
        QCOMPARE(fetch(limits).error, "The request timed out.");
        Server silent(nullptr); // accepts the connection, never answers the TLS handshake
        QCOMPARE(outcomeOf(ReleaseFeed::fetchRelease(NetworkSession::shared(), QUrl("https://localhost:"
                     + QString::number(silent.serverPort()) + "/f"), "F/1", limits)).error, "The request timed out.");
        // Headers and the start of the body, then nothing on an open connection.
        m_server->handler = [](const auto &) {
            const QByteArray bytes = Server::response(200, QByteArray(10000, ' ') + Server::feed(7));
            return Server::Answer{bytes, false, 0, bytes.indexOf("\r\n\r\n") + 4 + 100};
        };
        QCOMPARE(fetch(limits).error, "The request timed out.");

        // A byte every 20 ms never trips the inactivity timeout; the overall
        // limit ends it.
        m_server->handler = [](const auto &) {
            return Server::Answer{Server::response(200, QByteArray(4000, ' ') + Server::feed(7)), false, 20};
        };
        limits.inactivity = 20s;
        limits.overall = 1500ms;
        const auto o = fetch(limits);
        QVERIFY(o.isUpdaterFailure);
        QCOMPARE(o.error, "The update feed took longer than 1.5 seconds to arrive, so the check was stopped.");

        // Data that keeps coming holds the transfer open for far longer than
        // the inactivity limit: only a silence of that length ends it.
        m_server->handler = [](const auto &) {
            return Server::Answer{Server::response(200, QByteArray(300, ' ') + Server::feed(7)), false, 10};
        };
        limits.inactivity = 3s;
        limits.overall = 5min;
        QElapsedTimer took;
        took.start();
        const auto steady = fetch(limits);
        QVERIFY2(steady.value.has_value(), qPrintable(steady.error));
        QCOMPARE(steady.value->build, 7);
        QVERIFY(took.elapsed() > 3000); // it did outlast the limit
    }
};

QTEST_GUILESS_MAIN(tst_ReleaseFeed)
#include "tst_ReleaseFeed.moc"
