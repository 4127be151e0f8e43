// The updater's states and settings against a real feed over HTTPS on
// loopback and the real settings file; only the clock, the sleeps and the
// log sink are stand-ins.

#include "LoopbackHttpsServer.h"
#include "UpdateTestSupport.h"

#include "platform/DefaultsWriter.h"
#include "platform/SystemLog.h"
#include "support/TestEnvironment.h"
#include "release/UpdaterDefaults.h"
#include "update/ReleaseFeed.h"
#include "update/Updater.h"

#include <QtTest>

#include <qcoro/qcorosignal.h>

using namespace std::chrono_literals;
using Server = LoopbackHttpsServer;
using State = Updater::State;

// Sleeps that last until the test wakes them, recording what was asked for.
class FakeSleeper final : public QObject {
    Q_OBJECT
public:
    QList<std::chrono::milliseconds> requests;
    QCoro::Task<> sleep(std::chrono::milliseconds d)
    {
        requests.append(d);
        co_await qCoro(this, &FakeSleeper::woke);
    }
Q_SIGNALS:
    void woke();
};

class tst_Updater : public QObject {
    Q_OBJECT
    TestEnvironment m_env;
    TestCertificateAuthority m_ca;
    std::unique_ptr<Server> m_server;
    FakeSleeper m_sleeper;
    QDateTime m_now;
    QStringList m_log;
    const DefaultsStore m_settings = DefaultsStore::standard();

    Updater::Environment environment()
    {
        Updater::Environment e;
        e.bundle = makeTestBundle(m_env.root(), {{"CFBundleShortVersionString", "1.0"}, {"CFBundleVersion", "48"}});
        e.clock = [this] { return m_now; };
        e.sleep = [this](std::chrono::milliseconds d) { return m_sleeper.sleep(d); };
        return e;
    }
    void pointAtServer() { m_settings.setValue(ReleaseFeed::kFeedURLKey, m_server->url("/appcast.json").toString()); }
    // Wakes the loop and waits until it sleeps again; returns the feed
    // requests made so far.
    qsizetype look()
    {
        const qsizetype before = m_sleeper.requests.size();
        Q_EMIT m_sleeper.woke();
        [&] { QTRY_COMPARE_WITH_TIMEOUT(m_sleeper.requests.size(), before + 1, 60000); }();
        return m_server->requests.size();
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY2(m_ca.error.isEmpty(), qPrintable(m_ca.error));
        m_ca.trust();
        setSystemLogSink([this](const SystemLogEntry &e) {
            QCOMPARE(e.subsystem, "com.copperkestrel.Ferrowhistle");
            QCOMPARE(e.category, "updater");
            m_log << e.message;
        });
    }
    void init()
    {
        QVERIFY(DefaultsWriter::shared().waitUntilWritten()); // the last test's settings are on disk
        QDir(QFileInfo(m_settings.path()).absolutePath()).removeRecursively();
        m_server = std::make_unique<Server>(&m_ca);
        m_server->serve(Server::response(200, Server::feed(49)));
        m_now = QDateTime::fromString("2026-12-08T10:00:00Z", Qt::ISODate);
        m_log.clear();
        m_sleeper.requests.clear();
    }

    void settingsAreReadByTypeAndWrittenOnEveryAssignment()
    {
        {
            Updater fresh(environment());
            QVERIFY(fresh.automatic() && !fresh.lastCheck() && !fresh.lastError() && fresh.state() == State::idle());
        }
        QVERIFY(!QFileInfo::exists(m_settings.path())); // reading writes nothing back
        m_settings.setValue(Updater::kAutomaticCheckKey, QStringLiteral("false"));
        m_settings.setValue(Updater::kLastCheckKey, QStringLiteral("2026-12-01T00:00:00Z"));
        Updater wrongTypes(environment());
        QVERIFY(wrongTypes.automatic() && !wrongTypes.lastCheck());

        QSignalSpy changes(&wrongTypes, &Updater::willChange);
        wrongTypes.setAutomatic(false);
        QCOMPARE(m_settings.boolean(Updater::kAutomaticCheckKey), false);
        wrongTypes.setAutomatic(true);
        wrongTypes.setAutomatic(true); // an equal value is stored and announced too
        QCOMPARE(m_settings.boolean(Updater::kAutomaticCheckKey), true);
        QCOMPARE(changes.count(), 3);
    }

    void checkOffersOnlyANewerCompatibleBuild()
    {
        pointAtServer();
        Updater updater(environment());
        QList<State> seenAtAnnouncement;
        connect(&updater, &Updater::willChange, this, [&] { seenAtAnnouncement << updater.state(); });
        runToEnd(updater.check(true));
        QCOMPARE(updater.availableRelease()->build, 49);
        QCOMPARE(updater.lastCheck(), m_now);
        QCOMPARE(m_settings.date(Updater::kLastCheckKey), m_now);
        QCOMPARE(m_log, QStringList{"Update available: 2.0 (49)"});
        QCOMPARE(m_server->requests[0].headers.value("user-agent"), "Ferrowhistle/1.0");
        // Announced before each change: checking, lastCheck, lastError, available.
        QCOMPARE(seenAtAnnouncement, (QList<State>{State::idle(), State::checking(), State::checking(), State::checking()}));

        runToEnd(updater.check(false)); // found again, logged again
        QCOMPARE(m_log.size(), 2);
        for (const char *extra : {"\"build\": 48", "\"build\": 3", "\"build\": 49, \"minimumSystemVersion\": \"99\""}) {
            m_server->serve(Server::response(200, QStringLiteral("{\"version\": \"x\", \"url\": \"https://a/b\", \"sha256\": \"\", %1}")
                                                      .arg(QLatin1String(extra)).toUtf8()));
            m_now = m_now.addSecs(60);
            runToEnd(updater.check(true));
            QCOMPARE(updater.state(), State::upToDate());
            QCOMPARE(updater.lastCheck(), m_now);
        }
        QCOMPARE(m_log.size(), 2);
    }

    void failuresEndInTheStateAndTheLog()
    {
        pointAtServer();
        const QDateTime earlier = m_now.addDays(-3);
        m_settings.setValue(Updater::kLastCheckKey, earlier);
        Updater updater(environment());
        runToEnd(updater.check(false));
        QVERIFY(updater.availableRelease());

        // A failed automatic check withdraws the offer and goes back to idle.
        m_server->serve(Server::response(200, Server::feed(49, "https://a/b", "\"build\": 50")));
        runToEnd(updater.check(false));
        QCOMPARE(updater.state(), State::idle());
        QVERIFY(updater.lastError()->contains("twice"));
        QCOMPARE(m_log.last(), "Update check failed: " + *updater.lastError());

        // One the user asked for shows its sentence in place.
        m_server->serve(Server::response(500, "oops"));
        runToEnd(updater.check(true));
        const QString sentence = "The update feed couldn't be read (HTTP 500).";
        QCOMPARE(updater.state(), State::failed(sentence));
        QCOMPARE(updater.lastError(), sentence);
        QCOMPARE(m_log.last(), "Update check failed: " + sentence);
        QCOMPARE(m_settings.date(Updater::kLastCheckKey), m_now); // from the one success only

        // A network error keeps the network's own words.
        const quint16 port = m_server->serverPort();
        m_server.reset();
        m_settings.setValue(ReleaseFeed::kFeedURLKey, QStringLiteral("https://localhost:%1/f").arg(port));
        Updater restarted(environment());
        runToEnd(restarted.check(true));
        QCOMPARE(restarted.state().kind(), State::Kind::failed);
        QVERIFY(!restarted.state().text().isEmpty() && !restarted.state().text().startsWith("The update feed"));
    }

    // A build that didn't start here is never offered again: the automatic
    // check says nothing is new, Check Now says why. One the user reverted
    // from only Check Now offers. The sentence of the rollback stays until
    // a newer build is offered.
    void buildsThatFailedOrWereRevertedAreNotOffered()
    {
        pointAtServer();
        m_settings.setValue(UpdaterDefaults::failedBuildsKey(), QStringLiteral("47 49"));
        m_settings.setValue(UpdaterDefaults::rolledBackKey(), QStringLiteral("49 2.0"));
        Updater updater(environment());
        QCOMPARE(updater.rolledBackVersion(), QStringLiteral("2.0"));
        runToEnd(updater.check(false));
        QCOMPARE(updater.state(), State::upToDate());
        QCOMPARE(updater.lastCheck(), m_now);
        runToEnd(updater.check(true));
        QCOMPARE(updater.state(), State::failed("Ferrowhistle 2.0 didn't start on this computer and was rolled back."));
        QCOMPARE(m_log, (QStringList{"Update 2.0 (49) didn't start on this computer before, so it isn't offered",
                                     "Update 2.0 (49) didn't start on this computer before, so it isn't offered"}));
        QCOMPARE(updater.rolledBackVersion(), QStringLiteral("2.0"));

        // A newer build is offered, and the sentence has done its work.
        m_server->serve(Server::response(200, Server::feed(50)));
        runToEnd(updater.check(false));
        QCOMPARE(updater.availableRelease()->build, 50);
        QCOMPARE(updater.rolledBackVersion(), std::nullopt);
        QCOMPARE(m_settings.string(UpdaterDefaults::rolledBackKey()), std::nullopt);

        m_log.clear();
        m_settings.setValue(UpdaterDefaults::revertedBuildsKey(), QStringLiteral("50"));
        runToEnd(updater.check(false));
        QCOMPARE(updater.state(), State::upToDate());
        QCOMPARE(m_log, QStringList{"Update 2.0 (50) was reverted on this computer, so only Check Now offers it"});
        runToEnd(updater.check(true));
        QCOMPARE(updater.availableRelease()->build, 50);

        // A rollback of a build not newer than this one says nothing.
        m_settings.setValue(UpdaterDefaults::rolledBackKey(), QStringLiteral("48 1.0"));
        QCOMPARE(Updater(environment()).rolledBackVersion(), std::nullopt);
        m_settings.setValue(UpdaterDefaults::rolledBackKey(), QStringLiteral("x 1.0"));
        QCOMPARE(Updater(environment()).rolledBackVersion(), std::nullopt);
    }

    void aSecondCheckWhileCheckingDoesNothing()
    {
        pointAtServer();
        m_server->handler = [](const auto &) { return Server::Answer{{}, true}; };
        Updater updater(environment());
        QCoro::Task<> first = updater.check(true);
        QTRY_COMPARE_WITH_TIMEOUT(m_server->heldCount(), 1, 60000);
        QSignalSpy changes(&updater, &Updater::willChange);
        QVERIFY(updater.check(true).isReady());
        QCOMPARE(changes.count(), 0);
        QCOMPARE(updater.state(), State::checking());
        m_server->release(Server::response(200, Server::feed(49)));
        runToEnd(std::move(first));
        QVERIFY(updater.availableRelease());
        QCOMPARE(m_server->requests.size(), 1);
    }

    void settingsSurviveARestartAndDamageIsHarmless()
    {
        pointAtServer();
        {
            Updater first(environment());
            runToEnd(first.check(true));
            first.setAutomatic(false);
        }
        Updater second(environment());
        QCOMPARE(second.lastCheck(), m_now);
        QVERIFY(!second.automatic());
        QCOMPARE(second.state(), State::idle());

        QVERIFY(DefaultsWriter::shared().waitUntilWritten());
        QFile f(m_settings.path());
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write("\x89PNG\r\n\x1a\n") > 0);
        f.close();
        Updater damaged(environment());
        QVERIFY(damaged.automatic() && !damaged.lastCheck());
        damaged.setAutomatic(false);
        QCOMPARE(m_settings.boolean(Updater::kAutomaticCheckKey), false);
        QVERIFY(DefaultsWriter::shared().waitUntilWritten());
        QCOMPARE(QDir(QFileInfo(m_settings.path()).absolutePath()).entryList({"defaults.plist.corrupt-*"}).size(), 1);

        QVERIFY(QFile::remove(m_settings.path()) && QDir().mkpath(m_settings.path()));
        Updater blocked(environment());
        const qsizetype logged = m_log.size();
        blocked.setAutomatic(false); // kept in memory, the failure logged
        QVERIFY(!blocked.automatic());
        QTRY_COMPARE_WITH_TIMEOUT(m_log.size(), logged + 1, 60000);
        QVERIFY(m_log.last().contains(m_settings.path()));
    }

    void loopLooksAfterThirtySecondsThenHourly()
    {
        pointAtServer();
        Updater updater(environment());
        updater.startAutomaticChecks();
        updater.startAutomaticChecks(); // started once only
        QCOMPARE(m_sleeper.requests, QList<std::chrono::milliseconds>{30s});
        QCOMPARE(look(), 1); // never checked: due
        QCOMPARE(m_sleeper.requests.last(), 1h);
        m_now = m_now.addSecs(24 * 3600 - 1);
        QCOMPARE(look(), 1);
        m_now = m_now.addSecs(1);
        QCOMPARE(look(), 2); // a day exactly
        m_now = m_now.addDays(2);
        updater.setAutomatic(false);
        QCOMPARE(look(), 2); // off: the loop keeps looking but never checks
        updater.setAutomatic(true);
        QCOMPARE(look(), 3);
    }

    void loopMeasuresFromTheStoredDate()
    {
        pointAtServer();
        m_settings.setValue(Updater::kLastCheckKey, m_now.addSecs(-23 * 3600));
        Updater updater(environment());
        updater.startAutomaticChecks();
        QCOMPARE(look(), 0);
        m_now = m_now.addSecs(3600);
        QCOMPARE(look(), 1);

        // The clock set back puts lastCheck in the future: a check is due at
        // once, not a day after a date that may lie years ahead.
        m_server->serve(Server::response(503, ""));
        const QDateTime stored = *updater.lastCheck();
        m_now = stored.addSecs(-5 * 3600);
        QCOMPARE(look(), 2);
        QCOMPARE(updater.state(), State::idle());
        QCOMPARE(look(), 3); // a failed look is tried again at the next
    }

    void loopDoesNotKeepTheUpdaterAlive()
    {
        auto *updater = new Updater(environment());
        updater->startAutomaticChecks();
        delete updater;
        Q_EMIT m_sleeper.woke();
        QCOMPARE(m_sleeper.requests.size(), 1); // ended instead of sleeping again
    }
};

QTEST_GUILESS_MAIN(tst_Updater)
#include "tst_Updater.moc"
