// The version line from a bundle's Info.plist and build-info.json, with every
// fallback, and a build-info.json that is no such file.
#include "platform/BuildInfo.h"

#include "support/TestEnvironment.h"
#include "../update/UpdateTestSupport.h"

#include <QTest>

#include <sys/stat.h>

class tst_BuildInfo : public QObject {
    Q_OBJECT
    TestEnvironment m_env;
    int m_n = 0;

    // A fresh bundle with these Info.plist entries and, unless null, this
    // build-info.json.
    Bundle bundle(const QMap<QString, QString> &info, const QByteArray &buildInfo = {})
    {
        const QString dir = m_env.root() + QStringLiteral("/b") + QString::number(++m_n);
        const Bundle b = makeTestBundle(dir, info);
        if (!buildInfo.isNull()) {
            QDir().mkpath(b.resourcesPath());
            QFile f(b.resourcesPath() + QStringLiteral("/build-info.json"));
            if (!f.open(QIODevice::WriteOnly) || f.write(buildInfo) != buildInfo.size())
                qFatal("cannot write build-info.json");
        }
        return b;
    }
    const QMap<QString, QString> m_release{{"CFBundleShortVersionString", "1.3"}, {"CFBundleVersion", "42"}};

private Q_SLOTS:
    void lineFromInfoAndRevision()
    {
        QCOMPARE(versionLine(bundle(m_release, "{\"commit\": \"9f3c2ab\"}")), QStringLiteral("Version 1.3 (42) · 9f3c2ab"));
        // What the build writes: more members, all strings.
        QCOMPARE(versionLine(bundle(m_release, "{\"commit\":\"abc123\",\"version\":\"1.3\",\"build\":\"42\"}")),
                 QStringLiteral("Version 1.3 (42) · abc123"));
        // A development copy has neither keys nor resource.
        QCOMPARE(versionLine(bundle({})), QStringLiteral("Version Development (—) · unknown"));
        // Values of the wrong type count as absent.
        QCOMPARE(versionLine(bundle({{"CFBundleShortVersionString", "<integer>2</integer>"}, {"CFBundleVersion", "7"}},
                                    "{\"commit\": \"x\"}")),
                 QStringLiteral("Version Development (7) · x"));
        QCOMPARE(versionLine(bundle({{"CFBundleShortVersionString", "1.3"}})), QStringLiteral("Version 1.3 (—) · unknown"));
        // An executable outside any bundle: all fallbacks.
        QCOMPARE(versionLine(Bundle::forExecutable(m_env.root() + QStringLiteral("/loose/prog"))),
                 QStringLiteral("Version Development (—) · unknown"));
    }

    void revisionFallsBackOnAnythingButAnObjectOfStrings_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("commit");
        QTest::newRow("empty commit") << QByteArray("{\"commit\": \"\"}") << "unknown";
        QTest::newRow("no commit") << QByteArray("{\"version\": \"1.3\"}") << "unknown";
        QTest::newRow("number beside commit") << QByteArray("{\"commit\": \"abc\", \"build\": 42}") << "unknown";
        QTest::newRow("null beside commit") << QByteArray("{\"commit\": \"abc\", \"x\": null}") << "unknown";
        QTest::newRow("commit a number") << QByteArray("{\"commit\": 42}") << "unknown";
        QTest::newRow("array") << QByteArray("[\"abc\"]") << "unknown";
        QTest::newRow("not JSON") << QByteArray("commit=abc") << "unknown";
        QTest::newRow("empty file") << QByteArray("") << "unknown";
        QTest::newRow("trailing garbage") << QByteArray("{\"commit\": \"abc\"} x") << "unknown";
        QTest::newRow("binary") << QByteArray("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16) << "unknown";
        // Shown as it is, markup and all; the window shows it as plain text.
        QTest::newRow("odd but valid") << QByteArray("{\"commit\": \"<b>x</b>\\n\"}") << "<b>x</b>\n";
    }
    void revisionFallsBackOnAnythingButAnObjectOfStrings()
    {
        QFETCH(QByteArray, content);
        QFETCH(QString, commit);
        QCOMPARE(buildCommit(bundle(m_release, content)), commit);
    }

    void oversizedOrSpecialFilesAreNotRead()
    {
        // Valid JSON just over the cap: refused without being parsed.
        QByteArray big = "{\"commit\": \"abc\", \"pad\": \"";
        big += QByteArray(kBuildInfoMaxBytes, 'a') + "\"}";
        QCOMPARE(buildCommit(bundle(m_release, big)), QStringLiteral("unknown"));
        QByteArray justUnder = "{\"commit\": \"abc\", \"pad\": \"";
        justUnder += QByteArray(kBuildInfoMaxBytes - justUnder.size() - 2, 'a') + "\"}";
        QCOMPARE(justUnder.size(), kBuildInfoMaxBytes);
        QCOMPARE(buildCommit(bundle(m_release, justUnder)), QStringLiteral("abc"));

        // A FIFO in the file's place must not hang the caller.
        const Bundle fifo = bundle(m_release);
        QDir().mkpath(fifo.resourcesPath());
        QCOMPARE(::mkfifo(QFile::encodeName(fifo.resourcesPath() + "/build-info.json").constData(), 0600), 0);
        QCOMPARE(buildCommit(fifo), QStringLiteral("unknown"));

        // A folder, and a file that cannot be read.
        const Bundle folder = bundle(m_release);
        QDir().mkpath(folder.resourcesPath() + QStringLiteral("/build-info.json"));
        QCOMPARE(buildCommit(folder), QStringLiteral("unknown"));
        const Bundle closed = bundle(m_release, "{\"commit\": \"abc\"}");
        QFile::setPermissions(closed.resourcesPath() + QStringLiteral("/build-info.json"), {});
        if (::geteuid() != 0) // root reads it anyway
            QCOMPARE(buildCommit(closed), QStringLiteral("unknown"));

        // Read afresh every time: a replaced file shows at once.
        const Bundle changing = bundle(m_release, "{\"commit\": \"one\"}");
        QCOMPARE(buildCommit(changing), QStringLiteral("one"));
        QFile f(changing.resourcesPath() + QStringLiteral("/build-info.json"));
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write("{\"commit\": \"two\"}") > 0);
        f.close();
        QCOMPARE(buildCommit(changing), QStringLiteral("two"));
    }
};

QTEST_GUILESS_MAIN(tst_BuildInfo)
#include "tst_BuildInfo.moc"
