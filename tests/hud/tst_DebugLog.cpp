// The debug log file: created private, appended to, written unchanged, and
// never a reason for a caller to fail.
#include "hud/DebugLog.h"
#include "platform/TempDirectory.h"
#include "support/TestEnvironment.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTest>

#include <sys/stat.h>

class TestDebugLog : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void init() { env.clearDebugLog(); }
    void createsPrivateFileAndAppends();
    void writesTextUnchanged();
    void doesNotFollowPlantedSymlink();
    void unusableDirectoryIsIgnored();
    void describesNumbersLikeTheFrameLine();
    void longMessagesAreShortened();
    void fileIsRotatedPastItsLimit();

private:
    TestEnvironment env;
};

void TestDebugLog::createsPrivateFileAndAppends()
{
    QVERIFY(!QFile::exists(env.debugLogFile()));
    debugLog(QStringLiteral("first"));
    QCOMPARE(debugLogPath(), env.debugLogFile());
    QFile f(env.debugLogFile());
    QVERIFY(f.open(QIODevice::ReadOnly));
    const QByteArray once = f.readAll();
    f.close();
    QString stamp, text;
    QVERIFY(once.endsWith("first\n"));
    QCOMPARE(once.count('\n'), 1);
    QVERIFY(splitLogLine(QString::fromUtf8(once.chopped(1)), &stamp, &text));
    QCOMPARE(text, QStringLiteral("first"));

    struct stat st {};
    QCOMPARE(stat(QFile::encodeName(env.debugLogFile()).constData(), &st), 0);
    QCOMPARE(st.st_mode & 0777, 0600u);
    QCOMPARE(stat(QFile::encodeName(QFileInfo(env.debugLogFile()).path()).constData(), &st), 0);
    QCOMPARE(st.st_mode & 0777, 0700u);

    debugLog(QStringLiteral("second"));
    QVERIFY(f.open(QIODevice::ReadOnly));
    const QByteArray twice = f.readAll();
    QVERIFY(twice.startsWith(once));
    QCOMPARE(env.debugLogMessages(), QStringList({QStringLiteral("first"), QStringLiteral("second")}));
}

void TestDebugLog::writesTextUnchanged()
{
    const QString text = QStringLiteral("a \"quoted\" line\nand a second one \\ with ünïcödé 👋");
    debugLog(text);
    debugLog(QString());
    QFile f(env.debugLogFile());
    QVERIFY(f.open(QIODevice::ReadOnly));
    const QByteArray bytes = f.readAll();
    QVERIFY(bytes.contains(text.toUtf8() + '\n'));
    // The empty text: timestamp, one space, line feed.
    QVERIFY(bytes.endsWith("Z \n"));
    QCOMPARE(env.debugLogMessages().first(), text);
}

void TestDebugLog::doesNotFollowPlantedSymlink()
{
    debugLog(QStringLiteral("make the directory"));
    QFile::remove(env.debugLogFile());
    const QString target = env.root() + QStringLiteral("/elsewhere.txt");
    QVERIFY(QFile::link(target, env.debugLogFile()));
    debugLog(QStringLiteral("must not land elsewhere"));
    QVERIFY(!QFile::exists(target));
    QFile::remove(env.debugLogFile());
}

void TestDebugLog::unusableDirectoryIsIgnored()
{
    // Both places blocked by a plain file standing where a folder belongs.
    const QString blocker = env.root() + QStringLiteral("/blocker");
    QFile b(blocker);
    QVERIFY(b.open(QIODevice::WriteOnly));
    b.close();
    const QByteArray oldTmp = qgetenv("TMPDIR");
    const QByteArray oldCache = qgetenv("XDG_CACHE_HOME");
    qputenv("TMPDIR", blocker.toUtf8());
    qputenv("XDG_CACHE_HOME", blocker.toUtf8());
    QCOMPARE(temporaryDirectory(), QString());
    debugLog(QStringLiteral("lost quietly"));
    QCOMPARE(debugLogPath(), QString());

    // A temporary directory open to others is refused; the cache one is used.
    qputenv("XDG_CACHE_HOME", oldCache);
    const QString shared = env.root() + QStringLiteral("/shared");
    QVERIFY(QDir().mkpath(shared + QStringLiteral("/ferrowhistle-") + QString::number(geteuid())));
    QFile::setPermissions(shared + QStringLiteral("/ferrowhistle-") + QString::number(geteuid()),
                          QFileDevice::Permissions(0x7777));
    qputenv("TMPDIR", shared.toUtf8());
    QCOMPARE(temporaryDirectory(), QString::fromUtf8(oldCache) + QStringLiteral("/ferrowhistle/tmp"));
    debugLog(QStringLiteral("in the cache"));
    QVERIFY(QFile::exists(QString::fromUtf8(oldCache) + QStringLiteral("/ferrowhistle/tmp/ferrowhistle-debug.log")));

    // A relative TMPDIR is not used.
    qputenv("TMPDIR", "relative/tmp");
    QCOMPARE(temporaryDirectory(), QStringLiteral("/tmp/ferrowhistle-") + QString::number(geteuid()));
    qputenv("TMPDIR", oldTmp);
}

void TestDebugLog::describesNumbersLikeTheFrameLine()
{
    QCOMPARE(describeRect(634, 393.5, 172, 88), QStringLiteral("(634.0, 393.5, 172.0, 88.0)"));
    QCOMPARE(describeRect(-240, 0.25, 1e6, 0), QStringLiteral("(-240.0, 0.25, 1000000.0, 0.0)"));
}

void TestDebugLog::longMessagesAreShortened()
{
    const QString exact(kLoggedMessageChars, QLatin1Char('a'));
    QCOMPARE(loggedMessage(exact), exact);
    QCOMPARE(loggedMessage(exact + QStringLiteral("bc")), exact + QStringLiteral(" \u2026 (2 more characters)"));
    // Characters, not UTF-16 units: an emoji is one, and never cut in half.
    const QString emoji = QStringLiteral("\U0001F600");
    QString emojis;
    for (int i = 0; i < kLoggedMessageChars + 3; ++i)
        emojis += emoji;
    QString kept;
    for (int i = 0; i < kLoggedMessageChars; ++i)
        kept += emoji;
    QCOMPARE(loggedMessage(emojis), kept + QStringLiteral(" \u2026 (3 more characters)"));
    // Short ones, line feeds and all, are left as they are.
    QCOMPARE(loggedMessage(QStringLiteral("two\nlines")), QStringLiteral("two\nlines"));
}

void TestDebugLog::fileIsRotatedPastItsLimit()
{
    const QString path = env.debugLogFile();
    const QString older = path + QStringLiteral(".1");
    {
        QFile stale(older);
        QVERIFY(stale.open(QIODevice::WriteOnly));
        stale.write("an older rotation\n");
    }
    debugLog(QString(int(kDebugLogRotateBytes / 2), QLatin1Char('x')));
    debugLog(QString(int(kDebugLogRotateBytes / 2), QLatin1Char('y')));
    // Rotated only once the file has passed the limit.
    QVERIFY(QFileInfo(path).size() > kDebugLogRotateBytes);
    QCOMPARE(QFileInfo(older).size(), qint64(18));
    debugLog(QStringLiteral("after"));
    QCOMPARE(env.debugLogMessages(), QStringList{QStringLiteral("after")});
    QVERIFY(QFileInfo(older).size() > kDebugLogRotateBytes);
    struct stat st {};
    QCOMPARE(stat(QFile::encodeName(path).constData(), &st), 0);
    QCOMPARE(st.st_mode & 0777, 0600u);
}

QTEST_APPLESS_MAIN(TestDebugLog)
#include "tst_DebugLog.moc"
