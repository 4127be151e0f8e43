// Reading the command line: which message and placement a launch asks for,
// and how the argument vector is written to the debug log.
#include "app/LaunchOptions.h"

#include <QTest>

Q_DECLARE_METATYPE(std::optional<LaunchRequest>)

class TestLaunchOptions : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void scan_data();
    void scan();
    void rendersArgumentList_data();
    void rendersArgumentList();
    void invalidUtf8ArgumentsAreKept();
    void watchStartIsTheWholeCommandLineOrAnError();
    void watchStartTakesTheLimitTheUpdaterTakes();
};

void TestLaunchOptions::invalidUtf8ArgumentsAreKept()
{
    char prog[] = "/p/Ferrowhistle";
    char opt[] = "--test-message";
    char bad[] = "caf\xe9 \xff!";
    char *argv[] = {prog, opt, bad, nullptr};
    const QStringList args = argumentsFromArgv(3, argv);
    QCOMPARE(args.size(), 3);
    QCOMPARE(args[2], QStringLiteral("caf\uFFFD \uFFFD!"));
    QCOMPARE(scanLaunchArguments(args)->message, args[2]);
}

void TestLaunchOptions::scan_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<bool>("scheduled");
    QTest::addColumn<QString>("message");
    QTest::addColumn<HUDPosition>("position");
    const QString app = QStringLiteral("/a/Ferrowhistle");
    using P = HUDPosition;
    QTest::newRow("nothing") << QStringList{app} << false << QString() << P::center;
    QTest::newRow("message") << QStringList{app, "--test-message", "Hello"} << true << "Hello" << P::center;
    QTest::newRow("with position") << QStringList{app, "--test-message", "Hello", "--position", "topRight"} << true
                                   << "Hello" << P::topRight;
    QTest::newRow("position first") << QStringList{app, "--position", "topRight", "--test-message", "Hello"} << true
                                    << "Hello" << P::topRight;
    QTest::newRow("message last") << QStringList{app, "--position", "top", "--test-message"} << false << QString()
                                  << P::center;
    QTest::newRow("wrong case") << QStringList{app, "--test-message", "Hi", "--position", "TopRight"} << true << "Hi"
                                << P::center;
    QTest::newRow("unknown name") << QStringList{app, "--test-message", "Hi", "--position", "middle"} << true << "Hi"
                                  << P::center;
    QTest::newRow("position last") << QStringList{app, "--test-message", "Hi", "--position"} << true << "Hi" << P::center;
    // The message is the option-looking word; the placement search then
    // finds that same word and takes what follows it.
    QTest::newRow("message looks like option") << QStringList{app, "--test-message", "--position", "left"} << true
                                               << "--position" << P::left;
    QTest::newRow("two messages") << QStringList{app, "--test-message", "one", "--test-message", "two"} << true << "one"
                                  << P::center;
    QTest::newRow("empty message") << QStringList{app, "--test-message", ""} << true << "" << P::center;
    QTest::newRow("equals form") << QStringList{app, "--test-message=Hello"} << false << QString() << P::center;
    QTest::newRow("program path is searched too") << QStringList{"--test-message", "x"} << true << "x" << P::center;
}

void TestLaunchOptions::scan()
{
    QFETCH(QStringList, args);
    QFETCH(bool, scheduled);
    QFETCH(QString, message);
    QFETCH(HUDPosition, position);
    const auto r = scanLaunchArguments(args);
    QCOMPARE(r.has_value(), scheduled);
    if (r) {
        QCOMPARE(r->message, message);
        QCOMPARE(r->position, position);
    }
}

void TestLaunchOptions::rendersArgumentList_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("rendered");
    QTest::newRow("plain") << QStringList{"/p/Ferrowhistle", "--test-message", "Hello"}
                           << R"(["/p/Ferrowhistle", "--test-message", "Hello"])";
    QTest::newRow("empty list") << QStringList{} << "[]";
    QTest::newRow("escapes") << QStringList{"say \"hi\"", "back\\slash", "line\nfeed\ttab", QString(QChar(0x1b))}
                             << R"(["say \"hi\"", "back\\slash", "line\nfeed\ttab", "\u{1b}"])";
    QTest::newRow("unicode kept") << QStringList{"Grüße 👋", ""} << QStringLiteral("[\"Grüße 👋\", \"\"]");
}

void TestLaunchOptions::rendersArgumentList()
{
    QFETCH(QStringList, args);
    QFETCH(QString, rendered);
    QCOMPARE(renderArgumentList(args), rendered);
}

// The relaunch writes it; anything else that looks like it is refused, so a
// watch never runs on half its arguments.
void TestLaunchOptions::watchStartIsTheWholeCommandLineOrAnError()
{
    const QString app = QStringLiteral("/a/Ferrowhistle");
    const LaunchMode ok = launchModeOf({app, "--watch-start", "/Apps/Ferrowhistle.app", "501", "60000"});
    QCOMPARE(ok.kind, LaunchMode::WatchStart);
    QCOMPARE(ok.watchBundle, QStringLiteral("/Apps/Ferrowhistle.app"));
    QCOMPARE(ok.watchBuild, 501);
    QCOMPARE(ok.watchLimitMs, 60000);
    for (const QStringList &bad : {QStringList{app, "--watch-start", "/Apps/F.app", "501"},
                                   QStringList{app, "--watch-start", "/Apps/F.app", "501", "60000", "x"},
                                   QStringList{app, "--watch-start", "Apps/F.app", "501", "60000"},
                                   QStringList{app, "--watch-start", "/Apps/F.app", "0", "60000"},
                                   QStringList{app, "--watch-start", "/Apps/F.app", "-501", "60000"},
                                   QStringList{app, "--watch-start", "/Apps/F.app", "501", "99999999999999999999"}})
        QCOMPARE(launchModeOf(bad).kind, LaunchMode::UsageError);
    // Anywhere but first it is no option at all.
    QCOMPARE(launchModeOf({app, "--test-message", "x", "--watch-start", "/A.app", "1", "1"}).kind, LaunchMode::Run);
}

// The limit is read as the updater reads FERROWHISTLE_START_LIMIT_MS: from
// 1 ms to 10 minutes, by the one integer rule. Longer ones could overflow
// the watch's clock (from 9,223,372,036,855 ms) and are refused whole.
void TestLaunchOptions::watchStartTakesTheLimitTheUpdaterTakes()
{
    const QString app = QStringLiteral("/a/Ferrowhistle");
    const auto limitOf = [&](const QString &limit) -> std::optional<qint64> {
        const LaunchMode mode = launchModeOf({app, "--watch-start", "/Apps/F.app", "501", limit});
        if (mode.kind != LaunchMode::WatchStart)
            return std::nullopt;
        return mode.watchLimitMs;
    };
    QCOMPARE(limitOf("1").value_or(-1), 1);
    QCOMPARE(limitOf("600000").value_or(-1), 600000);
    QCOMPARE(limitOf("+5000").value_or(-1), 5000);
    QCOMPARE(limitOf("0000000000000000005000").value_or(-1), 5000);
    for (const char *bad : {"0", "-1", "600001", "9223372036855", "999999999999999999", "", "5e3", " 5000"})
        QVERIFY2(!limitOf(QString::fromLatin1(bad)), bad);
    // The build too follows the rule CFBundleVersion is read by.
    QCOMPARE(launchModeOf({app, "--watch-start", "/Apps/F.app", "+501", "60000"}).watchBuild, 501);
}

QTEST_APPLESS_MAIN(TestLaunchOptions)
#include "tst_LaunchOptions.moc"
