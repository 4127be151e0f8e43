// The feed over real HTTPS on loopback: address rules, the request the
// session sends, how answers are judged, and the limits on a fetch.

#include "LoopbackHttpsServer.h"
#include "UpdateTestSupport.h"

#include "platform/DefaultsStore.h"
#include "support/TestEnvironment.h"
#include "update/ReleaseFeed.h"

#include <QtTest>

using namespace std::chrono_literals;
using Answer = LoopbackHttpsServer::Answer;

class tst_ReleaseFeed : public QObject {
    Q_OBJECT

    TestEnvironment m_env;
    TestCertificateAuthority m_ca;
    std::unique_ptr<LoopbackHttpsServer> m_server;

    Outcome<Release> fetch(const QString &path, NetworkSession::Limits limits = {},
                           const QByteArray &userAgent = "Ferrowhistle/test")
    {
        return outcomeOf(ReleaseFeed::fetchRelease(NetworkSession::shared(), m_server->url(path), userAgent, limits));
    }
    void serve(const QByteArray &bytes)
    {
        m_server->setHandler([bytes](const auto &) { return Answer{bytes}; });
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY2(m_ca.isValid(), qPrintable(m_ca.error()));
        m_ca.trustInProcess();
    }
    void init() { m_server = std::make_unique<LoopbackHttpsServer>(&m_ca); }
    void cleanup() { m_server.reset(); }

    void defaultAddressIsHttpsWithTheFixedPath()
    {
        const QUrl url = ReleaseFeed::defaultFeedURL();
        QCOMPARE(url.scheme(), QStringLiteral("https"));
        QVERIFY(!url.host().isEmpty());
        QCOMPARE(url.path(), QStringLiteral("/u/5b1e7c90d2a4f8e3c6b0a917/ferrowhistle/appcast.json"));
    }

    void overrideIsHonouredOnlyForHttps_data()
    {
        QTest::addColumn<QString>("plistValue"); // raw plist XML, empty for no key
        QTest::addColumn<QString>("expected");   // empty: the built-in address
        QTest::newRow("absent") << QString() << QString();
        QTest::newRow("https elsewhere") << "<string>https://feeds.example.org/f.json</string>"
                                         << "https://feeds.example.org/f.json";
        QTest::newRow("http") << "<string>http://feeds.example.org/f.json</string>" << QString();
        QTest::newRow("scheme case differs") << "<string>HTTPS://feeds.example.org/f.json</string>" << QString();
        QTest::newRow("file") << "<string>file:///etc/passwd</string>" << QString();
        QTest::newRow("no scheme") << "<string>feeds.example.org/f.json</string>" << QString();
        QTest::newRow("not a url") << "<string>https://exa mple.org/</string>" << QString();
        QTest::newRow("empty") << "<string></string>" << QString();
        QTest::newRow("not text") << "<true/>" << QString();
    }
    void overrideIsHonouredOnlyForHttps()
    {
        QFETCH(QString, plistValue);
        QFETCH(QString, expected);
        const QString path = m_env.root() + QStringLiteral("/feed-override.plist");
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write("<?xml version=\"1.0\"?><plist version=\"1.0\"><dict>");
        if (!plistValue.isEmpty())
            f.write("<key>UpdateFeedURL</key>" + plistValue.toUtf8());
        f.write("</dict></plist>");
        f.close();
        const QUrl url = ReleaseFeed::feedURL(DefaultsStore(path));
        QCOMPARE(url, expected.isEmpty() ? ReleaseFeed::defaultFeedURL() : QUrl(expected));
    }

    void userAgentCarriesTheBundleVersion()
    {
        const QString dir = m_env.root();
        QCOMPARE(ReleaseFeed::userAgent(makeTestBundle(dir + "/a", {{"CFBundleShortVersionString", "2.5.1"}})),
                 QByteArray("Ferrowhistle/2.5.1"));
        QCOMPARE(ReleaseFeed::userAgent(makeTestBundle(dir + "/b", {{"CFBundleName", "Ferrowhistle"}})),
                 QByteArray("Ferrowhistle/?"));
        QCOMPARE(ReleaseFeed::userAgent(makeTestBundle(dir + "/c", {{"CFBundleShortVersionString", "<integer>3</integer>"}})),
                 QByteArray("Ferrowhistle/?"));
        QCOMPARE(ReleaseFeed::userAgent(Bundle::atPath(dir + "/nothing-here")), QByteArray("Ferrowhistle/?"));

        serve(LoopbackHttpsServer::response(200, LoopbackHttpsServer::releaseJson(7)));
        QVERIFY(fetch("/feed.json", {}, "Ferrowhistle/2.5.1").value);
        const auto request = m_server->requests().value(0);
        QCOMPARE(request.method, QByteArray("GET"));
        QCOMPARE(request.path, QByteArray("/feed.json"));
        QCOMPARE(request.headers.value("user-agent"), QByteArray("Ferrowhistle/2.5.1"));
        QVERIFY(!request.headers.contains("authorization"));
    }

    void nothingIsKeptBetweenFetches()
    {
        // The first answer sets a cookie and allows caching for an hour; the
        // second fetch must still reach the server, without the cookie.
        serve(LoopbackHttpsServer::response(200, LoopbackHttpsServer::releaseJson(7),
                                            {"Set-Cookie: session=abc; Path=/; Max-Age=3600",
                                             "Cache-Control: public, max-age=3600",
                                             "ETag: \"v1\"", "Last-Modified: Mon, 07 Dec 2026 10:00:00 GMT"}));
        QVERIFY(fetch("/feed.json").value);
        QVERIFY(fetch("/feed.json").value);
        const auto requests = m_server->requests();
        QCOMPARE(requests.size(), 2);
        for (const auto &r : requests) {
            QVERIFY(!r.headers.contains("cookie"));
            QVERIFY(!r.headers.contains("if-none-match"));
            QVERIFY(!r.headers.contains("if-modified-since"));
        }
    }

    void statusOtherThan200Fails_data()
    {
        QTest::addColumn<int>("status");
        for (int s : {201, 204, 304, 404, 500, 503})
            QTest::newRow(qPrintable(QString::number(s))) << s;
    }
    void statusOtherThan200Fails()
    {
        QFETCH(int, status);
        serve(LoopbackHttpsServer::response(status, status == 204 || status == 304 ? QByteArray()
                                                                                 : LoopbackHttpsServer::releaseJson(7)));
        const auto o = fetch("/feed.json");
        QVERIFY(!o.value);
        QVERIFY(o.isUpdaterFailure);
        QCOMPARE(o.error, QStringLiteral("The update feed couldn't be read (HTTP %1).").arg(status));
    }

    void okAnswerIsDecoded()
    {
        serve(LoopbackHttpsServer::response(200, LoopbackHttpsServer::releaseJson(42, "3.1", "https://dl.example.org/a.zip",
                                                                                  "\"notes\": \"Fixes.\", \"size\": 12")));
        const auto o = fetch("/feed.json");
        QVERIFY2(o.value, qPrintable(o.error));
        QCOMPARE(o.value->build, 42);
        QCOMPARE(o.value->version, QStringLiteral("3.1"));
        QCOMPARE(o.value->notes, std::optional<QString>(QStringLiteral("Fixes.")));
    }

    void brokenAnswersFailWithTheDecodersOrNetworksOwnWords_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<bool>("updaterFailure");
        QTest::addColumn<QString>("expected"); // exact, or empty: any clear text
        QTest::newRow("empty body") << LoopbackHttpsServer::response(200, "") << false << "The update feed is empty.";
        QTest::newRow("truncated json")
            << LoopbackHttpsServer::response(200, LoopbackHttpsServer::releaseJson(7).chopped(5)) << false << QString();
        QTest::newRow("http download address")
            << LoopbackHttpsServer::response(200, LoopbackHttpsServer::releaseJson(7, "2.0", "http://dl.example.org/a.zip"))
            << true << "The update feed points somewhere other than an https address.";
        QTest::newRow("not http at all") << QByteArray("SSH-2.0-OpenSSH_9.2\r\n\r\n") << false << QString();
        QTest::newRow("body shorter than declared")
            << QByteArray("HTTP/1.1 200 OK\r\nContent-Length: 500\r\nConnection: close\r\n\r\n{\"version\":") << false
            << QString();
    }
    void brokenAnswersFailWithTheDecodersOrNetworksOwnWords()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(bool, updaterFailure);
        QFETCH(QString, expected);
        serve(bytes);
        const auto o = fetch("/feed.json");
        QVERIFY(!o.value);
        QVERIFY(!o.error.isEmpty());
        QCOMPARE(o.isUpdaterFailure, updaterFailure);
        QVERIFY(o.isUpdaterFailure || o.isPlatformError);
        qInfo("%s", qPrintable(o.error));
        if (!expected.isEmpty())
            QCOMPARE(o.error, expected);
    }

    void redirectsStayOnHttps()
    {
        LoopbackHttpsServer second(&m_ca);
        second.setHandler([](const auto &) { return Answer{LoopbackHttpsServer::response(200, LoopbackHttpsServer::releaseJson(9))}; });
        const QByteArray target = second.url("/moved.json").toEncoded();
        serve(LoopbackHttpsServer::response(302, "", {"Location: " + target}));
        const auto o = fetch("/feed.json");
        QVERIFY2(o.value, qPrintable(o.error));
        QCOMPARE(o.value->build, 9);
        QCOMPARE(second.requests().size(), 1);
    }

    void redirectToPlainHttpIsRefused()
    {
        LoopbackHttpsServer plain(nullptr);
        plain.setHandler([](const auto &) { return Answer{LoopbackHttpsServer::response(200, LoopbackHttpsServer::releaseJson(9))}; });
        serve(LoopbackHttpsServer::response(301, "", {"Location: " + plain.url("/feed.json").toEncoded()}));
        const auto o = fetch("/feed.json");
        QVERIFY(!o.value);
        QVERIFY(o.isPlatformError);
        QVERIFY(!o.error.isEmpty());
        QCOMPARE(plain.requests().size(), 0);
        qInfo("%s", qPrintable(o.error));
    }

    void stalledServerTimesOut()
    {
        m_server->setHandler([](const auto &) { return Answer{{}, true}; });
        NetworkSession::Limits limits;
        limits.inactivity = 300ms;
        const auto o = fetch("/feed.json", limits);
        QVERIFY(!o.value);
        QVERIFY(o.isPlatformError);
        QCOMPARE(o.error, QStringLiteral("The request timed out."));
    }

    void tricklingServerMeetsTheOverallLimit()
    {
        // One byte every 20 ms keeps the inactivity timer happy forever.
        m_server->setHandler([](const auto &) {
            Answer a{LoopbackHttpsServer::response(200, QByteArray(4000, ' ') + LoopbackHttpsServer::releaseJson(7))};
            a.trickleMs = 20;
            return a;
        });
        NetworkSession::Limits limits;
        limits.inactivity = 20s;
        limits.overall = 1500ms;
        const auto o = fetch("/feed.json", limits);
        QVERIFY(!o.value);
        QVERIFY(o.isUpdaterFailure);
        QCOMPARE(o.error, QStringLiteral("The update feed took longer than 1.5 seconds to arrive, so the check was stopped."));
        QCOMPARE(NetworkSession::Limits{}.overall, std::chrono::milliseconds(2min));
    }

    void bodyIsCappedAtOneMebibyte()
    {
        const QByteArray json = LoopbackHttpsServer::releaseJson(7);
        const QByteArray exactly = json + QByteArray(1024 * 1024 - json.size(), ' ');
        serve(LoopbackHttpsServer::response(200, exactly));
        const auto fits = fetch("/feed.json");
        QVERIFY2(fits.value, qPrintable(fits.error));

        const QString tooLarge = QStringLiteral("The update feed is larger than 1 MiB, so it wasn't read.");
        // Declared up front...
        serve(LoopbackHttpsServer::response(200, exactly + ' '));
        auto o = fetch("/feed.json");
        QVERIFY(!o.value);
        QCOMPARE(o.error, tooLarge);
        // ...and found only while reading (no length given).
        serve("HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n" + exactly + QByteArray(3 * 1024 * 1024, ' '));
        o = fetch("/feed.json");
        QVERIFY(!o.value);
        QCOMPARE(o.error, tooLarge);
    }
};

QTEST_GUILESS_MAIN(tst_ReleaseFeed)
#include "tst_ReleaseFeed.moc"
