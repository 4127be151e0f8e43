// Finding the bundle an executable belongs to and reading its Info.plist
// with the value types intact.
#include "platform/Bundle.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

namespace {

void writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(bytes);
}

const QByteArray kPlist =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" \"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
    "<plist version=\"1.0\"><dict>\n"
    "  <key>CFBundleIdentifier</key><string>com.example.Test</string>\n"
    "  <key>CFBundleShortVersionString</key><integer>3</integer>\n"
    "  <key>CFBundleVersion</key><string>42</string>\n"
    "  <key>Flag</key><true/>\n"
    "  <key>When</key><date>2026-12-07T01:02:03Z</date>\n"
    "  <key>Ratio</key><real>0.5</real>\n"
    "</dict></plist>\n";

} // namespace

class TestBundle : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void locatesBundleFromExecutable_data();
    void locatesBundleFromExecutable();
    void readsTypedInfoValues();
    void missingOrBrokenPlistFallsBack_data();
    void missingOrBrokenPlistFallsBack();
    void builtBundleDescribesItself();
};

void TestBundle::locatesBundleFromExecutable_data()
{
    QTest::addColumn<QString>("executable");
    QTest::addColumn<QString>("bundle");
    QTest::addColumn<bool>("isApp");
    QTest::newRow("in bundle") << "/home/u/Applications/Ferrowhistle.app/Contents/bin/Ferrowhistle"
                               << "/home/u/Applications/Ferrowhistle.app" << true;
    QTest::newRow("helper in bundle") << "/x/Y.app/Contents/bin/tool" << "/x/Y.app" << true;
    QTest::newRow("loose") << "/usr/local/bin/Ferrowhistle" << "/usr/local/bin" << false;
    QTest::newRow("bin without Contents") << "/x/Y.app/bin/tool" << "/x/Y.app/bin" << false;
    QTest::newRow("Contents outside .app") << "/x/Y/Contents/bin/tool" << "/x/Y/Contents/bin" << false;
}

void TestBundle::locatesBundleFromExecutable()
{
    QFETCH(QString, executable);
    QFETCH(QString, bundle);
    QFETCH(bool, isApp);
    const Bundle b = Bundle::forExecutable(executable);
    QCOMPARE(b.path(), bundle);
    QCOMPARE(b.isAppBundle(), isApp);
    if (!isApp) {
        QVERIFY(b.infoPlistPath().isEmpty());
        QVERIFY(!b.identifier());
        QVERIFY(!b.resource(QStringLiteral("build-info"), QStringLiteral("json")));
    } else {
        QCOMPARE(b.helperProgram(QStringLiteral("x")), bundle + QStringLiteral("/Contents/bin/x"));
    }
}

void TestBundle::readsTypedInfoValues()
{
    QTemporaryDir dir;
    const Bundle b = Bundle::atPath(dir.path() + QStringLiteral("/T.app"));
    writeFile(b.infoPlistPath(), kPlist);
    writeFile(b.resourcesPath() + QStringLiteral("/build-info.json"), "{}");
    QCOMPARE(b.identifier(), std::optional(QStringLiteral("com.example.Test")));
    QCOMPARE(b.infoValue(QStringLiteral("CFBundleShortVersionString")), QVariant(qint64(3)));
    QVERIFY(!b.infoString(QStringLiteral("CFBundleShortVersionString"))); // a number is not a string
    QCOMPARE(b.infoString(QStringLiteral("CFBundleVersion")), std::optional(QStringLiteral("42")));
    QCOMPARE(b.infoValue(QStringLiteral("Flag")), QVariant(true));
    QCOMPARE(b.infoValue(QStringLiteral("When")).toDateTime(), QDateTime::fromString("2026-12-07T01:02:03Z", Qt::ISODate));
    QCOMPARE(b.infoValue(QStringLiteral("Ratio")), QVariant(0.5));
    QVERIFY(!b.infoValue(QStringLiteral("Absent")).isValid());
    QCOMPARE(b.resource(QStringLiteral("build-info"), QStringLiteral("json")),
             std::optional(b.resourcesPath() + QStringLiteral("/build-info.json")));
    QVERIFY(!b.resource(QStringLiteral("nothing"), QStringLiteral("json")));
}

void TestBundle::missingOrBrokenPlistFallsBack_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("not xml") << QByteArray("\x00\x01garbage\xff", 11);
    QTest::newRow("truncated") << kPlist.left(kPlist.size() / 2);
    QTest::newRow("array root") << QByteArray("<?xml version=\"1.0\"?><plist version=\"1.0\"><array><string>a</string></array></plist>");
    QTest::newRow("bad binary") << QByteArray("bplist00\x01\x02\x03", 11);
    // Not files to read: nothing, and no hang.
    QTest::newRow("a FIFO") << QByteArray("fifo");
    QTest::newRow("a link to a good one") << QByteArray("link");
}

void TestBundle::missingOrBrokenPlistFallsBack()
{
    QFETCH(QByteArray, content);
    QTemporaryDir dir;
    const Bundle b = Bundle::atPath(dir.path() + QStringLiteral("/T.app"));
    QVERIFY(!b.identifier()); // no file at all
    if (content == "fifo") {
        QVERIFY(QDir().mkpath(b.contentsPath()));
        QCOMPARE(::mkfifo(QFile::encodeName(b.infoPlistPath()).constData(), 0600), 0);
    } else if (content == "link") {
        writeFile(dir.path() + QStringLiteral("/elsewhere.plist"), kPlist);
        QVERIFY(QDir().mkpath(b.contentsPath()));
        QVERIFY(QFile::link(dir.path() + QStringLiteral("/elsewhere.plist"), b.infoPlistPath()));
    } else {
        writeFile(b.infoPlistPath(), content);
    }
    QVERIFY(!b.identifier());
    QVERIFY(!b.infoValue(QStringLiteral("CFBundleVersion")).isValid());
}

void TestBundle::builtBundleDescribesItself()
{
    const Bundle b = Bundle::atPath(QStringLiteral(FW_BUNDLE_DIR));
    QCOMPARE(b.identifier(), std::optional(QStringLiteral("com.copperkestrel.Ferrowhistle")));
    QCOMPARE(b.infoString(QStringLiteral("CFBundleExecutable")), std::optional(QStringLiteral("Ferrowhistle")));
    const auto build = b.infoString(QStringLiteral("CFBundleVersion"));
    QVERIFY(build);
    bool ok = false;
    build->toLongLong(&ok);
    QVERIFY(ok);
    QVERIFY(b.resource(QStringLiteral("build-info"), QStringLiteral("json")));
    QVERIFY(QFile::exists(b.helperProgram(QStringLiteral("Ferrowhistle"))));
    QCOMPARE(Bundle::forExecutable(b.helperProgram(QStringLiteral("Ferrowhistle"))).path(), b.path());
}

QTEST_APPLESS_MAIN(TestBundle)
#include "tst_Bundle.moc"
