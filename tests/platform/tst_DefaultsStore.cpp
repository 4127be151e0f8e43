// The settings file: typed values on disk, what a damaged file reads as,
// links, and that writers in this process and others never lose a key, even
// when the GUI thread hands its writes over while another program holds the
// lock.

#include "platform/DefaultsStore.h"
#include "platform/DefaultsWriter.h"
#include "support/ConcurrentWriters.h"
#include "support/TestEnvironment.h"

#include <QtTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {
QByteArray contents(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

bool makeLink(const QString &linkText, const QString &at)
{
    return ::symlink(QFile::encodeName(linkText).constData(), QFile::encodeName(at).constData()) == 0;
}

QByteArray boolEntry(const char *key, bool value)
{
    return QByteArray("<key>") + key + "</key>\n\t" + (value ? "<true/>" : "<false/>");
}

// Another program holding the store's lock until release() (util-linux's
// flock, as a script would use it).
class LockHolder {
public:
    explicit LockHolder(const QString &lockPath)
    {
        m_process.start(QStringLiteral("flock"), {lockPath, QStringLiteral("-c"), QStringLiteral("echo held; read line")});
    }
    ~LockHolder() { release(); }
    bool held()
    {
        m_seen += m_process.readAllStandardOutput();
        return m_seen.contains("held");
    }
    void release()
    {
        if (m_process.state() == QProcess::NotRunning)
            return;
        m_process.closeWriteChannel();
        m_process.waitForFinished(60000);
    }

private:
    QProcess m_process;
    QByteArray m_seen;
};
} // namespace

class tst_DefaultsStore : public QObject {
    Q_OBJECT
    TestEnvironment m_env;
    const DefaultsStore m_store = DefaultsStore::standard();
    QString dir() const { return QFileInfo(m_store.path()).absolutePath(); }
    // Nothing but the file, its lock and a kept-aside copy may be left.
    QStringList strays() const
    {
        QStringList names = QDir(dir()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
        names.removeIf([](const QString &n) { return n == "defaults.plist" || n.startsWith("defaults.plist.lock")
                                                     || n.startsWith("defaults.plist.corrupt-"); });
        return names;
    }
    QList<QByteArray> keptAside() const
    {
        QList<QByteArray> out;
        for (const QString &n : QDir(dir()).entryList({"defaults.plist.corrupt-*"}, QDir::Files, QDir::Name))
            out << contents(dir() + "/" + n);
        return out;
    }
    void replaceFile(const QByteArray &bytes)
    {
        QDir().mkpath(dir());
        QFile f(m_store.path());
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(bytes);
    }

private Q_SLOTS:
    void init()
    {
        QVERIFY(DefaultsWriter::shared().waitUntilWritten());
        QDir(dir()).removeRecursively();
    }

    void valuesKeepTheirTypesOnDisk()
    {
        QCOMPARE(m_store.path(), m_env.root() + "/config/ferrowhistle/defaults.plist");
        QVERIFY(!m_store.remove("x"));
        QVERIFY(!QFileInfo::exists(m_store.path())); // removing nothing makes no file
        const QDateTime when = QDateTime::fromString("2026-12-08T03:04:05Z", Qt::ISODate);
        m_store.setValue("s", QStringLiteral("https://example.org/ä"));
        m_store.setValue("b", false);
        m_store.setValue("d", when);
        m_store.setValue("gone", true);
        QVERIFY(m_store.remove("gone"));
        QCOMPARE(m_store.string("s"), "https://example.org/ä");
        QCOMPARE(m_store.boolean("b"), false);
        QCOMPARE(m_store.date("d"), when);
        QVERIFY(!m_store.boolean("s") && !m_store.string("b") && !m_store.date("s") && !m_store.object("gone").isValid());
        const QByteArray xml = contents(m_store.path());
        QVERIFY(xml.contains("<key>b</key>\n\t<false/>"));
        QVERIFY(xml.contains("<key>d</key>\n\t<date>2026-12-08T03:04:05Z</date>"));
        QVERIFY(xml.contains("<key>s</key>\n\t<string>https://example.org/\xc3\xa4</string>"));
        QCOMPARE(strays(), QStringList());
    }

    // The card looks at the screen setting for each message and parses the
    // file only when it changed: every change must still show at the very
    // next read. The clock is set a day ahead, so that the reader would keep
    // what it parsed whenever the file looks the same.
    void aRepeatedReadSeesEveryChangeAtOnce()
    {
        DefaultsReader reader([] { return std::chrono::system_clock::now() + 24h; });
        const QString path = m_store.path();
        QVERIFY(!reader.string(path, "k"));
        m_store.setValue("k", QStringLiteral("aaaa"));
        QCOMPARE(reader.string(path, "k"), "aaaa");
        QCOMPARE(reader.string(path, "k"), "aaaa");
        // Replaced by a file of the same size (a new inode).
        m_store.setValue("k", QStringLiteral("bbbb"));
        QCOMPARE(reader.string(path, "k"), "bbbb");
        // Rewritten in place, longer, with the old modification time put back.
        struct stat before {};
        QVERIFY(::stat(QFile::encodeName(path).constData(), &before) == 0);
        QByteArray xml = contents(path);
        xml.replace("<string>bbbb</string>", "<string>cccccc</string>");
        {
            QFile f(path);
            QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
            QCOMPARE(f.write(xml), xml.size());
        }
        const timespec times[2] = {before.st_atim, before.st_mtim};
        QVERIFY(::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0) == 0);
        QCOMPARE(reader.string(path, "k"), "cccccc");
        // Another path, a posted value not yet written, and no file at all.
        m_store.post("k", QStringLiteral("posted"));
        QCOMPARE(reader.string(path, "k"), "posted");
        QVERIFY(DefaultsWriter::shared().waitUntilWritten());
        QCOMPARE(reader.string(path, "k"), "posted");
        const DefaultsStore other(m_env.root() + "/other.plist");
        other.setValue("k", QStringLiteral("elsewhere"));
        QCOMPARE(reader.string(other.path(), "k"), "elsewhere");
        QVERIFY(QFile::remove(path));
        QVERIFY(!reader.string(path, "k"));
    }

    // With the real clock a file changed within the last seconds is parsed
    // again every time: a rewrite in place within one tick of the clock
    // leaves size and times as they were.
    void aFileChangedJustNowIsParsedEachTime()
    {
        DefaultsReader reader;
        const QString path = m_store.path();
        m_store.setValue("k", QStringLiteral("aaaa"));
        QCOMPARE(reader.string(path, "k"), "aaaa");
        struct stat before {};
        QVERIFY(::stat(QFile::encodeName(path).constData(), &before) == 0);
        QByteArray xml = contents(path);
        xml.replace("<string>aaaa</string>", "<string>bbbb</string>");
        {
            QFile f(path);
            QVERIFY(f.open(QIODevice::ReadWrite));
            QCOMPARE(f.write(xml), xml.size());
        }
        const timespec times[2] = {before.st_atim, before.st_mtim};
        QVERIFY(::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0) == 0);
        QCOMPARE(reader.string(path, "k"), "bbbb");
    }

    void valuesOfOtherTypesSurviveAWrite()
    {
        replaceFile("<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>list</key><array><integer>2</integer>"
                    "</array><key>blob</key><data>AAEC</data><key>nested</key><dict/></dict></plist>");
        m_store.setValue("new", true);
        const QByteArray xml = contents(m_store.path());
        QVERIFY(xml.contains("<key>list</key>") && xml.contains("<key>blob</key>") && xml.contains("<key>nested</key>"));
    }

    void damagedFileReadsAsEmptyAndIsKeptAside()
    {
        QSet<QByteArray> kept;
        for (const QByteArray &bytes : {QByteArray(), QByteArray("\x00\x01\xfe\xff noise", 10),
                                        QByteArray("bplist00\xd1\x01\x02\x51\x61\x51"),
                                        QByteArray("<?xml version=\"1.0\"?><plist><dict><key>a</key><str"),
                                        QByteArray("<?xml version=\"1.0\"?><plist version=\"1.0\"><array/></plist>")}) {
            replaceFile(bytes);
            QVERIFY(m_store.dictionary().isEmpty());
            m_store.setValue("k", true);
            QCOMPARE(m_store.boolean("k"), true);
            if (!bytes.isEmpty())
                kept.insert(bytes);
            // Every damaged file is still there, none overwritten by a later
            // one (these all come within the same second).
            const QList<QByteArray> aside = keptAside();
            QCOMPARE(QSet<QByteArray>(aside.begin(), aside.end()), kept);
            QCOMPARE(aside.size(), kept.size());
            QCOMPARE(strays(), QStringList());
        }
    }

    void symbolicLinkIsWrittenThrough()
    {
        const QString dotfiles = m_env.root() + "/dotfiles";
        QVERIFY(QDir().mkpath(dotfiles) && QDir().mkpath(dir()));
        struct Case {
            const char *name;
            QString linkText;
            QString target;
        };
        for (const Case &c : {Case{"absolute", dotfiles + "/a.plist", dotfiles + "/a.plist"},
                              Case{"relative", "../../dotfiles/b.plist", dotfiles + "/b.plist"},
                              Case{"chain", dir() + "/second-link", dotfiles + "/c.plist"}}) {
            QFile::remove(m_store.path());
            QFile::remove(dir() + "/second-link");
            QVERIFY(makeLink(dotfiles + "/c.plist", dir() + "/second-link"));
            QVERIFY2(makeLink(c.linkText, m_store.path()), c.name);
            // The target need not exist yet; the first write makes it.
            m_store.setValue("first", true);
            m_store.setValue("second", false);
            QVERIFY2(QFileInfo(m_store.path()).isSymLink(), c.name);
            QVERIFY2(contents(c.target).contains(boolEntry("first", true)), c.name);
            QVERIFY2(contents(c.target).contains(boolEntry("second", false)), c.name);
            QCOMPARE(m_store.boolean("first"), true);
        }
        // A damaged target is kept aside beside it, and the link still holds.
        QFile::remove(m_store.path());
        QVERIFY(makeLink(dotfiles + "/a.plist", m_store.path()));
        {
            QFile f(dotfiles + "/a.plist");
            QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write("garbage") == 7);
        }
        m_store.setValue("k", true);
        QVERIFY(QFileInfo(m_store.path()).isSymLink());
        QCOMPARE(QDir(dotfiles).entryList({"a.plist.corrupt-*"}).size(), 1);
        QCOMPARE(m_store.boolean("k"), true);
        QVERIFY(!m_store.boolean("first")); // what could not be read is not carried over

        // Links that go round in a loop are a clear error, and nothing is made.
        QFile::remove(m_store.path());
        QVERIFY(makeLink(dir() + "/loop", m_store.path()) && makeLink(m_store.path(), dir() + "/loop"));
        try {
            m_store.setValue("a", true);
            QFAIL("wrote through a loop of links");
        } catch (const DefaultsStoreError &e) {
            QVERIFY2(QString::fromUtf8(e.what()).contains("loop"), e.what());
        }
        QVERIFY(QFileInfo(m_store.path()).isSymLink());
    }

    void lockFileIsNeverFollowed()
    {
        QVERIFY(QDir().mkpath(dir()));
        const QString elsewhere = m_env.root() + "/elsewhere";
        QVERIFY(makeLink(elsewhere, m_store.path() + ".lock"));
        try {
            m_store.setValue("a", true);
            QFAIL("locked through a link");
        } catch (const DefaultsStoreError &e) {
            QVERIFY2(QString::fromUtf8(e.what()).contains(m_store.path()), e.what());
            QVERIFY2(QString::fromUtf8(e.what()).contains("symbolic link"), e.what());
        }
        QVERIFY(!QFileInfo::exists(elsewhere));
        QVERIFY(!QFileInfo::exists(m_store.path()));
    }

    void postedValuesReachTheFileInOrderOnceTheLockIsFree()
    {
        m_store.setValue("untouched", true);
        const QByteArray before = contents(m_store.path());
        LockHolder holder(m_store.path() + ".lock");
        QTRY_VERIFY_WITH_TIMEOUT(holder.held(), 60000);

        // These return while another program holds the lock, and this
        // process reads its own values at once.
        m_store.post("switch", false);
        m_store.post("switch", true);
        m_store.post("other", QStringLiteral("x"));
        m_store.post("switch", false);
        QCOMPARE(m_store.boolean("switch"), false);
        QCOMPARE(m_store.dictionary().value("other"), QVariant(QStringLiteral("x")));
        QVERIFY(!DefaultsWriter::shared().waitUntilWritten(m_store.path(), 0ms));
        QCOMPARE(contents(m_store.path()), before);

        holder.release();
        QVERIFY(DefaultsWriter::shared().waitUntilWritten(m_store.path(), 120s));
        const QByteArray after = contents(m_store.path());
        QVERIFY2(after.contains(boolEntry("switch", false)), after);
        QVERIFY(after.contains(boolEntry("untouched", true)) && after.contains("<string>x</string>"));

        // A synchronous write after a posted one lands after it.
        m_store.post("switch", true);
        m_store.setValue("switch", false);
        QVERIFY(DefaultsWriter::shared().waitUntilWritten());
        QVERIFY(contents(m_store.path()).contains(boolEntry("switch", false)));
        QCOMPARE(strays(), QStringList());
    }

    // A read-modify-write handed to the writer while another program holds
    // the lock and adds to the same list: the change runs on the file as
    // that program left it, after the values posted before it.
    void postedUpdateWorksOnTheFileAsTheHolderLeftIt()
    {
        m_store.setValue("list", QStringLiteral("a"));
        LockHolder holder(m_store.path() + ".lock");
        QTRY_VERIFY_WITH_TIMEOUT(holder.held(), 60000);
        m_store.post("switch", true);
        m_store.postUpdate([](const QVariantMap &current) {
            return QVariantMap{{"list", current.value("list").toString() + QStringLiteral(" c")}, {"seen", current.value("switch")}};
        });
        m_store.post("after", true);

        const DefaultsStore theirs(m_env.root() + QStringLiteral("/theirs/defaults.plist"));
        theirs.setValue("list", QStringLiteral("a b"));
        replaceFile(contents(theirs.path()));
        holder.release();
        QVERIFY(DefaultsWriter::shared().waitUntilWritten(m_store.path(), 120s));
        QCOMPARE(m_store.dictionary(), (QVariantMap{{"list", QStringLiteral("a b c")}, {"switch", true}, {"seen", true}, {"after", true}}));

        // A change that fails leaves the file as it was and says so.
        const QByteArray before = contents(m_store.path());
        QObject context;
        QString failure;
        m_store.postUpdate([](const QVariantMap &) { return QVariantMap{{"bad", QVariant::fromValue(QSize(1, 1))}}; }, &context,
                           [&](const QString &sentence) { failure = sentence; });
        QTRY_VERIFY_WITH_TIMEOUT(!failure.isEmpty(), 120000);
        QCOMPARE(contents(m_store.path()), before);
        QCOMPARE(strays(), QStringList());
    }

    // A write that finishes while dictionary() is under way: the value
    // posted just before must be in what it gives.
    void aWriteFinishingDuringAReadLosesNothing()
    {
        m_store.setValue("kept", true);
        LockHolder holder(m_store.path() + ".lock");
        QTRY_VERIFY_WITH_TIMEOUT(holder.held(), 60000);
        m_store.post("posted", true); // held back by the lock until the read is half done
        DefaultsStore::setReadStepHookForTesting([&] {
            holder.release();
            QVERIFY(DefaultsWriter::shared().waitUntilWritten(m_store.path(), 120s));
        });
        const QVariantMap seen = m_store.dictionary();
        DefaultsStore::setReadStepHookForTesting({});
        QCOMPARE(seen.value("posted"), QVariant(true));
        QCOMPARE(seen.value("kept"), QVariant(true));
    }

    // What is read is a small regular file: a FIFO in its place must not
    // hang the app, and the file is the user's alone.
    void onlyARegularFileIsReadAndTheFileIsPrivate()
    {
        m_store.setValue("private", true);
        QCOMPARE(QFileInfo(m_store.path()).permissions(), QFileDevice::ReadOwner | QFileDevice::WriteOwner
                                                              | QFileDevice::ReadUser | QFileDevice::WriteUser);
        QVERIFY(QFile::remove(m_store.path()));
        QCOMPARE(::mkfifo(QFile::encodeName(m_store.path()).constData(), 0600), 0);
        QCOMPARE(m_store.object("private"), QVariant());
        QCOMPARE(m_store.dictionary(), QVariantMap());
    }

    void postedValueIsWrittenBeforeTheProcessEnds()
    {
        m_store.post("atExit", true);
        DefaultsWriter::shared().finish(); // what the application's end runs
        QVERIFY(contents(m_store.path()).contains(boolEntry("atExit", true)));
        m_store.post("again", true); // the writer starts again when needed
        QVERIFY(DefaultsWriter::shared().waitUntilWritten(m_store.path(), 120s));
        QCOMPARE(m_store.boolean("atExit"), true);
    }

    void postedFailureIsReportedToAContextThatStillExists()
    {
        QVERIFY(QDir().mkpath(m_store.path() + "/inside"));
        QStringList reported;
        auto *gone = new QObject;
        bool goneCalled = false;
        m_store.post("a", true, this, [&](const QString &s) { reported << s; });
        m_store.post("b", true, gone, [&](const QString &) { goneCalled = true; });
        delete gone;
        QVERIFY_THROWS_EXCEPTION(DefaultsStoreError, m_store.post("bad", QVariant::fromValue(QSize(1, 1))));
        QTRY_COMPARE_WITH_TIMEOUT(reported.size(), 1, 120000);
        QVERIFY2(reported[0].contains(m_store.path()), qPrintable(reported[0]));
        QVERIFY(DefaultsWriter::shared().waitUntilWritten());
        QCoreApplication::processEvents();
        QVERIFY(!goneCalled);
        QVERIFY(!m_store.object("a").isValid()); // the failed change is not read back
        QVERIFY(QFileInfo(m_store.path() + "/inside").isDir());
    }

    void folderInPlaceOfTheFileIsAClearError()
    {
        QVERIFY(QDir().mkpath(m_store.path() + "/inside"));
        QVERIFY(!m_store.object("a").isValid());
        try {
            m_store.setValue("a", true);
            QFAIL("wrote over a folder");
        } catch (const DefaultsStoreError &e) {
            QVERIFY2(QString::fromUtf8(e.what()).contains(m_store.path()), e.what());
        }
        QVERIFY(QFileInfo(m_store.path() + "/inside").isDir());
        QCOMPARE(strays(), QStringList());
    }

    // A list kept in one key, added to by several writers at once: each
    // reads and writes under the lock, so no entry is lost.
    void updatesUnderTheLockLoseNoEntry()
    {
        m_store.setValue("list", QStringLiteral(""));
        constexpr int kWriters = 4;
        constexpr int kEach = 15;
        QCOMPARE(writeConcurrently(kWriters, kEach, [&](int w, int i) {
                     m_store.update([&](const QVariantMap &current) {
                         return QVariantMap{{"list", current.value("list").toString() + QStringLiteral(" %1").arg(w * 100 + i)}};
                     }, 120s);
                 }),
                 0);
        QCOMPARE(m_store.string("list").value_or(QString()).split(' ', Qt::SkipEmptyParts).size(), kWriters * kEach);
    }

    void updateRemovesAndChangesNothingWhenAskedNothing()
    {
        // A removal alone makes no file.
        m_store.update([](const QVariantMap &) { return QVariantMap{{"absent", QVariant()}}; }, 120s);
        QVERIFY(!QFileInfo::exists(m_store.path()));

        m_store.setValue("gone", true);
        m_store.setValue("stays", QStringLiteral("x"));
        QVariantMap seen;
        m_store.update([&](const QVariantMap &current) {
            seen = current;
            return QVariantMap{{"gone", QVariant()}, {"added", true}};
        }, 120s);
        QCOMPARE(seen, (QVariantMap{{"gone", true}, {"stays", QStringLiteral("x")}}));
        QCOMPARE(m_store.dictionary(), (QVariantMap{{"stays", QStringLiteral("x")}, {"added", true}}));

        // A value it can't keep, or a change that throws, leaves the file as
        // it was.
        const QByteArray before = contents(m_store.path());
        QVERIFY_THROWS_EXCEPTION(DefaultsStoreError, m_store.update([](const QVariantMap &) {
            return QVariantMap{{"stays", QVariant()}, {"bad", QVariant::fromValue(QSize(1, 1))}};
        }, 120s));
        QVERIFY_THROWS_EXCEPTION(DefaultsStoreError, m_store.update([](const QVariantMap &) -> QVariantMap {
            throw DefaultsStoreError("no");
        }, 120s));
        QCOMPARE(contents(m_store.path()), before);
        QCOMPARE(strays(), QStringList());
    }

    // Another program keeps the lock: the update gives up at its limit,
    // saying so, and changes nothing.
    void updateWaitsForTheLockNoLongerThanAsked()
    {
        m_store.setValue("list", QStringLiteral("7"));
        const QByteArray before = contents(m_store.path());
        LockHolder holder(m_store.path() + ".lock");
        QTRY_VERIFY_WITH_TIMEOUT(holder.held(), 60000);
        bool called = false;
        try {
            m_store.update([&](const QVariantMap &) {
                called = true;
                return QVariantMap{{"list", QStringLiteral("7 8")}};
            }, 50ms);
            QFAIL("written while another program held the lock");
        } catch (const DefaultsStoreError &e) {
            QVERIFY2(QString::fromUtf8(e.what()).contains(QStringLiteral("another program kept the file locked")), e.what());
        }
        QVERIFY(!called);
        QCOMPARE(contents(m_store.path()), before);
    }

    // A removal handed to the background writer: read back as gone at once,
    // on disk once the lock is free; and at the end, a lock that is never
    // freed does not keep the process from ending.
    void postedRemovalIsReadAtOnceAndGivenUpAtTheEnd()
    {
        m_store.setValue("rolled", QStringLiteral("501 1.0.1"));
        m_store.setValue("kept", true);
        {
            LockHolder holder(m_store.path() + ".lock");
            QTRY_VERIFY_WITH_TIMEOUT(holder.held(), 60000);
            m_store.postRemoval("rolled");
            QCOMPARE(m_store.object("rolled"), QVariant());
            QCOMPARE(m_store.dictionary(), (QVariantMap{{"kept", true}}));
            QVERIFY(contents(m_store.path()).contains("501 1.0.1"));
            holder.release();
            QVERIFY(DefaultsWriter::shared().waitUntilWritten(m_store.path(), 120s));
            QVERIFY(!contents(m_store.path()).contains("rolled"));
            QCOMPARE(m_store.dictionary(), (QVariantMap{{"kept", true}}));
        }

        m_store.setValue("rolled", QStringLiteral("502 1.0.2"));
        LockHolder holder(m_store.path() + ".lock");
        QTRY_VERIFY_WITH_TIMEOUT(holder.held(), 60000);
        m_store.postRemoval("rolled");
        // What the application's end runs: it gives up on the lock.
        DefaultsWriter::shared().finish();
        QVERIFY(contents(m_store.path()).contains("502 1.0.2"));
        holder.release();
        QCOMPARE(m_store.string("rolled"), QStringLiteral("502 1.0.2"));
    }

    void concurrentWritersLoseNoKey()
    {
        const QString tool = QStringLiteral(FW_BUNDLE_DIR "/Contents/bin/ferrowhistle-defaults");
        QList<QProcess *> writers;
        for (const char *name : {"p1", "p2"}) {
            writers << new QProcess(this);
            writers.last()->start("/bin/sh", {"-c", QStringLiteral("i=0; while [ $i -lt 20 ]; do \"$0\" write %1-$i -string v || exit 1;"
                                                                   " i=$((i+1)); done").arg(QLatin1String(name)), tool});
        }
        for (int i = 0; i < 20; ++i)
            m_store.setValue(QStringLiteral("me-%1").arg(i), true);
        for (QProcess *p : writers)
            QVERIFY(p->waitForFinished(120000) && p->exitCode() == 0);
        QCOMPARE(m_store.dictionary().size(), 60);
        QCOMPARE(strays(), QStringList());
    }
};

QTEST_GUILESS_MAIN(tst_DefaultsStore)
#include "tst_DefaultsStore.moc"
