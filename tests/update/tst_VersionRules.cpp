// The integer rule, minimum system versions, the kernel's version and the
// offer and candidate rules.

#include "UpdateTestSupport.h"

#include "support/TestEnvironment.h"
#include "update/VersionRules.h"

#include <QtTest>

#include <sys/utsname.h>

using namespace VersionRules;
Q_DECLARE_METATYPE(VersionRules::SystemVersion)

namespace {
Release releaseWith(qint64 build, std::optional<QString> minimum)
{
    Release r;
    r.version = QStringLiteral("x");
    r.build = build;
    r.minimumSystemVersion = std::move(minimum);
    return r;
}
} // namespace

class tst_VersionRules : public QObject {
    Q_OBJECT
    TestEnvironment m_env;

private Q_SLOTS:
    void integerRule_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("isInteger");
        QTest::addColumn<qint64>("value");
        QTest::newRow("plain") << "42" << true << qint64(42);
        QTest::newRow("plus") << "+42" << true << qint64(42);
        QTest::newRow("minus") << "-7" << true << qint64(-7);
        QTest::newRow("leading zeros") << "007" << true << qint64(7);
        QTest::newRow("max") << "9223372036854775807" << true << std::numeric_limits<qint64>::max();
        QTest::newRow("min") << "-9223372036854775808" << true << std::numeric_limits<qint64>::min();
        QTest::newRow("above max") << "9223372036854775808" << false << qint64(0);
        QTest::newRow("below min") << "-9223372036854775809" << false << qint64(0);
        QTest::newRow("far above") << "99999999999999999999999" << false << qint64(0);
        QTest::newRow("empty") << "" << false << qint64(0);
        QTest::newRow("lone sign") << "+" << false << qint64(0);
        QTest::newRow("two signs") << "+-1" << false << qint64(0);
        QTest::newRow("leading space") << " 42" << false << qint64(0);
        QTest::newRow("trailing space") << "42 " << false << qint64(0);
        QTest::newRow("decimal point") << "42.0" << false << qint64(0);
        QTest::newRow("dotted") << "1.2.3" << false << qint64(0);
        QTest::newRow("arabic-indic digits") << QString::fromUtf8("\u0664\u0662") << false << qint64(0);
        QTest::newRow("hex") << "0x10" << false << qint64(0);
    }
    void integerRule()
    {
        QFETCH(QString, text);
        QFETCH(bool, isInteger);
        QFETCH(qint64, value);
        const auto parsed = parseInteger(text);
        QCOMPARE(parsed.has_value(), isInteger);
        if (isInteger)
            QCOMPARE(*parsed, value);
    }

    void minimumVersionText_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<SystemVersion>("version");
        QTest::newRow("13") << "13" << SystemVersion{13, 0, 0};
        QTest::newRow("13.5") << "13.5" << SystemVersion{13, 5, 0};
        QTest::newRow("14.2.1") << "14.2.1" << SystemVersion{14, 2, 1};
        QTest::newRow("14.2.1.9") << "14.2.1.9" << SystemVersion{14, 2, 1};
        QTest::newRow("13..4") << "13..4" << SystemVersion{13, 4, 0};
        QTest::newRow("13.x.4") << "13.x.4" << SystemVersion{13, 4, 0};
        QTest::newRow("empty") << "" << SystemVersion{0, 0, 0};
        QTest::newRow("no integer") << "abc.def" << SystemVersion{0, 0, 0};
        QTest::newRow("signed") << "+6.-1" << SystemVersion{6, -1, 0};
    }
    void minimumVersionText()
    {
        QFETCH(QString, text);
        QFETCH(SystemVersion, version);
        QCOMPARE(versionFromText(text), version);
    }

    void kernelRelease_data()
    {
        QTest::addColumn<QString>("release");
        QTest::addColumn<SystemVersion>("version");
        QTest::newRow("suffix") << "6.18.44-foo" << SystemVersion{6, 18, 44};
        QTest::newRow("debian") << "6.1.0-13-amd64" << SystemVersion{6, 1, 0};
        QTest::newRow("four parts") << "6.6.87.2-microsoft-standard-WSL2" << SystemVersion{6, 6, 87};
        QTest::newRow("two parts") << "5.15+" << SystemVersion{5, 15, 0};
        QTest::newRow("garbage") << "unknown" << SystemVersion{0, 0, 0};
    }
    void kernelRelease()
    {
        QFETCH(QString, release);
        QFETCH(SystemVersion, version);
        QCOMPARE(versionFromKernelRelease(release), version);
    }

    void runningSystemIsTheKernel()
    {
        utsname name{};
        QCOMPARE(::uname(&name), 0);
        const SystemVersion running = runningSystemVersion();
        QCOMPARE(running, versionFromKernelRelease(QString::fromLatin1(name.release)));
        QVERIFY(running.major > 0);
    }

    void compatibilityAndOffer()
    {
        const SystemVersion running{6, 1, 5};
        QVERIFY(isCompatible(releaseWith(1, std::nullopt), running));
        QVERIFY(isCompatible(releaseWith(1, QStringLiteral("6.1.5")), running));
        QVERIFY(isCompatible(releaseWith(1, QStringLiteral("6.1")), running));
        QVERIFY(isCompatible(releaseWith(1, QStringLiteral("5.19.99")), running));
        QVERIFY(isCompatible(releaseWith(1, QStringLiteral("")), running));
        QVERIFY(!isCompatible(releaseWith(1, QStringLiteral("6.1.6")), running));
        QVERIFY(!isCompatible(releaseWith(1, QStringLiteral("6.2")), running));
        QVERIFY(!isCompatible(releaseWith(1, QStringLiteral("99")), running));
        // minor outranks patch: 6.0.99 is below 6.1.5
        QVERIFY(isCompatible(releaseWith(1, QStringLiteral("6.0.99")), running));

        QVERIFY(isOfferable(releaseWith(11, std::nullopt), 10, running));
        QVERIFY(!isOfferable(releaseWith(10, std::nullopt), 10, running));
        QVERIFY(!isOfferable(releaseWith(9, std::nullopt), 10, running));
        QVERIFY(!isOfferable(releaseWith(11, QStringLiteral("99")), 10, running));
    }

    void currentBuildOfABundle()
    {
        const QString dir = m_env.root();
        QCOMPARE(buildOfBundle(makeTestBundle(dir + "/a", {{"CFBundleVersion", "48"}})), 48);
        QCOMPARE(buildOfBundle(makeTestBundle(dir + "/b", {{"CFBundleVersion", "1.2.3"}})), 0);
        QCOMPARE(buildOfBundle(makeTestBundle(dir + "/c", {{"CFBundleVersion", "<integer>48</integer>"}})), 0);
        QCOMPARE(buildOfBundle(makeTestBundle(dir + "/d", {})), 0);
        QCOMPARE(buildOfBundle(Bundle::atPath(dir + "/none.app")), 0);
    }

    void candidateRule_data()
    {
        QTest::addColumn<QString>("identifier");
        QTest::addColumn<QString>("version");
        QTest::addColumn<bool>("accepted");
        const QString id = QStringLiteral("com.copperkestrel.Ferrowhistle");
        QTest::newRow("newer") << id << "49" << true;
        QTest::newRow("plus sign") << id << "+49" << true;
        QTest::newRow("same build") << id << "48" << false;
        QTest::newRow("older") << id << "47" << false;
        QTest::newRow("space before") << id << " 49" << false;
        QTest::newRow("with point") << id << "49.0" << false;
        QTest::newRow("not text") << id << "<integer>49</integer>" << false;
        QTest::newRow("other identifier") << "com.copperkestrel.ferrowhistle" << "49" << false;
        QTest::newRow("no identifier") << QString() << "49" << false;
    }
    void candidateRule()
    {
        QFETCH(QString, identifier);
        QFETCH(QString, version);
        QFETCH(bool, accepted);
        QMap<QString, QString> entries{{"CFBundleVersion", version}};
        if (!identifier.isEmpty())
            entries.insert("CFBundleIdentifier", identifier);
        const QString dir = m_env.root() + "/cand-" + QTest::currentDataTag();
        const Bundle candidate = makeTestBundle(dir, entries);
        QCOMPARE(isNewerBuildOfSameApp(candidate, QStringLiteral("com.copperkestrel.Ferrowhistle"), 48), accepted);
    }

    void candidateWithoutInfoPlistIsRefused()
    {
        const QString path = m_env.root() + "/empty/Ferrowhistle.app/Contents";
        QVERIFY(QDir().mkpath(path));
        QVERIFY(!isNewerBuildOfSameApp(Bundle::atPath(m_env.root() + "/empty/Ferrowhistle.app"),
                                       QStringLiteral("com.copperkestrel.Ferrowhistle"), 0));
    }
};

QTEST_GUILESS_MAIN(tst_VersionRules)
#include "tst_VersionRules.moc"
