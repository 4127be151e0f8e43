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
    void positionsParseOnlyRawValues_data();
    void positionsParseOnlyRawValues();
    void positionsRoundTripInOrder();
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

void TestHUDLayout::positionsParseOnlyRawValues_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("expected"); // -1: no position
    const char *raw[] = {"center", "top", "bottom", "left", "right", "topLeft", "topRight", "bottomLeft", "bottomRight"};
    for (int i = 0; i < 9; ++i)
        QTest::newRow(raw[i]) << QString::fromLatin1(raw[i]) << i;
    for (const char *bad : {"topleft", "TopLeft", "top left", " center", "center ", "", "middle", "CENTER"})
        QTest::newRow(qPrintable(QStringLiteral("bad '%1'").arg(QString::fromLatin1(bad)))) << QString::fromLatin1(bad) << -1;
}

void TestHUDLayout::positionsParseOnlyRawValues()
{
    QFETCH(QString, text);
    QFETCH(int, expected);
    const auto parsed = HUDPositions::fromRawValue(text);
    if (expected < 0)
        QVERIFY(!parsed.has_value());
    else
        QCOMPARE(static_cast<int>(parsed.value()), expected);
}

void TestHUDLayout::positionsRoundTripInOrder()
{
    const auto &all = HUDPositions::allCases();
    QCOMPARE(all.size(), size_t(9));
    QCOMPARE(all.front(), HUDPosition::center);
    QCOMPARE(all.back(), HUDPosition::bottomRight);
    QSet<size_t> hashes;
    for (size_t i = 0; i < all.size(); ++i) {
        QCOMPARE(static_cast<size_t>(all[i]), i);
        QCOMPARE(HUDPositions::fromRawValue(HUDPositions::rawValue(all[i])), std::optional(all[i]));
        const QString title = HUDPositions::displayTitle(all[i]);
        QCOMPARE(title, title.toLower());
        if (title.contains(QLatin1Char(' ')))
            QVERIFY(!HUDPositions::fromRawValue(title));
        hashes.insert(qHash(all[i]));
    }
    QCOMPARE(HUDPositions::displayTitle(HUDPosition::bottomRight), QStringLiteral("bottom right"));
    QCOMPARE(HUDPositions::typeDisplayName(), QStringLiteral("Position"));
    QCOMPARE(hashes.size(), 9);
}

QTEST_APPLESS_MAIN(TestHUDLayout)
#include "tst_HUDLayout.moc"
