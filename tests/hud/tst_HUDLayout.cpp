// Placement, card size and position vocabulary of the message card.
#include "hud/HUDLayout.h"
#include "hud/HUDPosition.h"

#include <QTest>

class TestHUDLayout : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void placementOnReferenceFrame_data();
    void placementOnReferenceFrame();
    void placementRespectsOffsetFrameAndOverhangs();
    void cardSizeRounding_data();
    void cardSizeRounding();
    void tallestTextFitsBetweenTheMargins_data();
    void tallestTextFitsBetweenTheMargins();
    void positionsParseOnlyRawValues_data();
    void positionsParseOnlyRawValues();
    void positionsRoundTrip();
};

void TestHUDLayout::placementOnReferenceFrame_data()
{
    QTest::addColumn<HUDPosition>("position");
    QTest::addColumn<QPointF>("origin");
    // A 1440 x 875 visible frame and a 172 x 88 card.
    QTest::newRow("center") << HUDPosition::center << QPointF(634, 393.5);
    QTest::newRow("top") << HUDPosition::top << QPointF(634, 747);
    QTest::newRow("bottom") << HUDPosition::bottom << QPointF(634, 40);
    QTest::newRow("left") << HUDPosition::left << QPointF(40, 393.5);
    QTest::newRow("right") << HUDPosition::right << QPointF(1228, 393.5);
    QTest::newRow("topLeft") << HUDPosition::topLeft << QPointF(40, 747);
    QTest::newRow("topRight") << HUDPosition::topRight << QPointF(1228, 747);
    QTest::newRow("bottomLeft") << HUDPosition::bottomLeft << QPointF(40, 40);
    QTest::newRow("bottomRight") << HUDPosition::bottomRight << QPointF(1228, 40);
}

void TestHUDLayout::placementOnReferenceFrame()
{
    QFETCH(HUDPosition, position);
    QFETCH(QPointF, origin);
    QCOMPARE(HUDLayout::placement(position, QRectF(0, 0, 1440, 875), QSizeF(172, 88)), origin);
}

void TestHUDLayout::placementRespectsOffsetFrameAndOverhangs()
{
    // A second screen to the right whose visible frame starts above a dock.
    const QRectF frame(1440, 60, 1280, 964);
    QCOMPARE(HUDLayout::placement(HUDPosition::bottomLeft, frame, QSizeF(172, 88)), QPointF(1480, 100));
    QCOMPARE(HUDLayout::placement(HUDPosition::topRight, frame, QSizeF(172, 88)), QPointF(2508, 896));
    // Larger than the frame: not clamped, the card overhangs.
    const QPointF big = HUDLayout::placement(HUDPosition::topLeft, QRectF(0, 0, 300, 200), QSizeF(640, 400));
    QCOMPARE(big, QPointF(40, -240));
}

void TestHUDLayout::cardSizeRounding_data()
{
    QTest::addColumn<QSizeF>("measured");
    QTest::addColumn<QSizeF>("card");
    QTest::addColumn<QRectF>("icon");
    QTest::addColumn<QRectF>("text");
    QTest::newRow("one line") << QSizeF(60, 34) << QSizeF(172, 88) << QRectF(22, 18, 52, 52) << QRectF(88, 26, 62, 36);
    QTest::newRow("fractions round up") << QSizeF(60.1, 33.2) << QSizeF(173, 88) << QRectF(22, 18, 52, 52)
                                        << QRectF(88, 26, 63, 36);
    QTest::newRow("528.2 capped to 530") << QSizeF(528.2, 34) << QSizeF(640, 88) << QRectF(22, 18, 52, 52)
                                          << QRectF(88, 26, 530, 36);
    QTest::newRow("three lines") << QSizeF(530, 102) << QSizeF(640, 140) << QRectF(22, 44, 52, 52)
                                 << QRectF(88, 18, 530, 104);
    QTest::newRow("empty text") << QSizeF(0, 0) << QSizeF(112, 88) << QRectF(22, 18, 52, 52) << QRectF(88, 43, 2, 2);
    // The width cap: reached exactly, passed by one point, passed by far.
    QTest::newRow("528 reaches the cap exactly") << QSizeF(528, 34) << QSizeF(640, 88) << QRectF(22, 18, 52, 52)
                                                 << QRectF(88, 26, 530, 36);
    QTest::newRow("527.5 rounds up to the cap") << QSizeF(527.5, 34) << QSizeF(640, 88) << QRectF(22, 18, 52, 52)
                                                << QRectF(88, 26, 530, 36);
    QTest::newRow("4000 capped") << QSizeF(4000, 34) << QSizeF(640, 88) << QRectF(22, 18, 52, 52)
                                 << QRectF(88, 26, 530, 36);
    // The height: the icon's 52 points decide until the text is taller.
    QTest::newRow("text as tall as the icon") << QSizeF(60, 50) << QSizeF(172, 88) << QRectF(22, 18, 52, 52)
                                              << QRectF(88, 18, 62, 52);
    QTest::newRow("50.01 rounds past the icon") << QSizeF(60, 50.01) << QSizeF(172, 89) << QRectF(22, 18.5, 52, 52)
                                                << QRectF(88, 18, 62, 53);
    QTest::newRow("whole numbers are not rounded up") << QSizeF(100, 34) << QSizeF(212, 88) << QRectF(22, 18, 52, 52)
                                                      << QRectF(88, 26, 102, 36);
}

void TestHUDLayout::cardSizeRounding()
{
    QFETCH(QSizeF, measured);
    QFETCH(QSizeF, card);
    QFETCH(QRectF, icon);
    QFETCH(QRectF, text);
    const auto g = HUDLayout::cardGeometry(measured);
    QCOMPARE(g.size, card);
    QCOMPARE(g.iconFrame, icon);
    QCOMPARE(g.textFrame, text);
}

void TestHUDLayout::tallestTextFitsBetweenTheMargins_data()
{
    QTest::addColumn<QRectF>("frame");
    QTest::newRow("reference") << QRectF(0, 0, 1440, 875);
    QTest::newRow("fractional, above a dock") << QRectF(0, 60.5, 1280, 963.25);
    QTest::newRow("4K") << QRectF(0, 0, 3840, 2160);
}

void TestHUDLayout::tallestTextFitsBetweenTheMargins()
{
    QFETCH(QRectF, frame);
    const double tallest = HUDLayout::maxTextHeight(frame);
    const double room = frame.height() - 2 * HUDLayout::kScreenMargin;
    // Measured heights come with fractions; the card rounds them up.
    for (const double h : {tallest, tallest - 0.25}) {
        const HUDLayout::CardGeometry g = HUDLayout::cardGeometry(QSizeF(300, h));
        QVERIFY2(g.size.height() <= room, qPrintable(QString::number(g.size.height())));
        QVERIFY(g.size.height() > room - 1);
        for (const HUDPosition p : {HUDPosition::top, HUDPosition::center, HUDPosition::bottomLeft}) {
            const QPointF o = HUDLayout::placement(p, frame, g.size);
            QVERIFY(o.y() >= frame.y() + HUDLayout::kScreenMargin - 0.5);
            QVERIFY(o.y() + g.size.height() <= frame.bottom() - HUDLayout::kScreenMargin + 0.5);
        }
    }
}

void TestHUDLayout::positionsParseOnlyRawValues_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<std::optional<HUDPosition>>("expected");
    const std::pair<const char *, HUDPosition> raw[] = {
        {"center", HUDPosition::center},       {"top", HUDPosition::top},
        {"bottom", HUDPosition::bottom},       {"left", HUDPosition::left},
        {"right", HUDPosition::right},         {"topLeft", HUDPosition::topLeft},
        {"topRight", HUDPosition::topRight},   {"bottomLeft", HUDPosition::bottomLeft},
        {"bottomRight", HUDPosition::bottomRight}};
    for (const auto &[text, position] : raw)
        QTest::newRow(text) << QString::fromLatin1(text) << std::optional(position);
    for (const char *bad : {"topleft", "TopLeft", "top left", " center", "center ", "", "middle", "CENTER"})
        QTest::newRow(qPrintable(QStringLiteral("bad '%1'").arg(QString::fromLatin1(bad)))) << QString::fromLatin1(bad)
                                                                                           << std::optional<HUDPosition>();
}

void TestHUDLayout::positionsParseOnlyRawValues()
{
    QFETCH(QString, text);
    QFETCH(std::optional<HUDPosition>, expected);
    QCOMPARE(HUDPositions::fromRawValue(text), expected);
}

void TestHUDLayout::positionsRoundTrip()
{
    // Every case once, each one's raw value reads back as itself, and no
    // display title (which may hold blanks) is taken for a raw value.
    const auto &all = HUDPositions::allCases();
    QCOMPARE(all.size(), size_t(9));
    QSet<QString> raws;
    for (const HUDPosition p : all) {
        raws.insert(HUDPositions::rawValue(p));
        QCOMPARE(HUDPositions::fromRawValue(HUDPositions::rawValue(p)), std::optional(p));
        const QString title = HUDPositions::displayTitle(p);
        QCOMPARE(title, title.toLower());
        if (title.contains(QLatin1Char(' ')))
            QVERIFY(!HUDPositions::fromRawValue(title));
    }
    QCOMPARE(raws.size(), 9);
    QCOMPARE(HUDPositions::displayTitle(HUDPosition::bottomRight), QStringLiteral("bottom right"));
    QCOMPARE(HUDPositions::typeDisplayName(), QStringLiteral("Position"));
}

QTEST_APPLESS_MAIN(TestHUDLayout)
#include "tst_HUDLayout.moc"
