// The watch that the kept copy's program runs after an update: a new copy
// that records its start stays; one that dies, cannot be started, or hangs
// past the limit is ended and the kept copy is exchanged back, whole, and
// started. Stopped at any step, it leaves a whole bundle at the path, and
// the next start's sweep leaves at most one kept copy, never the broken one.

#include "app/StartWatch.h"
#include "platform/DefaultsStore.h"
#include "platform/SystemLog.h"
#include "release/UpdaterDefaults.h"
#include "support/FileTrees.h"
#include "support/TestEnvironment.h"
#include "update/Updater.h"

#include <QDir>
#include <QFile>
#include <QtTest>

#include <csignal>

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

const QByteArray kRecords = "printf 501 > \"$FERROWHISTLE_START_RECORD\"\n";

} // namespace

class tst_StartWatch : public QObject {
    Q_OBJECT
    TestEnvironment m_env;
    QStringList m_log;
    QStringList m_started;
    int m_n = 0;
    QString m_folder, m_bundle, m_previous;
    QMap<QString, QByteArray> m_oldTree, m_newTree;

    // An installed 1.1 (501) running `script`, with 1.0 (500) kept beside it.
    void install(const QByteArray &script)
    {
        m_folder = m_env.root() + QStringLiteral("/apps-%1").arg(++m_n);
        m_bundle = m_folder + QStringLiteral("/Ferrowhistle.app");
        m_previous = m_folder + QStringLiteral("/.Ferrowhistle-previous.app");
        makeBundle(m_bundle, QStringLiteral("1.1"), 501, script);
        makeBundle(m_previous, QStringLiteral("1.0"), 500, "exit 0\n");
        m_oldTree = snapshotTree(m_previous);
        m_newTree = snapshotTree(m_bundle);
    }
    StartWatch watch()
    {
        StartWatch w;
        w.bundlePath = m_bundle;
        w.build = 501;
        w.limit = 2s;
        w.pollInterval = 10ms;
        w.startProgram = [this](const QString &program) { m_started << program; };
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
            QVERIFY(::kill(pid_t(w.childPid()), 0) != 0);
    }

private Q_SLOTS:
    void initTestCase()
    {
        setSystemLogSink([this](const SystemLogEntry &e) { m_log << e.message; });
    }
    void cleanupTestCase() { setSystemLogSink({}); }
    void init()
    {
        m_log.clear();
        m_started.clear();
        QFile::remove(DefaultsStore::standardPath());
    }

    void aCopyThatRecordsItsStartStays();
    void aBrokenCopyIsPutBack_data();
    void aBrokenCopyIsPutBack();
    void aCopyALaterUpdateReplacedIsNotWatched();
    void aCopyReplacedDuringTheWatchIsNeverSwappedOut();
    void stoppedAtAnyStepLeavesOneWholeBundle_data();
    void stoppedAtAnyStepLeavesOneWholeBundle();
    void theRecordIsTheBuildAndNothingElse();
};

void tst_StartWatch::aCopyThatRecordsItsStartStays()
{
    // It records, runs a while, and quits: the quit is no failure.
    install(kRecords + "sleep 0.3\nexit 3\n");
    StartWatch w = watch();
    QCOMPARE(w.run(), Outcome::Confirmed);
    QCOMPARE(snapshotTree(m_bundle), m_newTree);
    QCOMPARE(snapshotTree(m_previous), m_oldTree);
    QCOMPARE(m_started, QStringList());
    QCOMPARE(failedBuilds(), QString());
    QCOMPARE(m_log, QStringList{QStringLiteral("Update to 1.1 (501) started; 1.0 (500) is kept beside it")});
    // Left running, as the app it is.
    QVERIFY(::kill(pid_t(w.childPid()), 0) == 0);
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
    QTest::newRow("records another build") << QByteArray("printf 500 > \"$FERROWHISTLE_START_RECORD\"\nexec sleep 600\n")
                                           << QString() << QStringLiteral("it hadn't started after 2 seconds");
    QTest::newRow("program missing") << kRecords << QStringLiteral("remove")
                                     << QStringLiteral("its program couldn't be started: No such file or directory");
    QTest::newRow("program not executable") << kRecords << QStringLiteral("chmod")
                                            << QStringLiteral("its program couldn't be started: Permission denied");
}

void tst_StartWatch::aBrokenCopyIsPutBack()
{
    QFETCH(QByteArray, script);
    QFETCH(QString, change);
    QFETCH(QString, reason);
    install(script);
    const QString program = m_bundle + QStringLiteral("/Contents/bin/Ferrowhistle");
    if (change == u"remove")
        QVERIFY(QFile::remove(program));
    if (change == u"chmod")
        QCOMPARE(::chmod(QFile::encodeName(program).constData(), 0644), 0);
    StartWatch w = watch();
    QCOMPARE(w.run(), Outcome::RolledBack);
    QCOMPARE(w.reason(), reason);
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
    QCOMPARE(m_started, QStringList());
}

void tst_StartWatch::stoppedAtAnyStepLeavesOneWholeBundle_data()
{
    QTest::addColumn<int>("step");
    QTest::addColumn<int>("swapStep");
    QTest::addColumn<bool>("putBack");
    const int none = -1;
    QTest::newRow("waiting") << int(Step::Waiting) << none << false;
    QTest::newRow("before ending the new copy") << int(Step::BeforeEnd) << none << false;
    QTest::newRow("before marking the build") << int(Step::BeforeMark) << none << false;
    QTest::newRow("before the swap back") << int(Step::BeforeSwapBack) << none << false;
    QTest::newRow("in the exchange") << none << int(AtomicSwap::Step::BeforeExchange) << false;
    QTest::newRow("right after the exchange") << none << int(AtomicSwap::Step::AfterExchange) << true;
    QTest::newRow("after the swap back") << int(Step::AfterSwapBack) << none << true;
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
    // Once the swap back had begun, the build is marked.
    if (putBack || step == int(Step::BeforeSwapBack) || swapStep >= 0)
        QVERIFY(UpdaterDefaults::buildList(failedBuilds()).contains(501));
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

    qputenv(StartRecord::kVariable, "/somewhere/record");
    QCOMPARE(StartRecord::takePath(), QStringLiteral("/somewhere/record"));
    QVERIFY(!qEnvironmentVariableIsSet(StartRecord::kVariable));
    QCOMPARE(StartRecord::takePath(), QString());
}

QTEST_GUILESS_MAIN(tst_StartWatch)
#include "tst_StartWatch.moc"
