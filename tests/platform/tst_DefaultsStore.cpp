// The settings file: typed values on disk, what a damaged file reads as, and
// that writers in this process and others never lose a key.

#include "platform/DefaultsStore.h"
#include "support/TestEnvironment.h"

#include <QtTest>

namespace {
QByteArray contents(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}
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
                                                     || n == "defaults.plist.corrupt"; });
        return names;
    }
    void replaceFile(const QByteArray &bytes)
    {
        QDir().mkpath(dir());
        QFile f(m_store.path());
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(bytes);
    }

private Q_SLOTS:
    void init() { QDir(dir()).removeRecursively(); }

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
        for (const QByteArray &bytes : {QByteArray(), QByteArray("\x00\x01\xfe\xff noise", 10),
                                        QByteArray("bplist00\xd1\x01\x02\x51\x61\x51"),
                                        QByteArray("<?xml version=\"1.0\"?><plist><dict><key>a</key><str"),
                                        QByteArray("<?xml version=\"1.0\"?><plist version=\"1.0\"><array/></plist>")}) {
            replaceFile(bytes);
            QVERIFY(m_store.dictionary().isEmpty());
            m_store.setValue("k", true);
            QCOMPARE(m_store.boolean("k"), true);
            if (!bytes.isEmpty())
                QCOMPARE(contents(m_store.path() + ".corrupt"), bytes); // what could not be read is kept
            QCOMPARE(strays(), QStringList());
        }
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
