// Property lists from files others may have written: nesting is bounded
// before libplist, which recurses, ever sees the bytes.
#include "platform/PlistValue.h"

#include <QtTest>

namespace {

QByteArray xmlNested(int depth)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!DOCTYPE plist>\n<plist version=\"1.0\"><dict><key>k</key>"
           + QByteArray("<array>").repeated(depth) + QByteArray("</array>").repeated(depth) + "</dict></plist>";
}

// A binary list by hand: object 0 is a dictionary {"k": object 2}, object 1
// the key, and objects 2... arrays each holding the next; `loop` makes the
// last array hold the first again.
QByteArray binaryNested(int arrays, bool loop = false)
{
    QByteArray out("bplist00");
    std::vector<quint32> offsets;
    auto ref = [](quint32 v) {
        QByteArray b(4, '\0');
        for (int i = 3; i >= 0; --i, v >>= 8)
            b[i] = char(v & 0xFF);
        return b;
    };
    offsets.push_back(quint32(out.size()));
    out += '\xD1' + ref(1) + ref(2);
    offsets.push_back(quint32(out.size()));
    out += "\x51k";
    for (int i = 0; i < arrays; ++i) {
        offsets.push_back(quint32(out.size()));
        const bool last = i + 1 == arrays;
        if (last && !loop)
            out += '\xA0';
        else
            out += '\xA1' + ref(last ? 2 : quint32(3 + i));
    }
    const quint32 table = quint32(out.size());
    for (quint32 o : offsets)
        out += ref(o);
    QByteArray trailer(32, '\0');
    trailer[6] = 4; // offset size
    trailer[7] = 4; // reference size
    auto put64 = [&](int at, quint64 v) {
        for (int i = 7; i >= 0; --i, v >>= 8)
            trailer[at + i] = char(v & 0xFF);
    };
    put64(8, offsets.size());
    put64(16, 0);
    put64(24, table);
    return out + trailer;
}

} // namespace

class tst_PlistValue : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void nesting_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<bool>("parses");
        QTest::newRow("xml, shallow") << xmlNested(10) << true;
        QTest::newRow("xml, 50,000 deep") << xmlNested(50000) << false;
        QTest::newRow("xml, deep behind a comment") << QByteArray("<!-- <dict> -->" + xmlNested(50000)) << false;
        QTest::newRow("xml, empty arrays do not nest") << QByteArray("<plist version=\"1.0\"><dict><key>k</key><array>"
                                                                    + QByteArray("<array/>").repeated(1000) + "</array></dict></plist>") << true;
        QTest::newRow("xml, comment hides no depth") << QByteArray("<plist version=\"1.0\"><dict><!-- " + QByteArray("<array>").repeated(1000)
                                                                  + " --><key>k</key><string>v</string></dict></plist>") << true;
        QTest::newRow("binary, shallow") << binaryNested(10) << true;
        QTest::newRow("binary, 50,000 deep") << binaryNested(50000) << false;
        QTest::newRow("binary, referring to itself") << binaryNested(3, true) << false;
        QTest::newRow("binary, truncated") << binaryNested(50000).left(9000) << false;
    }

    void nesting()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(bool, parses);
        const std::unique_ptr<PList::Dictionary> dict = parsePlistDictionary(bytes);
        QCOMPARE(bool(dict), parses);
        if (parses)
            QVERIFY(dict->Find("k") != dict->End());
    }

    // libplist aborts on reading a key or string that holds a NUL.
    void nulCharactersAreRefused_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("raw NUL in a string") << QByteArray("<plist version=\"1.0\"><dict><key>k</key><string>a\0b</string></dict></plist>", 74);
        QTest::newRow("reference to NUL in a key") << QByteArray("<plist version=\"1.0\"><dict><key>k&#x00;</key><string>v</string></dict></plist>");
        QByteArray binary = binaryNested(1);
        binary.replace("\x51k", QByteArray("\x51\0", 2));
        QTest::newRow("binary key with a NUL") << binary;
    }

    void nulCharactersAreRefused()
    {
        QFETCH(QByteArray, bytes);
        QVERIFY(!parsePlistDictionary(bytes));
    }
};

QTEST_GUILESS_MAIN(tst_PlistValue)
#include "tst_PlistValue.moc"
