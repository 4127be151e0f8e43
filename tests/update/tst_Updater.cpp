// The updater's states and settings against a real feed over HTTPS on
// loopback and the real settings file; only the clock, the sleeps and the
// log sink are stand-ins.

#include "LoopbackHttpsServer.h"
#include "UpdateTestSupport.h"

#include "platform/DefaultsWriter.h"
#include "platform/SignalWait.h"
#include "platform/SystemLog.h"
#include "platform/SystemProfile.h"
#include "support/TestEnvironment.h"
#include "release/PhasedRollout.h"
#include "release/UpdaterDefaults.h"
#include "update/ReleaseFeed.h"
#include "update/Updater.h"

#include <QtTest>


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
        SignalWait woken(this, &FakeSleeper::woke);
        co_await woken;
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
    QByteArray m_identity;
    const DefaultsStore m_settings = DefaultsStore::standard();

    Updater::Environment environment()
    {
        Updater::Environment e;
        e.bundle = makeTestBundle(m_env.root(), {{"CFBundleShortVersionString", "1.0"}, {"CFBundleVersion", "48"}});
        e.clock = [this] { return m_now; };
        e.sleep = [this](std::chrono::milliseconds d) { return m_sleeper.sleep(d); };
        e.installIdentity = [identity = m_identity] { return identity; };
        return e;
    }
    // The group the last "held back" line of the journal names, or -1.
    int loggedGroup() const
    {
        static const QRegularExpression group(QStringLiteral("^Update held back: .* rollout group \\(([0-6])\\)"));
        for (qsizetype i = m_log.size() - 1; i >= 0; --i) {
            if (const auto match = group.match(m_log[i]); match.hasMatch())
                return match.captured(1).toInt();
        }
        return -1;
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
        m_identity = "0123456789abcdef0123456789abcdef\n1000\ncom.copperkestrel.Ferrowhistle";
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

    // A release asking for more than this computer has (another machine, a
    // newer C or C++ library) is not offered by the automatic check; Check
    // Now fails with what is missing. One whose requirements are met is
    // offered as before.
    void aReleaseThisComputerCantRunIsNotOffered_data()
    {
        QTest::addColumn<QByteArray>("needs");
        QTest::addColumn<QString>("sentence");
        const SystemProfile here = SystemProfile::running();
        const QString newer = QStringLiteral("Ferrowhistle 2.0 needs a newer system (");
        const QString other = here.machine == QLatin1String("aarch64") ? QStringLiteral("x86_64") : QStringLiteral("aarch64");
        QTest::newRow("C library 99.0") << QByteArray("\"minimumGlibcVersion\": \"99.0\"")
                                        << newer + QStringLiteral("GNU C library 99.0; this computer has %1).").arg(here.glibcVersion);
        QTest::newRow("another machine") << ("\"architecture\": \"" + other.toLatin1() + "\"")
                                         << QStringLiteral("Ferrowhistle 2.0 needs another kind of computer (%1; this computer is %2).")
                                                .arg(other, here.machine);
        QTest::newRow("C++ library 3.4.999") << QByteArray("\"minimumLibstdcxxVersion\": \"3.4.999\"")
                                             << newer + QStringLiteral("GNU C++ library 3.4.999; this computer has %1).")
                                                            .arg(here.libstdcxxVersion.value_or(QString()));
        QTest::newRow("all met") << ("\"architecture\": \"" + here.machine.toLatin1() + "\", \"minimumGlibcVersion\": \""
                                     + here.glibcVersion.toLatin1() + "\", \"minimumLibstdcxxVersion\": \"3.4\"")
                                 << QString();
    }
    void aReleaseThisComputerCantRunIsNotOffered()
    {
        QFETCH(QByteArray, needs);
        QFETCH(QString, sentence);
        pointAtServer();
        m_server->serve(Server::response(200, Server::feed(49, QStringLiteral("https://dl.example.org/F.zip"), QString::fromLatin1(needs))));
        Updater updater(environment());
        runToEnd(updater.check(false));
        if (sentence.isEmpty()) {
            QCOMPARE(updater.availableRelease()->build, 49);
            return;
        }
        QCOMPARE(updater.state(), State::upToDate());
        QCOMPARE(updater.lastCheck(), m_now);
        const QString line = QStringLiteral("Update 2.0 (49) isn't offered: ") + sentence;
        QCOMPARE(m_log, QStringList{line});

        m_now = m_now.addSecs(60);
        runToEnd(updater.check(true));
        QCOMPARE(updater.state(), State::failed(sentence));
        QCOMPARE(updater.lastCheck(), m_now); // the feed was read; the release is what falls short
        QCOMPARE(updater.lastError(), std::nullopt);
        QCOMPARE(m_log, (QStringList{line, line}));
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
        QTRY_COMPARE(m_settings.string(UpdaterDefaults::rolledBackKey()), std::nullopt);

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

    // Group × interval × now, each row fetched over HTTPS: an automatic check
    // offers the release from pubDate + group × interval on and says until
    // when it holds it back; one the user asks for offers it at once.
    void phasedRolloutHoldsBackOnlyAutomaticChecks_data()
    {
        QTest::addColumn<QString>("pubDate");   // empty: absent
        QTest::addColumn<qint64>("interval");   // 0: absent
        QTest::addColumn<int>("group");
        QTest::addColumn<qint64>("nowAfterPub"); // seconds after 2026-12-08T10:00:00Z
        QTest::addColumn<QString>("heldUntil"); // empty: offered
        const QString pub = QStringLiteral("2026-12-08T10:00:00Z");
        const qint64 day = 86400;
        const qint64 most = std::numeric_limits<qint64>::max();
        QTest::newRow("group 0 at the date") << pub << day << 0 << qint64(0) << QString();
        QTest::newRow("group 0 before the date") << pub << day << 0 << qint64(-1) << pub;
        QTest::newRow("group 3 a second early") << pub << day << 3 << 3 * day - 1 << "2026-12-11T10:00:00Z";
        QTest::newRow("group 3 on time") << pub << day << 3 << 3 * day << QString();
        QTest::newRow("group 6 hourly, early") << pub << qint64(3600) << 6 << qint64(5 * 3600) << "2026-12-08T16:00:00Z";
        QTest::newRow("group 6 hourly, due") << pub << qint64(3600) << 6 << qint64(6 * 3600) << QString();
        QTest::newRow("group 6, one second apart") << pub << qint64(1) << 6 << qint64(5) << "2026-12-08T10:00:06Z";
        QTest::newRow("group 6 weeks later") << pub << day << 6 << 60 * day << QString();
        QTest::newRow("a zone of its own") << "2026-12-08T11:00:00+01:00" << day << 1 << day - 1 << "2026-12-09T10:00:00Z";
        // An interval a date cannot hold: never, rather than a wrapped date in the past.
        QTest::newRow("group 0 of the longest") << pub << most << 0 << qint64(0) << QString();
        QTest::newRow("group 1 of the longest") << pub << most << 1 << 10 * 365 * day << "never";
        QTest::newRow("group 6, milliseconds overflow") << pub << most / 6 << 6 << 10 * 365 * day << "never";
        // A turn past the last year a date can be written in never comes either.
        QTest::newRow("group 6 in the last week") << "9999-12-28T00:00:00Z" << day << 6 << qint64(0) << "never";
        QTest::newRow("group 3 in the last week") << "9999-12-28T00:00:00Z" << day << 3 << qint64(0) << "9999-12-31T00:00:00Z";
        // Either field alone, or neither, changes nothing.
        QTest::newRow("date alone, ahead") << "2027-06-01T00:00:00Z" << qint64(0) << 6 << qint64(0) << QString();
        QTest::newRow("interval alone") << QString() << day << 6 << qint64(0) << QString();
        QTest::newRow("no rollout") << QString() << qint64(0) << 6 << qint64(0) << QString();
    }
    void phasedRolloutHoldsBackOnlyAutomaticChecks()
    {
        QFETCH(QString, pubDate);
        QFETCH(qint64, interval);
        QFETCH(int, group);
        QFETCH(qint64, nowAfterPub);
        QFETCH(QString, heldUntil);
        QStringList fields;
        if (!pubDate.isEmpty())
            fields << QStringLiteral("\"pubDate\": \"%1\"").arg(pubDate);
        if (interval)
            fields << QStringLiteral("\"phasedRolloutInterval\": %1").arg(interval);
        m_server->serve(Server::response(200, Server::feed(49, "https://dl.example.org/F.zip", fields.join(", "))));
        pointAtServer();
        m_settings.setValue(Updater::kRolloutGroupKey, qint64(group));
        m_now = m_now.addSecs(nowAfterPub);

        Updater updater(environment());
        runToEnd(updater.check(false));
        QCOMPARE(updater.lastCheck(), m_now); // a check that held back still succeeded
        QCOMPARE(updater.lastError(), std::nullopt);
        if (heldUntil.isEmpty()) {
            QCOMPARE(updater.availableRelease()->build, 49);
            QCOMPARE(m_log, QStringList{"Update available: 2.0 (49)"});
        } else {
            QCOMPARE(updater.state(), State::upToDate());
            const QString when = heldUntil == u"never" ? QStringLiteral("no date a clock can show") : heldUntil;
            QCOMPARE(m_log.join(u'\n'), QStringLiteral("Update held back: 2.0 (49) reaches this computer's rollout group (%1) at %2")
                                             .arg(group)
                                             .arg(when));
        }
        QCOMPARE(m_settings.object(Updater::kRolloutGroupKey), QVariant(qint64(group))); // kept as it was

        m_log.clear();
        runToEnd(updater.check(true));
        QCOMPARE(updater.availableRelease()->build, 49);
        QCOMPARE(m_log, QStringList{"Update available: 2.0 (49)"});
    }

    // Without a stored group the install's own identity decides it, at
    // every start alike: settings that cannot be written must not let an
    // install draw a new turn each time it starts. A stored group is kept.
    void rolloutGroupStaysWithTheInstall()
    {
        pointAtServer();
        m_server->serve(Server::response(
            200, Server::feed(49, "https://dl.example.org/F.zip", "\"pubDate\": \"2030-01-01T00:00:00Z\", \"phasedRolloutInterval\": 60")));
        {
            Updater first(environment());
            runToEnd(first.check(true)); // a check the user asks for needs no group
            QCOMPARE(first.rolloutGroup(), std::nullopt);
        }
        QVERIFY(DefaultsWriter::shared().waitUntilWritten());
        // A folder where the lock file belongs: from now on no write succeeds.
        QVERIFY(QFile::remove(m_settings.path() + ".lock") && QDir().mkpath(m_settings.path() + ".lock"));
        QList<int> groups;
        for (int start = 0; start < 5; ++start) {
            Updater updater(environment());
            runToEnd(updater.check(false));
            QCOMPARE(updater.rolloutGroup(), loggedGroup());
            groups << loggedGroup();
        }
        QVERIFY2(groups.first() >= 0 && groups.count(groups.first()) == groups.size(), qPrintable(m_log.join(u'\n')));

        // A group the app could not have written counts as none.
        QVERIFY(QDir().rmdir(m_settings.path() + ".lock"));
        for (const QVariant &damaged : {QVariant(QStringLiteral("3")), QVariant(qint64(7)), QVariant(qint64(-1)), QVariant(2.0)}) {
            m_settings.setValue(Updater::kRolloutGroupKey, damaged);
            Updater updater(environment());
            runToEnd(updater.check(false));
            QCOMPARE(loggedGroup(), groups.first());
        }
        const qint64 chosen = (groups.first() + 1) % PhasedRollout::kGroups;
        m_settings.setValue(Updater::kRolloutGroupKey, chosen);
        Updater updater(environment());
        runToEnd(updater.check(false));
        QCOMPARE(loggedGroup(), int(chosen));
    }

    void heldReleaseIsLookedForWhenItsTurnComes()
    {
        pointAtServer();
        m_settings.setValue(Updater::kRolloutGroupKey, qint64(2));
        m_server->serve(Server::response(
            200, Server::feed(49, "https://dl.example.org/F.zip", "\"pubDate\": \"2026-12-08T10:00:00Z\", \"phasedRolloutInterval\": 3000")));
        Updater updater(environment());
        updater.startAutomaticChecks();
        QCOMPARE(look(), 1);
        QCOMPARE(updater.state(), State::upToDate());
        QCOMPARE(m_sleeper.requests.last(), 1h); // group 2's turn is 100 minutes after the date
        m_now = m_now.addSecs(3600);
        QCOMPARE(look(), 1);
        QCOMPARE(m_sleeper.requests.last(), 40min); // woken at the turn, not at the next hourly look
        m_now = m_now.addSecs(40 * 60);
        QCOMPARE(look(), 2); // checked at its turn, not a day after the last check
        QCOMPARE(updater.availableRelease()->build, 49);
        QCOMPARE(m_sleeper.requests.last(), 1h);
        m_now = m_now.addSecs(3600);
        QCOMPARE(look(), 2); // and then daily again
    }

    // A restart forgets nothing: the turn is worked out again from the held
    // release's rollout and this install's group (here one worked out, not
    // stored), and the check happens then rather than a day later.
    void heldReleaseIsLookedForAtItsTurnAfterARestart()
    {
        pointAtServer();
        m_server->serve(Server::response(
            200, Server::feed(49, "https://dl.example.org/F.zip", "\"pubDate\": \"2026-12-08T12:00:00Z\", \"phasedRolloutInterval\": 600")));
        const QDateTime turn = QDateTime::fromString("2026-12-08T12:00:00Z", Qt::ISODate)
                                   .addSecs(600 * PhasedRollout::groupOf(m_identity));
        {
            Updater updater(environment());
            runToEnd(updater.check(false));
            QCOMPARE(updater.state(), State::upToDate());
        }
        m_now = turn.addSecs(-20 * 60);
        {
            Updater restarted(environment());
            restarted.startAutomaticChecks();
            QCOMPARE(look(), 1);
            QCOMPARE(m_sleeper.requests.last(), 20min);
            m_now = turn;
            QCOMPARE(look(), 2);
            QCOMPARE(restarted.availableRelease()->build, 49);
        }

        // Offered at its turn, nothing is held any more: the next start
        // waits for the day again.
        Updater again(environment());
        again.startAutomaticChecks();
        QCOMPARE(look(), 2);
        QCOMPARE(m_sleeper.requests.last(), 1h);
    }

    void aQuietCheckKeepsAnOfferTheUserHas()
    {
        pointAtServer();
        m_settings.setValue(Updater::kRolloutGroupKey, qint64(6));
        const QString phased = QStringLiteral("\"pubDate\": \"2026-12-08T10:00:00Z\", \"phasedRolloutInterval\": 86400");
        m_server->serve(Server::response(200, Server::feed(49, "https://dl.example.org/F.zip", phased)));
        Updater updater(environment());
        runToEnd(updater.check(true));
        QCOMPARE(updater.availableRelease()->build, 49);
        m_now = m_now.addDays(1);
        runToEnd(updater.check(false));
        QCOMPARE(updater.availableRelease()->build, 49);
        QCOMPARE(m_log.last(), "Update available: 2.0 (49)");

        // One that fails leaves it too, and the next that succeeds still
        // finds it on offer.
        m_server->serve(Server::response(503, ""));
        runToEnd(updater.check(false));
        QCOMPARE(updater.availableRelease()->build, 49);
        QCOMPARE(updater.lastError(), "The update feed couldn't be read (HTTP 503).");
        m_server->serve(Server::response(200, Server::feed(49, "https://dl.example.org/F.zip", phased)));
        runToEnd(updater.check(false));
        QCOMPARE(updater.availableRelease()->build, 49);
        QCOMPARE(m_log.last(), "Update available: 2.0 (49)");

        // A newer release is another matter: held back until its turn.
        m_server->serve(Server::response(200, Server::feed(50, "https://dl.example.org/F.zip", phased)));
        m_now = m_now.addDays(1);
        runToEnd(updater.check(false));
        QCOMPARE(updater.state(), State::upToDate());
        QVERIFY2(m_log.last().startsWith("Update held back: 2.0 (50)"), qPrintable(m_log.last()));
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
