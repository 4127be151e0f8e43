// The integer rule, minimum system versions, the kernel's version, and the
// offer and candidate rules.

#include "../update/UpdateTestSupport.h"

#include "support/TestEnvironment.h"
#include "release/VersionRules.h"

#include <QtTest>

#include <sys/utsname.h>

using namespace VersionRules;

class tst_VersionRules : public QObject {
    Q_OBJECT
    TestEnvironment m_env;

private Q_SLOTS:
    void integerRule()
    {
        const std::pair<const char *, std::optional<qint64>> cases[] = {
            {"42", 42}, {"+42", 42}, {"-7", -7}, {"007", 7},
            {"9223372036854775807", std::numeric_limits<qint64>::max()},
            {"-9223372036854775808", std::numeric_limits<qint64>::min()},
            {"9223372036854775808", {}}, {"-9223372036854775809", {}}, {"99999999999999999999", {}},
            {"", {}}, {"+", {}}, {"+-1", {}}, {" 42", {}}, {"42 ", {}}, {"42.0", {}}, {"0x10", {}},
            {"\xd9\xa4\xd9\xa2", {}}, // Arabic-Indic digits are not ASCII digits
        };
        for (const auto &[text, value] : cases)
            QVERIFY2(parseInteger(QString::fromUtf8(text)) == value, text);
    }

    void systemVersions()
    {
        const std::pair<const char *, SystemVersion> minimums[] = {
            {"13", {13, 0, 0}}, {"13.5", {13, 5, 0}}, {"14.2.1", {14, 2, 1}}, {"14.2.1.9", {14, 2, 1}},
            {"13..4", {13, 4, 0}}, {"13.x.4", {13, 4, 0}}, {"", {0, 0, 0}}, {"a.b", {0, 0, 0}},
        };
        for (const auto &[text, version] : minimums)
            QVERIFY2(versionFromText(QString::fromLatin1(text)) == version, text);

        // The published grammar: what it accepts reads the same either way;
        // what it refuses is what the lenient reading would get wrong.
        const std::pair<const char *, SystemVersion> strict[] = {
            {"6", {6, 0, 0}}, {"6.1", {6, 1, 0}}, {"6.1.0", {6, 1, 0}}, {"06.010", {6, 10, 0}},
            {"9223372036854775807", {9223372036854775807LL, 0, 0}},
        };
        for (const auto &[text, version] : strict) {
            QVERIFY2(parseMinimumSystemVersion(QString::fromLatin1(text)) == version, text);
            QVERIFY2(versionFromText(QString::fromLatin1(text)) == version, text);
        }
        for (const char *text : {"", "banana", "6.1-rc1", "6.x.1", "6..1", ".6", "6.", "+6", "-6", "6.1.0.1", " 6",
                                 "9223372036854775808", "６"})
            QVERIFY2(!parseMinimumSystemVersion(QString::fromUtf8(text)), text);
        const std::pair<const char *, SystemVersion> kernels[] = {
            {"6.18.44-foo", {6, 18, 44}}, {"6.1.0-13-amd64", {6, 1, 0}},
            {"6.6.87.2-microsoft-standard-WSL2", {6, 6, 87}}, {"5.15+", {5, 15, 0}}, {"unknown", {0, 0, 0}},
        };
        for (const auto &[text, version] : kernels)
            QVERIFY2(versionFromKernelRelease(QString::fromLatin1(text)) == version, text);
        utsname name{};
        QCOMPARE(::uname(&name), 0);
        QCOMPARE(runningSystemVersion(), versionFromKernelRelease(QString::fromLatin1(name.release)));
    }

    void offerRule()
    {
        const SystemVersion running{6, 1, 5};
        const auto release = [](qint64 build, std::optional<QString> minimum) {
            Release r;
            r.build = build;
            r.minimumSystemVersion = std::move(minimum);
            return r;
        };
        for (const char *ok : {"6.1.5", "6.1", "6.0.99", "5.19.99", ""})
            QVERIFY2(isCompatible(release(1, QString::fromLatin1(ok)), running), ok);
        for (const char *tooNew : {"6.1.6", "6.2", "99"})
            QVERIFY2(!isCompatible(release(1, QString::fromLatin1(tooNew)), running), tooNew);
        QVERIFY(isOfferable(release(11, std::nullopt), 10, running));
        QVERIFY(!isOfferable(release(10, std::nullopt), 10, running));
        QVERIFY(!isOfferable(release(11, QStringLiteral("99")), 10, running));
    }

    void buildsOfBundles()
    {
        const QString d = m_env.root();
        QCOMPARE(buildOfBundle(makeTestBundle(d + "/a", {{"CFBundleVersion", "48"}})), 48);
        QCOMPARE(buildOfBundle(makeTestBundle(d + "/b", {{"CFBundleVersion", "1.2.3"}})), 0);
        QCOMPARE(buildOfBundle(makeTestBundle(d + "/c", {{"CFBundleVersion", "<integer>48</integer>"}})), 0);
        QCOMPARE(buildOfBundle(Bundle::atPath(d + "/none.app")), 0);

        const QString id = "com.copperkestrel.Ferrowhistle";
        const std::tuple<QString, const char *, bool> candidates[] = {
            {id, "49", true}, {id, "+49", true}, {id, "48", false}, {id, " 49", false}, {id, "49.0", false},
            {id, "<integer>49</integer>", false}, {"com.copperkestrel.ferrowhistle", "49", false}, {{}, "49", false},
        };
        int n = 0;
        for (const auto &[identifier, version, accepted] : candidates) {
            QMap<QString, QString> entries{{"CFBundleVersion", QString::fromLatin1(version)}};
            if (!identifier.isEmpty())
                entries.insert("CFBundleIdentifier", identifier);
            const Bundle candidate = makeTestBundle(d + "/cand" + QString::number(n++), entries);
            QVERIFY2(isNewerBuildOfSameApp(candidate, id, 48) == accepted, version);
        }
        QVERIFY(QDir().mkpath(d + "/bare/Ferrowhistle.app/Contents"));
        QVERIFY(!isNewerBuildOfSameApp(Bundle::atPath(d + "/bare/Ferrowhistle.app"), id, 0));
    }
};

QTEST_GUILESS_MAIN(tst_VersionRules)
#include "tst_VersionRules.moc"
