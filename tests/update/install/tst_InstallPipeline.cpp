// Installing a release against real signed bundles made with the project's
// own signing code, a real HTTPS server on loopback and the real file system.
// Only the end of the process (the test keeps running) and the log sink are
// stand-ins.

#include "support/ElfEdits.h"
#include "support/FileTrees.h"
#include "ZipWriter.h"
#include "../LoopbackHttpsServer.h"
#include "../../codesign/SigningFixture.h"

#include "BundleSigner.h"
#include "ReleasePackage.h"
#include "codesign/BundleDelta.h"
#include "platform/CopyTree.h"
#include "platform/AtomicSwap.h"
#include "location/PreviousCopy.h"
#include "platform/Bundle.h"
#include "platform/DefaultsStore.h"
#include "platform/DefaultsWriter.h"
#include "release/VersionRules.h"
#include "platform/SystemLog.h"
#include "platform/UniqueFd.h"
#include "support/TestEnvironment.h"
#include "release/UpdaterDefaults.h"
#include "update/Updater.h"

#include <QCryptographicHash>
#include <QProcess>
#include <QtTest>

#include <qcoro/qcorotimer.h>

#include <zstd.h>

#include <csignal>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

using State = Updater::State;

namespace {

const QString kTail = QStringLiteral(", so it wasn't installed.");
const QString kNotOurs = QStringLiteral("The download isn't signed by Ferrowhistle's developer (");

QString sha256(const QByteArray &bytes) { return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex()); }

bool shell(const QString &script, const QString &dir = {})
{
    QProcess p;
    if (!dir.isEmpty())
        p.setWorkingDirectory(dir);
    p.setProcessChannelMode(QProcess::ForwardedChannels);
    p.start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), script});
    return p.waitForFinished(120000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

QString quoted(const QString &path) { return u'\'' + QString(path).replace(u'\'', QLatin1String("'\\''")) + u'\''; }

QByteArray fileBytes(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

} // namespace

class tst_InstallPipeline : public QObject {
    Q_OBJECT
    TestEnvironment m_env;
    TestCertificateAuthority m_ca;
    std::unique_ptr<SigningFixture> m_f;
    std::unique_ptr<LoopbackHttpsServer> m_server;
    QStringList m_log;
    int m_terminated = 0;
    int m_n = 0;
    QString m_running; // the signed running copy (build 100), copied for each case
    QMap<QString, QByteArray> m_zips;

    // A fresh folder holding a copy of the running bundle.
    QString installedCopy(const QString &folder)
    {
        QDir().mkpath(folder);
        if (!shell(QStringLiteral("cp -a %1 %2/").arg(quoted(m_running), quoted(folder))))
            qFatal("can't copy the running bundle");
        return folder + QStringLiteral("/Ferrowhistle.app");
    }

    Updater::Environment environment(const QString &bundle)
    {
        Updater::Environment e;
        e.bundle = Bundle::atPath(bundle);
        e.terminate = [this] { ++m_terminated; };
        e.sleep = [](std::chrono::milliseconds) -> QCoro::Task<> { co_await QCoro::sleepFor(std::chrono::hours(1)); };
        return e;
    }

    Updater::Release releaseFor(const QByteArray &body, const QString &sha = {})
    {
        Updater::Release r;
        r.version = QStringLiteral("1.101");
        r.build = 101;
        r.url = m_server->url(QStringLiteral("/F.zip"));
        r.sha256 = sha.isEmpty() ? sha256(body) : sha;
        return r;
    }

    // Runs one install to its end: the failure's text, or empty when the
    // process would have ended for the relaunch.
    QString installOutcome(Updater &updater, const Updater::Release &release)
    {
        m_terminated = 0;
        updater.install(release);
        [&] { QTRY_VERIFY_WITH_TIMEOUT(m_terminated > 0 || updater.state().kind() == State::Kind::failed, 180000); }();
        return updater.state().kind() == State::Kind::failed ? updater.state().text() : QString();
    }

    // A release archive of a bundle made by prepare (from a fresh bundle of
    // build 101); packed with the zip tool so that bundles whose seal no
    // longer holds can be packed too.
    QByteArray zipOf(const QString &name, const std::function<void(const QString &app)> &prepare, qint64 build = 101,
                     const QString &folderName = QStringLiteral("Ferrowhistle.app"))
    {
        if (m_zips.contains(name))
            return m_zips.value(name);
        SigningFixture::BundleOptions o;
        o.build = build;
        const QString app = m_f->makeBundle(QStringLiteral("cand-") + name, o);
        prepare(app);
        const QString dir = QFileInfo(app).absolutePath();
        if (folderName != QLatin1String("Ferrowhistle.app"))
            QDir(dir).rename(QStringLiteral("Ferrowhistle.app"), folderName);
        if (!shell(QStringLiteral("zip -qry release.zip %1").arg(quoted(folderName)), dir))
            qFatal("zip failed");
        return m_zips[name] = fileBytes(dir + QStringLiteral("/release.zip"));
    }
    void signAndNotarize(const QString &app) const
    {
        signBundle(app, m_f->developer.identityPem());
        notarizeBundle(app, m_f->notary.identityPem());
    }
    QByteArray goodZip()
    {
        return zipOf(QStringLiteral("good"), [this](const QString &app) { signAndNotarize(app); });
    }

    void checkNothingLeft(const QString &folder) const
    {
        QCOMPARE(entriesWithPrefix(folder, QStringLiteral(".Ferrowhistle-update-")), QStringList());
        QCOMPARE(entriesWithPrefix(m_env.tmpDir() + QStringLiteral("/ferrowhistle-%1").arg(::geteuid()),
                                   QStringLiteral("Ferrowhistle-update-")),
                 QStringList());
    }

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void installs();
    void installsWhereFoldersCannotBeExchanged();
    void keepsOnePreviousCopy_data();
    void keepsOnePreviousCopy();
    void theNextStartSortsOutTheKeptCopy();
    void revertsToTheKeptCopy();
    void revertRefusesAKeptCopyThatFailsItsChecks_data();
    void revertRefusesAKeptCopyThatFailsItsChecks();
    void failedMoveBackKeepsTheOldCopy();
    void refusals_data();
    void refusals();
    void interruptedSwapLeavesWholeBundle_data();
    void interruptedSwapLeavesWholeBundle();
    void runToolReportsStatus();
    void hungAssessmentIsStoppedAndTheNextInstallRuns();
    void aKeptCopyCheckThatHangsStillRelaunches_data();
    void aKeptCopyCheckThatHangsStillRelaunches();
    void setAsideCopiesGoOnlyFromTheInstalledPath();
    void installsFromADelta();
    void aDeltaThatCannotBeUsedFallsBackToTheArchive_data();
    void aDeltaThatCannotBeUsedFallsBackToTheArchive();

private:
    // Build 101 made from the running copy: a changed program, a new file, a
    // removed one, a mode change; its zip and the delta from the running copy.
    struct DeltaRelease {
        QString app;
        QByteArray zip;
        QByteArray delta;
    };
    const DeltaRelease &deltaRelease();
    std::optional<DeltaRelease> m_deltaRelease;
};

void tst_InstallPipeline::initTestCase()
{
    QVERIFY2(m_ca.error.isEmpty(), qPrintable(m_ca.error));
    m_ca.trust();
    m_server = std::make_unique<LoopbackHttpsServer>(&m_ca);
    m_f = std::make_unique<SigningFixture>();
    setSystemLogSink([this](const SystemLogEntry &e) { m_log << e.message; });

    // The running copy carries the shipped assessment tool, which judges
    // the candidate's notarization.
    m_running = m_f->makeBundle(QStringLiteral("running"));
    const QString tool = m_running + QStringLiteral("/Contents/bin/ferrowhistle-assess");
    QVERIFY(QFile::copy(QStringLiteral(FW_BUNDLE_DIR "/Contents/bin/ferrowhistle-assess"), tool));
    ::chmod(QFile::encodeName(tool).constData(), 0755);
    signAndNotarize(m_running);
}

void tst_InstallPipeline::cleanupTestCase() { setSystemLogSink({}); }

void tst_InstallPipeline::init()
{
    m_log.clear();
    m_server->requests.clear();
    AtomicSwap::forceFallbackForTesting(false);
}

void tst_InstallPipeline::installs()
{
    const QByteArray zip = goodZip();
    m_server->handler = [zip](const LoopbackHttpsServer::Request &) { return LoopbackHttpsServer::Answer{LoopbackHttpsServer::response(200, zip)}; };
    const QString folder = m_env.root() + QStringLiteral("/Applications");
    const QString bundle = installedCopy(folder);
    const QMap<QString, QByteArray> candidate = snapshotTree(m_f->root() + QStringLiteral("/cand-good/Ferrowhistle.app"));
    const QMap<QString, QByteArray> oldTree = snapshotTree(bundle);
    const QString oldVersion = *Bundle::atPath(bundle).infoString(QStringLiteral("CFBundleShortVersionString"));

    Updater updater(environment(bundle));
    QStringList texts;
    connect(&updater, &Updater::changed, this, [&] {
        if (updater.state().kind() == State::Kind::installing && (texts.isEmpty() || texts.last() != updater.state().text()))
            texts << updater.state().text();
    });
    const Updater::Release release = releaseFor(zip);
    updater.install(release);
    updater.install(release); // ignored while the first runs
    QTRY_VERIFY_WITH_TIMEOUT(m_terminated == 1 || updater.state().kind() == State::Kind::failed, 120000);
    QVERIFY2(m_terminated == 1, qPrintable(updater.state().text() + m_log.join(u'|')));

    QCOMPARE(texts, (QStringList{QStringLiteral("Downloading 1.101\u2026"), QStringLiteral("Checking the download\u2026"),
                                 QStringLiteral("Installing 1.101\u2026")}));
    const QString previous = folder + QStringLiteral("/.Ferrowhistle-previous.app");
    QCOMPARE(m_log, (QStringList{QStringLiteral("Installing update 1.101 (101)"),
                                 QStringLiteral("Installed update 1.101 (101); relaunching"),
                                 QStringLiteral("Kept %1 (100) at %2").arg(oldVersion, previous)}));
    QCOMPARE(snapshotTree(bundle), candidate);
    // The old copy stays beside it, whole, for the watch and a revert.
    QCOMPARE(snapshotTree(previous), oldTree);
    QCOMPARE(m_server->requests.size(), 1);
    checkNothingLeft(folder);
    QCOMPARE(updater.state().kind(), State::Kind::installing);
}

void tst_InstallPipeline::installsWhereFoldersCannotBeExchanged()
{
    AtomicSwap::forceFallbackForTesting(true);
    const QByteArray zip = goodZip();
    m_server->serve(LoopbackHttpsServer::response(200, zip));
    const QString folder = m_env.root() + QStringLiteral("/fallback");
    const QString bundle = installedCopy(folder);
    Updater updater(environment(bundle));
    QCOMPARE(installOutcome(updater, releaseFor(zip)), QString());
    QVERIFY(m_log.contains(QStringLiteral("The file system can't exchange folders; the old copy was moved aside instead")));
    QCOMPARE(Bundle::atPath(bundle).infoString(QStringLiteral("CFBundleVersion")), QStringLiteral("101"));
    checkNothingLeft(folder);
    // Kept under the one name, not left under the name of the move aside.
    QCOMPARE(entriesWithPrefix(folder, QStringLiteral(".Ferrowhistle-kept-")), QStringList());
    QCOMPARE(Bundle::atPath(folder + QStringLiteral("/.Ferrowhistle-previous.app")).infoString(QStringLiteral("CFBundleVersion")),
             QStringLiteral("100"));
}

// A second update keeps the copy it replaced in place of the one kept
// before, in one step: there is never a second kept copy, with or without
// the exchange.
void tst_InstallPipeline::keepsOnePreviousCopy_data()
{
    QTest::addColumn<bool>("fallback");
    QTest::newRow("exchange") << false;
    QTest::newRow("moves") << true;
}

void tst_InstallPipeline::keepsOnePreviousCopy()
{
    QFETCH(bool, fallback);
    AtomicSwap::forceFallbackForTesting(fallback);
    // Each copy carries the assessment tool, as the second install runs the
    // first one's.
    const auto withTool = [this](const QString &app) {
        const QString tool = app + QStringLiteral("/Contents/bin/ferrowhistle-assess");
        QDir().mkpath(QFileInfo(tool).path());
        QVERIFY(QFile::copy(QStringLiteral(FW_BUNDLE_DIR "/Contents/bin/ferrowhistle-assess"), tool));
        ::chmod(QFile::encodeName(tool).constData(), 0755);
        signAndNotarize(app);
    };
    const QByteArray first = zipOf(QStringLiteral("tool-101"), withTool);
    const QByteArray second = zipOf(QStringLiteral("tool-102"), withTool, 102);
    const QString folder = m_env.root() + QStringLiteral("/twice-") + QString::number(fallback);
    const QString bundle = installedCopy(folder);
    m_server->serve(LoopbackHttpsServer::response(200, first));
    QCOMPARE(installOutcome(*std::make_unique<Updater>(environment(bundle)), releaseFor(first)), QString());
    const QMap<QString, QByteArray> build101 = snapshotTree(bundle);

    m_server->serve(LoopbackHttpsServer::response(200, second));
    Updater::Release next = releaseFor(second);
    next.version = QStringLiteral("1.102");
    next.build = 102;
    Updater updater(environment(bundle));
    QCOMPARE(installOutcome(updater, next), QString());
    QCOMPARE(Bundle::atPath(bundle).infoString(QStringLiteral("CFBundleVersion")), QStringLiteral("102"));
    QCOMPARE(snapshotTree(folder + QStringLiteral("/.Ferrowhistle-previous.app")), build101);
    QCOMPARE(entriesWithPrefix(folder, QStringLiteral(".Ferrowhistle-")), QStringList{QStringLiteral(".Ferrowhistle-previous.app")});
    checkNothingLeft(folder);
}

// Where folders cannot be exchanged and the new copy cannot move in, the old
// one moves back; should that fail too, it is the only copy: it stays under
// its kept name, which neither the failed run nor the next start removes,
// and both the journal and the sentence say where it is.
void tst_InstallPipeline::failedMoveBackKeepsTheOldCopy()
{
    AtomicSwap::forceFallbackForTesting(true);
    const QByteArray zip = goodZip();
    m_server->serve(LoopbackHttpsServer::response(200, zip));
    const QString folder = m_env.root() + QStringLiteral("/move-back");
    const QString bundle = installedCopy(folder);
    const QMap<QString, QByteArray> oldTree = snapshotTree(bundle);

    Updater::Environment e = environment(bundle);
    // Something takes the emptied path between the moves, so that neither
    // the new copy nor the old one can go there.
    e.swapHook = [bundle](AtomicSwap::Step step) {
        if (step == AtomicSwap::Step::BeforeMoveIn)
            writeBytes(bundle + QStringLiteral("/squatter"), "x");
    };
    Updater updater(e);
    const QString outcome = installOutcome(updater, releaseFor(zip));
    const QStringList kept = entriesWithPrefix(folder, QStringLiteral(".Ferrowhistle-kept-"));
    QCOMPARE(kept.size(), 1);
    const QString keptPath = folder + u'/' + kept.first();
    QVERIFY2(outcome.endsWith(QStringLiteral("the old copy couldn't be moved back (Directory not empty) and is kept at ") + keptPath),
             qPrintable(outcome));
    QVERIFY(m_log.contains(QStringLiteral("Couldn't put the old copy back at %1; it is kept at %2").arg(bundle, keptPath)));
    QCOMPARE(snapshotTree(keptPath), oldTree);
    checkNothingLeft(folder);

    Updater(environment(bundle)).removeLeftovers();
    QCOMPARE(snapshotTree(keptPath), oldTree);
}

// A kept copy stays fourteen days; one that is not older than the running
// copy (what a stopped swap back or revert leaves) goes at once.
void tst_InstallPipeline::theNextStartSortsOutTheKeptCopy()
{
    const QString folder = m_env.root() + QStringLiteral("/sort-out");
    const QString bundle = installedCopy(folder);
    const QString previous = folder + QStringLiteral("/.Ferrowhistle-previous.app");
    SigningFixture::BundleOptions older;
    older.build = 99;
    QVERIFY(shell(QStringLiteral("cp -a %1 %2").arg(quoted(m_f->makeBundle(QStringLiteral("kept-99"), older)), quoted(previous))));
    const QDateTime now = QDateTime::currentDateTimeUtc();

    Updater::Environment e = environment(bundle);
    e.clock = [now] { return now.addDays(13); };
    Updater early(e);
    QCOMPARE(early.keptCopy(), (UpdaterInterface::KeptCopy{QStringLiteral("1.99"), 99}));
    early.removeLeftovers();
    QVERIFY(QFileInfo::exists(previous));
    QCOMPARE(m_log, QStringList());

    e.clock = [now] { return now.addDays(14).addSecs(60); };
    Updater late(e);
    late.removeLeftovers();
    QVERIFY(!QFileInfo::exists(previous));
    QCOMPARE(late.keptCopy(), std::nullopt);
    QCOMPARE(m_log.size(), 1);
    QVERIFY2(m_log.first().startsWith(QStringLiteral("Removed the previous version 1.99 (99), kept since ")), qPrintable(m_log.first()));

    // The running build itself, or a newer one, is never a kept copy.
    for (const qint64 build : {100, 101}) {
        m_log.clear();
        SigningFixture::BundleOptions notOlder;
        notOlder.build = build;
        QVERIFY(shell(QStringLiteral("cp -a %1 %2").arg(quoted(m_f->makeBundle(QStringLiteral("kept-%1").arg(build), notOlder)),
                                                       quoted(previous))));
        Updater updater(environment(bundle));
        QCOMPARE(updater.keptCopy(), std::nullopt);
        updater.removeLeftovers();
        QVERIFY(!QFileInfo::exists(previous));
        QCOMPARE(m_log, QStringList{QStringLiteral("Removed leftover ") + previous});
        checkNothingLeft(folder);
    }

    // The kept copy started by hand from its own place is the one beside
    // itself: it stays, whatever its age.
    m_log.clear();
    QVERIFY(shell(QStringLiteral("cp -a %1 %2").arg(quoted(m_f->makeBundle(QStringLiteral("kept-by-hand"), older)), quoted(previous))));
    e = environment(previous);
    e.clock = [now] { return now.addDays(30); };
    Updater byHand(e);
    QCOMPARE(byHand.keptCopy(), std::nullopt);
    byHand.removeLeftovers();
    QVERIFY(QFileInfo::exists(previous + QStringLiteral("/Contents/Info.plist")));
    QVERIFY(QFileInfo::exists(bundle + QStringLiteral("/Contents/Info.plist")));
    QCOMPARE(m_log, QStringList{QStringLiteral("Running the previous version kept at %1; it is left in place").arg(previous)});
}

void tst_InstallPipeline::revertsToTheKeptCopy()
{
    const QString folder = m_env.root() + QStringLiteral("/revert");
    const QString bundle = installedCopy(folder);
    const QString previous = folder + QStringLiteral("/.Ferrowhistle-previous.app");
    SigningFixture::BundleOptions older;
    older.build = 99;
    const QString kept = m_f->makeBundle(QStringLiteral("revert-99"), older);
    signAndNotarize(kept);
    QVERIFY(shell(QStringLiteral("cp -a %1 %2").arg(quoted(kept), quoted(previous))));
    const QMap<QString, QByteArray> keptTree = snapshotTree(previous);

    // Another program holds the settings through the revert and adds a
    // build of its own to the reverted list meanwhile: both stay.
    const DefaultsStore settings = DefaultsStore::standard();
    settings.setValue(UpdaterDefaults::revertedBuildsKey(), QStringLiteral("50"));
    UniqueFd held(::open(QFile::encodeName(settings.path() + QStringLiteral(".lock")).constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    QVERIFY(held.valid());
    QCOMPARE(::flock(held.get(), LOCK_EX), 0);

    Updater updater(environment(bundle));
    QStringList texts;
    connect(&updater, &Updater::changed, this, [&] {
        if (updater.state().kind() == State::Kind::installing)
            texts << updater.state().text();
    });
    m_terminated = 0;
    updater.revert();
    updater.revert(); // ignored while the first runs
    QTRY_VERIFY_WITH_TIMEOUT(m_terminated == 1 || updater.state().kind() == State::Kind::failed, 120000);
    QVERIFY2(m_terminated == 1, qPrintable(updater.state().text()));
    QCOMPARE(texts, (QStringList{QStringLiteral("Checking 1.99\u2026"), QStringLiteral("Reverting to 1.99\u2026")}));
    QCOMPARE(snapshotTree(bundle), keptTree);
    // The copy left is kept until the older one has shown that it starts.
    QCOMPARE(VersionRules::buildOfBundle(Bundle::atPath(previous)), 100);
    checkNothingLeft(folder);
    QCOMPARE(m_log, (QStringList{QStringLiteral("Reverting from 1.100 (100) to 1.99 (99)"),
                                 QStringLiteral("Reverted to 1.99 (99); relaunching")}));
    const DefaultsStore theirs(m_env.root() + QStringLiteral("/their-settings/defaults.plist"));
    theirs.setValue(UpdaterDefaults::revertedBuildsKey(), QStringLiteral("50 77"));
    QVERIFY(QFile::remove(settings.path()) && QFile::copy(theirs.path(), settings.path()));
    held.reset();
    QVERIFY(DefaultsWriter::shared().waitUntilWritten(settings.path(), std::chrono::minutes(2)));
    QCOMPARE(settings.string(UpdaterDefaults::revertedBuildsKey()), QStringLiteral("50 77 100"));
    // What the watch does once the older copy has started.
    QVERIFY(PreviousCopy::discard(previous));

    // Nothing kept now: the revert says so and changes nothing.
    Updater after(environment(bundle));
    after.revert();
    QTRY_COMPARE_WITH_TIMEOUT(after.state().kind(), State::Kind::failed, 60000);
    QCOMPARE(after.state().text(), QStringLiteral("No previous version of Ferrowhistle is kept, so there is nothing to revert to."));
    QCOMPARE(snapshotTree(bundle), keptTree);
}

// Its build is lower, which is the point; everything else is checked as
// for a download, and a refusal moves nothing.
void tst_InstallPipeline::revertRefusesAKeptCopyThatFailsItsChecks_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("expected");
    QTest::newRow("unsigned") << QStringLiteral("unsigned")
                              << QStringLiteral("The kept copy of Ferrowhistle 1.99 isn't signed by Ferrowhistle's developer (");
    QTest::newRow("tampered") << QStringLiteral("tampered")
                              << QStringLiteral("The kept copy of Ferrowhistle 1.99 isn't signed by Ferrowhistle's developer (");
    QTest::newRow("not notarized") << QStringLiteral("not notarized")
                                   << QStringLiteral("Gatekeeper didn't accept the kept copy of Ferrowhistle 1.99 as notarized, so it wasn't put back.");
    QTest::newRow("another identifier") << QStringLiteral("another identifier")
                                        << QStringLiteral("The kept copy of Ferrowhistle 1.99 isn't signed by Ferrowhistle's developer (");
}

void tst_InstallPipeline::revertRefusesAKeptCopyThatFailsItsChecks()
{
    QFETCH(QString, kind);
    QFETCH(QString, expected);
    const QString folder = m_env.root() + QStringLiteral("/revert-") + QString(kind).replace(u' ', u'-');
    const QString bundle = installedCopy(folder);
    const QString previous = folder + QStringLiteral("/.Ferrowhistle-previous.app");
    SigningFixture::BundleOptions older;
    older.build = 99;
    if (kind == u"another identifier")
        older.identifier = QStringLiteral("com.example.Other");
    const QString kept = m_f->makeBundle(QStringLiteral("revert-") + QString(kind).replace(u' ', u'-'), older);
    if (kind == u"not notarized")
        signBundle(kept, m_f->developer.identityPem());
    else if (kind != u"unsigned")
        signAndNotarize(kept);
    if (kind == u"tampered")
        writeBytes(kept + QStringLiteral("/Contents/Resources/build-info.json"), "{}");
    QVERIFY(shell(QStringLiteral("cp -a %1 %2").arg(quoted(kept), quoted(previous))));
    const QMap<QString, QByteArray> installedTree = snapshotTree(bundle);
    const QMap<QString, QByteArray> keptTree = snapshotTree(previous);

    m_terminated = 0;
    Updater updater(environment(bundle));
    updater.revert();
    QTRY_COMPARE_WITH_TIMEOUT(updater.state().kind(), State::Kind::failed, 120000);
    QVERIFY2(updater.state().text().startsWith(expected), qPrintable(updater.state().text()));
    QCOMPARE(m_log.last(), QStringLiteral("Revert failed: ") + updater.state().text());
    QCOMPARE(m_terminated, 0);
    QCOMPARE(snapshotTree(bundle), installedTree);
    QCOMPARE(snapshotTree(previous), keptTree);
}

void tst_InstallPipeline::refusals_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<bool>("prefixOnly");
    auto row = [](const char *kind, const QString &expected, bool prefix = false) { QTest::newRow(kind) << kind << expected << prefix; };
    row("checksum", QStringLiteral("The download doesn't match the published checksum") + kTail);
    row("checksum with a trailing space", QStringLiteral("The download doesn't match the published checksum") + kTail);
    row("HTTP 404", QStringLiteral("The download failed (HTTP 404)."));
    row("HTTP 500", QStringLiteral("The download failed (HTTP 500)."));
    row("not HTTP", QString(), true);
    row("empty", QStringLiteral("The download was an unexpected size (0 bytes)."));
    row("200 MiB exactly", QStringLiteral("The download doesn't match the published checksum") + kTail);
    row("200 MiB and one byte", QStringLiteral("The download was an unexpected size (209715201 bytes)."));
    row("endless without a length", QStringLiteral("The download was an unexpected size ("), true);
    row("bundle of another name", QStringLiteral("The download doesn't contain Ferrowhistle.app."));
    row("another team", kNotOurs, true);
    row("another authority", kNotOurs, true);
    row("tampered after signing", kNotOurs + QStringLiteral("a sealed resource is missing or invalid: Contents/Resources/build-info.json was modified)") + kTail);
    row("unsigned", kNotOurs, true);
    row("another identifier", kNotOurs, true);
    row("not notarized", QStringLiteral("Gatekeeper didn't accept the download as notarized") + kTail);
    row("not newer", QStringLiteral("The download isn't a newer build of Ferrowhistle."));
    row("needs a missing library", QStringLiteral("The download's Contents/bin/helper needs libferrowhistle-missing.so.1, which neither "
                                                  "the download nor this computer has") + kTail);
    row("needs a newer C library", QStringLiteral("The download's Contents/bin/helper needs GLIBC_99.0 of libc.so.6, which this computer's "),
        true);
    row("zip-slip", QStringLiteral("The download holds an entry that climbs out of its folder (Ferrowhistle.app/../../../evil)") + kTail);
    row("disk image", QStringLiteral("Ferrowhistle is running from the disk image, so it can't update itself. Move it to Applications first."));
    row("unwritable folder", QStringLiteral("Ferrowhistle can't replace itself in FOLDER. Ask for the new version's DMG and install it by hand."));
    row("the kept copy", QStringLiteral("This is the copy of Ferrowhistle kept from before the last update, so it can't update itself. "
                                        "Start the installed copy in FOLDER instead."));
}

void tst_InstallPipeline::refusals()
{
    QFETCH(QString, kind);
    QFETCH(QString, expected);
    QFETCH(bool, prefixOnly);
    using Server = LoopbackHttpsServer;

    QByteArray body = goodZip();
    QString sha;
    QByteArray answer;
    auto withSha = [&] { answer = Server::response(200, body); };
    const QString root = m_env.root() + QStringLiteral("/refusal%1").arg(++m_n);
    QString folder = root + QStringLiteral("/Applications");
    Updater::Environment env;
    std::unique_ptr<ReadOnlyFolder> readOnly;
    QString bundle;

    if (kind == QLatin1String("checksum")) {
        withSha();
        sha = sha256("something else");
    } else if (kind == QLatin1String("checksum with a trailing space")) {
        withSha();
        sha = sha256(body) + u' ';
    } else if (kind == QLatin1String("HTTP 404")) {
        answer = Server::response(404, "not here");
    } else if (kind == QLatin1String("HTTP 500")) {
        answer = Server::response(500, body);
    } else if (kind == QLatin1String("not HTTP")) {
        answer = "SSH-2.0-OpenSSH\r\n\r\n";
    } else if (kind == QLatin1String("empty")) {
        body.clear();
        withSha();
    } else if (kind.startsWith(QLatin1String("200 MiB"))) {
        body = QByteArray(Updater::kMaxArchiveBytes + (kind.endsWith(QLatin1String("byte")) ? 1 : 0), 'z');
        withSha();
        sha = sha256("not the big one");
    } else if (kind == QLatin1String("endless without a length")) {
        answer = "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n" + QByteArray(Updater::kMaxArchiveBytes + 4 * 1024 * 1024, 'e');
    } else if (kind == QLatin1String("bundle of another name")) {
        body = zipOf(kind, [this](const QString &app) { signAndNotarize(app); }, 101, QStringLiteral("Other.app"));
        withSha();
    } else if (kind == QLatin1String("another team")) {
        body = zipOf(kind, [this](const QString &app) {
            signBundle(app, m_f->otherTeam.identityPem());
            notarizeBundle(app, m_f->notary.identityPem());
        });
        withSha();
    } else if (kind == QLatin1String("another authority")) {
        body = zipOf(kind, [this](const QString &app) {
            CertificateRequest r;
            r.commonName = QStringLiteral("Developer ID Application: Test");
            r.team = QLatin1String(SigningFixture::kTeam);
            signBundle(app, DevelopmentCA::issue(m_f->strangerCA.identityPem(), r).identityPem());
            notarizeBundle(app, m_f->notary.identityPem());
        });
        withSha();
    } else if (kind == QLatin1String("tampered after signing")) {
        body = zipOf(kind, [this](const QString &app) {
            signAndNotarize(app);
            writeBytes(app + QStringLiteral("/Contents/Resources/build-info.json"), "{}");
        });
        withSha();
    } else if (kind == QLatin1String("unsigned")) {
        body = zipOf(kind, [](const QString &) {});
        withSha();
    } else if (kind == QLatin1String("another identifier")) {
        body = zipOf(kind, [this](const QString &app) {
            writeBytes(app + QStringLiteral("/Contents/Info.plist"),
                       fileBytes(app + QStringLiteral("/Contents/Info.plist")).replace("com.copperkestrel.Ferrowhistle", "org.example.Other"));
            signAndNotarize(app);
        });
        withSha();
    } else if (kind == QLatin1String("not notarized")) {
        body = zipOf(kind, [this](const QString &app) { signBundle(app, m_f->developer.identityPem()); });
        withSha();
    } else if (kind == QLatin1String("not newer")) {
        body = zipOf(kind, [this](const QString &app) { signAndNotarize(app); }, 100);
        withSha();
    } else if (kind.startsWith(QLatin1String("needs a"))) {
        // Signed, notarized, the newer build: only its program can't be loaded here.
        body = zipOf(kind, [this, kind](const QString &app) {
            const QString helper = app + QStringLiteral("/Contents/bin/helper");
            QString problem;
            if (kind.endsWith(QLatin1String("library")) && kind.contains(QLatin1String("missing")))
                problem = patchedCopy(smallSystemProgram(), helper, {QStringLiteral("--add-needed"), QStringLiteral("libferrowhistle-missing.so.1")});
            else if ((problem = patchedCopy(smallSystemProgram(), helper, {})).isEmpty())
                problem = renameString(helper, "GLIBC_2.34", "GLIBC_99.0");
            if (!problem.isEmpty())
                qFatal("%s", qPrintable(problem));
            signAndNotarize(app);
        });
        withSha();
    } else if (kind == QLatin1String("zip-slip")) {
        const QString zip = root + QStringLiteral("/slip.zip");
        QDir().mkpath(root);
        QCOMPARE(writeZip(zip, {zipFile("Ferrowhistle.app/Contents/Info.plist", "x"), zipFile("Ferrowhistle.app/../../../evil", "x")}), QString());
        body = fileBytes(zip);
        withSha();
    } else if (kind == QLatin1String("disk image")) {
        folder = root + QStringLiteral("/media/usb");
        env.mediaPrefixes = {root + QStringLiteral("/media/")};
        withSha();
    } else if (kind == QLatin1String("unwritable folder")) {
        folder = root + QStringLiteral("/ro");
        readOnly = std::make_unique<ReadOnlyFolder>(folder, m_running);
        QVERIFY2(readOnly->error().isEmpty(), qPrintable(readOnly->error()));
        bundle = folder + QStringLiteral("/Ferrowhistle.app");
        expected.replace(QLatin1String("FOLDER"), folder);
        withSha();
    } else if (kind == QLatin1String("the kept copy")) {
        // Started by hand from its place beside the installed copy.
        installedCopy(folder);
        bundle = folder + QStringLiteral("/.Ferrowhistle-previous.app");
        QVERIFY(QDir(folder).rename(QStringLiteral("Ferrowhistle.app"), QStringLiteral(".Ferrowhistle-previous.app")));
        installedCopy(folder);
        expected.replace(QLatin1String("FOLDER"), folder);
        withSha();
    }
    if (bundle.isEmpty())
        bundle = installedCopy(folder);
    m_server->serve(answer);

    Updater::Environment e = environment(bundle);
    if (!env.mediaPrefixes.isEmpty() && kind == QLatin1String("disk image"))
        e.mediaPrefixes = env.mediaPrefixes;
    Updater updater(e);
    const QMap<QString, QByteArray> before = snapshotTree(bundle);
    const QString outcome = installOutcome(updater, releaseFor(body, sha));

    if (prefixOnly)
        QVERIFY2(outcome.startsWith(expected) && !outcome.isEmpty(), qPrintable(outcome));
    else
        QCOMPARE(outcome, expected);
    QCOMPARE(m_terminated, 0);
    QCOMPARE(m_log.first(), QStringLiteral("Installing update 1.101 (101)"));
    QCOMPARE(m_log.last(), QStringLiteral("Update failed: ") + outcome);
    QCOMPARE(snapshotTree(bundle), before);
    checkNothingLeft(folder);
    QVERIFY(!QFileInfo::exists(root + QStringLiteral("/evil")));
    QVERIFY(!QFileInfo::exists(m_env.root() + QStringLiteral("/evil")));
    // The refusals of where the copy runs come before any download.
    if (kind == QLatin1String("disk image") || kind == QLatin1String("unwritable folder") || kind == QLatin1String("the kept copy"))
        QCOMPARE(m_server->requests.size(), 0);
}

void tst_InstallPipeline::interruptedSwapLeavesWholeBundle_data()
{
    QTest::addColumn<int>("step");
    QTest::addColumn<bool>("fallback");
    QTest::addColumn<QString>("expect"); // old, new or aside
    QTest::newRow("before the exchange") << int(AtomicSwap::Step::BeforeExchange) << false << "old";
    QTest::newRow("after the exchange") << int(AtomicSwap::Step::AfterExchange) << false << "new";
    QTest::newRow("before moving aside") << int(AtomicSwap::Step::BeforeMoveAside) << true << "old";
    // The one moment the fallback leaves the path empty: the old copy is
    // whole beside it, and the sweep leaves it for the user to restore.
    QTest::newRow("between the moves") << int(AtomicSwap::Step::BeforeMoveIn) << true << "aside";
    QTest::newRow("after moving in") << int(AtomicSwap::Step::AfterMoveIn) << true << "new";
}

void tst_InstallPipeline::interruptedSwapLeavesWholeBundle()
{
    QFETCH(int, step);
    QFETCH(bool, fallback);
    QFETCH(QString, expect);
    const QString folder = m_env.root() + QStringLiteral("/swap%1").arg(++m_n);
    const QString bundle = installedCopy(folder);
    const QString staging = folder + QStringLiteral("/.Ferrowhistle-update-1234");
    QVERIFY(shell(QStringLiteral("mkdir %1 && cp -a %2 %1/").arg(quoted(staging), quoted(m_f->root() + QStringLiteral("/cand-good/Ferrowhistle.app")))));
    const QString candidate = staging + QStringLiteral("/Ferrowhistle.app");
    const QString aside = folder + QStringLiteral("/.Ferrowhistle-kept-1234.app");
    const auto oldTree = snapshotTree(bundle);
    const auto newTree = snapshotTree(candidate);

    // A child process stops dead at the step, as a kill would stop the app.
    QProcess child;
    child.start(QCoreApplication::applicationFilePath(),
                {QStringLiteral("--swap-child"), QString::number(step), fallback ? QStringLiteral("1") : QStringLiteral("0"),
                 bundle, candidate, aside});
    QVERIFY(child.waitForFinished(60000));
    QCOMPARE(child.exitStatus(), QProcess::CrashExit);

    if (expect == QLatin1String("old"))
        QCOMPARE(snapshotTree(bundle), oldTree);
    else if (expect == QLatin1String("new"))
        QCOMPARE(snapshotTree(bundle), newTree);
    else
        QCOMPARE(snapshotTree(aside), oldTree);

    // The next start sweeps what is left beside the bundle and in the
    // temporary directory, by the prefixes alone.
    const QString temp = m_env.tmpDir() + QStringLiteral("/ferrowhistle-%1").arg(::geteuid());
    QDir().mkpath(temp + QStringLiteral("/Ferrowhistle-update-ABC/x"));
    QDir().mkpath(temp + QStringLiteral("/.Ferrowhistle-update-kept"));
    QDir().mkpath(folder + QStringLiteral("/.Ferrowhistle-move-XYZ.app/Contents"));
    QDir().mkpath(folder + QStringLiteral("/Ferrowhistle-update-kept"));
    m_log.clear();
    Updater(environment(bundle)).removeLeftovers();
    QStringList removed = m_log;
    removed.sort();
    QStringList expected{QStringLiteral("Removed leftover ") + staging,
                         QStringLiteral("Removed leftover ") + folder + QStringLiteral("/.Ferrowhistle-move-XYZ.app"),
                         QStringLiteral("Removed leftover ") + temp + QStringLiteral("/Ferrowhistle-update-ABC")};
    expected.sort();
    QCOMPARE(removed, expected);
    QVERIFY(!QFileInfo::exists(staging));
    QVERIFY(QFileInfo::exists(folder + QStringLiteral("/Ferrowhistle-update-kept")));
    QVERIFY(QFileInfo::exists(temp + QStringLiteral("/.Ferrowhistle-update-kept")));
    // The only copy of the old bundle, should the process have died between
    // the moves, is left to the user.
    if (expect == QLatin1String("aside"))
        QCOMPARE(snapshotTree(aside), oldTree);
    else
        QVERIFY(QFileInfo::exists(bundle + QStringLiteral("/Contents/Info.plist")));

    // A read-only folder beside a copy on a mounted image refuses quietly.
    const QString media = m_env.root() + QStringLiteral("/ro-media%1").arg(m_n);
    QDir().mkpath(m_f->root() + QStringLiteral("/ro-src/.Ferrowhistle-update-stuck"));
    {
        ReadOnlyFolder ro(media, m_f->root() + QStringLiteral("/ro-src/.Ferrowhistle-update-stuck"));
        QVERIFY2(ro.error().isEmpty(), qPrintable(ro.error()));
        m_log.clear();
        Updater(environment(media + QStringLiteral("/Ferrowhistle.app"))).removeLeftovers();
        QCOMPARE(m_log, QStringList());
        QVERIFY(QFileInfo::exists(media + QStringLiteral("/.Ferrowhistle-update-stuck")));
    }
}

void tst_InstallPipeline::runToolReportsStatus()
{
    auto outcome = [](const QString &program, const QStringList &args) {
        QString result = QStringLiteral("ok");
        bool done = false;
        [](QString p, QStringList a, QString &result, bool &done) -> QCoro::Task<> {
            try {
                co_await Updater::runTool(p, a);
            } catch (const UpdaterFailure &f) {
                result = f.message();
            } catch (const PlatformError &e) {
                result = QStringLiteral("platform: ") + e.localizedDescription();
            }
            done = true;
        }(program, args, result, done);
        [&] { QTRY_VERIFY_WITH_TIMEOUT(done, 30000); }();
        return result;
    };
    QCOMPARE(outcome(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), QStringLiteral("echo noise; echo more >&2; exit 0")}), QStringLiteral("ok"));
    QCOMPARE(outcome(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), QStringLiteral("exit 7")}), QStringLiteral("sh exited with status 7."));
    QVERIFY(outcome(m_env.root() + QStringLiteral("/no-such-tool"), {}).startsWith(QStringLiteral("platform: ")));
    // The tool reads nothing of ours: its input is the null device.
    QCOMPARE(outcome(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), QStringLiteral("[ \"$(readlink /proc/self/fd/0)\" = /dev/null ]")}),
             QStringLiteral("ok"));
}

// An assessment tool that never ends is stopped at its limit; the install
// fails with a sentence that says so, and the next one is not held up.
void tst_InstallPipeline::hungAssessmentIsStoppedAndTheNextInstallRuns()
{
    const QByteArray zip = goodZip();
    m_server->serve(LoopbackHttpsServer::response(200, zip));
    const QString folder = m_env.root() + QStringLiteral("/hung");
    const QString bundle = installedCopy(folder);
    const QString tool = bundle + QStringLiteral("/Contents/bin/ferrowhistle-assess");
    const QByteArray shipped = fileBytes(tool);
    const QString pidFile = m_env.root() + QStringLiteral("/hung-tool.pid");
    writeBytes(tool, QStringLiteral("#!/bin/sh\necho $$ > '%1'\nexec sleep 600\n").arg(pidFile).toUtf8());
    const QMap<QString, QByteArray> before = snapshotTree(bundle);

    Updater::Environment e = environment(bundle);
    e.toolTimeLimit = std::chrono::seconds(2);
    Updater updater(e);
    m_terminated = 0;
    updater.install(releaseFor(zip));
    // The start-up sweep, should it come while this install runs (a check
    // asked for at once can start one before it), leaves the install's own
    // folders alone.
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(pidFile), 60000);
    const QStringList staging = entriesWithPrefix(folder, QStringLiteral(".Ferrowhistle-update-"));
    QCOMPARE(staging.size(), 1);
    updater.removeLeftovers();
    QVERIFY(QFileInfo::exists(folder + u'/' + staging.first() + QStringLiteral("/Ferrowhistle.app/Contents/Info.plist")));
    QVERIFY(m_log.filter(QStringLiteral("Removed leftover")).isEmpty());
    QTRY_VERIFY_WITH_TIMEOUT(updater.state().kind() == State::Kind::failed, 60000);
    QCOMPARE(updater.state().text(),
             QStringLiteral("Gatekeeper didn't finish checking the download within 2 seconds, so it wasn't installed."));
    QCOMPARE(snapshotTree(bundle), before);
    checkNothingLeft(folder);
    const QByteArray pid = fileBytes(pidFile).trimmed();
    QVERIFY(!pid.isEmpty());
    QVERIFY2(!QFileInfo::exists(QStringLiteral("/proc/") + QString::fromLatin1(pid)), pid.constData());

    writeBytes(tool, shipped);
    QCOMPARE(installOutcome(updater, releaseFor(zip)), QString());
    QCOMPARE(Bundle::atPath(bundle).infoString(QStringLiteral("CFBundleVersion")), QStringLiteral("101"));
}

void tst_InstallPipeline::aKeptCopyCheckThatHangsStillRelaunches_data()
{
    QTest::addColumn<int>("toolSeconds");
    QTest::addColumn<int>("checkSeconds");
    QTest::addColumn<QString>("why");
    QTest::newRow("its assessment is stopped at the tool's limit")
        << 2 << 600 << "Gatekeeper didn't finish checking it within 2 seconds";
    QTest::newRow("the check outlasts its own limit") << 600 << 2 << "its check didn't finish within 2 seconds";
}

// After the swap the kept copy is checked before its program watches the
// new copy's start. A check that hangs counts as failed: the new copy is
// relaunched, unwatched, rather than the install failing with the new copy
// in place and nothing started.
void tst_InstallPipeline::aKeptCopyCheckThatHangsStillRelaunches()
{
    QFETCH(int, toolSeconds);
    QFETCH(int, checkSeconds);
    QFETCH(QString, why);
    const QByteArray zip = goodZip();
    m_server->serve(LoopbackHttpsServer::response(200, zip));

    // A running copy whose assessment tool judges downloads as shipped but
    // never ends for the kept copy; signed with it in place.
    const QString name = QStringLiteral("kept-check-%1").arg(++m_n);
    const QString made = m_f->makeBundle(name);
    const QString bin = made + QStringLiteral("/Contents/bin/");
    QVERIFY(QFile::copy(QStringLiteral(FW_BUNDLE_DIR "/Contents/bin/ferrowhistle-assess"), bin + QStringLiteral("assess-shipped")));
    const QString pidFile = m_env.root() + u'/' + name + QStringLiteral(".pid");
    writeBytes(bin + QStringLiteral("ferrowhistle-assess"),
               QStringLiteral("#!/bin/sh\nfor a; do last=$a; done\ncase \"$last\" in\n"
                              "*/.Ferrowhistle-previous.app) echo $$ > '%1'; exec sleep 600;;\nesac\n"
                              "exec \"$(dirname \"$0\")/assess-shipped\" \"$@\"\n")
                   .arg(pidFile)
                   .toUtf8());
    QVERIFY(shell(QStringLiteral("chmod 755 %1*").arg(quoted(bin))));
    signAndNotarize(made);
    const QString folder = m_env.root() + u'/' + name;
    QVERIFY(shell(QStringLiteral("mkdir -p %1 && cp -a %2 %1/").arg(quoted(folder), quoted(made))));
    const QString bundle = folder + QStringLiteral("/Ferrowhistle.app");

    Updater::Environment e = environment(bundle);
    e.toolTimeLimit = std::chrono::seconds(toolSeconds);
    e.keptCopyCheckLimit = std::chrono::seconds(checkSeconds);
    Updater updater(e);
    QCOMPARE(installOutcome(updater, releaseFor(zip)), QString());
    QCOMPARE(m_terminated, 1);
    QCOMPARE(Bundle::atPath(bundle).infoString(QStringLiteral("CFBundleVersion")), QStringLiteral("101"));
    const QString previous = folder + QStringLiteral("/.Ferrowhistle-previous.app");
    QCOMPARE(m_log.last(), QStringLiteral("The kept copy at %1 failed its check (%2), so the start of %3 isn't watched")
                               .arg(previous, why, bundle));
    QVERIFY(QFileInfo::exists(previous + QStringLiteral("/Contents/Info.plist")));
    checkNothingLeft(folder);

    // The tool outlasting the check is stopped here; the app's own limit on
    // it is longer than the check's.
    const QByteArray pid = fileBytes(pidFile).trimmed();
    QVERIFY(!pid.isEmpty());
    if (toolSeconds > checkSeconds)
        ::kill(pid.toInt(), SIGKILL);
    QTRY_VERIFY_WITH_TIMEOUT(!QFileInfo::exists(QStringLiteral("/proc/") + QString::fromLatin1(pid)), 60000);
}

// Copies a fallback swap set aside go once a whole, verified copy runs at
// the installed path; a copy started by hand from such a name, or from the
// kept copy's place, sweeps none of them: the one it runs from may be the
// only copy of the installed build.
void tst_InstallPipeline::setAsideCopiesGoOnlyFromTheInstalledPath()
{
    const QString folder = m_env.root() + QStringLiteral("/set-aside");
    const QString bundle = installedCopy(folder);
    const QString aside = folder + QStringLiteral("/.Ferrowhistle-kept-A1.app");
    const QString other = folder + QStringLiteral("/.Ferrowhistle-kept-B2.app");
    const QString previous = folder + QStringLiteral("/.Ferrowhistle-previous.app");
    for (const QString &copy : {aside, other, previous})
        QVERIFY(shell(QStringLiteral("cp -a %1 %2").arg(quoted(bundle), quoted(copy))));
    QVERIFY(shell(QStringLiteral("rm -rf %1").arg(quoted(bundle))));
    const QMap<QString, QByteArray> tree = snapshotTree(aside);

    for (const QString &byHand : {aside, previous}) {
        Updater updater(environment(byHand));
        QCoro::Task<> sweep = updater.removeRedundantSetAsideCopies();
        QTRY_VERIFY_WITH_TIMEOUT(sweep.isReady(), 60000);
    }
    QCOMPARE(snapshotTree(aside), tree);
    QCOMPARE(snapshotTree(other), tree);

    // From the installed path, once it holds a whole copy again, they go.
    QVERIFY(shell(QStringLiteral("cp -a %1 %2").arg(quoted(previous), quoted(bundle))));
    Updater updater(environment(bundle));
    QCoro::Task<> sweep = updater.removeRedundantSetAsideCopies();
    QTRY_VERIFY_WITH_TIMEOUT(sweep.isReady(), 60000);
    QVERIFY(!QFileInfo::exists(aside) && !QFileInfo::exists(other));
    QVERIFY(m_log.contains(QStringLiteral("Removed %1, set aside by an earlier swap: a whole, verified copy runs at %2").arg(aside, bundle)));
}

const tst_InstallPipeline::DeltaRelease &tst_InstallPipeline::deltaRelease()
{
    if (m_deltaRelease)
        return *m_deltaRelease;
    const QString dir = m_f->root() + QStringLiteral("/delta-101");
    QDir().mkpath(dir);
    DeltaRelease r;
    r.app = dir + QStringLiteral("/Ferrowhistle.app");
    copyTree(m_running, r.app);
    QDir(r.app + QStringLiteral("/Contents/_CodeSignature")).removeRecursively();
    const QString plist = r.app + QStringLiteral("/Contents/Info.plist");
    writeBytes(plist, readBytes(plist).replace("<string>100</string>", "<string>101</string>"));
    const QString exe = r.app + QStringLiteral("/Contents/bin/Ferrowhistle");
    writeBytes(exe, readBytes(exe).replace(1000, 4, "EDIT"));
    ::chmod(QFile::encodeName(exe).constData(), 0755);
    writeBytes(r.app + QStringLiteral("/Contents/Resources/added.txt"), "new\n");
    QFile::remove(r.app + QStringLiteral("/Contents/Resources/build-info.json"));
    ::chmod(QFile::encodeName(r.app + QStringLiteral("/Contents/Resources/icons/ferrowhistle-16.png")).constData(), 0600);
    signAndNotarize(r.app);
    if (!shell(QStringLiteral("zip -qry release.zip Ferrowhistle.app"), dir))
        qFatal("zip failed");
    r.zip = fileBytes(dir + QStringLiteral("/release.zip"));
    BundleDelta::write(m_running, r.app, dir + QStringLiteral("/update.delta"));
    r.delta = fileBytes(dir + QStringLiteral("/update.delta"));
    m_deltaRelease = r;
    return *m_deltaRelease;
}

void tst_InstallPipeline::installsFromADelta()
{
    const DeltaRelease &d = deltaRelease();
    m_server->handler = [&d](const LoopbackHttpsServer::Request &r) {
        return LoopbackHttpsServer::Answer{LoopbackHttpsServer::response(200, r.path.endsWith(".delta") ? d.delta : d.zip)};
    };
    const QString folder = m_env.root() + QStringLiteral("/Applications-delta");
    const QString bundle = installedCopy(folder);
    Updater updater(environment(bundle));
    QStringList texts;
    connect(&updater, &Updater::changed, this, [&] {
        if (updater.state().kind() == State::Kind::installing && (texts.isEmpty() || texts.last() != updater.state().text()))
            texts << updater.state().text();
    });
    Updater::Release release = releaseFor(d.zip);
    release.deltas = {{99, m_server->url(QStringLiteral("/from-99.delta")), sha256("other"), 5},
                      {100, m_server->url(QStringLiteral("/F.delta")), sha256(d.delta), d.delta.size()}};
    QCOMPARE(installOutcome(updater, release), QString());

    QCOMPARE(snapshotTree(bundle), snapshotTree(d.app));
    QCOMPARE(m_server->requests.size(), 1);
    QCOMPARE(m_server->requests.first().path, QByteArray("/F.delta"));
    QVERIFY2(m_log.contains(QStringLiteral("Made the update from the delta for build 100 (%1 bytes)").arg(d.delta.size())),
             qPrintable(m_log.join(u'|')));
    QVERIFY(m_log.filter(QStringLiteral("whole archive")).isEmpty());
    QCOMPARE(texts, (QStringList{QStringLiteral("Downloading 1.101\u2026"), QStringLiteral("Checking the download\u2026"),
                                 QStringLiteral("Installing 1.101\u2026")}));
    checkNothingLeft(folder);
}

void tst_InstallPipeline::aDeltaThatCannotBeUsedFallsBackToTheArchive_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QString>("reason");
    QTest::addColumn<bool>("deltaFetched");
    QTest::newRow("changed installed program") << QStringLiteral("stripped")
                                               << QStringLiteral("the installed copy doesn't match its seal (") << false;
    QTest::newRow("no delta for this build") << QStringLiteral("other build") << QStringLiteral("no delta from build 100 is offered")
                                             << false;
    QTest::newRow("wrong digest") << QStringLiteral("digest") << QStringLiteral("the delta doesn't match its published checksum")
                                  << true;
    QTest::newRow("truncated delta") << QStringLiteral("truncated") << QStringLiteral("the delta is cut short") << true;
    QTest::newRow("longer than published") << QStringLiteral("long") << QStringLiteral("the delta's download didn't complete")
                                           << true;
    QTest::newRow("download fails") << QStringLiteral("404") << QStringLiteral("the delta's download failed (HTTP 404)") << true;
    QTest::newRow("result fails the seal") << QStringLiteral("unsealed")
                                           << QStringLiteral("the delta makes a bundle that doesn't match its seal") << true;
    QTest::newRow("delta for another copy") << QStringLiteral("other copy")
                                            << QStringLiteral("the delta was made for another copy of build 100") << true;
}

void tst_InstallPipeline::aDeltaThatCannotBeUsedFallsBackToTheArchive()
{
    QFETCH(QString, fault);
    QFETCH(QString, reason);
    QFETCH(bool, deltaFetched);
    const DeltaRelease &d = deltaRelease();
    QByteArray served = d.delta;
    QByteArray published = d.delta;
    qint64 build = 100;
    if (fault == u"digest") {
        published[published.size() / 2] = char(published[published.size() / 2] ^ 1);
    } else if (fault == u"truncated") {
        served = published = d.delta.left(d.delta.size() / 2);
    } else if (fault == u"long") {
        published = d.delta.left(d.delta.size() - 1);
    } else if (fault == u"other build") {
        build = 99;
    } else if (fault == u"unsealed" || fault == u"other copy") {
        // The new signature over the old files: every record but the
        // signature folder's left out.
        const QString sig = d.app + QStringLiteral("/Contents/_CodeSignature/");
        QByteArray records;
        auto text = [&records](const QByteArray &b) {
            for (int i = 0; i < 4; ++i)
                records += char((quint32(b.size()) >> (8 * i)) & 0xff);
            records += b;
        };
        for (const char *name : {"CodeResources", "CodeSignature", "Notarization"}) {
            records += 'S';
            text(name);
            text(readBytes(sig + QLatin1String(name)));
        }
        records += 'E';
        QByteArray frame(qsizetype(ZSTD_compressBound(size_t(records.size()))), Qt::Uninitialized);
        frame.truncate(qsizetype(ZSTD_compress(frame.data(), size_t(frame.size()), records.constData(), size_t(records.size()), 3)));
        const DeltaHeader header = BundleDelta::readHeader(m_f->root() + QStringLiteral("/delta-101/update.delta"));
        QByteArray from = header.fromDigest;
        if (fault == u"other copy")
            from[0] = char(from[0] ^ 1);
        served = published = QByteArray("FWDELTA\n") + QByteArray("\x01\x00\x00\x00", 4) + from + header.toDigest + frame;
    }
    m_server->handler = [&](const LoopbackHttpsServer::Request &r) {
        if (r.path.endsWith(".delta"))
            return LoopbackHttpsServer::Answer{fault == u"404" ? LoopbackHttpsServer::response(404, "gone")
                                                               : LoopbackHttpsServer::response(200, served)};
        return LoopbackHttpsServer::Answer{LoopbackHttpsServer::response(200, d.zip)};
    };
    const QString folder = m_env.root() + QStringLiteral("/Applications-fallback-%1").arg(++m_n);
    const QString bundle = installedCopy(folder);
    if (fault == u"stripped") {
        const QString exe = bundle + QStringLiteral("/Contents/bin/Ferrowhistle");
        writeBytes(exe, readBytes(exe).chopped(4096));
    }
    Updater updater(environment(bundle));
    Updater::Release release = releaseFor(d.zip);
    release.deltas = {{build, m_server->url(QStringLiteral("/F.delta")), sha256(published), published.size()}};
    QCOMPARE(installOutcome(updater, release), QString());

    QCOMPARE(snapshotTree(bundle), snapshotTree(d.app));
    const QStringList fallbacks = m_log.filter(QStringLiteral("Installing from the whole archive: "));
    QCOMPARE(fallbacks.size(), 1);
    QVERIFY2(fallbacks.first().startsWith(QStringLiteral("Installing from the whole archive: ") + reason), qPrintable(fallbacks.first()));
    QList<QByteArray> paths;
    for (const LoopbackHttpsServer::Request &r : m_server->requests)
        paths << r.path;
    QCOMPARE(paths, deltaFetched ? (QList<QByteArray>{"/F.delta", "/F.zip"}) : QList<QByteArray>{"/F.zip"});
    checkNothingLeft(folder);
}

// The child of interruptedSwapLeavesWholeBundle: swaps and dies at a step.
static int swapChild(char **argv)
{
    const int stopAt = std::atoi(argv[2]);
    AtomicSwap::forceFallbackForTesting(std::atoi(argv[3]) != 0);
    try {
        AtomicSwap::replace(QString::fromLocal8Bit(argv[4]), QString::fromLocal8Bit(argv[5]), QString::fromLocal8Bit(argv[6]),
                            [stopAt](AtomicSwap::Step s) {
                                if (int(s) == stopAt)
                                    ::kill(::getpid(), SIGKILL);
                            });
    } catch (...) {
        return 3;
    }
    return 0;
}

int main(int argc, char **argv)
{
    if (argc == 7 && std::strcmp(argv[1], "--swap-child") == 0)
        return swapChild(argv);
    QCoreApplication app(argc, argv);
    tst_InstallPipeline test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_InstallPipeline.moc"
