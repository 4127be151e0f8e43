// A copy that verifies its updates (signed, with code-signing anchors)
// checking a signed feed over HTTPS on loopback: the real updater and
// session, feeds signed as the release tool signs them; only the clock is a
// stand-in.

#include "LoopbackHttpsServer.h"
#include "SignedFeedSupport.h"
#include "UpdateTestSupport.h"
#include "../codesign/SigningFixture.h"

#include "codesign/CmsSignature.h"
#include "platform/DefaultsWriter.h"
#include "platform/SystemLog.h"
#include "release/UpdaterDefaults.h"
#include "support/TestEnvironment.h"
#include "update/ReleaseFeed.h"
#include "update/Updater.h"

#include <QDirIterator>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

using Server = LoopbackHttpsServer;
using State = Updater::State;

class tst_SignedFeed : public QObject {
    Q_OBJECT
    TestEnvironment m_env;
    TestCertificateAuthority m_ca;
    std::unique_ptr<SigningFixture> m_f;
    QString m_copy; // signed by the fixture's developer, build 100
    int m_copies = 0;
    std::unique_ptr<Server> m_server;
    QDateTime m_now;
    QStringList m_log;
    const DefaultsStore m_settings = DefaultsStore::standard();
    const QDateTime m_published = QDateTime::fromString(QStringLiteral("2026-12-08T10:00:00Z"), Qt::ISODate);

    Updater::Environment environment()
    {
        Updater::Environment e;
        e.bundle = Bundle::atPath(m_copy);
        e.clock = [this] { return m_now; };
        return e;
    }
    SignedFeedFiles feed(const QDateTime &published, qint64 build = 101)
    {
        return signedFeed(Server::feed(build), m_f->developer.identityPem(), published);
    }
    void serve(const SignedFeedFiles &files)
    {
        m_server->handler = [files](const Server::Request &r) { return releaseAnswer(r, files, "not an archive"); };
    }
    QStringList requestedPaths() const
    {
        QStringList paths;
        for (const Server::Request &r : m_server->requests)
            paths << QString::fromUtf8(r.path);
        return paths;
    }
    // A Check Now of updater against what the server serves; the state it
    // ends in, with the requests it made.
    State checkNow(Updater &updater)
    {
        m_server->requests.clear();
        runToEnd(updater.check(true));
        return updater.state();
    }
    bool logged(const QString &line) const { return m_log.contains(line); }
    // The replay floor kept for the server's feed address (or another's).
    std::optional<QDateTime> keptFloor(const QString &path = QStringLiteral("/appcast.json")) const
    {
        const UpdaterDefaults::NewestFeeds floors = UpdaterDefaults::parseNewestFeeds(m_settings.string(Updater::kNewestFeedsKey));
        const QString address = m_server->url(path).toString(QUrl::FullyEncoded);
        return floors.contains(address) ? std::optional<QDateTime>(floors.value(address)) : std::nullopt;
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY2(m_ca.error.isEmpty(), qPrintable(m_ca.error));
        m_ca.trust();
        setSystemLogSink([this](const SystemLogEntry &e) { m_log << e.message; });
        m_f = std::make_unique<SigningFixture>();
        m_copy = m_f->makeSignedBundle(m_env.root() + QStringLiteral("/copy"));
    }
    void init()
    {
        QVERIFY(DefaultsWriter::shared().waitUntilWritten());
        QDir(QFileInfo(m_settings.path()).absolutePath()).removeRecursively();
        m_server = std::make_unique<Server>(&m_ca);
        m_settings.setValue(ReleaseFeed::kFeedURLKey, m_server->url(QStringLiteral("/appcast.json")).toString());
        m_now = m_published.addSecs(3600);
        m_log.clear();
    }

    void nothingIsReadBeforeTheSignatureHolds_data()
    {
        QTest::addColumn<QString>("served");
        QTest::addColumn<QString>("sentence"); // empty: offered; ending in "…": that beginning
        const QString unmet = QStringLiteral("The update feed isn't signed by Ferrowhistle's developer (%1), so it wasn't used.");
        QTest::newRow("signed by the developer") << "signed" << QString();
        QTest::newRow("no signature") << "missing" << "The update feed's signature couldn't be read (HTTP 404).";
        QTest::newRow("truncated signature") << "truncated" << unmet.arg("the signature is malformed");
        QTest::newRow("signature of another team") << "other team"
                                                   << unmet.arg("the signing certificate belongs to team \"TEAMB67890\", not \"TEAMA12345\"");
        QTest::newRow("same team, another authority") << "other authority" << "The update feed isn't signed by Ferrowhistle's developer "
                                                                              "(the signing certificate isn't trusted: …";
        QTest::newRow("same team and authority, no developer ID") << "no developer ID" << unmet.arg("the signing certificate is not a developer ID certificate");
        QTest::newRow("signature of other bytes") << "other bytes" << unmet.arg("invalid signature (code or signature have been modified)");
        // Not JSON, yet the signature is what is judged first.
        QTest::newRow("garbage under a signature of other bytes") << "garbage" << unmet.arg("invalid signature (code or signature have been modified)");
        QTest::newRow("oversized signature") << "oversized" << "The update feed's signature is larger than 64 KiB, so it wasn't read.";
    }

    void nothingIsReadBeforeTheSignatureHolds()
    {
        QFETCH(QString, served);
        QFETCH(QString, sentence);
        SignedFeedFiles files = feed(m_published);
        CertificateRequest sameTeam;
        sameTeam.commonName = QStringLiteral("Developer ID Application: Test");
        sameTeam.team = QLatin1String(SigningFixture::kTeam);
        if (served == u"truncated")
            files.signature.chop(files.signature.size() / 2);
        else if (served == u"other team")
            files = signedFeed(Server::feed(101), m_f->otherTeam.identityPem(), m_published);
        else if (served == u"other authority")
            files = signedFeed(Server::feed(101), DevelopmentCA::issue(m_f->strangerCA.identityPem(), sameTeam).identityPem(), m_published);
        else if (served == u"no developer ID") {
            CertificateRequest plain = sameTeam;
            plain.developerIdExtension = false;
            files.signature = cmsSignDetached(files.feed, SigningIdentity::fromPem(m_f->issueDeveloper(plain).identityPem()));
        }
        else if (served == u"other bytes")
            files.feed = feed(m_published, 102).feed;
        else if (served == u"garbage")
            files.feed = "<rss>not a feed</rss>";
        else if (served == u"oversized")
            files.signature = QByteArray(64 * 1024 + 1, '\x30');
        serve(files);
        if (served == u"missing") {
            m_server->handler = [files](const Server::Request &r) {
                return r.path.endsWith(".sig") ? Server::Answer{Server::response(404, "")} : releaseAnswer(r, files, {});
            };
        }

        Updater updater(environment());
        const State state = checkNow(updater);
        // The feed, then its signature; never the archive.
        QCOMPARE(requestedPaths(), (QStringList{"/appcast.json", "/appcast.json.sig"}));
        QVERIFY(DefaultsWriter::shared().waitUntilWritten());
        if (sentence.isEmpty()) {
            QCOMPARE(state.kind(), State::Kind::available);
            QCOMPARE(updater.availableRelease()->build, 101);
            QCOMPARE(keptFloor(), m_published);
            return;
        }
        QCOMPARE(state.kind(), State::Kind::failed);
        const QString shown = *updater.lastError();
        if (sentence.endsWith(u'…'))
            QVERIFY2(shown.startsWith(sentence.chopped(1)) && shown.endsWith(QStringLiteral("), so it wasn't used.")), qPrintable(shown));
        else
            QCOMPARE(shown, sentence);
        QCOMPARE(state, State::failed(shown));
        QVERIFY2(logged(QStringLiteral("Update check failed: ") + shown), qPrintable(m_log.join(u'\n')));
        if (shown.startsWith(QStringLiteral("The update feed isn't signed"))) {
            const QString refused = QStringLiteral("Update feed %1 refused: signature %2 not accepted: ")
                                        .arg(m_server->url(QStringLiteral("/appcast.json")).toString(),
                                             m_server->url(QStringLiteral("/appcast.json.sig")).toString());
            QVERIFY2(std::any_of(m_log.begin(), m_log.end(), [&](const QString &l) { return l.startsWith(refused); }),
                     qPrintable(m_log.join(u'\n')));
        }
        QCOMPARE(keptFloor(), std::nullopt);
    }

    // Whether a copy verifies is fixed by its anchors. One installed by
    // another account (its files owned by another uid) is read by the
    // running copy's rules and verifies as any other; one whose own anchors
    // or signature can't be read, or may be changed by others, refuses every
    // feed with what it could not read, and is never talked into reading a
    // feed unsigned.
    void aCopyBuiltToVerifyNeverReadsAFeedUnsigned_data()
    {
        QTest::addColumn<QString>("damage");
        QTest::addColumn<QString>("served"); // signed, unsigned (no .sig) or changed after signing
        QTest::addColumn<QString>("sentence"); // empty: offered
        const QString unmet = QStringLiteral("The update feed isn't signed by Ferrowhistle's developer (%1), so it wasn't used.");
        const QString cannot = QStringLiteral("This copy of Ferrowhistle can't check the update feed's signature (%1), so the feed wasn't used.");
        const QString installed = QStringLiteral("installed by another account");
        QTest::newRow("installed by another account, signed feed") << installed << "signed" << QString();
        QTest::newRow("installed by another account, unsigned feed") << installed << "unsigned"
                                                                     << "The update feed's signature couldn't be read (HTTP 404).";
        QTest::newRow("installed by another account, feed changed after signing")
            << installed << "changed" << unmet.arg("invalid signature (code or signature have been modified)");
        QTest::newRow("anchors file a folder") << "anchors folder" << "signed"
                                               << cannot.arg("its code-signing anchors file isn't a plain file");
        QTest::newRow("anchors file a link") << "anchors link" << "signed"
                                             << cannot.arg("its code-signing anchors file isn't a plain file");
        QTest::newRow("anchors without a certificate") << "anchors empty" << "signed"
                                                       << cannot.arg("its code-signing anchors hold no certificate");
        QTest::newRow("anchors others may change") << "anchors writable" << "signed"
                                                   << cannot.arg("its code-signing anchors file can be written by others");
        QTest::newRow("anchors in a folder others may change")
            << "trust folder writable" << "signed"
            << cannot.arg("its code-signing anchors file lies in a folder that can be written by others (Trust)");
        QTest::newRow("own signature a FIFO") << "signature fifo" << "signed"
                                              << cannot.arg("its own signature can't be read: the signature file CodeSignature isn't a plain file");
        QTest::newRow("own signature others may change")
            << "signature writable" << "changed"
            << cannot.arg("its own signature can't be read: the signature file CodeSignature can be written by others");
        QTest::newRow("own signature removed") << "signature removed" << "signed" << cannot.arg("it has no signature of its own");
        QTest::newRow("own signature of other bytes")
            << "signature garbled" << "signed" << cannot.arg("its own signature doesn't hold: the signature is malformed");
    }

    void aCopyBuiltToVerifyNeverReadsAFeedUnsigned()
    {
        QFETCH(QString, damage);
        QFETCH(QString, served);
        QFETCH(QString, sentence);
        const QString copy = m_f->makeSignedBundle(m_env.root() + QStringLiteral("/copy-") + QString::number(++m_copies));
        const QByteArray sig = QFile::encodeName(copy + QStringLiteral("/Contents/_CodeSignature/CodeSignature"));
        const QByteArray anchors = QFile::encodeName(copy + QStringLiteral("/Contents/Resources/Trust/codesigning-anchors.pem"));
        if (damage == u"installed by another account") {
            // As a system-wide install run by a user: every file of the
            // bundle belongs to someone else.
            QDirIterator it(copy, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
            QStringList all{copy};
            while (it.hasNext())
                all << it.next();
            for (const QString &path : all)
                QVERIFY(::lchown(QFile::encodeName(path).constData(), 65534, 65534) == 0);
        } else if (damage == u"anchors folder") {
            QVERIFY(::unlink(anchors.constData()) == 0 && ::mkdir(anchors.constData(), 0755) == 0);
        } else if (damage == u"anchors link") {
            QVERIFY(::rename(anchors.constData(), (anchors + ".real").constData()) == 0);
            QVERIFY(::symlink("codesigning-anchors.pem.real", anchors.constData()) == 0);
        } else if (damage == u"anchors empty") {
            writeBytes(QFile::decodeName(anchors), "no certificate here\n");
        } else if (damage == u"anchors writable") {
            QVERIFY(::chmod(anchors.constData(), 0666) == 0);
        } else if (damage == u"trust folder writable") {
            QVERIFY(::chmod(QFile::encodeName(copy + QStringLiteral("/Contents/Resources/Trust")).constData(), 0777) == 0);
        } else if (damage == u"signature fifo") {
            QVERIFY(::unlink(sig.constData()) == 0 && ::mkfifo(sig.constData(), 0644) == 0);
        } else if (damage == u"signature writable") {
            QVERIFY(::chmod(sig.constData(), 0646) == 0);
        } else if (damage == u"signature removed") {
            QVERIFY(::unlink(sig.constData()) == 0);
        } else if (damage == u"signature garbled") {
            writeBytes(QFile::decodeName(sig), "nonsense");
        }

        SignedFeedFiles files = feed(m_published);
        if (served == u"changed")
            files.feed.replace("https://dl.example.org/", "https://elsewhere.example.org/");
        serve(files);
        if (served == u"unsigned") {
            files.feed = Server::feed(101);
            m_server->handler = [files](const Server::Request &r) {
                return r.path.endsWith(".sig") ? Server::Answer{Server::response(404, "")} : releaseAnswer(r, files, {});
            };
        }
        Updater::Environment e = environment();
        e.bundle = Bundle::atPath(copy);
        Updater updater(e);
        const State state = checkNow(updater);
        QCOMPARE(requestedPaths(), (QStringList{"/appcast.json", "/appcast.json.sig"}));
        if (sentence.isEmpty()) {
            QCOMPARE(state.kind(), State::Kind::available);
            QCOMPARE(updater.availableRelease()->build, 101);
            return;
        }
        QCOMPARE(state, State::failed(sentence));
        QVERIFY(!updater.availableRelease());
        if (sentence.startsWith(QStringLiteral("This copy"))) {
            const QString refused = QStringLiteral("Update feed %1 refused: this copy can't verify it: ")
                                        .arg(m_server->url(QStringLiteral("/appcast.json")).toString());
            QVERIFY2(std::any_of(m_log.begin(), m_log.end(), [&](const QString &l) { return l.startsWith(refused); }),
                     qPrintable(m_log.join(u'\n')));
        }
    }

    // The signed record names the app and the channel; the copy takes only
    // its own identifier and the channel its settings name. Neither a
    // refusal nor a feed of another address moves this address's floor.
    void aFeedForAnotherAppOrChannelIsRefused_data()
    {
        QTest::addColumn<QString>("identifier"); // empty: the record names neither app nor channel
        QTest::addColumn<QString>("channel");
        QTest::addColumn<QString>("setting"); // UpdateChannel; empty: not set
        QTest::addColumn<QString>("sentence"); // empty: offered
        const QString app = QStringLiteral("com.copperkestrel.Ferrowhistle");
        QTest::newRow("ours, stable") << app << "stable" << QString() << QString();
        QTest::newRow("another app of the team") << "com.copperkestrel.Other" << "stable" << QString()
                                                 << "The update feed is for another app (com.copperkestrel.Other), so it wasn't used.";
        QTest::newRow("beta feed, stable copy") << app << "beta" << QString()
                                                << "The update feed is for the \"beta\" channel, not \"stable\", so it wasn't used.";
        QTest::newRow("beta feed, beta copy") << app << "beta" << "beta" << QString();
        QTest::newRow("stable feed, beta copy") << app << "stable" << "beta"
                                                << "The update feed is for the \"stable\" channel, not \"beta\", so it wasn't used.";
        QTest::newRow("a setting that is no channel name") << app << "stable" << "beta feed" << QString();
        QTest::newRow("made before records named them") << QString() << QString() << QString()
                                                        << "The update feed has no \"bundleIdentifier\".";
    }

    void aFeedForAnotherAppOrChannelIsRefused()
    {
        QFETCH(QString, identifier);
        QFETCH(QString, channel);
        QFETCH(QString, setting);
        QFETCH(QString, sentence);
        SignedFeedFiles files;
        if (identifier.isEmpty()) {
            // As the release tool signed feeds before: dates, no scope.
            QJsonObject record = QJsonDocument::fromJson(Server::feed(101)).object();
            record[QStringLiteral("published")] = QStringLiteral("2026-12-08T10:00:00Z");
            record[QStringLiteral("expires")] = QStringLiteral("2027-01-07T10:00:00Z");
            files.feed = QJsonDocument(record).toJson();
            files.signature = cmsSignDetached(files.feed, SigningIdentity::fromPem(m_f->developer.identityPem()));
        } else {
            files = signedFeed(Server::feed(101), m_f->developer.identityPem(), m_published, 30, FeedScope{identifier, channel});
        }
        serve(files);
        if (!setting.isEmpty())
            m_settings.setValue(UpdaterDefaults::channelKey(), setting);

        Updater updater(environment());
        const State state = checkNow(updater);
        QVERIFY(DefaultsWriter::shared().waitUntilWritten());
        if (sentence.isEmpty()) {
            QCOMPARE(state.kind(), State::Kind::available);
            QCOMPARE(keptFloor(), m_published);
            return;
        }
        QCOMPARE(state, State::failed(sentence));
        QCOMPARE(keptFloor(), std::nullopt);
        if (!identifier.isEmpty())
            QVERIFY2(std::any_of(m_log.begin(), m_log.end(),
                                 [&](const QString &l) {
                                     return l.startsWith(QStringLiteral("Update feed %1 refused: signed for ")
                                                             .arg(m_server->url(QStringLiteral("/appcast.json")).toString()));
                                 }),
                     qPrintable(m_log.join(u'\n')));
    }

    void theReplayFloorIsKeptPerFeedAddress()
    {
        const auto use = [this](const char *path) {
            m_settings.setValue(ReleaseFeed::kFeedURLKey, m_server->url(QString::fromLatin1(path)).toString());
        };
        Updater updater(environment());
        serve(feed(m_published));
        QCOMPARE(checkNow(updater).kind(), State::Kind::available);

        // A newer feed the team signed for another app, served here: refused,
        // and the genuine feed is not held back by it.
        m_now = m_published.addDays(3);
        serve(signedFeed(Server::feed(101), m_f->developer.identityPem(), m_published.addDays(2), 30,
                         FeedScope{QStringLiteral("com.copperkestrel.Other"), QStringLiteral("stable")}));
        QCOMPARE(checkNow(updater).kind(), State::Kind::failed);
        // A newer genuine feed at another address raises that address's floor only.
        use("/mirror/appcast.json");
        serve(feed(m_published.addDays(2)));
        QCOMPARE(checkNow(updater).kind(), State::Kind::available);
        QVERIFY(DefaultsWriter::shared().waitUntilWritten());
        QCOMPARE(keptFloor(QStringLiteral("/mirror/appcast.json")), m_published.addDays(2));
        QCOMPARE(keptFloor(), m_published);

        // Back at the first address, a feed newer than its own floor is
        // accepted, also by a restarted copy; an older one is still a replay
        // there, and at the mirror.
        use("/appcast.json");
        serve(feed(m_published.addDays(1)));
        Updater restarted(environment());
        QCOMPARE(checkNow(restarted).kind(), State::Kind::available);
        QVERIFY(DefaultsWriter::shared().waitUntilWritten());
        QCOMPARE(keptFloor(), m_published.addDays(1));
        serve(feed(m_published));
        QCOMPARE(checkNow(restarted).kind(), State::Kind::failed);
        QVERIFY(restarted.lastError()->startsWith(QStringLiteral("The update feed is older than one this computer already had")));
        use("/mirror/appcast.json");
        serve(feed(m_published.addDays(1)));
        QCOMPARE(checkNow(restarted).kind(), State::Kind::failed);
        QCOMPARE(keptFloor(QStringLiteral("/mirror/appcast.json")), m_published.addDays(2));
    }

    // Expired, dated ahead of the clock by more than a day, or older than
    // the newest accepted (also after a restart, and again once a corrupt
    // settings file has been set aside): each refused with its sentence and
    // a line saying what was found.
    void staleFutureAndReplayedFeedsAreRefused()
    {
        const QString url = m_server->url(QStringLiteral("/appcast.json")).toString();
        Updater updater(environment());
        serve(feed(m_published));

        m_now = m_published.addDays(30);
        QCOMPARE(checkNow(updater), State::failed(QStringLiteral("The update feed expired at 2027-01-07T10:00:00Z, so it wasn't used.")));
        QVERIFY2(logged(QStringLiteral("Update feed %1 refused: expired (published 2026-12-08T10:00:00Z, expires 2027-01-07T10:00:00Z, "
                                       "this computer's clock says 2027-01-07T10:00:00Z)")
                            .arg(url)),
                 qPrintable(m_log.join(u'\n')));

        m_now = m_published.addSecs(-24 * 3600 - 1);
        QCOMPARE(checkNow(updater), State::failed(QStringLiteral("The update feed is dated 2026-12-08T10:00:00Z, more than a day ahead "
                                                                 "of this computer's clock, so it wasn't used.")));
        QVERIFY(logged(QStringLiteral("Update feed %1 refused: published in the future (published 2026-12-08T10:00:00Z, expires "
                                      "2027-01-07T10:00:00Z, this computer's clock says 2026-12-07T09:59:59Z)")
                           .arg(url)));
        // A clock a day behind is still believed.
        m_now = m_published.addSecs(-24 * 3600);
        QCOMPARE(checkNow(updater).kind(), State::Kind::available);

        m_now = m_published.addSecs(3600);
        const QString replayed = QStringLiteral("The update feed is older than one this computer already had (published "
                                                "2026-12-07T10:00:00Z, not 2026-12-08T10:00:00Z or later), so it wasn't used.");
        serve(feed(m_published.addDays(-1), 100));
        QCOMPARE(checkNow(updater), State::failed(replayed));
        QVERIFY(logged(QStringLiteral("Update feed %1 refused: older than the newest accepted, published 2026-12-08T10:00:00Z (published "
                                      "2026-12-07T10:00:00Z, expires 2027-01-06T10:00:00Z, this computer's clock says 2026-12-08T11:00:00Z)")
                           .arg(url)));
        QVERIFY(!requestedPaths().contains(QStringLiteral("/F.zip")));
        // The same feed again is no replay.
        serve(feed(m_published));
        QCOMPARE(checkNow(updater).kind(), State::Kind::available);

        // Kept in the settings: a restarted copy refuses the old feed too.
        QVERIFY(DefaultsWriter::shared().waitUntilWritten());
        QCOMPARE(keptFloor(), m_published);
        serve(feed(m_published.addDays(-1), 100));
        Updater restarted(environment());
        QCOMPARE(checkNow(restarted), State::failed(replayed));

        // A settings file that does not parse is set aside and reads as
        // empty, as for every other key; the next accepted feed is kept
        // again and guards the restarts after it.
        QFile f(m_settings.path());
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write("\x89PNG\r\n\x1a\n") > 0);
        f.close();
        m_settings.setValue(ReleaseFeed::kFeedURLKey, url); // lost with the rest
        Updater damaged(environment());
        QCOMPARE(checkNow(damaged).kind(), State::Kind::upToDate); // build 100 is not newer
        QVERIFY(DefaultsWriter::shared().waitUntilWritten());
        QCOMPARE(QDir(QFileInfo(m_settings.path()).absolutePath()).entryList({"defaults.plist.corrupt-*"}).size(), 1);
        QCOMPARE(keptFloor(), m_published.addDays(-1));
        serve(feed(m_published.addDays(-2), 100));
        Updater afterDamage(environment());
        QCOMPARE(checkNow(afterDamage).kind(), State::Kind::failed);
        QVERIFY2(afterDamage.lastError()->startsWith(QStringLiteral("The update feed is older than one this computer already had")),
                 qPrintable(*afterDamage.lastError()));
    }
};

QTEST_GUILESS_MAIN(tst_SignedFeed)
#include "tst_SignedFeed.moc"
