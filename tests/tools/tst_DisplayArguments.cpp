// ferrowhistle-display's command line, scanned without Qt: the same results
// as the app's own readings of positions and numbers, and text the bus takes.
#include "DisplayArguments.h"

#include "hud/HUDPosition.h"

#include <QLocale>
#include <QTest>

#include <cmath>

namespace {

std::vector<std::string> toStd(const QStringList &list)
{
    std::vector<std::string> out;
    for (const QString &s : list)
        out.push_back(s.toStdString());
    return out;
}

} // namespace

class TestDisplayArguments : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void scanning_data();
    void scanning();
    void durationsReadAsTheCLocaleDoes_data();
    void durationsReadAsTheCLocaleDoes();
    void everyPositionTheAppKnowsIsAccepted();
    void screenAndOutcome_data();
    void screenAndOutcome();
    void commandLineBytesBecomeValidText_data();
    void commandLineBytesBecomeValidText();
};

void TestDisplayArguments::scanning_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("result");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("position");
    QTest::addColumn<double>("duration");
    QTest::addColumn<QString>("error"); // the start of the usage error

    const int run = int(DisplayArguments::Result::Run);
    const int help = int(DisplayArguments::Result::Help);
    const int usage = int(DisplayArguments::Result::UsageError);
    const QString center = QStringLiteral("center");
    QTest::newRow("message only") << QStringList{"Hello"} << run << "Hello" << center << 0.0 << "";
    QTest::newRow("options before and after")
        << QStringList{"--position", "topLeft", "Hi there", "--duration", "2.5"} << run << "Hi there" << "topLeft" << 2.5 << "";
    QTest::newRow("inline values") << QStringList{"--position=bottomRight", "--duration=-3", "x"} << run << "x"
                                   << "bottomRight" << -3.0 << "";
    QTest::newRow("a value may start with -") << QStringList{"--duration", "-1", "x"} << run << "x" << center << -1.0 << "";
    QTest::newRow("a value holding =") << QStringList{"--position=top=left", "x"} << usage << "" << center << 0.0
                                       << "--position \"top=left\" is not one of: center, top,";
    QTest::newRow("after -- all is message") << QStringList{"--", "--help"} << run << "--help" << center << 0.0 << "";
    QTest::newRow("-- then a dash message") << QStringList{"--duration", "1", "--", "-5 degrees"} << run << "-5 degrees"
                                             << center << 1.0 << "";
    QTest::newRow("a lone dash is a message") << QStringList{"-"} << run << "-" << center << 0.0 << "";
    QTest::newRow("empty message") << QStringList{""} << run << "" << center << 0.0 << "";
    QTest::newRow("help wins over the rest") << QStringList{"hi", "--duration", "x", "-h"} << usage << "" << center << 0.0
                                              << "--duration wants a number of seconds, got \"x\"";
    QTest::newRow("help after a message") << QStringList{"hi", "--help"} << help << "" << center << 0.0 << "";
    QTest::newRow("short help alone") << QStringList{"-h"} << help << "" << center << 0.0 << "";
    QTest::newRow("unknown short option") << QStringList{"-x", "hi"} << usage << "" << center << 0.0
                                          << "unknown option -x (put -- before a message that starts with -)";
    QTest::newRow("unknown long option names only itself")
        << QStringList{"--colour=red", "hi"} << usage << "" << center << 0.0 << "unknown option --colour (put";
    QTest::newRow("missing value") << QStringList{"hi", "--position"} << usage << "" << center << 0.0
                                   << "--position needs a value";
    QTest::newRow("empty inline value") << QStringList{"hi", "--duration="} << usage << "" << center << 0.0
                                        << "--duration wants a number of seconds, got \"\" (0 or less means automatic)";
    QTest::newRow("second message") << QStringList{"a", "b"} << usage << "" << center << 0.0
                                    << "one MESSAGE only; quote a message that has spaces";
    QTest::newRow("nothing") << QStringList{} << usage << "" << center << 0.0 << "MESSAGE is missing";
    QTest::newRow("only options") << QStringList{"--duration", "1"} << usage << "" << center << 0.0 << "MESSAGE is missing";
    QTest::newRow("title instead of name") << QStringList{"hi", "--position", "top left"} << usage << "" << center << 0.0
                                           << "--position \"top left\" is not one of: center, top, bottom, left, right, "
                                              "topLeft, topRight, bottomLeft, bottomRight";
    QTest::newRow("later value wins") << QStringList{"--duration=1", "--duration=2", "hi"} << run << "hi" << center << 2.0 << "";
    QTest::newRow("text is passed on unchanged") << QStringList{"Gr\u00fc\u00dfe \U0001F44B\n%1 \"q\""} << run
                                                 << "Gr\u00fc\u00dfe \U0001F44B\n%1 \"q\"" << center << 0.0 << "";
}

void TestDisplayArguments::scanning()
{
    QFETCH(QStringList, args);
    QFETCH(int, result);
    QFETCH(QString, message);
    QFETCH(QString, position);
    QFETCH(double, duration);
    QFETCH(QString, error);
    const DisplayArguments a = DisplayArguments::parse(toStd(args));
    QCOMPARE(int(a.result), result);
    if (a.result == DisplayArguments::Result::Run) {
        QCOMPARE(QString::fromStdString(a.message), message);
        QCOMPARE(QString::fromStdString(a.position), position);
        QCOMPARE(a.duration, duration);
    }
    if (a.result == DisplayArguments::Result::UsageError)
        QVERIFY2(QString::fromStdString(a.error).startsWith(error), a.error.c_str());
}

void TestDisplayArguments::durationsReadAsTheCLocaleDoes_data()
{
    QTest::addColumn<QString>("text");
    for (const char *t : {"5", "0", "-0", "-3", "1.5", "0.25", " 2 ", "\t7\n", "+4", "+-4", "-+4", "--4", "1e2", "1E-2",
                          "2.5e+1", ".5", "5.", ".", "e5", "1e", "inf", "-inf", "infinity", "nan", "NaN", "1e999",
                          "1e-999", "0x10", "0x1p3", "1,000", "1,5", "1,000,000.5", "-12,345", "1,0000", "10,00", ",100", "100,",
                          "1,000e2", "1.000,5", "1,,000", "1234,567", "1_0", "5s", "", " ", "1 000", "00012",
                          "\u0661", "\u00bd"})
        QTest::newRow(t) << QString::fromUtf8(t);
}

void TestDisplayArguments::durationsReadAsTheCLocaleDoes()
{
    // The app and its earlier client read numbers with Qt's C locale; a
    // script's duration means the same to this client.
    QFETCH(QString, text);
    bool ok = false;
    const double qt = QLocale::c().toDouble(text, &ok);
    const bool qtAccepts = ok && std::isfinite(qt);
    const DisplayArguments a = DisplayArguments::parse(toStd({QStringLiteral("--duration"), text, QStringLiteral("m")}));
    QCOMPARE(a.result == DisplayArguments::Result::Run, qtAccepts);
    if (qtAccepts)
        QCOMPARE(a.duration, qt);
}

void TestDisplayArguments::everyPositionTheAppKnowsIsAccepted()
{
    QStringList names;
    for (HUDPosition p : HUDPositions::allCases()) {
        const QString raw = HUDPositions::rawValue(p);
        names << raw;
        const DisplayArguments a = DisplayArguments::parse(toStd({QStringLiteral("--position"), raw, QStringLiteral("m")}));
        QCOMPARE(int(a.result), int(DisplayArguments::Result::Run));
        QCOMPARE(QString::fromStdString(a.position), raw);
        // Near misses are refused.
        for (const QString &near : {raw.toUpper(), raw + QLatin1Char(' '), HUDPositions::displayTitle(p) + QLatin1Char('!')}) {
            const DisplayArguments b = DisplayArguments::parse(toStd({QStringLiteral("--position"), near, QStringLiteral("m")}));
            QCOMPARE(int(b.result), int(DisplayArguments::Result::UsageError));
        }
    }
    QCOMPARE(names.join(QStringLiteral(", ")), HUDPositions::rawValueList());
}

void TestDisplayArguments::screenAndOutcome_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("screen"); // empty: the user's setting
    QTest::addColumn<bool>("printOutcome");
    QTest::addColumn<QString>("error");  // the start of the usage error, empty when it runs
    QTest::newRow("neither") << QStringList{"hi"} << "" << false << "";
    for (const char *name : {"main", "pointer", "all"})
        QTest::newRow(name) << QStringList{"--screen", name, "hi"} << name << false << "";
    QTest::newRow("inline, with the outcome") << QStringList{"hi", "--screen=all", "--print-outcome"} << "all" << true << "";
    QTest::newRow("outcome alone") << QStringList{"--print-outcome", "hi"} << "" << true << "";
    QTest::newRow("after -- it is the message") << QStringList{"--", "--print-outcome"} << "" << false << "";
    QTest::newRow("wrong case") << QStringList{"hi", "--screen", "All"} << "" << false
                                << "--screen \"All\" is not one of: main, pointer, all";
    QTest::newRow("empty") << QStringList{"hi", "--screen="} << "" << false << "--screen \"\" is not one of";
    QTest::newRow("outcome takes no value") << QStringList{"hi", "--print-outcome=1"} << "" << false
                                            << "--print-outcome takes no value";
}

void TestDisplayArguments::screenAndOutcome()
{
    QFETCH(QStringList, args);
    QFETCH(QString, screen);
    QFETCH(bool, printOutcome);
    QFETCH(QString, error);
    const DisplayArguments a = DisplayArguments::parse(toStd(args));
    if (!error.isEmpty()) {
        QCOMPARE(int(a.result), int(DisplayArguments::Result::UsageError));
        QVERIFY2(QString::fromStdString(a.error).startsWith(error), a.error.c_str());
        return;
    }
    QCOMPARE(int(a.result), int(DisplayArguments::Result::Run));
    QCOMPARE(QString::fromStdString(a.screen), screen);
    QCOMPARE(a.printOutcome, printOutcome);
}

void TestDisplayArguments::commandLineBytesBecomeValidText_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("ascii") << QByteArray("plain text");
    QTest::newRow("two to four bytes") << QByteArray("\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80 \xf4\x8f\xbf\xbf");
    QTest::newRow("lone continuation") << QByteArray("a\x80z");
    QTest::newRow("truncated in the middle") << QByteArray("a\xe2\x82z");
    QTest::newRow("truncated at the end") << QByteArray("a\xf0\x9f\x98");
    QTest::newRow("overlong slash") << QByteArray("\xc0\xaf");
    QTest::newRow("overlong three") << QByteArray("\xe0\x80\xaf");
    QTest::newRow("surrogate") << QByteArray("\xed\xa0\x80");
    QTest::newRow("beyond U+10FFFF") << QByteArray("\xf4\x90\x80\x80");
    QTest::newRow("never valid") << QByteArray("\xf5\xfe\xff");
    QTest::newRow("latin-1 text") << QByteArray("Gr\xfc\xdf" "e");
}

void TestDisplayArguments::commandLineBytesBecomeValidText()
{
    // What Qt made of the same bytes: the text the app was sent before.
    QFETCH(QByteArray, bytes);
    const std::string text = DisplayArguments::validUtf8(bytes.toStdString());
    QCOMPARE(QByteArray::fromStdString(text), QString::fromUtf8(bytes).toUtf8());
}

QTEST_GUILESS_MAIN(TestDisplayArguments)
#include "tst_DisplayArguments.moc"
