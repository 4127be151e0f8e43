// ferrowhistle-defaults as a user runs it.

#include "platform/DefaultsStore.h"
#include "support/TestEnvironment.h"

#include <QtTest>

namespace {
std::pair<int, QString> run(const QStringList &arguments, QString *err = nullptr)
{
    QProcess p;
    p.start(QStringLiteral(FW_BUNDLE_DIR "/Contents/bin/ferrowhistle-defaults"), arguments);
    if (!p.waitForFinished(60000) || p.exitStatus() != QProcess::NormalExit)
        return {-1, {}};
    if (err)
        *err = QString::fromUtf8(p.readAllStandardError());
    return {p.exitCode(), QString::fromUtf8(p.readAllStandardOutput())};
}
} // namespace

class tst_DefaultsTool : public QObject {
    Q_OBJECT
    TestEnvironment m_env;
    const DefaultsStore m_store = DefaultsStore::standard();

private Q_SLOTS:
    void writesWhatTheAppReads()
    {
        QCOMPARE(run({"write", "UpdateFeedURL", "-string", "https://f.example.org/a.json"}).first, 0);
        QCOMPARE(run({"write", "updateAutomaticCheck", "-bool", "NO"}).first, 0);
        QCOMPARE(run({"write", "updateLastCheck", "-date", "2026-12-08T03:04:05+01:00"}).first, 0);
        QCOMPARE(run({"write", "plain", "text"}).first, 0);
        QCOMPARE(m_store.string("UpdateFeedURL"), "https://f.example.org/a.json");
        QCOMPARE(m_store.boolean("updateAutomaticCheck"), false);
        QCOMPARE(m_store.date("updateLastCheck"), QDateTime::fromString("2026-12-08T02:04:05Z", Qt::ISODate));
        QCOMPARE(run({"read", "updateLastCheck"}), std::make_pair(0, QStringLiteral("2026-12-08T02:04:05Z\n")));
        QVERIFY(run({"read"}).second.contains("updateAutomaticCheck = 0\n"));
        QCOMPARE(run({"delete", "plain"}).first, 0);
        QCOMPARE(m_store.dictionary().size(), 3);
    }

    void refusalsChangeNothing()
    {
        m_store.setValue("keep", true);
        const QByteArray before = [&] { QFile f(m_store.path()); return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray(); }();
        const std::pair<QStringList, int> cases[] = {
            {{}, 2}, {{"erase", "k"}, 2}, {{"write", "k"}, 2}, {{"write", "k", "-int", "3"}, 2},
            {{"write", "k", "-bool", "maybe"}, 2}, {{"write", "k", "-date", "2026-12-08"}, 2},
            {{"write", "k", "-date", "2026-12-08T03:04:05"}, 2}, {{"read", "k"}, 1}, {{"delete", "k"}, 1},
        };
        for (const auto &[arguments, code] : cases) {
            QString err;
            QCOMPARE(run(arguments, &err).first, code);
            QVERIFY(err.startsWith("ferrowhistle-defaults: "));
        }
        QFile f(m_store.path());
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll(), before);

        QVERIFY(f.remove() && QDir().mkpath(m_store.path()));
        QString err;
        QCOMPARE(run({"write", "k", "v"}, &err).first, 1);
        QVERIFY2(err.contains("Couldn't save the settings in " + m_store.path()), qPrintable(err));
    }

    void warnsAboutWhatTheAppWillNotSee()
    {
        QDir(m_store.path()).removeRecursively(); // left as a folder by the refusals
        const struct {
            QStringList arguments;
            const char *warning; // empty: none
        } cases[] = {
            {{"write", "UpdateFeedURL", "https://f.example.org/a.json"}, ""},
            {{"write", "updateAutomaticCheck", "-bool", "false"}, ""},
            {{"write", "UpdateFeedURL", "http://f.example.org/a.json"}, "UpdateFeedURL is not an https address"},
            {{"write", "UpdateFeedURL", "-string", "https//f.example.org"}, "UpdateFeedURL is not an https address"},
            {{"write", "updateAutomaticCheck", "false"}, "reads updateAutomaticCheck only when written with -bool"},
            {{"write", "UpdateFeedURL", "-bool", "yes"}, "reads UpdateFeedURL only when written with -string"},
            {{"write", "updateFeedURL", "https://f.example.org/a.json"}, "does not read the key updateFeedURL"},
            {{"write", "HUDScreen", "pointer"}, ""},
            {{"write", "HUDScreen", "-string", "all"}, ""},
            {{"write", "HUDScreen", "everywhere"}, "HUDScreen \"everywhere\" is not one of: main, pointer, all; Ferrowhistle will use main"},
            {{"write", "HUDScreen", "Main"}, "is not one of: main, pointer, all"},
            {{"write", "HUDScreen", "-bool", "1"}, "reads HUDScreen only when written with -string"},
            {{"write", "updateRolloutGroup", "3"}, "picks updateRolloutGroup itself, as a whole number; this value will be ignored"},
            {{"write", "UpdateChannel", "beta"}, ""},
            {{"write", "UpdateChannel", "beta 2"}, "UpdateChannel \"beta 2\" is not a channel name (1 to 64 letters, digits, \".\", \"_\" and \"-\"); Ferrowhistle will use stable"},
        };
        for (const auto &c : cases) {
            QString err;
            QCOMPARE(run(c.arguments, &err).first, 0);
            const QString warning = QLatin1String(c.warning);
            QVERIFY2(warning.isEmpty() ? err.isEmpty() : err.startsWith("ferrowhistle-defaults: warning: ") && err.contains(warning),
                     qPrintable(c.arguments.join(u' ') + ": " + err));
            // Written all the same: a newer version may read it.
            QVERIFY(m_store.object(c.arguments.at(1)).isValid());
        }

        const auto [code, help] = run({"--help"});
        QCOMPARE(code, 0);
        for (const char *key : {"UpdateFeedURL          string", "updateAutomaticCheck   bool", "updateLastCheck        date",
                                "HUDScreen              string", "updateRolloutGroup     integer", "UpdateChannel          string"})
            QVERIFY2(help.contains(QLatin1String(key)), qPrintable(help));
        // A group written by hand reads back as the number it is.
        m_store.setValue("updateRolloutGroup", qint64(4));
        QCOMPARE(run({"read", "updateRolloutGroup"}), std::make_pair(0, QStringLiteral("4\n")));
    }

    // A file nested deeper than the parser can take reads as unusable:
    // reading finds nothing and writing replaces it, without a crash.
    void deeplyNestedFileIsRepaired()
    {
        QDir(m_store.path()).removeRecursively();
        QVERIFY(QDir().mkpath(QFileInfo(m_store.path()).absolutePath()));
        QFile f(m_store.path());
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>k</key>" + QByteArray("<array>").repeated(50000)
                + QByteArray("</array>").repeated(50000) + "</dict></plist>");
        f.close();
        QCOMPARE(run({"read", "k"}).first, 1);
        QCOMPARE(run({"delete", "k"}).first, 1);
        QCOMPARE(run({"write", "k", "repaired"}).first, 0);
        QCOMPARE(m_store.string("k"), QStringLiteral("repaired"));
    }
};

QTEST_GUILESS_MAIN(tst_DefaultsTool)
#include "tst_DefaultsTool.moc"
