// Strict decoding of the release record, and the rollout's dates and groups.

#include "release/PhasedRollout.h"
#include "release/Release.h"
#include "release/UpdaterFailure.h"

#include <QtTest>

namespace {
QByteArray feed(const QByteArray &build, const QByteArray &extra = {})
{
    return "{\"version\": \"2.0\", \"build\": " + build + ", \"url\": \"https://dl.example.org/F.zip\", \"sha256\": \""
           + QByteArray(64, 'a') + "\"" + (extra.isEmpty() ? "" : ", " + extra) + "}";
}
} // namespace

class tst_Release : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void decodesWhatTheRulesAllow()
    {
        const Release r = Release::decode(feed("42", "\"notes\": \"Line one.\\nTwo.\", \"minimumSystemVersion\": \"6.1\", \"size\": [1]"));
        QCOMPARE(r.version, "2.0");
        QCOMPARE(r.build, 42);
        QCOMPARE(r.url, QUrl("https://dl.example.org/F.zip"));
        QCOMPARE(r.notes, "Line one.\nTwo.");
        QCOMPARE(r.minimumSystemVersion, "6.1");
        QCOMPARE(r, Release::decode(feed("42", "\"notes\": \"Line one.\\nTwo.\", \"minimumSystemVersion\": \"6.1\"")));
        QVERIFY(r != Release::decode(feed("42", "\"minimumSystemVersion\": \"6.1\""))); // absent notes differ

        const Release nulls = Release::decode(feed("-9223372036854775808", "\"notes\": null, \"minimumSystemVersion\": null"));
        QVERIFY(!nulls.notes && !nulls.minimumSystemVersion);
        QCOMPARE(Release::decode(feed("9223372036854775807")).build, std::numeric_limits<qint64>::max());
        // The same key in sibling objects is no duplicate.
        QCOMPARE(Release::decode(feed("1", "\"a\": {\"k\": 1}, \"b\": [{\"k\": 2}]")).build, 1);
        QByteArray many; // a long flat body is no trouble for the duplicate walk
        for (int i = 0; i < 20000; ++i)
            many += ", \"k" + QByteArray::number(i) + "\": [" + QByteArray::number(i) + "]";
        QCOMPARE(Release::decode(feed("1", many.mid(2))).build, 1);
    }

    void decodesAPhasedRollout()
    {
        const QDateTime ten = QDateTime::fromString("2026-12-08T10:00:00Z", Qt::ISODate);
        const Release r = Release::decode(feed("42", "\"pubDate\": \"2026-12-08T11:00:00+01:00\", \"phasedRolloutInterval\": 86400"));
        QCOMPARE(r.pubDate, ten); // the same instant, whatever zone it was written in
        QCOMPARE(r.pubDate->timeSpec(), Qt::UTC);
        QCOMPARE(r.phasedRolloutInterval, 86400);
        QVERIFY(r.isPhased());
        QVERIFY(r != Release::decode(feed("42", "\"pubDate\": \"2026-12-08T10:00:00Z\", \"phasedRolloutInterval\": 86401")));

        const QList<std::pair<QByteArray, QDateTime>> dates{
            {"2026-12-08T10:00Z", ten},
            {"2026-12-08T10:00:00.250Z", ten.addMSecs(250)},
            {"2026-12-08T04:30:00-05:30", ten},
            {"2026-12-08T10:00:00+00:00", ten},
        };
        for (const auto &[text, date] : dates)
            QCOMPARE(Release::decode(feed("1", "\"pubDate\": \"" + text + "\"")).pubDate, date);

        // Either field alone is read, and holds nothing back; null is absent.
        const Release dateOnly = Release::decode(feed("1", "\"pubDate\": \"2026-12-08T10:00:00Z\""));
        QVERIFY(dateOnly.pubDate && !dateOnly.phasedRolloutInterval && !dateOnly.isPhased());
        const Release intervalOnly = Release::decode(feed("1", "\"phasedRolloutInterval\": 1"));
        QVERIFY(!intervalOnly.pubDate && intervalOnly.phasedRolloutInterval == 1 && !intervalOnly.isPhased());
        const Release nulls = Release::decode(feed("1", "\"pubDate\": null, \"phasedRolloutInterval\": null"));
        QVERIFY(!nulls.pubDate && !nulls.phasedRolloutInterval);
        QCOMPARE(nulls, Release::decode(feed("1")));
        QCOMPARE(Release::decode(feed("1", "\"phasedRolloutInterval\": 9223372036854775807")).phasedRolloutInterval,
                 std::numeric_limits<qint64>::max());
    }

    // Every date the feed may carry is read to the millisecond, cut rather
    // than rounded (a rounded fraction can carry a date into the next day,
    // or past the last year that can be written), and written back in UTC
    // as text the app reads again as the same instant.
    void decodesDeltas()
    {
        const QByteArray one = "{\"fromBuild\": 41, \"url\": \"https://dl.example.org/F-41-42.delta\", \"sha256\": \""
                               + QByteArray(64, 'B') + "\", \"length\": 1234, \"extra\": 1.5}";
        const Release r = Release::decode(feed("42", "\"deltas\": [" + one + ", " + QByteArray(one).replace("41", "40") + "]"));
        QCOMPARE(r.deltas.size(), size_t(2));
        QCOMPARE(r.deltas[0].fromBuild, 41);
        QCOMPARE(r.deltas[0].url, QUrl("https://dl.example.org/F-41-42.delta"));
        QCOMPARE(r.deltas[0].sha256, QString(64, u'B'));
        QCOMPARE(r.deltas[0].length, 1234);
        QCOMPARE(deltaFromBuild(r.deltas, 40), &r.deltas[1]);
        QVERIFY(!deltaFromBuild(r.deltas, 39));
        QVERIFY(Release::decode(feed("42", "\"deltas\": null")).deltas.empty());
        QVERIFY(Release::decode(feed("42")).deltas.empty());
    }

    void refusesBadDeltas_data()
    {
        QTest::addColumn<QByteArray>("deltas");
        QTest::addColumn<QString>("mentions");
        const auto entry = [](const QByteArray &from, const QByteArray &url, const QByteArray &sha, const QByteArray &length) {
            return "[{\"fromBuild\": " + from + ", \"url\": " + url + ", \"sha256\": " + sha + ", \"length\": " + length + "}]";
        };
        const QByteArray url = "\"https://a.example/d\"";
        const QByteArray sha = "\"" + QByteArray(64, 'a') + "\"";
        QTest::newRow("not a list") << QByteArray("{}") << "isn't a list";
        QTest::newRow("entry not an object") << QByteArray("[1]") << "isn't an object";
        QTest::newRow("build as text") << entry("\"41\"", url, sha, "1") << "\"fromBuild\" isn't a number";
        QTest::newRow("build written 41.0") << entry("41.0", url, sha, "1") << "whole number";
        QTest::newRow("build 4.1e1") << entry("4.1e1", url, sha, "1") << "whole number";
        QTest::newRow("build 0") << entry("0", url, sha, "1") << "\"fromBuild\" isn't a whole number from 1";
        QTest::newRow("no build") << QByteArray("[{\"url\": " + url + ", \"sha256\": " + sha + ", \"length\": 1}]") << "no \"fromBuild\"";
        QTest::newRow("http url") << entry("1", "\"http://a.example/d\"", sha, "1") << "https";
        QTest::newRow("url not text") << entry("1", "[]", sha, "1") << "\"url\" isn't a string";
        QTest::newRow("short digest") << entry("1", url, "\"abc\"", "1") << "64 hexadecimal";
        QTest::newRow("digest with a space") << entry("1", url, "\" " + QByteArray(63, 'a') + "\"", "1") << "64 hexadecimal";
        QTest::newRow("length 0") << entry("1", url, sha, "0") << "\"length\" isn't a whole number";
        QTest::newRow("length past the cap") << entry("1", url, sha, "209715201") << "\"length\" isn't a whole number";
        QTest::newRow("no length") << QByteArray("[{\"fromBuild\": 1, \"url\": " + url + ", \"sha256\": " + sha + "}]") << "no \"length\"";
        QByteArray many = "[";
        for (int i = 0; i < 65; ++i)
            many += (i ? "," : "") + entry(QByteArray::number(i + 1), url, sha, "1").mid(1).chopped(1);
        QTest::newRow("too many") << many + "]" << "more than 64";
    }
    void refusesBadDeltas()
    {
        QFETCH(QByteArray, deltas);
        QFETCH(QString, mentions);
        try {
            Release::decode(feed("42", "\"deltas\": " + deltas));
            QFAIL("decoded");
        } catch (const PlatformError &e) {
            QVERIFY2(e.localizedDescription().contains(mentions), qPrintable(e.localizedDescription()));
        }
    }

    void pubDateIsCutToTheMillisecondAndShown_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("shown");
        QTest::newRow("minutes only") << "2026-12-08T10:00Z" << "2026-12-08T10:00:00Z";
        QTest::newRow("four fraction digits") << "2026-12-08T23:59:59.9999Z" << "2026-12-08T23:59:59.999Z";
        QTest::newRow("nine fraction digits") << "2026-12-31T23:59:59.999999999+01:00" << "2026-12-31T22:59:59.999Z";
        QTest::newRow("thirty fraction digits") << "2026-12-08T10:00:00.000999999999999999999999999999Z"
                                                << "2026-12-08T10:00:00Z";
        QTest::newRow("one fraction digit") << "2026-12-08T10:00:00.5Z" << "2026-12-08T10:00:00.500Z";
        QTest::newRow("leap day") << "2028-02-29T12:00:00-00:00" << "2028-02-29T12:00:00Z";
        QTest::newRow("last millisecond") << "9999-12-31T23:59:59.9999Z" << "9999-12-31T23:59:59.999Z";
        QTest::newRow("last year, east") << "9999-12-31T23:30:00+01:00" << "9999-12-31T22:30:00Z";
        QTest::newRow("first year, west") << "0001-01-01T00:30:00-00:30" << "0001-01-01T01:00:00Z";
    }
    void pubDateIsCutToTheMillisecondAndShown()
    {
        QFETCH(QString, text);
        QFETCH(QString, shown);
        const std::optional<QDateTime> date = Release::decode(feed("1", "\"pubDate\": \"" + text.toUtf8() + "\"")).pubDate;
        QVERIFY(date);
        QCOMPARE(PhasedRollout::formatDate(*date), shown);
        QCOMPARE(PhasedRollout::parseDate(shown), date);
    }

    // The group of an install without a stored one comes from what tells it
    // apart: the same text always gives the same group, and different
    // installs spread over all seven.
    void rolloutGroupsSpreadOverInstalls()
    {
        QList<int> perGroup(PhasedRollout::kGroups, 0);
        for (int machine = 0; machine < 700; ++machine) {
            const QByteArray identity = QByteArray::number(machine, 16).rightJustified(32, '0') + "\n1000\nanything";
            const int group = PhasedRollout::groupOf(identity);
            QCOMPARE(PhasedRollout::groupOf(identity), group);
            QVERIFY(group >= 0 && group < PhasedRollout::kGroups);
            ++perGroup[group];
        }
        for (int count : perGroup)
            QVERIFY2(count > 50 && count < 150, qPrintable(QStringLiteral("%1 of 700").arg(count)));
        // The user is part of it: another account on the same machine is
        // not bound to the same turn.
        QList<int> users;
        for (int uid = 1000; uid < 1010; ++uid)
            users << PhasedRollout::groupOf("0123456789abcdef0123456789abcdef\n" + QByteArray::number(uid) + "\nanything");
        QVERIFY(users.count(users.first()) < users.size());
    }

    void decodesTheSystemRequirements()
    {
        const Release r = Release::decode(feed("42", "\"architecture\": \"x86_64\", \"minimumGlibcVersion\": \"2.36\", "
                                                     "\"minimumLibstdcxxVersion\": \"3.4.30\""));
        QCOMPARE(r.architecture, "x86_64");
        QCOMPARE(r.minimumGlibcVersion, "2.36");
        QCOMPARE(r.minimumLibstdcxxVersion, "3.4.30");
        QVERIFY(r != Release::decode(feed("42", "\"architecture\": \"x86_64\", \"minimumGlibcVersion\": \"2.36\"")));
        // Null or absent: no requirement.
        for (const QByteArray &none : {QByteArray(), QByteArray("\"architecture\": null, \"minimumGlibcVersion\": null, "
                                                                 "\"minimumLibstdcxxVersion\": null")}) {
            const Release n = Release::decode(feed("1", none));
            QVERIFY(!n.architecture && !n.minimumGlibcVersion && !n.minimumLibstdcxxVersion);
        }
        QCOMPARE(Release::decode(feed("1", "\"minimumGlibcVersion\": \"2\"")).minimumGlibcVersion, "2");
        QCOMPARE(Release::decode(feed("1", "\"minimumLibstdcxxVersion\": \"3.4.30.1\"")).minimumLibstdcxxVersion, "3.4.30.1");
        QCOMPARE(Release::decode(feed("1", "\"architecture\": \"i686\"")).architecture, "i686");
    }

    void refusals_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<QString>("mentions");
        const QByteArray noVersion = "{\"build\": 1, \"url\": \"https://a/b\", \"sha256\": \"x\"}";
        QTest::newRow("empty") << QByteArray() << "empty";
        QTest::newRow("array") << QByteArray("[1]") << "object";
        QTest::newRow("truncated") << feed("1").chopped(1) << "JSON";
        QTest::newRow("not utf-8") << feed("1", "\"notes\": \"\xff\xfe\"") << "JSON";
        QTest::newRow("deeply nested") << feed("1", "\"d\": " + QByteArray(5000, '[') + QByteArray(5000, ']')) << "JSON";
        QTest::newRow("duplicate key") << feed("1", "\"build\": 2") << "twice";
        QTest::newRow("duplicate by escape") << feed("1", "\"b\\u0075ild\": 2") << "twice";
        QTest::newRow("duplicate nested") << feed("1", "\"x\": [{\"k\": 1, \"k\": 2}]") << "twice";
        QTest::newRow("missing version") << noVersion << "version";
        QTest::newRow("null version") << noVersion.chopped(1) + ", \"version\": null}" << "version";
        QTest::newRow("numeric version") << noVersion.chopped(1) + ", \"version\": 2}" << "version";
        QTest::newRow("missing build") << QByteArray("{\"version\": \"1\", \"url\": \"https://a/b\", \"sha256\": \"x\"}") << "build";
        QTest::newRow("missing url") << QByteArray("{\"version\": \"1\", \"build\": 1, \"sha256\": \"x\"}") << "url";
        QTest::newRow("missing sha256") << QByteArray("{\"version\": \"1\", \"build\": 1, \"url\": \"https://a/b\"}") << "sha256";
        for (const char *build : {"\"42\"", "42.5", "42.0", "4.2e1", "9223372036854775808", "-9223372036854775809", "true", "null"})
            QTest::newRow(build) << feed(build) << "build";
        QTest::newRow("url not a url") << QByteArray("{\"version\": \"1\", \"build\": 1, \"url\": \"https://a b/\", \"sha256\": \"x\"}") << "url";
        QTest::newRow("url empty") << QByteArray("{\"version\": \"1\", \"build\": 1, \"url\": \"\", \"sha256\": \"x\"}") << "url";
        QTest::newRow("notes not text") << feed("1", "\"notes\": [\"a\"]") << "notes";
        QTest::newRow("minimum a number") << feed("1", "\"minimumSystemVersion\": 6.1") << "minimumSystemVersion";
        for (const char *key : {"minimumGlibcVersion", "minimumLibstdcxxVersion"}) {
            for (const char *value : {"2.36", "[\"2.36\"]", "true", "236"})
                QTest::newRow(qPrintable(QStringLiteral("%1 %2").arg(QLatin1String(key), QLatin1String(value))))
                    << feed("1", QByteArray("\"") + key + "\": " + value) << QStringLiteral("\"%1\" isn't a string").arg(QLatin1String(key));
            for (const char *value : {"", "2.", ".36", "2..36", "v2.36", "2.36 ", "2.36-rc1", "+2.36", "GLIBC_2.36", "\u0662.36"})
                QTest::newRow(qPrintable(QStringLiteral("%1 \"%2\"").arg(QLatin1String(key), QLatin1String(value))))
                    << feed("1", QByteArray("\"") + key + "\": \"" + value + "\"")
                    << QStringLiteral("\"%1\" isn't a version of whole numbers separated by dots").arg(QLatin1String(key));
        }
        QTest::newRow("architecture a number") << feed("1", "\"architecture\": 64") << "\"architecture\" isn't a string";
        for (const char *value : {"", "x86-64", "x86_64 ", "arm/v7", "x86_64\\u0000"})
            QTest::newRow(qPrintable(QStringLiteral("architecture \"%1\"").arg(QLatin1String(value))))
                << feed("1", QByteArray("\"architecture\": \"") + value + "\"") << "\"architecture\" isn't a machine name";
        for (const char *date : {"1765188000", "[\"2026-12-08T10:00:00Z\"]", "true"})
            QTest::newRow(qPrintable(QStringLiteral("pubDate %1").arg(QLatin1String(date))))
                << feed("1", QByteArray("\"pubDate\": ") + date) << "\"pubDate\" isn't a string";
        // A point in time needs its zone; the rarer forms are not guessed at.
        for (const char *date : {"2026-12-08T10:00:00", "2026-12-08", "2026-12-08T10:00:00+0100", "2026-12-08T10:00:00+01",
                                 "2026-12-08t10:00:00z", "2026-12-08 10:00:00Z", " 2026-12-08T10:00:00Z", "2026-12-08T10:00:00Z ",
                                 "2026-02-30T10:00:00Z", "2026-12-08T25:00:00Z", "2026-12-08T10:00:00+25:00", "",
                                 "\u0662\u0660\u0662\u0666-12-08T10:00:00Z", "yesterday",
                                 // midnight is 00:00 of the next day, never 24:00 of this one
                                 "2026-12-08T24:00Z", "2026-12-08T24:00:00Z", "2026-12-08T23:60Z", "2026-12-08T23:59:60Z",
                                 "2026-12-08T10:00:00.Z", "2026-12-08T10:00.5Z", "2026-12-08T10:00:00+01:60",
                                 "2026-12-08T10:00:00+24:00", "2026-00-08T10:00:00Z", "2026-12-00T10:00:00Z",
                                 "2027-02-29T10:00:00Z", "2026-12-08T10:00:00.250"})
            QTest::newRow(qPrintable(QStringLiteral("pubDate \"%1\"").arg(QLatin1String(date))))
                << feed("1", QByteArray("\"pubDate\": \"") + date + "\"") << "\"pubDate\" isn't an ISO 8601 date and time with a zone";
        // Real dates whose instant cannot be written in the same form.
        for (const char *date : {"0000-06-01T00:00:00Z", "9999-12-31T23:30:00-01:00", "0001-01-01T00:30:00+01:00"})
            QTest::newRow(qPrintable(QStringLiteral("pubDate \"%1\"").arg(QLatin1String(date))))
                << feed("1", QByteArray("\"pubDate\": \"") + date + "\"")
                << "\"pubDate\" lies outside the years 0001 to 9999 (in UTC), so it can't be shown";
        for (const char *interval : {"\"86400\"", "true", "[1]"})
            QTest::newRow(qPrintable(QStringLiteral("interval %1").arg(QLatin1String(interval))))
                << feed("1", QByteArray("\"phasedRolloutInterval\": ") + interval) << "\"phasedRolloutInterval\" isn't a number";
        for (const char *interval : {"1.5", "1.0", "1e3", "86400.0"})
            QTest::newRow(qPrintable(QStringLiteral("interval %1").arg(QLatin1String(interval))))
                << feed("1", QByteArray("\"phasedRolloutInterval\": ") + interval) << "\"phasedRolloutInterval\" isn't a whole number";
        for (const char *interval : {"0", "-1", "-9223372036854775808"})
            QTest::newRow(qPrintable(QStringLiteral("interval %1").arg(QLatin1String(interval))))
                << feed("1", QByteArray("\"phasedRolloutInterval\": ") + interval) << "\"phasedRolloutInterval\" isn't at least 1 second";
        QTest::newRow("interval past 64 bits") << feed("1", "\"phasedRolloutInterval\": 9223372036854775808")
                                               << "\"phasedRolloutInterval\" doesn't fit in a 64-bit integer";
        QTest::newRow("pubDate twice") << feed("1", "\"pubDate\": \"2026-12-08T10:00:00Z\", \"pubDate\": \"2027-01-01T00:00:00Z\"")
                                       << "\"pubDate\" appears twice";
    }
    void refusals()
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

    void schemeIsReadAsWritten()
    {
        QCOMPARE(writtenScheme("HTTPS://a/b"), "HTTPS");
        QCOMPARE(writtenScheme("https://a/b"), "https");
        QCOMPARE(writtenScheme("//a/b:c"), "");
    }
};

QTEST_GUILESS_MAIN(tst_Release)
#include "tst_Release.moc"
