// The watch that the kept copy's program runs after an update or a revert:
// a copy at the path that says it started (the owner of the bus name runs
// the program at the path and answers with this build, or an older build
// writes its record) stays, whichever process runs it; the process the watch
// started that dies, fails while the session is there, cannot be executed,
// or hangs past the limit is ended and the kept copy is exchanged back,
// whole, and started, while the watch holds the bus name. A hand-over, a
// missing session or a failure of the system is no verdict, and nothing the
// watch did not start is ended. Stopped at any step, it leaves a whole bundle
// at the path, and the next start's sweep leaves at most one kept copy,
// never the broken one.

#include "app/StartWatch.h"
#include "location/StartRecord.h"
#include "platform/DefaultsStore.h"
#include "platform/SystemLog.h"
#include "platform/UniqueFd.h"
#include "release/UpdaterDefaults.h"
#include "intent/BusNames.h"
#include "support/FileTrees.h"
#include "support/HeadlessSway.h"
#include "support/PrivateBus.h"
#include "support/TestEnvironment.h"
#include "update/Updater.h"

#include <QDBusConnectionInterface>
#include <QDBusReply>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QtTest>

#include <algorithm>
#include <cstring>
#include <memory>

#include <csignal>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>

#include <sys/stat.h>

using namespace std::chrono_literals;
using Step = StartWatch::Step;
using Outcome = StartWatch::Outcome;

namespace {

struct Stopped {}; // what a hook throws: the watch dies there

void writeFile(const QString &path, const QByteArray &bytes, mode_t mode = 0644)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(bytes);
    f.close();
    ::chmod(QFile::encodeName(path).constData(), mode);
}

// A bundle whose program is a shell script.
void makeBundle(const QString &path, const QString &version, qint64 build, const QByteArray &script)
{
    writeFile(path + QStringLiteral("/Contents/Info.plist"),
              "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict>"
              "<key>CFBundleIdentifier</key><string>com.copperkestrel.Ferrowhistle</string>"
              "<key>CFBundleShortVersionString</key><string>"
                  + version.toUtf8() + "</string><key>CFBundleVersion</key><string>" + QByteArray::number(build)
                  + "</string></dict></plist>");
    writeFile(path + QStringLiteral("/Contents/Resources/notes.txt"), "build " + QByteArray::number(build));
    writeFile(path + QStringLiteral("/Contents/bin/Ferrowhistle"), "#!/bin/sh\n" + script, 0755);
}

// A bundle whose program is the app's stand-in (FakeCopy.cpp), following steps.
void makeFakeBundle(const QString &path, const QString &version, qint64 build, const QByteArray &steps)
{
    makeBundle(path, version, build, "");
    const QString program = path + QStringLiteral("/Contents/bin/Ferrowhistle");
    QFile::remove(program);
    QVERIFY(QFile::copy(QStringLiteral(FW_FAKE_COPY), program));
    ::chmod(QFile::encodeName(program).constData(), 0755);
    writeFile(path + QStringLiteral("/Contents/bin/steps"), steps);
}

// Whether the process runs: there, and not a zombie waiting to be reaped
// (kill(pid, 0) succeeds for one of those too).
bool isRunning(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return false;
    const QByteArray line = stat.readAll();
    const qsizetype end = line.lastIndexOf(')');
    return end > 0 && line.size() > end + 2 && line.at(end + 2) != 'Z' && line.at(end + 2) != 'X';
}

} // namespace

class tst_StartWatch : public QObject {
    Q_OBJECT
    TestEnvironment m_env;
    QStringList m_log;
    QStringList m_started;
    int m_n = 0;
    QString m_folder, m_bundle, m_previous, m_temp;
    QMap<QString, QByteArray> m_oldTree, m_newTree;
    std::unique_ptr<PrivateBus> m_bus;
    QString m_services;

    // The folder and the record a copy at bundle path writes to.
    void prepare(const QString &bundle)
    {
        m_folder = m_env.root() + QStringLiteral("/apps-%1").arg(++m_n);
        m_bundle = m_folder + u'/' + bundle;
        m_previous = m_folder + QStringLiteral("/.Ferrowhistle-previous.app");
        m_temp = m_folder + QStringLiteral("/tmp");
        QVERIFY(QDir().mkpath(m_temp));
    }
    // A line of the fake app's script that records its start as build.
    QByteArray records(qint64 build = 501) const
    {
        return "printf " + QByteArray::number(build) + " > '" + QFile::encodeName(StartRecord::pathFor(m_bundle, m_temp)) + "'\n";
    }
    // An installed 1.1 (501) running `script`, with 1.0 (500) kept beside
    // it; the script's RECORD stands for the line that records the start.
    void install(const QByteArray &script, const QString &bundle = QStringLiteral("Ferrowhistle.app"))
    {
        prepare(bundle);
        makeBundle(m_bundle, QStringLiteral("1.1"), 501, QByteArray(script).replace("RECORD\n", records()));
        makeBundle(m_previous, QStringLiteral("1.0"), 500, "exit 0\n");
        m_oldTree = snapshotTree(m_previous);
        m_newTree = snapshotTree(m_bundle);
    }
    // The same with the app's stand-in at the path.
    void installFake(const QByteArray &steps)
    {
        prepare(QStringLiteral("Ferrowhistle.app"));
        makeFakeBundle(m_bundle, QStringLiteral("1.1"), 501, steps);
        makeBundle(m_previous, QStringLiteral("1.0"), 500, "exit 0\n");
        m_oldTree = snapshotTree(m_previous);
        m_newTree = snapshotTree(m_bundle);
    }
    // The process that owns the app's bus name, 0 when none does.
    qint64 owner() const { return m_bus->appPid(); }
    StartWatch watch()
    {
        StartWatch w;
        w.bundlePath = m_bundle;
        w.build = 501;
        w.limit = 2s;
        w.pollInterval = 10ms;
        w.temporaryFolder = m_temp;
        w.startProgram = [this](const QString &program) {
            m_started << program;
            return true;
        };
        // The fake bundles carry no signature; the check itself is the
        // assessment tool's, tested with real signed bundles end to end.
        w.checkKeptCopy = [](const QString &) { return std::optional<QString>(); };
        return w;
    }
    QString failedBuilds() const
    {
        return DefaultsStore::standard().string(UpdaterDefaults::failedBuildsKey()).value_or(QString());
    }
    // What the next start of the copy at the path does first.
    void nextStart() const
    {
        Updater::Environment e;
        e.bundle = Bundle::atPath(m_bundle);
        Updater(e).removeLeftovers();
    }
    void checkPutBack(const StartWatch &w)
    {
        QCOMPARE(snapshotTree(m_bundle), m_oldTree);
        QVERIFY(!QFileInfo::exists(m_previous));
        QCOMPARE(entriesWithPrefix(m_folder, QStringLiteral(".Ferrowhistle-")), QStringList());
        QCOMPARE(m_started, QStringList{m_bundle + QStringLiteral("/Contents/bin/Ferrowhistle")});
        QVERIFY(m_log.contains(QStringLiteral("Update to 1.1 (501) didn't start, so 1.0 (500) was put back.")));
        QVERIFY(UpdaterDefaults::buildList(failedBuilds()).contains(501));
        QCOMPARE(UpdaterDefaults::parseRolledBack(DefaultsStore::standard().string(UpdaterDefaults::rolledBackKey())),
                 (UpdaterDefaults::RolledBack{501, QStringLiteral("1.1")}));
        // The new copy is gone, not left running.
        if (w.childPid() > 0)
            QVERIFY(!isRunning(w.childPid()));
    }

private Q_SLOTS:
    void initTestCase()
    {
        setSystemLogSink([this](const SystemLogEntry &e) { m_log << e.message; });
        // A bus of the test's own, which the watch and what it starts use,
        // and whose activation the test controls.
        m_services = m_env.root() + QStringLiteral("/services");
        m_bus = std::make_unique<PrivateBus>(m_env.root() + QStringLiteral("/bus"), m_services);
        QVERIFY(m_bus->isRunning());
        qputenv("DBUS_SESSION_BUS_ADDRESS", m_bus->address().toUtf8());
    }
    void cleanupTestCase()
    {
        setSystemLogSink({});
        m_bus.reset();
    }
    void init()
    {
        m_log.clear();
        m_started.clear();
        QFile::remove(DefaultsStore::standardPath());
    }
    void cleanup()
    {
        // Whatever a test left owning the name goes before the next.
        QVERIFY(QTest::qWaitFor([this] {
            const qint64 pid = owner();
            if (pid != 0)
                ::kill(pid_t(pid), SIGKILL);
            return pid == 0;
        }, 30000));
    }

    void aCopyThatRecordsItsStartStays();
    void aBrokenCopyIsPutBack_data();
    void aBrokenCopyIsPutBack();
    void aCopyALaterUpdateReplacedIsNotWatched();
    void aCopyReplacedDuringTheWatchIsNeverSwappedOut();
    void stoppedAtAnyStepLeavesOneWholeBundle_data();
    void stoppedAtAnyStepLeavesOneWholeBundle();
    void theRecordIsTheBuildAndNothingElse();
    void onlyAWaitingWatchGetsARecordAndDeadOnesAreSwept();
    void aHandOverIsNoVerdict();
    void anInstanceTheBusActivatedConfirms();
    void anInstanceThatDoesNotAnswerIsNoVerdict_data();
    void anInstanceThatDoesNotAnswerIsNoVerdict();
    void anOlderBuildsRecordConfirms_data();
    void anOlderBuildsRecordConfirms();
    void onlyARecordsNameIsTakenFromTheEnvironment_data();
    void onlyARecordsNameIsTakenFromTheEnvironment();
    void theBrokenCopyCannotStartDuringTheRollBack();
    void aSpawnThatFailsForWantOfResourcesIsNoVerdict_data();
    void aSpawnThatFailsForWantOfResourcesIsNoVerdict();
    void aLostWaylandDisplayIsNoVerdict_data();
    void aLostWaylandDisplayIsNoVerdict();
    void aKeptCopyCheckThatRunsPastItsLimitFails();
    void aSessionThatFailsIsNoVerdict();
    void oneFailureIsNoVerdict();
    void aHeldSettingsLockNeverHoldsTheSwapBack();
    void aKeptCopyThatFailsItsCheckIsNeverPutBack();
    void aRevertIsWatchedAndTheNewerCopyComesBack();
};

void tst_StartWatch::aCopyThatRecordsItsStartStays()
{
    // It records, runs a while, and quits: the quit is no failure.
    install("RECORD\nsleep 0.3\nexit 3\n");
    StartWatch w = watch();
    QCOMPARE(w.run(), Outcome::Confirmed);
    QCOMPARE(snapshotTree(m_bundle), m_newTree);
    QCOMPARE(snapshotTree(m_previous), m_oldTree);
    QCOMPARE(m_started, QStringList());
    QCOMPARE(failedBuilds(), QString());
    QCOMPARE(m_log, QStringList{QStringLiteral("Update to 1.1 (501) started; 1.0 (500) is kept beside it")});
    // Nothing of the watch is left in the temporary folder.
    QCOMPARE(QDir(m_temp).entryList(QDir::Files | QDir::Hidden), QStringList());
    // Left running, as the app it is, until it quits by itself.
    QVERIFY(isRunning(w.childPid()));
    nextStart();
    QCOMPARE(snapshotTree(m_previous), m_oldTree);
}

void tst_StartWatch::aBrokenCopyIsPutBack_data()
{
    QTest::addColumn<QByteArray>("script");
    QTest::addColumn<QString>("change");
    QTest::addColumn<QString>("reason");
    QTest::newRow("dies of SIGSEGV") << QByteArray("kill -SEGV $$\n") << QString()
                                     << QStringLiteral("it was ended by signal 11 (Segmentation fault) before it had started");
    QTest::newRow("exits before recording") << QByteArray("exit 1\n") << QString()
                                            << QStringLiteral("it exited with status 1 before it had started");
    QTest::newRow("hangs") << QByteArray("exec sleep 600\n") << QString() << QStringLiteral("it hadn't started after 2 seconds");
    QTest::newRow("records another build") << QByteArray("RECORD500\nexec sleep 600\n")
                                           << QString() << QStringLiteral("it hadn't started after 2 seconds");
    QTest::newRow("program missing") << QByteArray("RECORD\n") << QStringLiteral("remove")
                                     << QStringLiteral("its program couldn't be started: No such file or directory");
    QTest::newRow("program not executable") << QByteArray("RECORD\n") << QStringLiteral("chmod")
                                            << QStringLiteral("its program couldn't be started: Permission denied");
}

void tst_StartWatch::aBrokenCopyIsPutBack()
{
    QFETCH(QByteArray, script);
    QFETCH(QString, change);
    QFETCH(QString, reason);
    install(script);
    if (script.startsWith("RECORD500"))
        makeBundle(m_bundle, QStringLiteral("1.1"), 501, records(500) + "exec sleep 600\n");
    m_newTree = snapshotTree(m_bundle);
    const QString program = m_bundle + QStringLiteral("/Contents/bin/Ferrowhistle");
    if (change == u"remove")
        QVERIFY(QFile::remove(program));
    if (change == u"chmod")
        QCOMPARE(::chmod(QFile::encodeName(program).constData(), 0644), 0);
    StartWatch w = watch();
    QCOMPARE(w.run(), Outcome::RolledBack);
    QCOMPARE(w.reason(), reason);
    QVERIFY(w.marked());
    QVERIFY(m_log.contains(QStringLiteral("Update to 1.1 (501): ") + reason));
    checkPutBack(w);
    // Nothing for the next start to sort out.
    nextStart();
    QCOMPARE(snapshotTree(m_bundle), m_oldTree);
}

void tst_StartWatch::aCopyALaterUpdateReplacedIsNotWatched()
{
    // A watch that comes late, after 1.2 (502) has replaced 1.1: it starts
    // what is there and touches nothing.
    install("exit 1\n");
    makeBundle(m_bundle, QStringLiteral("1.2"), 502, "exit 1\n");
    const QMap<QString, QByteArray> tree = snapshotTree(m_bundle);
    StartWatch w = watch();
    QCOMPARE(w.run(), Outcome::NotWatched);
    QCOMPARE(snapshotTree(m_bundle), tree);
    QCOMPARE(snapshotTree(m_previous), m_oldTree);
    QCOMPARE(m_started, QStringList{m_bundle + QStringLiteral("/Contents/bin/Ferrowhistle")});
    QCOMPARE(failedBuilds(), QString());

    // Nothing older kept: nothing to go back to, so nothing is watched.
    install("exit 1\n");
    QVERIFY(QDir(m_previous).removeRecursively());
    m_started.clear();
    QCOMPARE(watch().run(), Outcome::NotWatched);
    QCOMPARE(snapshotTree(m_bundle), m_newTree);
    QCOMPARE(m_started.size(), 1);
}

void tst_StartWatch::aCopyReplacedDuringTheWatchIsNeverSwappedOut()
{
    install("exit 1\n");
    StartWatch w = watch();
    // A later update lands while this watch is deciding.
    w.hook = [this](Step s) {
        if (s == Step::BeforeSwapBack)
            makeBundle(m_bundle, QStringLiteral("1.2"), 502, "exit 0\n");
    };
    QCOMPARE(w.run(), Outcome::StoodDown);
    QCOMPARE(Bundle::atPath(m_bundle).infoString(QStringLiteral("CFBundleVersion")), QStringLiteral("502"));
    QCOMPARE(snapshotTree(m_previous), m_oldTree);
    // Whatever is at the path runs.
    QCOMPARE(m_started, QStringList{m_bundle + QStringLiteral("/Contents/bin/Ferrowhistle")});
}

void tst_StartWatch::stoppedAtAnyStepLeavesOneWholeBundle_data()
{
    QTest::addColumn<int>("step");
    QTest::addColumn<int>("swapStep");
    QTest::addColumn<bool>("putBack");
    const int none = -1;
    QTest::newRow("waiting") << int(Step::Waiting) << none << false;
    QTest::newRow("before ending the new copy") << int(Step::BeforeEnd) << none << false;
    QTest::newRow("before checking the kept copy") << int(Step::BeforeCheck) << none << false;
    QTest::newRow("before the swap back") << int(Step::BeforeSwapBack) << none << false;
    QTest::newRow("in the exchange") << none << int(AtomicSwap::Step::BeforeExchange) << false;
    QTest::newRow("right after the exchange") << none << int(AtomicSwap::Step::AfterExchange) << true;
    QTest::newRow("after the swap back") << int(Step::AfterSwapBack) << none << true;
    QTest::newRow("before marking the build") << int(Step::BeforeMark) << none << true;
    QTest::newRow("before removing the new copy") << int(Step::BeforeDiscard) << none << true;
    QTest::newRow("before starting the old copy") << int(Step::BeforeStartOld) << none << true;
}

void tst_StartWatch::stoppedAtAnyStepLeavesOneWholeBundle()
{
    QFETCH(int, step);
    QFETCH(int, swapStep);
    QFETCH(bool, putBack);
    install("exec sleep 600\n");
    StartWatch w = watch();
    w.limit = 200ms;
    w.hook = [step](Step s) {
        if (int(s) == step)
            throw Stopped{};
    };
    w.swapHook = [swapStep](AtomicSwap::Step s) {
        if (int(s) == swapStep)
            throw Stopped{};
    };
    bool stopped = false;
    try {
        w.run();
    } catch (const Stopped &) {
        stopped = true;
    }
    QVERIFY(stopped);
    // A killed watch ends nothing more; the new copy may still run.
    if (w.childPid() > 0)
        ::kill(pid_t(w.childPid()), SIGKILL);

    // A whole bundle at the path at once, before any sort-out.
    const QMap<QString, QByteArray> atPath = snapshotTree(m_bundle);
    QCOMPARE(atPath, putBack ? m_oldTree : m_newTree);

    nextStart();
    QCOMPARE(snapshotTree(m_bundle), atPath);
    QCOMPARE(entriesWithPrefix(m_folder, QStringLiteral(".Ferrowhistle-update-")), QStringList());
    QCOMPARE(entriesWithPrefix(m_folder, QStringLiteral(".Ferrowhistle-kept-")), QStringList());
    if (putBack) {
        // The copy that didn't start is never kept.
        QVERIFY(!QFileInfo::exists(m_previous));
    } else {
        QCOMPARE(snapshotTree(m_previous), m_oldTree);
    }
    // Marked only once the kept copy is back; the start records are swept.
    const bool marked = step == int(Step::BeforeDiscard) || step == int(Step::BeforeStartOld);
    QCOMPARE(UpdaterDefaults::buildList(failedBuilds()).contains(501), marked);
}

void tst_StartWatch::theRecordIsTheBuildAndNothingElse()
{
    const QString path = m_env.root() + QStringLiteral("/record");
    QCOMPARE(StartRecord::write(path, 501), std::nullopt);
    QCOMPARE(StartRecord::read(path), std::optional<qint64>(501));
    QCOMPARE(QFileInfo(path).permissions() & (QFile::ReadOther | QFile::WriteOther | QFile::ReadGroup), QFile::Permissions());
    writeFile(path, "501\n");
    QCOMPARE(StartRecord::read(path), std::nullopt);
    writeFile(path, "");
    QCOMPARE(StartRecord::read(path), std::nullopt);
    QCOMPARE(StartRecord::read(m_env.root() + QStringLiteral("/none")), std::nullopt);

    // A link at the record's name is neither read nor written through.
    const QString elsewhere = m_env.root() + QStringLiteral("/elsewhere");
    writeFile(elsewhere, "501");
    QFile::remove(path);
    QVERIFY(QFile::link(elsewhere, path));
    QCOMPARE(StartRecord::read(path), std::nullopt);
    QCOMPARE(StartRecord::write(path, 777), std::nullopt);
    QCOMPARE(StartRecord::read(path), std::optional<qint64>(777));
    QVERIFY(!QFileInfo(path).isSymLink());
    QCOMPARE(StartRecord::read(elsewhere), std::optional<qint64>(501));
}

void tst_StartWatch::onlyAWaitingWatchGetsARecordAndDeadOnesAreSwept()
{
    prepare(QStringLiteral("Ferrowhistle.app"));
    const QString record = StartRecord::pathFor(m_bundle, m_temp);
    // No watch: a start writes nothing, whatever its environment says.
    QCOMPARE(StartRecord::writeIfAwaited(m_bundle, 501, m_temp), std::nullopt);
    QVERIFY(!QFileInfo::exists(record));

    QString problem;
    StartRecord::WatchLock lock = StartRecord::WatchLock::hold(m_bundle, m_temp, &problem);
    QVERIFY2(lock.held(), qPrintable(problem));
    QVERIFY(StartRecord::awaited(m_bundle, m_temp));
    QVERIFY(!StartRecord::awaited(m_folder + QStringLiteral("/Other.app"), m_temp));
    QCOMPARE(StartRecord::writeIfAwaited(m_bundle, 501, m_temp), std::nullopt);
    QCOMPARE(StartRecord::read(record), std::optional<qint64>(501));
    // A live watch keeps its lock and its record; the lock file of a watch
    // that was killed (unlocked, for the same bundle) goes.
    const QStringList live = QDir(m_temp).entryList({StartRecord::kWatchPrefix + u'*'}, QDir::Files);
    QCOMPARE(live.size(), 1);
    const QString dead = m_temp + u'/' + live.first() + QStringLiteral("-killed");
    writeFile(dead, "");
    QCOMPARE(StartRecord::sweep(m_temp), QStringList{dead});
    QCOMPARE(QDir(m_temp).entryList(QDir::Files).size(), 2);

    // Released, its file goes with it, and the record that no watch waits
    // for goes at the next sweep.
    lock.release();
    QVERIFY(!StartRecord::awaited(m_bundle, m_temp));
    QCOMPARE(QDir(m_temp).entryList(QDir::Files | QDir::Hidden), QStringList{QFileInfo(record).fileName()});
    QCOMPARE(StartRecord::sweep(m_temp), QStringList{record});
    QCOMPARE(QDir(m_temp).entryList(QDir::Files | QDir::Hidden), QStringList());

    // An older watch names its record without a key and holds no lock: it
    // may still wait for it within its longest limit, and not after.
    const QString older = m_temp + u'/' + StartRecord::kRecordPrefix + QStringLiteral("6F1C2A3B-0000-4000-8000-000000000001");
    writeFile(older, "501");
    QCOMPARE(StartRecord::sweep(m_temp), QStringList());
    const QDateTime past = QDateTime::currentDateTime().addMSecs(-UpdaterDefaults::kLongestStartLimit.count() - 60000);
    QFile file(older);
    QVERIFY(file.open(QIODevice::ReadWrite));
    QVERIFY(file.setFileTime(past, QFileDevice::FileModificationTime));
    file.close();
    QCOMPARE(StartRecord::sweep(m_temp), QStringList{older});
}

void tst_StartWatch::aHandOverIsNoVerdict()
{
    // The copy the watch starts finds the name taken by a copy that a
    // launcher started from the same path a moment before, and gives way
    // (exit 0). That other copy records the start.
    install("if mkdir \"$(dirname \"$0\")/owner\" 2>/dev/null; then\n"
            "  while [ ! -e \"$(dirname \"$0\")/handed-over\" ]; do sleep 0.02; done\n"
            "  RECORD\n"
            "  exec sleep 600\n"
            "fi\n"
            "touch \"$(dirname \"$0\")/handed-over\"\nexit 0\n");
    const QString program = m_bundle + QStringLiteral("/Contents/bin/Ferrowhistle");
    QProcess first;
    first.start(program, {});
    QVERIFY(first.waitForStarted());
    QTRY_VERIFY(QFileInfo::exists(m_bundle + QStringLiteral("/Contents/bin/owner")));
    StartWatch w = watch();
    QCOMPARE(w.run(), Outcome::Confirmed);
    QCOMPARE(snapshotTree(m_previous), m_oldTree);
    QCOMPARE(failedBuilds(), QString());
    QCOMPARE(m_started, QStringList());
    QCOMPARE(m_log, QStringList{QStringLiteral("Update to 1.1 (501) started; 1.0 (500) is kept beside it")});
    first.kill();
    first.waitForFinished();

    // The name is held by something that isn't this copy and never records:
    // still no verdict, and the copy at the path is started again.
    install("if [ -e \"$(dirname \"$0\")/../../../owner\" ]; then exit 0; fi\nexec sleep 600\n");
    QVERIFY(QDir().mkpath(m_folder + QStringLiteral("/owner")));
    m_log.clear();
    m_started.clear();
    StartWatch other = watch();
    other.limit = 300ms;
    QCOMPARE(other.run(), Outcome::StoodDown);
    QVERIFY(other.reason().startsWith(QStringLiteral("it handed over to an instance that didn't say it started as this copy")));
    QCOMPARE(snapshotTree(m_bundle), m_newTree);
    QCOMPARE(snapshotTree(m_previous), m_oldTree);
    QCOMPARE(m_started, QStringList{m_bundle + QStringLiteral("/Contents/bin/Ferrowhistle")});
    QCOMPARE(failedBuilds(), QString());
}

void tst_StartWatch::aSessionThatFailsIsNoVerdict()
{
    // The user logged out during the watch: the copy exits as it does with
    // no display. Nothing is held against the build, and a good update is
    // never undone for it: the copy stays, with the old one kept beside it.
    install("exit 1\n");
    const QByteArray display = qgetenv("DISPLAY");
    const QByteArray platform = qgetenv("QT_QPA_PLATFORM");
    qunsetenv("DISPLAY");
    qunsetenv("QT_QPA_PLATFORM");
    StartWatch w = watch();
    const Outcome outcome = w.run();
    qputenv("DISPLAY", display);
    if (!platform.isEmpty())
        qputenv("QT_QPA_PLATFORM", platform);
    else
        qunsetenv("QT_QPA_PLATFORM");
    QCOMPARE(outcome, Outcome::StoodDown);
    QVERIFY(!w.marked());
    QCOMPARE(w.reason(), QStringLiteral("it exited with status 1 before it had started, but no display: DISPLAY is not set"));
    QCOMPARE(snapshotTree(m_bundle), m_newTree);
    QCOMPARE(snapshotTree(m_previous), m_oldTree);
    QCOMPARE(m_started, QStringList{m_bundle + QStringLiteral("/Contents/bin/Ferrowhistle")});
    QCOMPARE(failedBuilds(), QString());
    QVERIFY(m_log.contains(QStringLiteral("Update to 1.1 (501): it exited with status 1 before it had started, but no "
                                          "display: DISPLAY is not set; it is started again, and nothing is held against it")));

    // So is an abort, as a toolkit's that lost its display.
    install("kill -ABRT $$\n");
    qunsetenv("DISPLAY");
    qunsetenv("QT_QPA_PLATFORM");
    StartWatch aborted = watch();
    const Outcome abortOutcome = aborted.run();
    qputenv("DISPLAY", display);
    if (!platform.isEmpty())
        qputenv("QT_QPA_PLATFORM", platform);
    else
        qunsetenv("QT_QPA_PLATFORM");
    QCOMPARE(abortOutcome, Outcome::StoodDown);
    QVERIFY(!aborted.marked());
    QCOMPARE(snapshotTree(m_bundle), m_newTree);
    QCOMPARE(failedBuilds(), QString());

    // The same exit with the session there is a verdict.
    install("exit 1\n");
    StartWatch judged = watch();
    judged.sessionProblem = [](bool) { return std::optional<QString>(); };
    QCOMPARE(judged.run(), Outcome::RolledBack);
    QVERIFY(judged.marked());

    // Alive but unconfirmed because the session lacks something: it runs on.
    QFile::remove(DefaultsStore::standardPath());
    install("exec sleep 600\n");
    StartWatch alive = watch();
    alive.limit = 200ms;
    alive.sessionProblem = [](bool) { return std::optional<QString>(QStringLiteral("no session bus: Connection refused")); };
    m_started.clear();
    QCOMPARE(alive.run(), Outcome::StoodDown);
    QVERIFY(alive.leftRunning());
    QVERIFY(isRunning(alive.childPid()));
    ::kill(pid_t(alive.childPid()), SIGKILL);
    QCOMPARE(snapshotTree(m_bundle), m_newTree);
    QCOMPARE(m_started, QStringList());
    QCOMPARE(failedBuilds(), QString());
}

void tst_StartWatch::oneFailureIsNoVerdict()
{
    // The session failed it for a moment (an X server resetting as its last
    // client left): started once more, it records its start.
    install("if [ ! -e \"$(dirname \"$0\")/failed-once\" ]; then touch \"$(dirname \"$0\")/failed-once\"; kill -ABRT $$; fi\n"
            "RECORD\nexec sleep 600\n");
    StartWatch w = watch();
    QCOMPARE(w.run(), Outcome::Confirmed);
    ::kill(pid_t(w.childPid()), SIGKILL);
    QCOMPARE(snapshotTree(m_previous), m_oldTree);
    QCOMPARE(failedBuilds(), QString());
    QCOMPARE(m_log, (QStringList{QStringLiteral("Update to 1.1 (501): it was ended by signal 6 (Aborted) before it had started; "
                                                "it is started once more"),
                                 QStringLiteral("Update to 1.1 (501) started; 1.0 (500) is kept beside it")}));
}

void tst_StartWatch::aHeldSettingsLockNeverHoldsTheSwapBack()
{
    install("exit 1\n");
    // Another program holds the settings lock for as long as it likes.
    const QString lockPath = DefaultsStore::standardPath() + QStringLiteral(".lock");
    QDir().mkpath(QFileInfo(lockPath).absolutePath());
    UniqueFd held(::open(QFile::encodeName(lockPath).constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    QVERIFY(held.valid());
    QCOMPARE(::flock(held.get(), LOCK_EX), 0);
    StartWatch w = watch();
    w.settingsWait = 100ms;
    QCOMPARE(w.run(), Outcome::RolledBack);
    held.reset();
    QVERIFY(!w.marked());
    QCOMPARE(snapshotTree(m_bundle), m_oldTree);
    QCOMPARE(m_started.size(), 1);
    QVERIFY(std::any_of(m_log.begin(), m_log.end(), [](const QString &l) { return l.contains(u"another program kept the file locked"); }));
}

void tst_StartWatch::aKeptCopyThatFailsItsCheckIsNeverPutBack()
{
    install("exit 1\n");
    StartWatch w = watch();
    w.checkKeptCopy = [](const QString &) { return std::optional<QString>(QStringLiteral("it isn't notarized (no ticket)")); };
    QCOMPARE(w.run(), Outcome::StoodDown);
    QCOMPARE(snapshotTree(m_bundle), m_newTree);
    QCOMPARE(snapshotTree(m_previous), m_oldTree);
    QCOMPARE(m_started, QStringList{m_bundle + QStringLiteral("/Contents/bin/Ferrowhistle")});
    QVERIFY(m_log.contains(
        QStringLiteral("Update to 1.1 (501) didn't start, but 1.0 (500) was not put back: it isn't notarized (no ticket)")));

    // A link at the kept name is no kept copy: not run, not put back.
    install("exit 1\n");
    const QString real = m_folder + QStringLiteral("/elsewhere.app");
    QVERIFY(QFile::rename(m_previous, real));
    QVERIFY(QFile::link(real, m_previous));
    m_started.clear();
    QCOMPARE(watch().run(), Outcome::NotWatched);
    QCOMPARE(snapshotTree(m_bundle), m_newTree);
    QVERIFY(QFileInfo(m_previous).isSymLink());
    QCOMPARE(m_started.size(), 1);

    // Swapped for a link while the watch waited.
    install("exit 1\n");
    StartWatch late = watch();
    late.hook = [this, real](Step s) {
        if (s == Step::BeforeCheck) {
            QDir(m_previous).removeRecursively();
            QFile::link(real, m_previous);
        }
    };
    m_started.clear();
    QCOMPARE(late.run(), Outcome::StoodDown);
    QCOMPARE(snapshotTree(m_bundle), m_newTree);
    QCOMPARE(late.reason(), QStringLiteral("it is no longer the copy that was kept"));
    QCOMPARE(m_started.size(), 1);
}

void tst_StartWatch::aRevertIsWatchedAndTheNewerCopyComesBack()
{
    // After a revert: 1.0 (500) at the path, 1.1 (501) kept.
    prepare(QStringLiteral("Ferrowhistle.app"));
    makeBundle(m_bundle, QStringLiteral("1.0"), 500, "exit 1\n");
    makeBundle(m_previous, QStringLiteral("1.1"), 501, "exit 0\n");
    const QMap<QString, QByteArray> older = snapshotTree(m_bundle);
    const QMap<QString, QByteArray> newer = snapshotTree(m_previous);
    StartWatch w = watch();
    w.build = 500;
    QCOMPARE(w.run(), Outcome::RolledBack);
    QVERIFY(!w.marked());
    QCOMPARE(snapshotTree(m_bundle), newer);
    QVERIFY(!QFileInfo::exists(m_previous));
    QVERIFY(m_log.contains(QStringLiteral("Revert to 1.0 (500) didn't start, so 1.1 (501) was put back.")));
    QCOMPARE(failedBuilds(), QString());

    // One that starts: the newer copy is no longer kept.
    prepare(QStringLiteral("Ferrowhistle.app"));
    makeBundle(m_bundle, QStringLiteral("1.0"), 500, records(500) + "exec sleep 600\n");
    makeBundle(m_previous, QStringLiteral("1.1"), 501, "exit 0\n");
    const QMap<QString, QByteArray> started = snapshotTree(m_bundle);
    m_log.clear();
    StartWatch good = watch();
    good.build = 500;
    QCOMPARE(good.run(), Outcome::Confirmed);
    ::kill(pid_t(good.childPid()), SIGKILL);
    QCOMPARE(snapshotTree(m_bundle), started);
    QVERIFY(!QFileInfo::exists(m_previous));
    QCOMPARE(m_log, QStringList{QStringLiteral("Revert to 1.0 (500) started; 1.1 (501) is no longer kept")});
}

void tst_StartWatch::anInstanceTheBusActivatedConfirms()
{
    // During the update a call starts the copy at the path through the bus,
    // whose environment is not the app's: another temporary folder and
    // cache. That instance wins the name; the watch's own copy hands over.
    installFake("claim\nserve 501\n");
    const QString program = m_bundle + QStringLiteral("/Contents/bin/Ferrowhistle");
    const QString otherTmp = m_folder + QStringLiteral("/activated-tmp");
    const QString otherCache = m_folder + QStringLiteral("/activated-cache");
    QVERIFY(QDir().mkpath(otherTmp) && QDir().mkpath(otherCache));
    const QString service = m_services + QStringLiteral("/com.copperkestrel.Ferrowhistle.service");
    writeFile(service, "[D-BUS Service]\nName=com.copperkestrel.Ferrowhistle\nExec=/usr/bin/env TMPDIR=" + QFile::encodeName(otherTmp)
                           + " XDG_CACHE_HOME=" + QFile::encodeName(otherCache) + ' ' + QFile::encodeName(program) + '\n');
    const QDBusReply<void> activation = m_bus->connection().interface()->startService(BusNames::service());
    QFile::remove(service);
    QVERIFY2(activation.isValid(), qPrintable(activation.error().message()));
    QVERIFY(m_bus->waitForApp(true));
    const qint64 activated = owner();
    QFile environment(QStringLiteral("/proc/%1/environ").arg(activated));
    QVERIFY(environment.open(QIODevice::ReadOnly));
    QVERIFY(environment.readAll().split('\0').contains("TMPDIR=" + QFile::encodeName(otherTmp)));

    StartWatch w = watch();
    w.limit = 30s; // answered long before
    QCOMPARE(w.run(), Outcome::Confirmed);
    QVERIFY(isRunning(activated));
    QCOMPARE(owner(), activated);
    QCOMPARE(failedBuilds(), QString());
    QCOMPARE(m_started, QStringList());
    QCOMPARE(snapshotTree(m_previous), m_oldTree);
    QCOMPARE(m_log, QStringList{QStringLiteral("Update to 1.1 (501) started; 1.0 (500) is kept beside it")});
    // The watch's own copy, which may not have handed over yet, goes before
    // the next case.
    ::kill(pid_t(w.childPid()), SIGKILL);
}

void tst_StartWatch::anInstanceThatDoesNotAnswerIsNoVerdict_data()
{
    QTest::addColumn<bool>("atThePath");
    QTest::newRow("a copy at the path that answers nothing") << true;
    QTest::newRow("another copy that answers as this build") << false;
}

void tst_StartWatch::anInstanceThatDoesNotAnswerIsNoVerdict()
{
    QFETCH(bool, atThePath);
    // Whatever the watch's own copy hands over to is not the watch's to end,
    // and saying nothing of itself, or being another program, is no
    // evidence against this build.
    installFake("claim\nmute\n");
    QString first = m_bundle + QStringLiteral("/Contents/bin/Ferrowhistle");
    if (!atThePath) {
        makeFakeBundle(m_folder + QStringLiteral("/Elsewhere.app"), QStringLiteral("1.1"), 501, "claim\nserve 501\n");
        first = m_folder + QStringLiteral("/Elsewhere.app/Contents/bin/Ferrowhistle");
    }
    QProcess running;
    running.start(first, {});
    QVERIFY(running.waitForStarted());
    QVERIFY(m_bus->waitForApp(true));
    const qint64 pid = owner();
    StartWatch w = watch();
    // Long enough for the copy it starts to hand over.
    w.limit = 5s;
    QCOMPARE(w.run(), Outcome::StoodDown);
    QVERIFY2(w.reason().startsWith(QStringLiteral("it handed over to an instance that didn't say it started as this copy")),
             qPrintable(w.reason()));
    QVERIFY(!w.marked());
    QCOMPARE(failedBuilds(), QString());
    QVERIFY(isRunning(pid));
    QCOMPARE(owner(), pid);
    QCOMPARE(snapshotTree(m_bundle), m_newTree);
    QCOMPARE(snapshotTree(m_previous), m_oldTree);
    QVERIFY(m_log.last().endsWith(QStringLiteral("nothing is held against it")));
    running.kill();
    running.waitForFinished();
}

void tst_StartWatch::anOlderBuildsRecordConfirms_data()
{
    QTest::addColumn<QByteArray>("steps");
    QTest::newRow("the record named in its environment") << QByteArray("record 501\nhang\n");
    QTest::newRow("the record a waiting watch's lock asks for") << QByteArray("record-lock tmp 501\nhang\n");
}

void tst_StartWatch::anOlderBuildsRecordConfirms()
{
    // An older build says nothing on the bus; it writes the record its own
    // watch waited for. Started by today's watch (after a revert), it counts.
    QFETCH(QByteArray, steps);
    installFake(steps);
    StartWatch w = watch();
    w.limit = 30s;
    QCOMPARE(w.run(), Outcome::Confirmed);
    QVERIFY(w.leftRunning());
    ::kill(pid_t(w.childPid()), SIGKILL);
    QCOMPARE(failedBuilds(), QString());
    QCOMPARE(snapshotTree(m_previous), m_oldTree);
    // Nothing of the watch is left in the temporary folder.
    QCOMPARE(QDir(m_temp).entryList(QDir::Files | QDir::Hidden), QStringList());
}

void tst_StartWatch::onlyARecordsNameIsTakenFromTheEnvironment_data()
{
    QTest::addColumn<QString>("value");
    QTest::addColumn<bool>("taken");
    QTest::newRow("a record's name") << QStringLiteral("/tmp/ferrowhistle-0/Ferrowhistle-started-6F1C") << true;
    QTest::newRow("relative") << QStringLiteral("Ferrowhistle-started-6F1C") << false;
    QTest::newRow("another file") << QStringLiteral("/home/someone/.profile") << false;
    QTest::newRow("a record's name as a folder") << QStringLiteral("/tmp/Ferrowhistle-started-6F1C/x") << false;
    QTest::newRow("empty") << QString() << false;
}

void tst_StartWatch::onlyARecordsNameIsTakenFromTheEnvironment()
{
    QFETCH(QString, value);
    QFETCH(bool, taken);
    qputenv(StartRecord::kRequestVariable, value.toUtf8());
    QCOMPARE(StartRecord::takeRequestedPath(), taken ? value : QString());
    // Gone, so nothing the copy starts later writes it.
    QVERIFY(!qEnvironmentVariableIsSet(StartRecord::kRequestVariable));
}

void tst_StartWatch::theBrokenCopyCannotStartDuringTheRollBack()
{
    // The new copy hangs holding the name. While its kept copy is put back
    // a launcher starts the copy at the path: it must find the name taken
    // and end, and the kept copy must start with the name free.
    installFake("claim\nmute\n");
    const QString program = m_bundle + QStringLiteral("/Contents/bin/Ferrowhistle");
    QProcess late;
    StartWatch w = watch();
    w.hook = [&](Step s) {
        if (s == Step::BeforeSwapBack) {
            late.start(program, {});
            QVERIFY(late.waitForFinished(30000));
        }
    };
    qint64 ownerAtStart = -1;
    w.startProgram = [&](const QString &p) {
        m_started << p;
        ownerAtStart = owner();
        return true;
    };
    QCOMPARE(w.run(), Outcome::RolledBack);
    QCOMPARE(w.reason(), QStringLiteral("it hadn't started after 2 seconds"));
    QCOMPARE(late.exitStatus(), QProcess::NormalExit);
    QCOMPARE(late.exitCode(), 0);
    // Free, or still the watch's (this process) as the bus daemon has yet
    // to see it let go: never a copy from the path.
    QVERIFY2(ownerAtStart == 0 || ownerAtStart == QCoreApplication::applicationPid(), qPrintable(QString::number(ownerAtStart)));
    QTRY_COMPARE(owner(), 0);
    checkPutBack(w);
}

void tst_StartWatch::aSpawnThatFailsForWantOfResourcesIsNoVerdict_data()
{
    QTest::addColumn<int>("error");
    QTest::addColumn<bool>("verdict");
    QTest::newRow("EAGAIN") << EAGAIN << false;
    QTest::newRow("ENOMEM") << ENOMEM << false;
    QTest::newRow("ENOEXEC") << ENOEXEC << true;
}

void tst_StartWatch::aSpawnThatFailsForWantOfResourcesIsNoVerdict()
{
    QFETCH(int, error);
    QFETCH(bool, verdict);
    install("exec sleep 600\n");
    StartWatch w = watch();
    w.spawnChild = [error](const QString &, char *const *, pid_t *) { return error; };
    QCOMPARE(w.run(), verdict ? Outcome::RolledBack : Outcome::StoodDown);
    QCOMPARE(w.reason(), QStringLiteral("its program couldn't be started: ") + QString::fromLocal8Bit(::strerror(error)));
    QCOMPARE(w.marked(), verdict);
    QCOMPARE(UpdaterDefaults::buildList(failedBuilds()).contains(501), verdict);
    if (!verdict) {
        QCOMPARE(snapshotTree(m_bundle), m_newTree);
        QCOMPARE(snapshotTree(m_previous), m_oldTree);
        QCOMPARE(m_started, QStringList{m_bundle + QStringLiteral("/Contents/bin/Ferrowhistle")});
    }
}

void tst_StartWatch::aLostWaylandDisplayIsNoVerdict_data()
{
    QTest::addColumn<QByteArray>("platform");
    QTest::addColumn<bool>("logout");
    QTest::addColumn<QString>("reason");
    QTest::newRow("Wayland, the compositor stopped during the watch") << QByteArray("wayland") << true
                                                                      << QStringLiteral("no Wayland display");
    QTest::newRow("Wayland, the compositor there") << QByteArray("wayland") << false << QString();
    QTest::newRow("a platform that can't be checked") << QByteArray("offscreen") << false
                                                      << QStringLiteral("the display of platform offscreen can't be checked");
}

void tst_StartWatch::aLostWaylandDisplayIsNoVerdict()
{
    QFETCH(QByteArray, platform);
    QFETCH(bool, logout);
    QFETCH(QString, reason);
    // The copy shows a window on its platform's display. On Wayland that is
    // a real compositor: stopped during the watch, as at a logout, the copy
    // ends as Qt does that lost it (exit status 1); left there, the copy's
    // own abort is held against the build.
    std::unique_ptr<HeadlessSway> sway;
    if (platform == "wayland") {
        if (const std::optional<QString> missing = HeadlessSway::unavailable())
            QSKIP(qPrintable(*missing));
        sway = std::make_unique<HeadlessSway>();
        QVERIFY2(sway->isRunning(), qPrintable(sway->failure()));
    }
    installFake(logout ? "window\nrun\n" : "window\nsignal 6\n");
    const QString program = m_bundle + QStringLiteral("/Contents/bin/Ferrowhistle");
    const QList<QByteArray> names{"QT_QPA_PLATFORM", "WAYLAND_DISPLAY", "XDG_RUNTIME_DIR"};
    QList<std::optional<QByteArray>> saved;
    for (const QByteArray &name : names)
        saved << (qEnvironmentVariableIsSet(name.constData()) ? std::optional(qgetenv(name.constData())) : std::nullopt);
    qputenv("QT_QPA_PLATFORM", platform);
    if (sway) {
        const QProcessEnvironment session = sway->environment();
        for (const QByteArray &name : names.mid(1))
            qputenv(name.constData(), session.value(QString::fromLatin1(name)).toLocal8Bit());
    }
    StartWatch w = watch();
    w.limit = 60s; // each start ends long before
    bool loggedOut = false;
    bool onCompositor = false;
    bool ended = false;
    if (logout) {
        w.hook = [&](Step s) {
            if (s != Step::Waiting || loggedOut)
                return;
            loggedOut = true;
            const qint64 child = w.childPid();
            onCompositor = QTest::qWaitFor([&] { return sway->windowPids().contains(child); }, 60000);
            sway->stop();
            // Judged once the copy has ended, not while it goes; left
            // unreaped for the watch.
            ended = QTest::qWaitFor([child] {
                siginfo_t info{};
                return ::waitid(P_PID, id_t(child), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == child;
            }, 60000);
        };
    }
    const Outcome outcome = w.run();
    for (qsizetype i = 0; i < names.size(); ++i) {
        if (saved.at(i))
            qputenv(names.at(i).constData(), *saved.at(i));
        else
            qunsetenv(names.at(i).constData());
    }
    if (logout) {
        QVERIFY2(onCompositor, "the copy's window never appeared on the compositor");
        QVERIFY2(ended, "the copy outlived its compositor");
    }
    if (reason.isEmpty()) {
        QCOMPARE(outcome, Outcome::RolledBack);
        QVERIFY2(w.reason().startsWith(QStringLiteral("it was ended by signal 6")), qPrintable(w.reason()));
        QVERIFY(w.marked());
        return;
    }
    QCOMPARE(outcome, Outcome::StoodDown);
    QVERIFY2(w.reason().contains(reason), qPrintable(w.reason()));
    QVERIFY(!w.marked());
    QCOMPARE(failedBuilds(), QString());
    QCOMPARE(snapshotTree(m_bundle), m_newTree);
    QCOMPARE(snapshotTree(m_previous), m_oldTree);
    QCOMPARE(m_started, QStringList{program});
    QVERIFY2(m_log.contains(QStringLiteral("Update to 1.1 (501): %1; it is started again, and nothing is held against it").arg(w.reason())),
             qPrintable(m_log.join(u'\n')));
}

void tst_StartWatch::aKeptCopyCheckThatRunsPastItsLimitFails()
{
    // The kept copy's own tool hangs: it is ended, and that copy is not put
    // back.
    install("exit 1\n");
    writeFile(m_previous + QStringLiteral("/Contents/bin/ferrowhistle-assess"), "#!/bin/sh\nexec sleep 600\n", 0755);
    m_oldTree = snapshotTree(m_previous);
    StartWatch w = watch();
    w.checkKeptCopy = {};
    w.keptCheckLimit = 300ms;
    QCOMPARE(w.run(), Outcome::StoodDown);
    QCOMPARE(w.reason(), QStringLiteral("its check didn't finish within 0.3 seconds"));
    QVERIFY(!w.marked());
    QCOMPARE(snapshotTree(m_bundle), m_newTree);
    QCOMPARE(snapshotTree(m_previous), m_oldTree);
    QCOMPARE(m_started, QStringList{m_bundle + QStringLiteral("/Contents/bin/Ferrowhistle")});
}

QTEST_GUILESS_MAIN(tst_StartWatch)
#include "tst_StartWatch.moc"
