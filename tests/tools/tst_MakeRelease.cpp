// `make release` (scripts/make-release) on the suite's own build, handed to
// it as an already built folder: every bad input is refused at once in one
// line naming the variable, with nothing written; a good one gives a
// stripped, signed zip whose entries carry the commit's time, its feed
// record and the debug files by build-id, named by the version and build
// the bundle says; a failure leaves the last release exactly as it was. The
// release carries every library it needs beyond the host's base set, with
// run paths into itself, and runs where the system has nothing else. The
// good release looked at is the one the run shares (TestReleases); the
// script's other behaviour is driven here.
#include "TestReleases.h"
#include "../codesign/SigningFixture.h"

#include "support/PrivateBus.h"
#include "support/ProgramRun.h"
#include "support/TestEnvironment.h"
#include "codesign/CodeSigning.h"
#include "codesign/TeamSignature.h"
#include "platform/Bundle.h"
#include "release/FeedDates.h"
#include "release/PhasedRollout.h"
#include "support/X11Windows.h"
#include "release/UpdaterFailure.h"
#include "update/install/Loadability.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSettings>
#include <QtTest>

#include <archive.h>
#include <archive_entry.h>
#include <fnmatch.h>
#include <sys/stat.h>

namespace {

const QString kScript = QStringLiteral(FW_SOURCE_DIR "/scripts/make-release");

struct ZipEntry {
    QString name;
    qint64 mtime = 0;
    QByteArray sha256;
    bool operator==(const ZipEntry &) const = default;
};

// The entries as libarchive reads them, in the archive's order.
QList<ZipEntry> zipEntries(const QString &zip)
{
    QList<ZipEntry> entries;
    archive *a = archive_read_new();
    archive_read_support_format_zip(a);
    if (archive_read_open_filename(a, QFile::encodeName(zip).constData(), 1 << 16) == ARCHIVE_OK) {
        archive_entry *e = nullptr;
        while (archive_read_next_header(a, &e) == ARCHIVE_OK) {
            QCryptographicHash hash(QCryptographicHash::Sha256);
            char block[1 << 16];
            la_ssize_t n;
            while ((n = archive_read_data(a, block, sizeof block)) > 0)
                hash.addData(QByteArrayView(block, n));
            entries.append({QString::fromUtf8(archive_entry_pathname(e)), qint64(archive_entry_mtime(e)), hash.result()});
        }
    }
    archive_read_free(a);
    return entries;
}

QString readelf(const QStringList &args)
{
    const ProgramRun r = runToEnd(QStringLiteral("readelf"), args);
    return r.out;
}

QString buildId(const QString &file)
{
    static const QRegularExpression id(QStringLiteral("Build ID: ([0-9a-f]+)"));
    return id.match(readelf({QStringLiteral("-n"), file})).captured(1);
}

// Every entry under root, one line each: its path, and a file's inode, size,
// change time and digest, or a link's target. Equal lists: nothing was
// written, replaced or removed in between.
QStringList treeSnapshot(const QString &root)
{
    QStringList lines;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        QString line = QDir(root).relativeFilePath(path);
        struct stat st {};
        if (::lstat(QFile::encodeName(path).constData(), &st) != 0)
            line += QStringLiteral(" gone");
        else if (S_ISLNK(st.st_mode))
            line += QStringLiteral(" -> ") + QFile::symLinkTarget(path);
        else if (S_ISREG(st.st_mode))
            line += QStringLiteral(" %1 %2 %3.%4 %5")
                        .arg(st.st_ino)
                        .arg(st.st_size)
                        .arg(st.st_mtim.tv_sec)
                        .arg(st.st_mtim.tv_nsec)
                        .arg(QString::fromLatin1(QCryptographicHash::hash(readBytes(path), QCryptographicHash::Sha256).toHex()));
        lines.append(line);
    }
    lines.sort();
    return lines;
}

// The host's base set: the patterns of resources/host-base-libraries.txt,
// each with its reason.
QMap<QString, QString> baseSet()
{
    QMap<QString, QString> set;
    const QString text = QString::fromUtf8(readBytes(QStringLiteral(FW_SOURCE_DIR "/resources/host-base-libraries.txt")));
    for (const QString &line : text.split(u'\n')) {
        const QString entry = line.trimmed();
        if (entry.isEmpty() || entry.startsWith(u'#'))
            continue;
        const qsizetype gap = entry.indexOf(QRegularExpression(QStringLiteral("\\s")));
        set.insert(entry.left(gap), gap < 0 ? QString() : entry.mid(gap).trimmed());
    }
    return set;
}

bool inBaseSet(const QMap<QString, QString> &set, const QString &soname)
{
    const QByteArray name = soname.toUtf8();
    for (auto it = set.cbegin(); it != set.cend(); ++it) {
        if (::fnmatch(it.key().toUtf8().constData(), name.constData(), 0) == 0)
            return true;
    }
    return false;
}

bool isElf(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) && f.read(4) == "\x7f" "ELF";
}

struct DynamicSection {
    QStringList needed;
    QStringList rpath;
    QStringList runpath;
};

DynamicSection dynamicSection(const QString &file)
{
    static const QRegularExpression entry(QStringLiteral("\\((NEEDED|RPATH|RUNPATH)\\)[^\\[]*\\[(.*)\\]"));
    DynamicSection d;
    for (const QString &line : readelf({QStringLiteral("-dW"), file}).split(u'\n')) {
        const QRegularExpressionMatch m = entry.match(line);
        if (!m.hasMatch())
            continue;
        (m.captured(1) == QLatin1String("NEEDED") ? d.needed : m.captured(1) == QLatin1String("RPATH") ? d.rpath : d.runpath)
            .append(m.captured(2));
    }
    return d;
}

// Replaces from with to in the Info.plist of the bundle in build; false
// when it holds no from.
bool editPlist(const QString &build, const QByteArray &from, const QByteArray &to)
{
    const QString plist = build + QStringLiteral("/Ferrowhistle.app/Contents/Info.plist");
    const QByteArray info = readBytes(plist);
    if (!info.contains(from))
        return false;
    writeBytes(plist, QByteArray(info).replace(from, to));
    return true;
}

// What a release into out left beside it (its staging folders).
QStringList besideOut(const QString &out)
{
    const QFileInfo info(out);
    return QDir(info.path()).entryList({QLatin1Char('.') + info.fileName() + QLatin1Char('*')},
                                       QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
}

} // namespace

class tst_MakeRelease : public QObject {
    Q_OBJECT
    TestEnvironment m_env;
    SigningFixture m_f{TestReleases::keys()};
    QString m_keys;
    QString m_build;
    QString m_previous;
    QString m_strangerPrevious;

    QString key(const QString &name) const { return m_keys + u'/' + name; }
    QProcessEnvironment goodInputs() const
    {
        return TestReleases::inputs(m_keys, QLatin1String(TestReleases::kDownloads) + QStringLiteral("Ferrowhistle-1.0.0-501.zip"));
    }
    // The script on build (by default a prebuilt folder of the test's own);
    // the limit only ends a run that hangs.
    ProgramRun release(const QProcessEnvironment &env, const QString &out, const QString &build = {}) const
    {
        return runToEnd(kScript, {build.isEmpty() ? m_build : build, out}, env, 600000);
    }

private Q_SLOTS:
    void initTestCase();
    void refusesBadInputInOneLine_data();
    void refusesBadInputInOneLine();
    void releasesAStrippedSignedZipWithFixedTimes();
    void releasesTheBundlesVersionAndKeepsEarlierFiles();
    void aFailureKeepsTheLastRelease();
    void theReleaseCarriesWhatItNeeds();
    void theReleaseRunsWithTheBaseSetAlone();
};

void tst_MakeRelease::initTestCase()
{
    QVERIFY2(m_f.loadError().isEmpty(), qPrintable(m_f.loadError()));
    m_keys = m_env.root() + QStringLiteral("/keys");
    TestReleases::writeKeys(m_f, m_keys);
    writeBytes(key(QStringLiteral("dev-ca.pem")), m_f.developerCA.identityPem());
    CertificateRequest stranger;
    stranger.commonName = QStringLiteral("Developer ID Application: Stranger");
    stranger.team = QLatin1String(SigningFixture::kTeam);
    writeBytes(key(QStringLiteral("stranger.pem")), DevelopmentCA::issue(m_f.strangerCA.identityPem(), stranger).identityPem());

    m_build = m_f.prebuiltReleaseFolder(m_env.root() + QStringLiteral("/build-release"), 501);
    QVERIFY(!m_build.isEmpty());
    m_previous = TestReleases::previous();
    writeBytes(m_env.root() + QStringLiteral("/bare/Ferrowhistle.app/Contents/Info.plist"),
               "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>CFBundleVersion</key><string>400</string></dict></plist>");
    // A copy users run that trusts another developer authority.
    m_strangerPrevious = m_env.root() + QStringLiteral("/stranger-previous/Ferrowhistle.app");
    writeBytes(m_strangerPrevious + QStringLiteral("/Contents/Info.plist"),
               "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>CFBundleVersion</key><string>400</string></dict></plist>");
    writeBytes(m_strangerPrevious + QStringLiteral("/Contents/Resources/Trust/codesigning-anchors.pem"), m_f.strangerCA.certificatePem);
    writeBytes(m_strangerPrevious + QStringLiteral("/Contents/Resources/Trust/notary-anchors.pem"), m_f.notaryCA.certificatePem);
}

void tst_MakeRelease::refusesBadInputInOneLine_data()
{
    // Values and lines may name {KEYS}/, {ROOT} and {PREVIOUS} (the shared
    // build 500), filled in when run. A
    // line ending in "…" is compared up to there.
    QTest::addColumn<QStringList>("inputs"); // NAME=VALUE, an empty value unsets
    QTest::addColumn<QString>("line");
    QTest::newRow("no identity") << QStringList{"IDENTITY="}
                                 << QString("IDENTITY is not set; give the developer ID identity (PEM key and certificates)");
    QTest::newRow("no address") << QStringList{"URL="} << QString("URL is not set; give the https address the zip will be downloaded from");
    QTest::newRow("missing notary file") << QStringList{"NOTARY={ROOT}/nowhere.pem"} << QString("NOTARY={ROOT}/nowhere.pem: no such file");
    QTest::newRow("build number with a letter") << QStringList{"BUILD_NUMBER=12a"} << QString("BUILD_NUMBER=12a: not a whole number");
    QTest::newRow("signed build number") << QStringList{"BUILD_NUMBER=+501"} << QString("BUILD_NUMBER=+501: not a whole number");
    QTest::newRow("feed valid for no days") << QStringList{"FEED_VALID_DAYS=0"}
                                            << QString("FEED_VALID_DAYS=0: not a whole number of days from 1 to 365");
    QTest::newRow("feed valid for over a year") << QStringList{"FEED_VALID_DAYS=366"}
                                                << QString("FEED_VALID_DAYS=366: not a whole number of days from 1 to 365");
    QTest::newRow("http address") << QStringList{"URL=http://dl.example.org/F.zip"}
                                  << QString("URL=http://dl.example.org/F.zip: the download address must be an https URL");
    QTest::newRow("https without a host") << QStringList{"URL=https:///F.zip"}
                                          << QString("URL=https:///F.zip: the download address must be an https URL");
    QTest::newRow("anchors holding a key")
        << QStringList{"CODESIGN_ANCHORS={KEYS}/developer.pem"}
        << QString("CODESIGN_ANCHORS={KEYS}/developer.pem: holds a private key; give the certificate only, it is shipped to every user");
    QTest::newRow("anchors that are no certificate") << QStringList{"NOTARY_ANCHORS={PREVIOUS}/Contents/Info.plist"}
                                                     << QString("NOTARY_ANCHORS={PREVIOUS}/Contents/Info.plist: holds no PEM certificate");
    QTest::newRow("previous that is no bundle") << QStringList{"PREVIOUS={KEYS}"}
                                                << QString("PREVIOUS={KEYS}: not a bundle (no Contents/Info.plist)");
    QTest::newRow("previous that checks nothing") << QStringList{"PREVIOUS={ROOT}/bare/Ferrowhistle.app"}
                                                  << QString("PREVIOUS={ROOT}/bare/Ferrowhistle.app: carries no code-signing "
                                                             "anchors, so it can't accept any update");
    QTest::newRow("rollout interval of no seconds") << QStringList{"PHASED_ROLLOUT_INTERVAL=0"}
                                                    << QString("PHASED_ROLLOUT_INTERVAL=0: \"0\" is not a whole number of "
                                                               "seconds from 1 to 9223372036854775807");
    QTest::newRow("rollout interval in days") << QStringList{"PHASED_ROLLOUT_INTERVAL=1d"}
                                              << QString("PHASED_ROLLOUT_INTERVAL=1d: \"1d\" is not a whole number of "
                                                         "seconds from 1 to 9223372036854775807");
    QTest::newRow("publication date without a zone")
        << QStringList{"PHASED_ROLLOUT_INTERVAL=86400", "PUB_DATE=2026-12-08T10:00:00"}
        << QString("PUB_DATE=2026-12-08T10:00:00: \"2026-12-08T10:00:00\" is not an ISO 8601 date and time with a zone "
                   "(such as 2026-12-08T10:00:00Z or 2026-12-08T11:00:00+01:00)");
    // Read by the tool, by the rules signing and the app apply.
    QTest::newRow("notary identity to sign") << QStringList{"IDENTITY={KEYS}/notary.pem"}
                                             << QString("IDENTITY={KEYS}/notary.pem: the identity's certificate (CN=Test Notary,O=Ferrowhistle notary) is not a "
                                                "developer ID certificate (no extension 1.2.840.113635.100.6.1.13); a notary "
                                                "identity notarizes, it does not sign");
    QTest::newRow("developer identity to notarize")
        << QStringList{"NOTARY={KEYS}/developer.pem"}
        << QString("NOTARY={KEYS}/developer.pem: the identity's certificate (…");
    QTest::newRow("authority to sign") << QStringList{"IDENTITY={KEYS}/dev-ca.pem"}
                                       << QString("IDENTITY={KEYS}/dev-ca.pem: the identity's certificate (CN=Test Developer CA,O=Ferrowhistle development) is a "
                                          "certificate authority; sign with a developer ID identity it issued");
    QTest::newRow("identity the anchors refuse") << QStringList{"IDENTITY={KEYS}/stranger.pem"}
                                                 << QString("IDENTITY={KEYS}/stranger.pem: is not accepted by the anchors in {KEYS}/dev-ca.crt (…");
    QTest::newRow("build not above previous") << QStringList{"BUILD_NUMBER=500", "PREVIOUS={PREVIOUS}"}
                                              << QString("BUILD_NUMBER=500: 500 is not above 500, the build of "
                                                 "{PREVIOUS}; its users would never be offered it");
    QTest::newRow("identity previous refuses")
        << QStringList{"PREVIOUS={ROOT}/stranger-previous/Ferrowhistle.app"}
        << QString("IDENTITY={KEYS}/developer.pem: is not accepted by the anchors in "
           "{ROOT}/stranger-previous/Ferrowhistle.app/Contents/Resources/Trust/codesigning-anchors.pem (…");
    QTest::newRow("channel with a blank") << QStringList{"CHANNEL=beta 2"}
                                          << QString("CHANNEL=beta 2: \"beta 2\" is not a channel name (1 to 64 letters, "
                                                     "digits, \".\", \"_\" and \"-\")");
    QTest::newRow("minimum system version") << QStringList{"MINIMUM_SYSTEM_VERSION=6.1-rc1"}
                                            << QString("MINIMUM_SYSTEM_VERSION=6.1-rc1: \"6.1-rc1\" is not one to three whole "
                                               "numbers separated by dots (such as 6.1 or 6.1.0); the app would read it as "
                                               "something else");
}

void tst_MakeRelease::refusesBadInputInOneLine()
{
    QFETCH(QStringList, inputs);
    QFETCH(QString, line);
    const auto fill = [&](QString text) {
        return text.replace(QStringLiteral("{KEYS}"), m_keys)
            .replace(QStringLiteral("{ROOT}"), m_env.root())
            .replace(QStringLiteral("{PREVIOUS}"), m_previous);
    };
    QProcessEnvironment env = goodInputs();
    for (const QString &input : inputs) {
        const QString name = input.section(u'=', 0, 0);
        const QString value = fill(input.section(u'=', 1));
        if (value.isEmpty())
            env.remove(name);
        else
            env.insert(name, value);
    }
    const QString out = m_env.root() + QStringLiteral("/refused");
    const ProgramRun r = release(env, out);
    QCOMPARE(r.exitCode, 2);
    QCOMPARE(r.out, QString());
    QVERIFY2(r.err.endsWith(u'\n') && r.err.count(u'\n') == 1, qPrintable(r.err));
    const QString said = r.err.chopped(1);
    QString expected = QStringLiteral("make release: ") + fill(line);
    if (expected.endsWith(u'…')) {
        expected.chop(1);
        QVERIFY2(said.startsWith(expected), qPrintable(said));
    } else {
        QCOMPARE(said, expected);
    }
    QVERIFY(!QFileInfo::exists(out));
}

void tst_MakeRelease::releasesAStrippedSignedZipWithFixedTimes()
{
    // The shared release: PREVIOUS, NOTES and FEED_VALID_DAYS=10 given.
    const QString out = TestReleases::release();
    const QString said = QString::fromUtf8(readBytes(TestReleases::releaseSummary()));

    const QString zip = out + QStringLiteral("/Ferrowhistle-1.0.0-501.zip");
    const QByteArray zipBytes = readBytes(zip);
    const QString sha = QString::fromLatin1(QCryptographicHash::hash(zipBytes, QCryptographicHash::Sha256).toHex());
    const QJsonObject feed = QJsonDocument::fromJson(readBytes(out + QStringLiteral("/appcast.json"))).object();
    QCOMPARE(feed.value(QStringLiteral("version")).toString(), QStringLiteral("1.0.0"));
    QCOMPARE(feed.value(QStringLiteral("build")).toInteger(), 501);
    QCOMPARE(feed.value(QStringLiteral("url")).toString(), goodInputs().value(QStringLiteral("URL")));
    QCOMPARE(feed.value(QStringLiteral("sha256")).toString(), sha);
    QCOMPARE(feed.value(QStringLiteral("notes")).toString(), QStringLiteral("Fewer bugs."));
    QVERIFY(!feed.contains(QStringLiteral("phasedRolloutInterval")));
    // For this app, on the default channel.
    QCOMPARE(feed.value(QStringLiteral("bundleIdentifier")).toString(), QStringLiteral("com.copperkestrel.Ferrowhistle"));
    QCOMPARE(feed.value(QStringLiteral("channel")).toString(), QStringLiteral("stable"));
    // Signed for the copies of the release's own team and anchors (those of
    // PREVIOUS too), believed for FEED_VALID_DAYS.
    const QByteArray feedBytes = readBytes(out + QStringLiteral("/appcast.json"));
    for (const QString &reader : {out + QStringLiteral("/Ferrowhistle.app"), m_previous}) {
        try {
            verifyTeamSignature(feedBytes, readBytes(out + QStringLiteral("/appcast.json.sig")), Bundle::atPath(reader));
        } catch (const CodeSigningError &e) {
            QFAIL(qPrintable(reader + QStringLiteral(": ") + e.reason()));
        }
    }
    const FeedDates dates = FeedDates::decode(feedBytes);
    QCOMPARE(dates.expires, dates.published.addDays(10));
    QVERIFY2(said.contains(QStringLiteral("believed until ") + PhasedRollout::formatDate(dates.expires)), qPrintable(said));
    // The summary: what, how large, its digest, and against what it was checked.
    for (const QString &part : {QStringLiteral("Ferrowhistle 1.0.0 (build 501)"), QStringLiteral("  zip      ") + zip,
                                QStringLiteral("  size     %1 bytes").arg(zipBytes.size()), QStringLiteral("  sha256   ") + sha,
                                QStringLiteral("valid signature of team %1, notarized").arg(QLatin1String(SigningFixture::kTeam)),
                                QStringLiteral("by PREVIOUS=") + m_previous})
        QVERIFY2(said.contains(part), qPrintable(part + QStringLiteral("\nnot in:\n") + said));

    // Every program is stripped, links to its debug file, and that file,
    // named by the same build-id, holds the debug information.
    const QString app = out + QStringLiteral("/Ferrowhistle.app");
    int programs = 0;
    for (const QString &dir : {QStringLiteral("/Contents/bin"), QStringLiteral("/Contents/lib")}) {
        // Ours: the programs and the updater module, not what is carried.
        for (const QFileInfo &file : QDir(app + dir).entryInfoList({QStringLiteral("Ferrowhistle"), QStringLiteral("ferrowhistle-*")}, QDir::Files)) {
            ++programs;
            const QString sections = readelf({QStringLiteral("-S"), file.filePath()});
            QVERIFY2(!sections.contains(QStringLiteral(".debug_info")) && !sections.contains(QStringLiteral(".symtab")),
                     qPrintable(file.filePath()));
            QVERIFY(sections.contains(QStringLiteral(".gnu_debuglink")));
            const QString id = buildId(file.filePath());
            QVERIFY(!id.isEmpty());
            const QString debug = out + QStringLiteral("/debug/.build-id/%1/%2.debug").arg(id.left(2), id.mid(2));
            QVERIFY2(readelf({QStringLiteral("-S"), debug}).contains(QStringLiteral(".debug_info")), qPrintable(debug));
            QCOMPARE(buildId(debug), id);
            QVERIFY(file.size() < QFileInfo(TestReleases::releaseBuild() + QStringLiteral("/Ferrowhistle.app") + dir + u'/' + file.fileName()).size());
        }
    }
    QCOMPARE(programs, 6); // the app, four helpers, the updater module

    // The zip: every entry carries the commit's time, in a fixed order; a
    // second release of the same build (copied at another time, with the
    // feed's other options) gives the same entries, the two signatures aside.
    const ProgramRun commitTime = runToEnd(QStringLiteral("git"), {QStringLiteral("-C"), QStringLiteral(FW_SOURCE_DIR),
                                                                   QStringLiteral("log"), QStringLiteral("-1"), QStringLiteral("--format=%ct")});
    const qint64 epoch = commitTime.out.trimmed().toLongLong();
    QVERIFY(epoch > 0);
    const QList<ZipEntry> first = zipEntries(zip);
    QVERIFY(first.size() > 10);
    QVERIFY(first.first().name.startsWith(QStringLiteral("Ferrowhistle.app")));
    for (const ZipEntry &e : first)
        QVERIFY2(e.mtime == epoch, qPrintable(e.name));
    QTest::qWait(1100); // another second on the copies' clocks
    QProcessEnvironment env = goodInputs();
    env.insert(QStringLiteral("PREVIOUS"), m_previous);
    env.insert(QStringLiteral("MINIMUM_SYSTEM_VERSION"), QStringLiteral("5.10"));
    env.insert(QStringLiteral("PHASED_ROLLOUT_INTERVAL"), QStringLiteral("86400"));
    env.insert(QStringLiteral("PUB_DATE"), QStringLiteral("2026-12-08T11:00:00+01:00"));
    const QString again = m_env.root() + QStringLiteral("/release-again");
    const ProgramRun r2 = release(env, again);
    QVERIFY2(r2.exitCode == 0, qPrintable(r2.err));
    const QJsonObject feed2 = QJsonDocument::fromJson(readBytes(again + QStringLiteral("/appcast.json"))).object();
    QCOMPARE(feed2.value(QStringLiteral("minimumSystemVersion")).toString(), QStringLiteral("5.10"));
    QCOMPARE(feed2.value(QStringLiteral("phasedRolloutInterval")).toInteger(), 86400);
    QCOMPARE(feed2.value(QStringLiteral("pubDate")).toString(), QStringLiteral("2026-12-08T10:00:00Z"));
    QVERIFY2(r2.out.contains(QStringLiteral("  rollout  7 groups, one more every 86400 s from 2026-12-08T10:00:00Z\n")), qPrintable(r2.out));
    QList<ZipEntry> second = zipEntries(again + QStringLiteral("/Ferrowhistle-1.0.0-501.zip"));
    QCOMPARE(second.size(), first.size());
    for (qsizetype i = 0; i < first.size(); ++i) {
        const bool signature = first[i].name.endsWith(QStringLiteral("_CodeSignature/CodeSignature"))
                               || first[i].name.endsWith(QStringLiteral("_CodeSignature/Notarization"));
        if (signature)
            second[i].sha256 = first[i].sha256;
        QCOMPARE(second[i].name, first[i].name);
        QVERIFY2(second[i] == first[i], qPrintable(first[i].name));
    }
}

void tst_MakeRelease::releasesTheBundlesVersionAndKeepsEarlierFiles()
{
    // A bundle that says 1.2.3, which no source file does: the release is
    // named and recorded by it.
    const QString versioned = m_f.prebuiltReleaseFolder(m_env.root() + QStringLiteral("/build-versioned"), 501);
    QVERIFY(!versioned.isEmpty());
    QVERIFY(editPlist(versioned, "<string>1.0.0</string>", "<string>1.2.3</string>"));
    // An earlier release's zip and debug file, which this one replaces neither of.
    const QString out = m_env.root() + QStringLiteral("/kept-release");
    writeBytes(out + QStringLiteral("/Ferrowhistle-1.0.0-400.zip"), "an earlier zip");
    writeBytes(out + QStringLiteral("/debug/.build-id/ab/cdef.debug"), "an earlier debug file");
    const ProgramRun r = release(goodInputs(), out, versioned);
    QVERIFY2(r.exitCode == 0, qPrintable(r.err + r.out));
    QVERIFY2(r.out.contains(QStringLiteral("Ferrowhistle 1.2.3 (build 501)")), qPrintable(r.out));
    QVERIFY(QFileInfo(out + QStringLiteral("/Ferrowhistle-1.2.3-501.zip")).isFile());
    QCOMPARE(QJsonDocument::fromJson(readBytes(out + QStringLiteral("/appcast.json"))).object().value(QStringLiteral("version")).toString(),
             QStringLiteral("1.2.3"));
    QCOMPARE(readBytes(out + QStringLiteral("/Ferrowhistle-1.0.0-400.zip")), QByteArray("an earlier zip"));
    QCOMPARE(readBytes(out + QStringLiteral("/debug/.build-id/ab/cdef.debug")), QByteArray("an earlier debug file"));
    QCOMPARE(besideOut(out), QStringList());
}

// A failure, early or late, leaves the last release (a copy of the shared
// one) exactly as it was, and nothing beside it.
void tst_MakeRelease::aFailureKeepsTheLastRelease()
{
    const QString out = m_env.root() + QStringLiteral("/last-release");
    QCOMPARE(runToEnd(QStringLiteral("cp"), {QStringLiteral("-a"), TestReleases::release(), out}).exitCode, 0);
    const QStringList released = treeSnapshot(out);
    QVERIFY(released.size() > 10);

    // The build is the bundle's CFBundleVersion, whatever else says 501.
    const QString other = m_f.prebuiltReleaseFolder(m_env.root() + QStringLiteral("/build-other"), 500);
    QVERIFY(!other.isEmpty());
    QVERIFY(editPlist(other, "</dict>", "\t<key>CFBundleGetInfoString</key>\n\t<string>501</string>\n</dict>"));
    ProgramRun r = release(goodInputs(), out, other);
    QCOMPARE(r.exitCode, 1);
    QVERIFY2(r.err.contains(other + QStringLiteral("/Ferrowhistle.app is build 500, not 501")), qPrintable(r.err));
    QCOMPARE(treeSnapshot(out), released);

    // Signing fails (a link out of the bundle) after the programs were
    // stripped: no debug file of it is left anywhere, and the last release
    // is untouched.
    const QString unsignable = m_f.prebuiltReleaseFolder(m_env.root() + QStringLiteral("/build-unsignable"), 501);
    QVERIFY(!unsignable.isEmpty());
    QVERIFY(QFile::link(m_env.root(), unsignable + QStringLiteral("/Ferrowhistle.app/Contents/Resources/outside")));
    r = release(goodInputs(), out, unsignable);
    QCOMPARE(r.exitCode, 1);
    QVERIFY2(r.err.contains(QStringLiteral("make release: signing failed")), qPrintable(r.err));
    QCOMPARE(treeSnapshot(out), released);
    QCOMPARE(besideOut(out), QStringList());
}

// The shared release: every ELF
// file's needs are in Contents/lib or the host's base set, its run path leads
// there, Qt finds its plugins in the bundle, nothing of the base set is
// carried, and each carried file names its package, whose licence travels.
void tst_MakeRelease::theReleaseCarriesWhatItNeeds()
{
    const QString contents = TestReleases::release() + QStringLiteral("/Ferrowhistle.app/Contents");
    QVERIFY(QFileInfo(contents + QStringLiteral("/bin/Ferrowhistle")).isFile());
    const QMap<QString, QString> base = baseSet();
    for (auto it = base.cbegin(); it != base.cend(); ++it)
        QVERIFY2(!it.value().isEmpty(), qPrintable(it.key() + QStringLiteral(" gives no reason")));
    // The X connection is the host's; the xcb extensions Qt needs are not.
    QVERIFY(inBaseSet(base, QStringLiteral("libxcb.so.1")) && !inBaseSet(base, QStringLiteral("libxcb-randr.so.0")));

    QStringList problems;
    QStringList carried;
    QDirIterator it(contents, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QString rel = QDir(contents).relativeFilePath(path);
        if (!isElf(path))
            continue;
        const DynamicSection d = dynamicSection(path);
        const QString folder = rel.section(u'/', 0, 0);
        const bool module = rel == QLatin1String("lib/ferrowhistle-updater.so");
        // It asks the host's libproxy, so it must never find the carried one.
        const bool hostOnly = rel == QLatin1String("bin/ferrowhistle-proxy");
        QStringList rpath, runpath;
        if (folder == QLatin1String("bin") && !hostOnly)
            rpath = {QStringLiteral("$ORIGIN/../lib")};
        else if (folder == QLatin1String("lib") && !module)
            runpath = {QStringLiteral("$ORIGIN")};
        else if (folder == QLatin1String("plugins"))
            runpath = {QStringLiteral("$ORIGIN/") + QStringLiteral("../").repeated(rel.count(u'/')) + QStringLiteral("lib")};
        else if (!module && !hostOnly)
            problems.append(rel + QStringLiteral(": an ELF file outside bin, lib and plugins"));
        if (d.rpath != rpath || d.runpath != runpath)
            problems.append(QStringLiteral("%1: DT_RPATH [%2] and DT_RUNPATH [%3], not [%4] and [%5]")
                                .arg(rel, d.rpath.join(u':'), d.runpath.join(u':'), rpath.join(u':'), runpath.join(u':')));
        for (const QString &name : d.needed) {
            if (hostOnly && !inBaseSet(base, name))
                problems.append(rel + QStringLiteral(" needs ") + name + QStringLiteral(", which the host's base set does not hold"));
            else if (!inBaseSet(base, name) && !QFileInfo(contents + QStringLiteral("/lib/") + name).isFile())
                problems.append(rel + QStringLiteral(" needs ") + name + QStringLiteral(", which the bundle does not carry"));
        }
        if (folder == QLatin1String("bin") || module)
            continue;
        carried.append(rel);
        if (inBaseSet(base, QFileInfo(path).fileName()))
            problems.append(rel + QStringLiteral(": carried, but the host provides it"));
        const QString sections = readelf({QStringLiteral("-SW"), path});
        if (sections.contains(QStringLiteral(".symtab")) || sections.contains(QStringLiteral(".debug_info")))
            problems.append(rel + QStringLiteral(": not stripped"));
    }
    QVERIFY2(problems.isEmpty(), qPrintable(problems.join(u'\n')));
    QVERIFY(carried.contains(QStringLiteral("lib/libQt6Core.so.6")));
    QVERIFY(carried.contains(QStringLiteral("lib/libcurl.so.4")));

    // Qt's plugins: from the bundle, by qt.conf beside the programs.
    QSettings conf(contents + QStringLiteral("/bin/qt.conf"), QSettings::IniFormat);
    QCOMPARE(conf.status(), QSettings::NoError);
    const QString plugins = QDir::cleanPath(QDir(contents + QStringLiteral("/bin")).absoluteFilePath(
        conf.value(QStringLiteral("Paths/Prefix")).toString() + u'/' + conf.value(QStringLiteral("Paths/Plugins")).toString()));
    QCOMPARE(plugins, QDir::cleanPath(contents + QStringLiteral("/plugins")));
    for (const char *plugin : {"platforms/libqxcb.so", "tls/libqopensslbackend.so"})
        QVERIFY2(carried.contains(QStringLiteral("plugins/") + QLatin1String(plugin)), plugin);

    // Every carried file, and only those, is listed with its package, and
    // each package's licence is there.
    const QString licenses = contents + QStringLiteral("/Resources/licenses/");
    QStringList listed;
    QSet<QString> packages;
    for (const QString &line : QString::fromUtf8(readBytes(licenses + QStringLiteral("carried-libraries.txt"))).split(u'\n')) {
        const QStringList fields = line.split(u'\t');
        if (line.startsWith(u'#') || fields.size() != 3)
            continue;
        listed.append(fields[0]);
        packages.insert(fields[1]);
    }
    carried.sort();
    listed.sort();
    QCOMPARE(listed, carried);
    for (const QString &package : packages)
        QVERIFY2(QFileInfo(licenses + package + QStringLiteral(".copyright")).size() > 0, qPrintable(package));
}

// The release starts, shows a card and loads its updater module where the
// system's library folder holds only the base set (and what those need in
// turn): everything else, Qt and its plugins included, comes from the bundle.
// The install's loadability check judges it the same way.
void tst_MakeRelease::theReleaseRunsWithTheBaseSetAlone()
{
    const QString app = TestReleases::release() + QStringLiteral("/Ferrowhistle.app");
    QVERIFY(QFileInfo(app + QStringLiteral("/Contents/bin/Ferrowhistle")).isFile());

    // The system's library folder: where this process's C library is.
    QString system;
    for (const QString &line : QString::fromUtf8(readBytes(QStringLiteral("/proc/self/maps"))).split(u'\n')) {
        if (line.endsWith(QStringLiteral("/libc.so.6"))) {
            system = QFileInfo(line.mid(line.indexOf(u'/'))).path();
            break;
        }
    }
    QVERIFY(!system.isEmpty());
    const QMap<QString, QString> base = baseSet();
    const QString baseOnly = m_env.root() + QStringLiteral("/base-only");
    QVERIFY(QDir().mkpath(baseOnly));
    QStringList queue;
    for (const QString &name : QDir(system).entryList(QDir::Files | QDir::System)) {
        if (inBaseSet(base, name))
            queue.append(name);
    }
    QSet<QString> copied;
    while (!queue.isEmpty()) {
        const QString name = queue.takeFirst();
        const QFileInfo from(system + u'/' + name);
        if (copied.contains(name) || !from.isFile())
            continue;
        QVERIFY(QFile::copy(from.canonicalFilePath(), baseOnly + u'/' + name));
        copied.insert(name);
        queue.append(dynamicSection(from.filePath()).needed); // the host's own, beside it
    }
    QVERIFY(copied.contains(QStringLiteral("libc.so.6")));
    QVERIFY(!copied.contains(QStringLiteral("libQt6Core.so.6")));

    // The install's loadability check, with the base set as the system:
    // the release passes; a copy missing one carried library is refused.
    const auto loadFailure = [&baseOnly](const QString &bundle) {
        try {
            Loadability::check(bundle, {baseOnly});
            return QString();
        } catch (const UpdaterFailure &f) {
            return f.message();
        }
    };
    QCOMPARE(loadFailure(app), QString());
    const QString damaged = m_env.root() + QStringLiteral("/missing-library/Ferrowhistle.app");
    QVERIFY(QDir().mkpath(QFileInfo(damaged).path()));
    QCOMPARE(runToEnd(QStringLiteral("cp"), {QStringLiteral("-a"), app, damaged}).exitCode, 0);
    QVERIFY(QFile::remove(damaged + QStringLiteral("/Contents/lib/libQt6Network.so.6")));
    QCOMPARE(loadFailure(damaged), QStringLiteral("The download's Contents/lib/ferrowhistle-updater.so needs libQt6Network.so.6, "
                                                  "which neither the download nor this computer has, so it wasn't installed."));

    if (runToEnd(QStringLiteral("unshare"), {QStringLiteral("-m"), QStringLiteral("true")}).exitCode != 0)
        QSKIP("a mount namespace can't be made here (needs root)");
    PrivateBus bus(m_env.root() + QStringLiteral("/bus"), m_env.root() + QStringLiteral("/no-services"));
    QVERIFY(bus.isRunning());
    QProcessEnvironment env = bus.environment();
    env.remove(QStringLiteral("LD_LIBRARY_PATH"));
    env.remove(QStringLiteral("QT_PLUGIN_PATH"));
    QProcess process;
    process.setProcessEnvironment(env);
    process.setProcessChannelMode(QProcess::ForwardedOutputChannel);
    process.start(QStringLiteral("unshare"), {QStringLiteral("-m"), QStringLiteral("sh"), QStringLiteral("-c"),
                                              QStringLiteral("mount --bind \"$1\" \"$2\" && exec \"$0\" --test-message Carried"),
                                              app + QStringLiteral("/Contents/bin/Ferrowhistle"), baseOnly, system});
    QVERIFY(process.waitForStarted());
    const auto stop = qScopeGuard([&] {
        process.kill();
        process.waitForFinished();
    });
    X11Client x;
    QVERIFY(x.isConnected());
    QTRY_VERIFY_WITH_TIMEOUT(!x.mappedWindowsNamed(QStringLiteral("Ferrowhistle")).isEmpty() || process.state() == QProcess::NotRunning, 60000);
    QVERIFY2(process.state() == QProcess::Running, process.readAllStandardError().constData());
    const auto mappedFiles = [pid = process.processId()] {
        QFile maps(QStringLiteral("/proc/%1/maps").arg(pid));
        return maps.open(QIODevice::ReadOnly) ? maps.readAll() : QByteArray();
    };
    QTRY_VERIFY_WITH_TIMEOUT(mappedFiles().contains("/Contents/lib/ferrowhistle-updater.so") || process.state() == QProcess::NotRunning, 60000);
    QVERIFY2(process.state() == QProcess::Running, process.readAllStandardError().constData());
    const QByteArray mapped = mappedFiles();
    for (const char *file : {"lib/libQt6Core.so.6", "lib/libcurl.so.4", "lib/libssl.so.3", "plugins/platforms/libqxcb.so"})
        QVERIFY2(mapped.contains(QFile::encodeName(app + QStringLiteral("/Contents/")) + file), file);
    QVERIFY(!mapped.contains("/qt6/plugins/"));
}

QTEST_GUILESS_MAIN(tst_MakeRelease)
#include "tst_MakeRelease.moc"
