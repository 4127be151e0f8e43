// The updater's state machine against a real feed over HTTPS on loopback and
// the real settings file; only the clock, the sleeps and the log sink are
// stand-ins.

#include "LoopbackHttpsServer.h"
#include "UpdateTestSupport.h"

#include "platform/SystemLog.h"
#include "support/TestEnvironment.h"
#include "update/ReleaseFeed.h"
#include "update/Updater.h"

#include <QtTest>

#include <qcoro/qcorosignal.h>

using namespace std::chrono_literals;
using Answer = LoopbackHttpsServer::Answer;
using Kind = Updater::State::Kind;

// Sleeps that last until the test says so, recording what was asked for.
class FakeSleeper final : public QObject {
    Q_OBJECT
public:
    QList<std::chrono::milliseconds> requests;
    Updater::Sleeper sleeper()
    {
        return [this](std::chrono::milliseconds d) { return sleepFor(d); };
    }
    void wake() { Q_EMIT woke(); }

Q_SIGNALS:
    void woke();

private:
    QCoro::Task<> sleepFor(std::chrono::milliseconds d)
    {
        requests.append(d);
        co_await qCoro(this, &FakeSleeper::woke);
    }
};

class tst_Updater : public QObject {
    Q_OBJECT

    TestEnvironment m_env;
    TestCertificateAuthority m_ca;
    std::unique_ptr<LoopbackHttpsServer> m_server;
    std::unique_ptr<FakeSleeper> m_sleeper;
    QDateTime m_now;
    QList<SystemLogEntry> m_log;
    Bundle m_bundle = Bundle::atPath(QStringLiteral("/nonexistent"));

    DefaultsStore settings() const { return DefaultsStore::standard(); }

    Updater::Environment environment()
    {
        Updater::Environment e;
        e.bundle = m_bundle;
        e.defaults = settings();
        e.clock = [this] { return m_now; };
        e.sleep = m_sleeper->sleeper();
        return e;
    }
    void serveBuild(qint64 build, const QString &extra = {})
    {
        const QByteArray answer = LoopbackHttpsServer::response(
            200, LoopbackHttpsServer::releaseJson(build, QStringLiteral("2.0"),
                                                  QStringLiteral("https://dl.example.org/F.zip"), extra));
        m_server->setHandler([answer](const auto &) { return Answer{answer}; });
    }
    void serveStatus(int status)
    {
        const QByteArray answer = LoopbackHttpsServer::response(status, "oops");
        m_server->setHandler([answer](const auto &) { return Answer{answer}; });
    }
    QStringList logLines() const
    {
        QStringList out;
        for (const auto &e : m_log)
            out << e.message;
        return out;
    }
    // Wakes the loop's current sleep and waits until it sleeps again.
    void wakeLoop()
    {
        const qsizetype before = m_sleeper->requests.size();
        m_sleeper->wake();
        QTRY_COMPARE_WITH_TIMEOUT(m_sleeper->requests.size(), before + 1, 60000);
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY2(m_ca.isValid(), qPrintable(m_ca.error()));
        m_ca.trustInProcess();
        setSystemLogSink([this](const SystemLogEntry &e) { m_log << e; });
        m_bundle = makeTestBundle(m_env.root(), {{"CFBundleIdentifier", "com.copperkestrel.Ferrowhistle"},
                                                 {"CFBundleShortVersionString", "1.0"},
                                                 {"CFBundleVersion", "48"}});
    }
    void init()
    {
        QDir(QFileInfo(DefaultsStore::standardPath()).absolutePath()).removeRecursively();
        m_server = std::make_unique<LoopbackHttpsServer>(&m_ca);
        m_sleeper = std::make_unique<FakeSleeper>();
        settings().setValue(ReleaseFeed::kFeedURLKey, m_server->url("/appcast.json").toString());
        m_now = QDateTime::fromString(QStringLiteral("2026-12-08T10:00:00Z"), Qt::ISODate);
        m_log.clear();
    }

    void freshStartHasTheDefaults()
    {
        QFile::remove(DefaultsStore::standardPath());
        Updater updater(environment());
        QCOMPARE(updater.state(), Updater::State::idle());
        QVERIFY(updater.automatic());
        QCOMPARE(updater.lastCheck(), std::nullopt);
        QCOMPARE(updater.lastError(), std::nullopt);
        QCOMPARE(updater.availableRelease(), std::nullopt);
        QVERIFY(!QFileInfo::exists(DefaultsStore::standardPath())); // reading writes nothing back
    }

    void storedSettingsAreReadByType_data()
    {
        QTest::addColumn<QVariant>("automaticValue");
        QTest::addColumn<QVariant>("lastCheckValue");
        QTest::addColumn<bool>("automatic");
        QTest::addColumn<bool>("hasLastCheck");
        const QDateTime date = QDateTime::fromString(QStringLiteral("2026-12-01T08:30:00Z"), Qt::ISODate);
        QTest::newRow("typed") << QVariant(false) << QVariant(date) << false << true;
        QTest::newRow("texts instead") << QVariant(QStringLiteral("false")) << QVariant(QStringLiteral("2026-12-01"))
                                       << true << false;
        QTest::newRow("numbers instead") << QVariant(qint64(0)) << QVariant(qint64(1)) << true << false;
    }
    void storedSettingsAreReadByType()
    {
        QFETCH(QVariant, automaticValue);
        QFETCH(QVariant, lastCheckValue);
        QFETCH(bool, automatic);
        QFETCH(bool, hasLastCheck);
        settings().setValue(Updater::kAutomaticCheckKey, automaticValue);
        settings().setValue(Updater::kLastCheckKey, lastCheckValue);
        Updater updater(environment());
        QCOMPARE(updater.automatic(), automatic);
        QCOMPARE(updater.lastCheck().has_value(), hasLastCheck);
        if (hasLastCheck)
            QCOMPARE(*updater.lastCheck(), lastCheckValue.toDateTime());
    }

    void theSwitchIsStoredOnEveryAssignment()
    {
        Updater updater(environment());
        QSignalSpy changes(&updater, &Updater::willChange);
        updater.setAutomatic(false);
        QCOMPARE(settings().boolean(Updater::kAutomaticCheckKey), std::optional<bool>(false));
        updater.setAutomatic(true);
        QCOMPARE(settings().boolean(Updater::kAutomaticCheckKey), std::optional<bool>(true));
        updater.setAutomatic(true); // an equal value still announces
        QCOMPARE(changes.count(), 3);
    }

    void newerReleaseIsOffered()
    {
        serveBuild(49);
        Updater updater(environment());
        QList<Updater::State> seenBefore;
        connect(&updater, &Updater::willChange, this, [&] { seenBefore << updater.state(); });
        runToEnd(updater.check(true));

        QCOMPARE(updater.state().kind(), Kind::available);
        QCOMPARE(updater.availableRelease()->build, 49);
        QCOMPARE(updater.availableRelease()->version, QStringLiteral("2.0"));
        QCOMPARE(updater.lastCheck(), std::optional<QDateTime>(m_now));
        QCOMPARE(updater.lastError(), std::nullopt);
        QCOMPARE(settings().date(Updater::kLastCheckKey), std::optional<QDateTime>(m_now));
        QCOMPARE(logLines(), QStringList{"Update available: 2.0 (49)"});
        QCOMPARE(m_log[0].subsystem, QStringLiteral("com.copperkestrel.Ferrowhistle"));
        QCOMPARE(m_log[0].category, QStringLiteral("updater"));
        // Each announcement came before its change: state -> checking, then
        // lastCheck, lastError and state -> available, all seen still checking.
        QCOMPARE(seenBefore.size(), 4);
        QCOMPARE(seenBefore[0], Updater::State::idle());
        for (int i = 1; i < 4; ++i)
            QCOMPARE(seenBefore[i], Updater::State::checking());
        const auto request = m_server->requests().value(0);
        QCOMPARE(request.headers.value("user-agent"), QByteArray("Ferrowhistle/1.0"));

        // The same offer found again is logged again.
        runToEnd(updater.check(false));
        QCOMPARE(logLines().size(), 2);
    }

    void releasesThatAreNotOffered_data()
    {
        QTest::addColumn<qint64>("build");
        QTest::addColumn<QString>("extra");
        QTest::newRow("same build") << qint64(48) << QString();
        QTest::newRow("older build") << qint64(3) << QString();
        QTest::newRow("needs a newer system") << qint64(49) << QStringLiteral("\"minimumSystemVersion\": \"99\"");
    }
    void releasesThatAreNotOffered()
    {
        QFETCH(qint64, build);
        QFETCH(QString, extra);
        serveBuild(build, extra);
        Updater updater(environment());
        runToEnd(updater.check(true));
        QCOMPARE(updater.state(), Updater::State::upToDate());
        QCOMPARE(updater.lastCheck(), std::optional<QDateTime>(m_now));
        QCOMPARE(logLines(), QStringList());
    }

    void failedCheckByTheUserIsShown()
    {
        const QDateTime earlier = m_now.addDays(-3);
        settings().setValue(Updater::kLastCheckKey, earlier);
        serveStatus(500);
        Updater updater(environment());
        runToEnd(updater.check(true));
        const QString sentence = QStringLiteral("The update feed couldn't be read (HTTP 500).");
        QCOMPARE(updater.state(), Updater::State::failed(sentence));
        QCOMPARE(updater.lastError(), std::optional<QString>(sentence));
        QCOMPARE(updater.lastCheck(), std::optional<QDateTime>(earlier));
        QCOMPARE(settings().date(Updater::kLastCheckKey), std::optional<QDateTime>(earlier));
        QCOMPARE(logLines(), QStringList{"Update check failed: " + sentence});

        // A later success clears the error.
        serveBuild(48);
        runToEnd(updater.check(true));
        QCOMPARE(updater.state(), Updater::State::upToDate());
        QCOMPARE(updater.lastError(), std::nullopt);
    }

    void failedAutomaticCheckWithdrawsTheOffer()
    {
        serveBuild(49);
        Updater updater(environment());
        runToEnd(updater.check(true));
        QCOMPARE(updater.state().kind(), Kind::available);
        serveBuild(49, QStringLiteral("\"build\": 50")); // a duplicate key: the decoder refuses it
        runToEnd(updater.check(false));
        QCOMPARE(updater.state(), Updater::State::idle());
        QCOMPARE(updater.availableRelease(), std::nullopt);
        QVERIFY(updater.lastError().has_value());
        QVERIFY(updater.lastError()->contains(QStringLiteral("twice")));
        QCOMPARE(logLines().last(), "Update check failed: " + *updater.lastError());
    }

    void networkErrorsKeepTheirOwnWords()
    {
        QTcpServer closed;
        QVERIFY(closed.listen(QHostAddress::LocalHost));
        const quint16 port = closed.serverPort();
        closed.close();
        settings().setValue(ReleaseFeed::kFeedURLKey, QStringLiteral("https://localhost:%1/appcast.json").arg(port));
        Updater updater(environment());
        runToEnd(updater.check(true));
        QCOMPARE(updater.state().kind(), Kind::failed);
        QVERIFY(!updater.state().text().isEmpty());
        QVERIFY2(!updater.state().text().startsWith(QStringLiteral("The update feed")), qPrintable(updater.state().text()));
    }

    void secondCheckWhileCheckingDoesNothing()
    {
        m_server->setHandler([](const auto &) { return Answer{{}, true}; });
        Updater updater(environment());
        QCoro::Task<> first = updater.check(true);
        QCOMPARE(updater.state(), Updater::State::checking());
        QTRY_COMPARE_WITH_TIMEOUT(m_server->heldCount(), 1, 60000);

        QSignalSpy changes(&updater, &Updater::willChange);
        QCoro::Task<> second = updater.check(true);
        QVERIFY(second.isReady()); // returned at once
        QCOMPARE(changes.count(), 0);
        QCOMPARE(updater.state(), Updater::State::checking());

        m_server->release(LoopbackHttpsServer::response(200, LoopbackHttpsServer::releaseJson(49)));
        runToEnd(std::move(first));
        QCOMPARE(updater.state().kind(), Kind::available);
        QCOMPARE(m_server->requests().size(), 1);
    }

    void settingsSurviveARestart()
    {
        serveBuild(49);
        {
            Updater first(environment());
            runToEnd(first.check(true));
            first.setAutomatic(false);
            serveStatus(404);
            runToEnd(first.check(true));
            QVERIFY(first.lastError().has_value());
        }
        Updater second(environment());
        QCOMPARE(second.lastCheck(), std::optional<QDateTime>(m_now));
        QVERIFY(!second.automatic());
        // What is not persisted starts afresh.
        QCOMPARE(second.state(), Updater::State::idle());
        QCOMPARE(second.lastError(), std::nullopt);
    }

    void damagedSettingsFileIsNoObstacle()
    {
        const QString path = DefaultsStore::standardPath();
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write("\x89PNG\r\n\x1a\n not settings at all");
        f.close();
        Updater updater(environment());
        QVERIFY(updater.automatic());
        QCOMPARE(updater.lastCheck(), std::nullopt);
        updater.setAutomatic(false);
        QCOMPARE(settings().boolean(Updater::kAutomaticCheckKey), std::optional<bool>(false));
        QVERIFY(QFileInfo(path + ".corrupt").isFile());
    }

    void settingsFolderInTheWayIsLoggedNotFatal()
    {
        const QString path = DefaultsStore::standardPath();
        QFile::remove(path);
        QVERIFY(QDir().mkpath(path));
        Updater updater(environment());
        updater.setAutomatic(false);
        QVERIFY(!updater.automatic());
        QCOMPARE(logLines().size(), 1);
        QVERIFY2(logLines()[0].contains(path), qPrintable(logLines()[0]));
        QVERIFY(QFileInfo(path).isDir());
    }

    // The loop, driven look by look through the fake sleeps.

    void loopLooksAfterThirtySecondsThenHourly()
    {
        serveBuild(49);
        Updater updater(environment());
        updater.startAutomaticChecks();
        updater.startAutomaticChecks(); // started once only
        QCOMPARE(m_sleeper->requests, QList<std::chrono::milliseconds>{30s});
        QCOMPARE(m_server->requests().size(), 0);

        wakeLoop(); // first look: never checked, so it checks
        QCOMPARE(m_server->requests().size(), 1);
        QCOMPARE(updater.state().kind(), Kind::available);
        QCOMPARE(m_sleeper->requests.last(), std::chrono::milliseconds(1h));

        m_now = m_now.addSecs(23 * 3600 + 3599);
        wakeLoop(); // not yet a day
        QCOMPARE(m_server->requests().size(), 1);
        m_now = m_now.addSecs(1);
        wakeLoop(); // exactly a day
        QCOMPARE(m_server->requests().size(), 2);
        QCOMPARE(m_sleeper->requests.size(), 4);
    }

    void recentCheckWaitsForTheDayToPass()
    {
        serveBuild(48);
        settings().setValue(Updater::kLastCheckKey, m_now.addSecs(-23 * 3600));
        Updater updater(environment());
        updater.startAutomaticChecks();
        wakeLoop();
        QCOMPARE(m_server->requests().size(), 0);
        m_now = m_now.addSecs(3600);
        wakeLoop();
        QCOMPARE(m_server->requests().size(), 1);
        QCOMPARE(updater.state(), Updater::State::upToDate());
    }

    void switchedOffTheLoopOnlyLooks()
    {
        serveBuild(48);
        Updater updater(environment());
        updater.setAutomatic(false);
        updater.startAutomaticChecks();
        wakeLoop();
        wakeLoop();
        QCOMPARE(m_server->requests().size(), 0);
        updater.setAutomatic(true);
        wakeLoop();
        QCOMPARE(m_server->requests().size(), 1);
    }

    void failedAutomaticCheckIsTriedAtTheNextLook()
    {
        serveStatus(503);
        Updater updater(environment());
        updater.startAutomaticChecks();
        wakeLoop();
        QCOMPARE(updater.state(), Updater::State::idle());
        QCOMPARE(updater.lastError(), std::optional<QString>("The update feed couldn't be read (HTTP 503)."));
        wakeLoop();
        QCOMPARE(m_server->requests().size(), 2);
    }

    void clockSetBackWaitsForADayAfterTheStoredDate()
    {
        serveBuild(48);
        const QDateTime future = m_now.addSecs(5 * 3600);
        settings().setValue(Updater::kLastCheckKey, future);
        Updater updater(environment());
        updater.startAutomaticChecks();
        wakeLoop();
        m_now = future.addSecs(23 * 3600);
        wakeLoop();
        QCOMPARE(m_server->requests().size(), 0);
        m_now = future.addSecs(24 * 3600);
        wakeLoop();
        QCOMPARE(m_server->requests().size(), 1);
    }

    void loopDoesNotKeepTheUpdaterAlive()
    {
        auto *updater = new Updater(environment());
        updater->startAutomaticChecks();
        delete updater;
        m_sleeper->wake(); // the first look finds it gone and ends the loop
        QTest::qWait(50);
        QCOMPARE(m_sleeper->requests.size(), 1);
        QCOMPARE(m_server->requests().size(), 0);
    }
};

QTEST_GUILESS_MAIN(tst_Updater)
#include "tst_Updater.moc"
