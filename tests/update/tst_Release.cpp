// Strict decoding of the release record: which bodies decode, and that every
// refusal says what was wrong.

#include "update/Release.h"
#include "update/UpdaterFailure.h"

#include <QtTest>

namespace {

const QByteArray kSha = QByteArray(64, 'a');

QByteArray body(const QByteArray &members)
{
    return "{" + members + "}";
}

QByteArray valid(const QByteArray &extra = {}, const QByteArray &build = "42")
{
    return body("\"version\": \"2.0\", \"build\": " + build + ", \"url\": \"https://dl.example.org/F.zip\", \"sha256\": \""
                + kSha + "\"" + (extra.isEmpty() ? QByteArray() : ", " + extra));
}

} // namespace

class tst_Release : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void decodesAllFields()
    {
        const Release r = Release::decode(valid("\"notes\": \"Line one.\\nLine two.\", \"minimumSystemVersion\": \"6.1\""));
        QCOMPARE(r.version, QStringLiteral("2.0"));
        QCOMPARE(r.build, 42);
        QCOMPARE(r.url, QUrl(QStringLiteral("https://dl.example.org/F.zip")));
        QCOMPARE(r.sha256, QString::fromLatin1(kSha));
        QCOMPARE(r.notes, std::optional<QString>(QStringLiteral("Line one.\nLine two.")));
        QCOMPARE(r.minimumSystemVersion, std::optional<QString>(QStringLiteral("6.1")));
    }

    void acceptedForms_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<qint64>("build");
        QTest::newRow("unknown keys ignored") << valid("\"size\": 12, \"extra\": {\"a\": [1, {\"b\": null}]}") << qint64(42);
        QTest::newRow("null optionals") << valid("\"notes\": null, \"minimumSystemVersion\": null") << qint64(42);
        QTest::newRow("largest build") << valid({}, "9223372036854775807") << std::numeric_limits<qint64>::max();
        QTest::newRow("smallest build") << valid({}, "-9223372036854775808") << std::numeric_limits<qint64>::min();
        QTest::newRow("same key in sibling objects") << valid("\"a\": {\"k\": 1}, \"b\": {\"k\": 2}") << qint64(42);
        QTest::newRow("escaped key text") << valid("\"n\\u006ftes\": \"x\"") << qint64(42);
    }
    void acceptedForms()
    {
        QFETCH(QByteArray, json);
        QFETCH(qint64, build);
        QCOMPARE(Release::decode(json).build, build);
    }

    void refusedBodies_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<QString>("mentions"); // a word the description must contain
        QTest::newRow("empty") << QByteArray() << "empty";
        QTest::newRow("array") << QByteArray("[1]") << "object";
        QTest::newRow("truncated") << valid().chopped(1) << "JSON";
        QTest::newRow("not utf-8") << valid("\"notes\": \"" + QByteArray("\xff\xfe") + "\"") << "JSON";
        QTest::newRow("deeply nested") << valid("\"deep\": " + QByteArray(5000, '[') + QByteArray(5000, ']')) << "JSON";
        QTest::newRow("duplicate top-level key") << valid("\"build\": 43") << "twice";
        QTest::newRow("duplicate key by escape") << valid("\"b\\u0075ild\": 43") << "twice";
        QTest::newRow("duplicate nested key") << valid("\"x\": [{\"k\": 1, \"k\": 2}]") << "twice";
        QTest::newRow("missing version") << body("\"build\": 1, \"url\": \"https://a/b\", \"sha256\": \"x\"") << "version";
        QTest::newRow("missing build") << body("\"version\": \"1\", \"url\": \"https://a/b\", \"sha256\": \"x\"") << "build";
        QTest::newRow("missing url") << body("\"version\": \"1\", \"build\": 1, \"sha256\": \"x\"") << "url";
        QTest::newRow("missing sha256") << body("\"version\": \"1\", \"build\": 1, \"url\": \"https://a/b\"") << "sha256";
        QTest::newRow("null version") << body("\"version\": null, \"build\": 1, \"url\": \"https://a/b\", \"sha256\": \"x\"") << "version";
        QTest::newRow("numeric version") << body("\"version\": 2, \"build\": 1, \"url\": \"https://a/b\", \"sha256\": \"x\"") << "version";
        QTest::newRow("build as digit string") << valid({}, "\"42\"") << "build";
        QTest::newRow("build as fraction") << valid({}, "42.5") << "build";
        QTest::newRow("build written with a point") << valid({}, "42.0") << "build";
        QTest::newRow("build with exponent") << valid({}, "4.2e1") << "build";
        QTest::newRow("build beyond 64 bits") << valid({}, "9223372036854775808") << "build";
        QTest::newRow("build below 64 bits") << valid({}, "-9223372036854775809") << "build";
        QTest::newRow("build true") << valid({}, "true") << "build";
        QTest::newRow("url not a url") << body("\"version\": \"1\", \"build\": 1, \"url\": \"https://a b/\", \"sha256\": \"x\"") << "url";
        QTest::newRow("url empty") << body("\"version\": \"1\", \"build\": 1, \"url\": \"\", \"sha256\": \"x\"") << "url";
        QTest::newRow("notes not text") << valid("\"notes\": [\"a\"]") << "notes";
        QTest::newRow("minimum version a number") << valid("\"minimumSystemVersion\": 6.1") << "minimumSystemVersion";
    }
    void refusedBodies()
    {
        QFETCH(QByteArray, json);
        QFETCH(QString, mentions);
        try {
            Release::decode(json);
            QFAIL("decoded");
        } catch (const PlatformError &e) {
            QVERIFY2(e.localizedDescription().contains(mentions), qPrintable(e.localizedDescription()));
        }
    }

    void hugeFlatBodyDecodes()
    {
        // A long but harmless body: the duplicate-key walk must not be the
        // thing that gives up.
        QByteArray members;
        for (int i = 0; i < 20000; ++i)
            members += "\"k" + QByteArray::number(i) + "\": [" + QByteArray::number(i) + "], ";
        QCOMPARE(Release::decode(valid(members.chopped(2))).build, 42);
    }

    void writtenSchemeKeepsItsCase()
    {
        QCOMPARE(writtenScheme(QStringLiteral("https://a/b")), QStringLiteral("https"));
        QCOMPARE(writtenScheme(QStringLiteral("HTTPS://a/b")), QStringLiteral("HTTPS"));
        QCOMPARE(writtenScheme(QStringLiteral("//a/b")), QString());
        QCOMPARE(writtenScheme(QStringLiteral("a/b:c")), QString());
    }

    void equalityCoversEveryField()
    {
        const Release a = Release::decode(valid("\"notes\": \"n\""));
        QCOMPARE(a, Release::decode(valid("\"notes\": \"n\"")));
        QVERIFY(a != Release::decode(valid()));                   // absent notes differ from present
        QVERIFY(a != Release::decode(valid("\"notes\": \"n\"", "43")));
    }
};

QTEST_GUILESS_MAIN(tst_Release)
#include "tst_Release.moc"
