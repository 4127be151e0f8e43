// The settings file: typed values on disk, what a damaged file reads as, and
// that writers (in this process and others) never lose a key.

#include "platform/DefaultsStore.h"
#include "support/TestEnvironment.h"

#include <QtTest>

namespace {

QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void writeAll(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(bytes);
}

// Everything in the settings folder but the file and its lock: what a
// failed or finished write must not leave behind.
QStringList strayFiles(const QString &settingsPath)
{
    const QFileInfo info(settingsPath);
    QStringList out;
    for (const QString &name : QDir(info.absolutePath()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden))
        if (name != info.fileName() && name != info.fileName() + ".lock" && name != info.fileName() + ".corrupt")
            out << name;
    return out;
}

} // namespace

class tst_DefaultsStore : public QObject {
    Q_OBJECT
    TestEnvironment m_env;
    QString m_path;

private Q_SLOTS:
    void init()
    {
        m_path = DefaultsStore::standardPath();
        QDir(QFileInfo(m_path).absolutePath()).removeRecursively();
    }

    void standardPathFollowsXdgConfigHome()
    {
        QCOMPARE(m_path, m_env.root() + "/config/ferrowhistle/defaults.plist");
        const QByteArray saved = qgetenv("XDG_CONFIG_HOME");
        qputenv("XDG_CONFIG_HOME", "relative/dir");
        QCOMPARE(DefaultsStore::standardPath(), QDir::homePath() + "/.config/ferrowhistle/defaults.plist");
        qputenv("XDG_CONFIG_HOME", saved);
    }

    void valuesKeepTheirTypes()
    {
        const DefaultsStore store = DefaultsStore::standard();
        const QDateTime when = QDateTime::fromString("2026-12-08T03:04:05.678Z", Qt::ISODateWithMs);
        store.setValue("s", QStringLiteral("https://example.org/ä"));
        store.setValue("b", false);
        store.setValue("d", when);

        QCOMPARE(store.string("s"), std::optional<QString>("https://example.org/ä"));
        QCOMPARE(store.boolean("b"), std::optional<bool>(false));
        QCOMPARE(store.date("d")->toSecsSinceEpoch(), when.toSecsSinceEpoch());
        // Asking for another type than the one stored gives nothing.
        QCOMPARE(store.boolean("s"), std::nullopt);
        QCOMPARE(store.string("b"), std::nullopt);
        QCOMPARE(store.date("s"), std::nullopt);

        const QByteArray xml = readAll(m_path);
        QVERIFY(xml.startsWith("<?xml"));
        QVERIFY(xml.contains("<key>b</key>\n\t<false/>"));
        QVERIFY(xml.contains("<key>d</key>\n\t<date>2026-12-08T03:04:05Z</date>"));
        QVERIFY(xml.contains("<key>s</key>\n\t<string>https://example.org/\xc3\xa4</string>"));
        QCOMPARE(strayFiles(m_path), QStringList());
    }

    void removeTakesOnlyThatKey()
    {
        const DefaultsStore store = DefaultsStore::standard();
        QVERIFY(!store.remove("x"));
        QVERIFY(!QFileInfo::exists(m_path)); // nothing to remove makes no file
        store.setValue("x", true);
        store.setValue("y", true);
        QVERIFY(store.remove("x"));
        QVERIFY(!store.remove("x"));
        QCOMPARE(store.dictionary().keys(), QStringList{"y"});
    }

    void valuesOfOtherTypesSurviveAWrite()
    {
        QDir().mkpath(QFileInfo(m_path).absolutePath());
        writeAll(m_path, "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict>"
                         "<key>list</key><array><string>a</string><integer>2</integer></array>"
                         "<key>blob</key><data>AAEC</data>"
                         "<key>nested</key><dict><key>k</key><true/></dict>"
                         "</dict></plist>");
        const DefaultsStore store = DefaultsStore::standard();
        store.setValue("new", QStringLiteral("v"));
        const QByteArray xml = readAll(m_path);
        QVERIFY(xml.contains("<key>list</key>"));
        QVERIFY(xml.contains("<string>a</string>"));
        QVERIFY(xml.contains("<key>blob</key>"));
        QVERIFY(xml.contains("<key>nested</key>"));
        QCOMPARE(store.string("new"), std::optional<QString>("v"));
    }

    void damagedFileReadsAsEmptyAndIsKeptAside_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("binary noise") << QByteArray("\x00\x01\xfe\xff\x13\x37garbage", 14);
        QTest::newRow("bad binary plist") << QByteArray("bplist00\xd1\x01\x02\x51\x61\x51", 14);
        QTest::newRow("truncated xml") << QByteArray("<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>a</key><str");
        QTest::newRow("array root") << QByteArray("<?xml version=\"1.0\"?><plist version=\"1.0\"><array/></plist>");
    }
    void damagedFileReadsAsEmptyAndIsKeptAside()
    {
        QFETCH(QByteArray, bytes);
        QDir().mkpath(QFileInfo(m_path).absolutePath());
        writeAll(m_path, bytes);
        const DefaultsStore store = DefaultsStore::standard();
        QVERIFY(!store.object("a").isValid());
        QVERIFY(store.dictionary().isEmpty());

        store.setValue("updateAutomaticCheck", false);
        QCOMPARE(store.boolean("updateAutomaticCheck"), std::optional<bool>(false));
        if (!bytes.isEmpty())
            QCOMPARE(readAll(m_path + ".corrupt"), bytes); // what we could not read is not thrown away
        QCOMPARE(strayFiles(m_path), QStringList());
    }

    void folderInPlaceOfTheFileIsAnErrorNotACrash()
    {
        QVERIFY(QDir().mkpath(m_path + "/inside"));
        const DefaultsStore store = DefaultsStore::standard();
        QVERIFY(!store.object("a").isValid());
        try {
            store.setValue("a", true);
            QFAIL("wrote over a folder");
        } catch (const DefaultsStoreError &e) {
            const QString message = QString::fromStdString(e.what());
            QVERIFY2(message.contains(m_path), qPrintable(message));
        }
        QVERIFY(QFileInfo(m_path + "/inside").isDir());
        QCOMPARE(strayFiles(m_path), QStringList());
    }

    void concurrentWritersLoseNoKey()
    {
        // Two other processes and this one write distinct keys at the same
        // time; every read-modify-write is serialised by the lock.
        const QString tool = QStringLiteral(FW_BUNDLE_DIR "/Contents/bin/ferrowhistle-defaults");
        QVERIFY(QFileInfo(tool).isExecutable());
        constexpr int perWriter = 20;
        QList<QProcess *> writers;
        for (const char *name : {"p1", "p2"}) {
            auto *p = new QProcess(this);
            p->start("/bin/sh", {"-c", QStringLiteral("i=0; while [ $i -lt %1 ]; do \"$0\" write %2-k$i -string v$i || exit 1; i=$((i+1)); done")
                                           .arg(perWriter).arg(QLatin1String(name)), tool});
            writers << p;
        }
        const DefaultsStore store = DefaultsStore::standard();
        for (int i = 0; i < perWriter; ++i)
            store.setValue(QStringLiteral("me-k%1").arg(i), i % 2 == 0);
        for (QProcess *p : writers) {
            QVERIFY(p->waitForFinished(120000));
            QCOMPARE(p->exitCode(), 0);
        }
        const QVariantMap all = store.dictionary();
        QCOMPARE(all.size(), 3 * perWriter);
        for (int i = 0; i < perWriter; ++i) {
            QCOMPARE(all.value(QStringLiteral("p1-k%1").arg(i)).toString(), QStringLiteral("v%1").arg(i));
            QCOMPARE(all.value(QStringLiteral("p2-k%1").arg(i)).toString(), QStringLiteral("v%1").arg(i));
            QCOMPARE(all.value(QStringLiteral("me-k%1").arg(i)), QVariant(i % 2 == 0));
        }
        QCOMPARE(strayFiles(m_path), QStringList());
    }
};

QTEST_GUILESS_MAIN(tst_DefaultsStore)
#include "tst_DefaultsStore.moc"
