// Text from outside, made safe to set beside our own on screen.
#include "desktop/DisplayText.h"

#include <QTest>

class tst_DisplayText : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void onlyReorderingTextIsIsolated()
    {
        QCOMPARE(isolatedForDisplay(QStringLiteral("2.0 <b>beta</b>")), QStringLiteral("2.0 <b>beta</b>"));
        QCOMPARE(isolatedForDisplay(QString()), QString());
        QCOMPARE(isolatedForDisplay(QStringLiteral("a\u202Eb")), QStringLiteral("\u2068a\u202Eb\u2069"));
        QCOMPARE(isolatedForDisplay(QStringLiteral("\u0645\u0631\u062D\u0628\u0627")),
                 QStringLiteral("\u2068\u0645\u0631\u062D\u0628\u0627\u2069"));
        // A right-to-left letter outside the basic plane (Adlam) counts too.
        const QString adlam = QString::fromUcs4(U"\U0001E900");
        QCOMPARE(isolatedForDisplay(adlam), QChar(0x2068) + adlam + QChar(0x2069));
    }

    void longRunsGetBreakOpportunities()
    {
        // Words of ordinary length are untouched.
        const QString words = QStringLiteral("Faster cards and fewer bugs.");
        QCOMPARE(wrappableForDisplay(words, 8), words);
        // A run without breaks gets one every maxRun characters, and the
        // characters themselves are all still there, in order.
        const QString run(20, u'x');
        const QString wrapped = wrappableForDisplay(run, 8);
        QCOMPARE(wrapped.count(QChar(0x200B)), 2);
        QCOMPARE(QString(wrapped).remove(QChar(0x200B)), run);
        QVERIFY(!wrapped.endsWith(QChar(0x200B)));
        // A break never lands inside a surrogate pair.
        QString emoji;
        for (int i = 0; i < 10; ++i)
            emoji += QString::fromUcs4(U"\U0001F44B");
        const QString split = wrappableForDisplay(emoji, 3);
        for (qsizetype i = 0; i < split.size(); ++i) {
            if (split.at(i).isHighSurrogate())
                QVERIFY(i + 1 < split.size() && split.at(i + 1).isLowSurrogate());
        }
        QCOMPARE(QString(split).remove(QChar(0x200B)), emoji);
    }

    void menuTextIsOneShortLine()
    {
        QCOMPARE(singleLineText(QStringLiteral("2.0\nbeta\tx\r\u2028y"), 40), QStringLiteral("2.0 beta x  y"));
        QCOMPARE(singleLineText(QStringLiteral("abcdef"), 4), QStringLiteral("abcd…"));
        QCOMPARE(singleLineText(QStringLiteral("abcd"), 4), QStringLiteral("abcd"));
        const QString pair = QStringLiteral("abc") + QString::fromUcs4(U"\U0001F44B");
        QCOMPARE(singleLineText(pair, 4), QStringLiteral("abc…"));
    }
};

QTEST_GUILESS_MAIN(tst_DisplayText)
#include "tst_DisplayText.moc"
