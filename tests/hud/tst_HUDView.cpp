// The card as drawn: text measured with the real font, its size rules, and
// the automatic display time worked out from the message.
#include "hud/HUDController.h"
#include "hud/HUDLayout.h"
#include "hud/HUDView.h"

#include <QApplication>
#include <QImage>
#include <QTest>

#include <cmath>

class TestHUDView : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void shortMessageIsOneLineCard();
    void longTextWrapsWithinLimit_data();
    void longTextWrapsWithinLimit();
    void drawnTextStaysInsideItsFrame();
    void textStopsAtTheLastWholeLineThatFits_data();
    void textStopsAtTheLastWholeLineThatFits();
    void hugeMessagesAreLaidOutOnlyAsFarAsTheCardShows_data();
    void hugeMessagesAreLaidOutOnlyAsFarAsTheCardShows();
    void lineBreaksStartNewLines_data();
    void lineBreaksStartNewLines();
    void automaticDuration_data();
    void automaticDuration();
};

void TestHUDView::shortMessageIsOneLineCard()
{
    HUDView view(QStringLiteral("Hello"), {});
    const auto &g = view.geometryInPoints();
    QCOMPARE(view.lineCount(), 1);
    QCOMPARE(g.size.height(), 88.0);
    QCOMPARE(g.size.width(), std::ceil(view.measuredTextSize().width()) + 2 + 110);
    QCOMPARE(g.iconFrame, QRectF(22, 18, 52, 52));
    QCOMPARE(view.size(), g.size.toSize());
    QCOMPARE(HUDView::messageFont().pixelSize(), 28);
    QVERIFY(HUDView::messageFont().bold());
}

void TestHUDView::longTextWrapsWithinLimit_data()
{
    QTest::addColumn<QString>("message");
    QTest::addColumn<int>("minLines");
    QTest::newRow("sentence") << QStringLiteral("The quick brown fox jumps over the lazy dog and keeps running "
                                                "until the card has to wrap onto a second line")
                              << 2;
    QTest::newRow("one huge word") << QString(200, QLatin1Char('W')) << 2;
    QTest::newRow("100000 characters") << QString(100000, QLatin1Char('x')) << 100;
    QTest::newRow("right to left") << QStringLiteral("שלום עולם, זו הודעה ארוכה מספיק כדי לעבור לשורה השנייה בכרטיס")
                                   << 1;
    QTest::newRow("emoji") << QStringLiteral("👋🏽 👨‍👩‍👧‍👦 🇩🇪 ✨✨✨✨✨✨✨✨✨✨✨✨✨✨✨✨✨✨✨✨✨✨") << 1;
    QTest::newRow("replacement characters") << QString::fromUtf8("bad \xff\xfe bytes") << 1;
    QTest::newRow("empty") << QString() << 1;
}

void TestHUDView::longTextWrapsWithinLimit()
{
    QFETCH(QString, message);
    QFETCH(int, minLines);
    HUDView view(message, {});
    const auto &g = view.geometryInPoints();
    QVERIFY2(view.lineCount() >= minLines, qPrintable(QString::number(view.lineCount())));
    QVERIFY(g.textFrame.width() <= HUDLayout::kMaxTextWidth);
    QVERIFY(g.size.width() <= 640);
    QVERIFY(g.size.height() >= 88);
    QVERIFY(view.measuredTextSize().width() <= HUDLayout::kMaxTextWidth);
    // Height follows the lines (up to the X window limit).
    if (view.lineCount() > 2)
        QVERIFY(g.size.height() > 88);
}

void TestHUDView::hugeMessagesAreLaidOutOnlyAsFarAsTheCardShows_data()
{
    QTest::addColumn<QString>("message");
    QTest::addColumn<bool>("whole"); // laid out to the end
    QTest::addColumn<bool>("fills"); // the card is as tall as it can be
    const qsizetype n = 16 << 20;
    QTest::newRow("one 16 MiB word") << QString(n, u'W') << false << true;
    QTest::newRow("16 MiB of words") << QStringLiteral("word ").repeated(n / 5) << false << true;
    QTest::newRow("emoji, cut between pairs") << QStringLiteral("\U0001F426").repeated(n / 4) << false << true;
    // Each break is a line: breaks fill the card like words do.
    QTest::newRow("16 MiB of line feeds, then a word") << QString(n, u'\n') + QStringLiteral("end") << false << true;
    QTest::newRow("16 MiB of CR LF, then a word") << QStringLiteral("\r\n").repeated(n / 2) + QStringLiteral("end") << false
                                                   << true;
    QTest::newRow("16 MiB of lines") << QStringLiteral("line\n").repeated(n / 5) << false << true;
    // Zero-width text never fills the card: a bounded amount is laid out.
    QTest::newRow("marks on one letter") << QStringLiteral("a") + QString(n / 2, QChar(0x0301)) << false << false;
    // Longer than one layout, shorter than a full card: all of it, with
    // the same lines as one layout would make.
    QTest::newRow("many short lines") << QStringLiteral("a ").repeated(6000) << true << false;
}

void TestHUDView::hugeMessagesAreLaidOutOnlyAsFarAsTheCardShows()
{
    QFETCH(QString, message);
    QFETCH(bool, whole);
    QFETCH(bool, fills);
    HUDView view(message, {});
    const qsizetype shown = view.laidOutLength();
    QCOMPARE(shown == message.size(), whole);
    QVERIFY(shown > 0);
    QVERIFY(!message.at(shown - 1).isHighSurrogate());
    QVERIFY(view.geometryInPoints().size.height() <= 32767);
    QCOMPARE(view.height() == 32767, fills);
    QVERIFY(view.measuredTextSize().width() <= HUDLayout::kMaxTextWidth);
    if (whole) {
        QTextLayout one(message, HUDView::messageFont());
        HUDView::measure(one);
        QCOMPARE(view.lineCount(), one.lineCount());
    }
}

void TestHUDView::textStopsAtTheLastWholeLineThatFits_data()
{
    QTest::addColumn<QString>("message");
    QTest::addColumn<double>("maxTextHeight");
    QTest::addColumn<bool>("cut");
    // One layout, and the chunked layout of a long message.
    const QString shortWords = QStringLiteral("word ").repeated(400);
    const QString longWords = QStringLiteral("word ").repeated(20000);
    const QString emoji = QStringLiteral("\U0001F426\U0001F468\u200D\U0001F469\u200D\U0001F467 ").repeated(2000);
    QTest::newRow("short message, a few lines") << shortWords << 300.0 << true;
    QTest::newRow("long message, a few lines") << longWords << 300.0 << true;
    QTest::newRow("colour emoji, a screenful") << emoji << 757.0 << true;
    QTest::newRow("less than one line still shows one") << longWords << 5.0 << true;
    QTest::newRow("room to spare") << QStringLiteral("word ").repeated(20) << 300.0 << false;
}

void TestHUDView::textStopsAtTheLastWholeLineThatFits()
{
    QFETCH(QString, message);
    QFETCH(double, maxTextHeight);
    QFETCH(bool, cut);
    HUDView bounded(message, {}, maxTextHeight);
    HUDView unbounded(message.left(8192), {});
    QCOMPARE(bounded.laidOutLength() < message.size(), cut);
    QVERIFY(bounded.lineCount() >= 1);
    // The lines are the first lines of the card without a bound.
    QVERIFY(bounded.lineCount() <= unbounded.lineCount());
    QCOMPARE(bounded.measuredTextSize().width() <= unbounded.measuredTextSize().width(), true);
    if (!cut) {
        QCOMPARE(bounded.lineCount(), unbounded.lineCount());
        QCOMPARE(bounded.measuredTextSize(), unbounded.measuredTextSize());
        return;
    }
    const double lineHeight = bounded.measuredTextSize().height() / bounded.lineCount();
    if (bounded.lineCount() > 1)
        QVERIFY(bounded.measuredTextSize().height() <= maxTextHeight);
    // One more line would not have fitted.
    QVERIFY(bounded.measuredTextSize().height() + lineHeight > maxTextHeight);
    // The cut falls where a line of the unbounded card ends.
    QCOMPARE(bounded.laidOutLength() < unbounded.laidOutLength(), true);
    HUDView exact(message.left(bounded.laidOutLength()), {});
    QCOMPARE(exact.lineCount(), bounded.lineCount());
}

void TestHUDView::drawnTextStaysInsideItsFrame()
{
    // Paint a long wrapped message and check that no text pixel lands right
    // of the text frame (a clipped or overflowing line would).
    HUDView view(QStringLiteral("Wrapping words should never spill past the right edge of the card, "
                                "not even Supercalifragilisticexpialidocious-and-then-some-more-letters"),
                 {});
    const auto &g = view.geometryInPoints();
    QImage image(view.size(), QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    view.render(&image);
    const int right = static_cast<int>(g.textFrame.right());
    int whiteInside = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QColor c = image.pixelColor(x, y);
            if (c.red() > 200 && c.green() > 200 && c.blue() > 200) {
                QVERIFY2(x <= right + 1, qPrintable(QStringLiteral("text pixel at %1,%2").arg(x).arg(y)));
                ++whiteInside;
            }
        }
    }
    QVERIFY(whiteInside > 100);
    // The card itself: a dark, mostly opaque background inside the corners.
    const QColor card = image.pixelColor(image.width() - 5, image.height() / 2);
    QVERIFY(card.alpha() > 150 && card.red() < 40);
    QCOMPARE(image.pixelColor(0, 0).alpha(), 0);
}

void TestHUDView::lineBreaksStartNewLines_data()
{
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("sameAs"); // the card it must equal, in LF form
    QTest::addColumn<QString>("shown");  // what a screen reader is given
    QTest::addColumn<int>("lines");
    const QString two = QStringLiteral("Backup finished\nCopied 1,204 files");
    QTest::newRow("LF") << two << two << two << 2;
    for (const auto &[name, sep] : {std::pair{"CR LF", u"\r\n"}, {"CR", u"\r"}, {"VT", u"\v"}, {"FF", u"\f"},
                                    {"NEL", u"\u0085"}, {"LINE SEPARATOR", u"\u2028"}, {"PARAGRAPH SEPARATOR", u"\u2029"}})
        QTest::newRow(name) << QStringLiteral("Backup finished") + QString::fromUtf16(sep) + QStringLiteral("Copied 1,204 files")
                            << two << two << 2;
    QTest::newRow("LF CR is two breaks") << QStringLiteral("a\n\rb") << QStringLiteral("a\n\nb") << QStringLiteral("a\n\nb") << 3;
    QTest::newRow("an empty line between") << QStringLiteral("a\n\nb") << QStringLiteral("a\n\nb") << QStringLiteral("a\n\nb") << 3;
    QTest::newRow("leading break kept") << QStringLiteral("\nDone") << QStringLiteral("\nDone") << QStringLiteral("\nDone") << 2;
    QTest::newRow("trailing LF dropped") << QStringLiteral("Done\n") << QStringLiteral("Done") << QStringLiteral("Done") << 1;
    QTest::newRow("trailing breaks of every kind dropped")
        << QStringLiteral("Done\r\n\n\r\v\f\u0085\u2028\u2029") << QStringLiteral("Done") << QStringLiteral("Done") << 1;
    QTest::newRow("nothing but breaks") << QStringLiteral("\n\r\n\n") << QString() << QString() << 1;
    QTest::newRow("16 MiB of nothing but line feeds") << QString(16 << 20, u'\n') << QString() << QString() << 1;
    // A tab or other control character is no break.
    QTest::newRow("tab") << QStringLiteral("a\tb") << QStringLiteral("a\tb") << QStringLiteral("a\tb") << 1;
}

void TestHUDView::lineBreaksStartNewLines()
{
    QFETCH(QString, message);
    QFETCH(QString, sameAs);
    QFETCH(QString, shown);
    QFETCH(int, lines);
    const HUDView view(message, {});
    QCOMPARE(view.lineCount(), lines);
    QCOMPARE(view.shownText(), shown);
    const HUDView reference(sameAs, {});
    QCOMPARE(view.size(), reference.size());
    QCOMPARE(view.measuredTextSize(), reference.measuredTextSize());
    // Each line adds its height; a one-line card is the shortest.
    const HUDView one(QStringLiteral("Backup finished"), {});
    if (lines > 1) {
        QVERIFY(view.height() > one.height());
        QVERIFY(view.measuredTextSize().height() >= lines * one.measuredTextSize().height() - 1);
    } else {
        QCOMPARE(view.height(), one.height());
    }
    // No line holds the text of two: the widest line is the widest part.
    if (sameAs == QStringLiteral("Backup finished\nCopied 1,204 files")) {
        const HUDView longer(QStringLiteral("Copied 1,204 files"), {});
        QCOMPARE(view.measuredTextSize().width(), longer.measuredTextSize().width());
    }
}

void TestHUDView::automaticDuration_data()
{
    QTest::addColumn<QString>("message");
    QTest::addColumn<double>("seconds");
    QTest::newRow("empty") << QString() << 2.0;
    QTest::newRow("13 characters") << QString(13, QLatin1Char('a')) << 2.0;
    QTest::newRow("14 characters") << QString(14, QLatin1Char('a')) << 2.04;
    QTest::newRow("146 characters") << QString(146, QLatin1Char('a')) << 9.96;
    QTest::newRow("147 characters") << QString(147, QLatin1Char('a')) << 10.0;
    QTest::newRow("huge") << QString(100000, QLatin1Char('a')) << 10.0;
    // Breaks count as characters, trailing ones too (CR LF as one).
    QTest::newRow("13 characters and a trailing LF") << QString(13, QLatin1Char('a')) + u'\n' << 2.04;
    QTest::newRow("12 characters around a CR LF") << QStringLiteral("aaaaaa\r\naaaaaa") << 2.0;
    QTest::newRow("14 line feeds") << QString(14, u'\n') << 2.04;
    // Counting may stop once the longest duration is reached, but not
    // before: a last character that goes on to the end counts once.
    QTest::newRow("146 characters, the last with 100000 marks")
        << QString(146, QLatin1Char('a')) + QString(100000, QChar(0x0301)) << 9.96;
    QTest::newRow("146 flags") << QStringLiteral("🇩🇪").repeated(146) << 9.96;
    QTest::newRow("147 flags") << QStringLiteral("🇩🇪").repeated(147) << 10.0;
    QTest::newRow("146 families") << QStringLiteral("👨‍👩‍👧‍👦").repeated(146) << 9.96;
    QTest::newRow("huge emoji") << QStringLiteral("\U0001F600").repeated(1 << 20) << 10.0;
    // 14 user-perceived characters, many more code units.
    QTest::newRow("graphemes") << QStringLiteral("👨‍👩‍👧‍👦🇩🇪éééééééééééé") << 2.04;
    QTest::newRow("flag after emoji") << QStringLiteral("👦🇩🇪aaaaaaaaaaaa") << 2.04;
    // Fourteen letters, each with a combining accent.
    QTest::newRow("combining marks") << QStringLiteral("e\u0301e\u0301e\u0301e\u0301e\u0301e\u0301e\u0301"
                                                       "e\u0301e\u0301e\u0301e\u0301e\u0301e\u0301e\u0301")
                                     << 2.04;
}

void TestHUDView::automaticDuration()
{
    QFETCH(QString, message);
    QFETCH(double, seconds);
    QVERIFY(std::abs(HUDController::automaticDuration(message) - seconds) < 1e-9);
}

QTEST_MAIN(TestHUDView)
#include "tst_HUDView.moc"
