// ferrowhistle-defaults as a user runs it: typed writes, reads, deletes, and
// clear refusals that leave the settings untouched.

#include "platform/DefaultsStore.h"
#include "support/TestEnvironment.h"

#include <QtTest>

namespace {

struct Run {
    int exitCode = -1;
    QString out;
    QString err;
};

Run tool(const QStringList &arguments)
{
    QProcess p;
    p.start(QStringLiteral(FW_BUNDLE_DIR "/Contents/bin/ferrowhistle-defaults"), arguments);
    Run r;
    if (!p.waitForFinished(60000))
        return r;
    r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -2;
    r.out = QString::fromUtf8(p.readAllStandardOutput());
    r.err = QString::fromUtf8(p.readAllStandardError());
    return r;
}

} // namespace

class tst_DefaultsTool : public QObject {
    Q_OBJECT
    TestEnvironment m_env;

private Q_SLOTS:
    void init() { QDir(QFileInfo(DefaultsStore::standardPath()).absolutePath()).removeRecursively(); }

    void writesTypedValuesTheAppReads()
    {
        QCOMPARE(tool({"write", "UpdateFeedURL", "-string", "https://feeds.example.org/f.json"}).exitCode, 0);
        QCOMPARE(tool({"write", "updateAutomaticCheck", "-bool", "NO"}).exitCode, 0);
        QCOMPARE(tool({"write", "updateLastCheck", "-date", "2026-12-08T03:04:05+01:00"}).exitCode, 0);
        QCOMPARE(tool({"write", "plain", "just text"}).exitCode, 0);

        const DefaultsStore store = DefaultsStore::standard();
        QCOMPARE(store.string("UpdateFeedURL"), std::optional<QString>("https://feeds.example.org/f.json"));
        QCOMPARE(store.boolean("updateAutomaticCheck"), std::optional<bool>(false));
        QCOMPARE(store.date("updateLastCheck"),
                 std::optional<QDateTime>(QDateTime::fromString("2026-12-08T02:04:05Z", Qt::ISODate)));
        QCOMPARE(store.string("plain"), std::optional<QString>("just text"));

        QCOMPARE(tool({"read", "updateAutomaticCheck"}).out, QStringLiteral("0\n"));
        QCOMPARE(tool({"read", "updateLastCheck"}).out, QStringLiteral("2026-12-08T02:04:05Z\n"));
        const Run all = tool({"read"});
        QCOMPARE(all.exitCode, 0);
        QVERIFY(all.out.contains("UpdateFeedURL = https://feeds.example.org/f.json\n"));

        QCOMPARE(tool({"delete", "plain"}).exitCode, 0);
        QCOMPARE(store.object("plain"), QVariant());
        QCOMPARE(store.dictionary().size(), 3);
    }

    void refusalsExplainAndChangeNothing_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exitCode");
        QTest::newRow("nothing") << QStringList{} << 2;
        QTest::newRow("unknown command") << QStringList{"erase", "k"} << 2;
        QTest::newRow("not a boolean") << QStringList{"write", "k", "-bool", "maybe"} << 2;
        QTest::newRow("date without time") << QStringList{"write", "k", "-date", "2026-12-08"} << 2;
        QTest::newRow("date without zone") << QStringList{"write", "k", "-date", "2026-12-08T03:04:05"} << 2;
        QTest::newRow("not a date") << QStringList{"write", "k", "-date", "yesterday"} << 2;
        QTest::newRow("unknown type") << QStringList{"write", "k", "-int", "3"} << 2;
        QTest::newRow("missing value") << QStringList{"write", "k"} << 2;
        QTest::newRow("read missing key") << QStringList{"read", "k"} << 1;
        QTest::newRow("delete missing key") << QStringList{"delete", "k"} << 1;
    }
    void refusalsExplainAndChangeNothing()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, exitCode);
        QCOMPARE(tool({"write", "keep", "-bool", "yes"}).exitCode, 0);
        const QByteArray before = [] {
            QFile f(DefaultsStore::standardPath());
            return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
        }();
        const Run r = tool(arguments);
        QCOMPARE(r.exitCode, exitCode);
        QVERIFY(r.err.startsWith("ferrowhistle-defaults: "));
        QFile f(DefaultsStore::standardPath());
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll(), before);
    }

    void folderInPlaceOfTheFileFailsClearly()
    {
        QVERIFY(QDir().mkpath(DefaultsStore::standardPath()));
        const Run r = tool({"write", "k", "v"});
        QCOMPARE(r.exitCode, 1);
        QVERIFY2(r.err.contains("Couldn't save the settings in " + DefaultsStore::standardPath()), qPrintable(r.err));
        QCOMPARE(tool({"read", "k"}).exitCode, 1);
    }
};

QTEST_GUILESS_MAIN(tst_DefaultsTool)
#include "tst_DefaultsTool.moc"
