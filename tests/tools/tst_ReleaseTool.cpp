// The release tool driven as a maintainer drives it, from a development
// authority to the feed record, and the archive it makes unpacked as the app
// unpacks a download.

#include "BundleSigner.h"
#include "../codesign/SigningFixture.h"

#include "codesign/BundleDelta.h"
#include "codesign/CodeSigning.h"
#include "codesign/Notarization.h"
#include "codesign/TeamSignature.h"
#include "platform/Bundle.h"
#include "release/FeedDates.h"
#include "release/FeedScope.h"
#include "FeedSigner.h"
#include "ReleasePackage.h"
#include "support/ProgramRun.h"
#include "platform/DottedVersion.h"
#include "release/Release.h"
#include "release/SystemRequirements.h"
#include "release/UpdaterFailure.h"
#include "release/VersionRules.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QtTest>

#include <archive.h>
#include <archive_entry.h>

#include <sys/stat.h>
#include <unistd.h>

namespace {

struct Run {
    int status = -1;
    QString out;
    QString err;
};

Run release(const QStringList &args)
{
    const ProgramRun p = runToEnd(QStringLiteral(FW_BINARY_DIR "/bin/ferrowhistle-release"), args,
                                  QProcessEnvironment::systemEnvironment(), 120000);
    if (p.crashed)
        return {};
    return {p.exitCode, p.out, p.err};
}

// Unpacks as the app does: libarchive onto the disk, keeping permissions,
// refusing absolute paths, ".." and writing through links.
QString unpack(const QString &zip, const QString &into)
{
    QDir().mkpath(into);
    archive *in = archive_read_new();
    archive *out = archive_write_disk_new();
    archive_read_support_format_zip(in);
    archive_write_disk_set_options(out, ARCHIVE_EXTRACT_PERM | ARCHIVE_EXTRACT_SECURE_NODOTDOT
                                            | ARCHIVE_EXTRACT_SECURE_SYMLINKS);
    QString error;
    if (archive_read_open_filename(in, QFile::encodeName(zip).constData(), 1 << 16) != ARCHIVE_OK)
        error = QString::fromUtf8(archive_error_string(in));
    archive_entry *entry = nullptr;
    while (error.isEmpty() && archive_read_next_header(in, &entry) == ARCHIVE_OK) {
        const QByteArray name = archive_entry_pathname(entry);
        if (name.startsWith('/')) {
            error = QStringLiteral("absolute path in the archive");
            break;
        }
        const QByteArray target = QFile::encodeName(into) + '/' + name;
        archive_entry_set_pathname(entry, target.constData());
        if (archive_write_header(out, entry) != ARCHIVE_OK) {
            error = QString::fromUtf8(archive_error_string(out));
            break;
        }
        const void *buf;
        size_t size;
        la_int64_t offset;
        while (archive_read_data_block(in, &buf, &size, &offset) == ARCHIVE_OK)
            archive_write_data_block(out, buf, size, offset);
        archive_write_finish_entry(out);
    }
    archive_write_close(out);
    archive_write_free(out);
    archive_read_free(in);
    return error;
}

// A zip holding only NAME.app/Contents/Info.plist, enough for a feed record.
void writeInfoPlistZip(const QString &zip, const QByteArray &plist)
{
    archive *a = archive_write_new();
    archive_write_set_format_zip(a);
    QVERIFY(archive_write_open_filename(a, QFile::encodeName(zip).constData()) == ARCHIVE_OK);
    archive_entry *e = archive_entry_new();
    archive_entry_set_pathname(e, "F.app/Contents/Info.plist");
    archive_entry_set_filetype(e, AE_IFREG);
    archive_entry_set_perm(e, 0644);
    archive_entry_set_size(e, plist.size());
    QVERIFY(archive_write_header(a, e) == ARCHIVE_OK);
    QCOMPARE(archive_write_data(a, plist.constData(), size_t(plist.size())), la_ssize_t(plist.size()));
    archive_entry_free(e);
    archive_write_close(a);
    archive_write_free(a);
}

} // namespace

class tst_ReleaseTool : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void releaseFromScratch();
    void refusals_data();
    void refusals();
    void badIdentityLeavesBundleAlone();
    void identityOfTheWrongKindIsRefused();
    void packageRefusesWhatUsersWouldRefuse();
    void verifyNamesTheCopyAtFault();
    void signAndVerifyRefuseWhatOthersControl();
    void eachCommandHasHelp();
    void feedReadsTheBuildAsTheAppDoes_data();
    void feedReadsTheBuildAsTheAppDoes();
    void feedWritesAPhasedRolloutTheAppReads();
    void signedFeedsVerifyAsTheAppVerifies();
    void renewFeedRefusesWhatWouldBreakTheFeed_data();
    void renewFeedRefusesWhatWouldBreakTheFeed();
    void aFeedWriteStoppedAnywhereIsFinishedByTheNextRenewal_data();
    void aFeedWriteStoppedAnywhereIsFinishedByTheNextRenewal();
    void feedStatesWhatTheReleaseNeedsOfTheSystem();
    void deltaIsMadeOnlyFromAVerifiedReleaseAndListedBesideTheZip();

private:
    // A feed signed by the developer, at FOLDER/appcast.json (and .sig).
    QString signedFeedIn(const QString &folder);
    std::unique_ptr<SigningFixture> m_f;
    QString m_dir;
};

void tst_ReleaseTool::initTestCase()
{
    m_f = std::make_unique<SigningFixture>();
    m_dir = m_f->root() + QStringLiteral("/maintainer");
    QDir().mkpath(m_dir);
}

void tst_ReleaseTool::releaseFromScratch()
{
    const QString d = m_dir;
    QCOMPARE(release({"create-ca", "--name", "Dev CA", "--out", d + "/dev-ca.pem"}).status, 0);
    QCOMPARE(release({"create-ca", "--name", "Notary CA", "--out", d + "/notary-ca.pem"}).status, 0);
    // A second authority at the same place would orphan the first one's
    // certificates: refused, and the first one is kept.
    const QByteArray authority = readBytes(d + "/dev-ca.pem");
    const Run again = release({"create-ca", "--name", "Dev CA", "--out", d + "/dev-ca.pem"});
    QCOMPARE(again.status, 1);
    QVERIFY2(again.err.contains("already exists"), qPrintable(again.err));
    QCOMPARE(readBytes(d + "/dev-ca.pem"), authority);
    QCOMPARE(release({"create-identity", "--ca", d + "/dev-ca.pem", "--kind", "developer", "--name", "Developer ID Application: Maintainer",
                      "--team", "MAINT00001", "--out", d + "/developer.pem"}).status, 0);
    QCOMPARE(release({"create-identity", "--ca", d + "/notary-ca.pem", "--kind", "notary", "--name", "Notary",
                      "--out", d + "/notary.pem"}).status, 0);
    QCOMPARE(QFileInfo(d + "/developer.pem").permissions() & (QFile::ReadGroup | QFile::ReadOther), QFile::Permissions());
    QVERIFY(!readBytes(d + "/dev-ca.crt").contains("PRIVATE KEY"));

    // The bundle trusts the maintainer's authorities, as a build configured
    // with them would.
    SigningFixture::BundleOptions o;
    o.codeSigningAnchors = o.notaryAnchors = false;
    o.build = 205;
    const QString app = m_f->makeBundle(QStringLiteral("maintainer/release"), o);
    writeBytes(app + "/Contents/Resources/Trust/codesigning-anchors.pem", readBytes(d + "/dev-ca.crt"));
    writeBytes(app + "/Contents/Resources/Trust/notary-anchors.pem", readBytes(d + "/notary-ca.crt"));

    QCOMPARE(release({"sign", "--identity", d + "/developer.pem", app}).status, 0);
    Run verify = release({"verify", app});
    QCOMPARE(verify.status, 1);
    QVERIFY2(verify.err.contains("no notarization ticket"), qPrintable(verify.err));
    QCOMPARE(release({"notarize", "--notary", d + "/notary.pem", app}).status, 0);
    verify = release({"verify", app});
    QCOMPARE(verify.status, 0);
    QVERIFY(verify.out.contains("MAINT00001"));

    const QString zip = d + "/Ferrowhistle-1.205.zip";
    writeBytes(app + "/Contents/Resources/late.txt", "added after signing");
    const Run late = release({"package", app, "--out", zip});
    QCOMPARE(late.status, 1);
    QVERIFY2(late.err.contains("Contents/Resources/late.txt was added"), qPrintable(late.err));
    QVERIFY(!QFile::exists(zip));
    QFile::remove(app + "/Contents/Resources/late.txt");
    QCOMPARE(release({"package", app, "--out", zip}).status, 0);
    QVERIFY(!QFile::exists(zip + ".partial"));
    const Run feed = release({"feed", zip, "--url", "https://downloads.example.org/Ferrowhistle-1.205.zip",
                              "--notes", "Faster cards.", "--minimum-system-version", "6.1.0"});
    QCOMPARE(feed.status, 0);
    QJsonParseError parseError;
    const QJsonDocument doc = QJsonDocument::fromJson(feed.out.toUtf8(), &parseError);
    QCOMPARE(parseError.error, QJsonParseError::NoError);
    const QJsonObject record = doc.object();
    QCOMPARE(record.value("version").toString(), QStringLiteral("1.205"));
    QVERIFY(record.value("build").isDouble());
    QVERIFY(feed.out.contains("\"build\": 205,")); // an integer, not text
    QCOMPARE(record.value("url").toString(), QStringLiteral("https://downloads.example.org/Ferrowhistle-1.205.zip"));
    QCOMPARE(record.value("sha256").toString(),
             QString::fromLatin1(QCryptographicHash::hash(readBytes(zip), QCryptographicHash::Sha256).toHex()));
    QCOMPARE(record.value("notes").toString(), QStringLiteral("Faster cards."));
    QCOMPARE(record.value("minimumSystemVersion").toString(), QStringLiteral("6.1.0"));
    // Its program is no ELF file, so it asks nothing of the system.
    for (const char *key : {"architecture", "minimumGlibcVersion", "minimumLibstdcxxVersion"})
        QVERIFY2(!record.contains(QLatin1String(key)), key);
    QCOMPARE(release({"feed", zip, "--url", "https://downloads.example.org/x.zip"}).out.contains("notes"), false);

    // Downloaded and unpacked by a running copy of the same team: the seal,
    // modes and links survive the archive.
    const QString staging = d + "/staging";
    QCOMPARE(unpack(zip, staging), QString());
    const QString candidate = staging + "/Ferrowhistle.app";
    QVERIFY(QFileInfo(candidate + "/Contents/Resources/icon.png").isSymLink());
    QVERIFY(QFileInfo(candidate + "/Contents/bin/Ferrowhistle").isExecutable());
    QString failure;
    try {
        verifySignature(candidate, Bundle::atPath(app));
    } catch (const CodeSigningError &e) {
        failure = e.reason();
    }
    QCOMPARE(failure, QString());
    QCOMPARE(assessNotarization(candidate, Bundle::atPath(app)).reason, QString());

    // Tampering with the unpacked copy is caught by the tool as by the app.
    writeBytes(candidate + "/Contents/Resources/build-info.json", "{}");
    verify = release({"verify", "--against", app, candidate});
    QCOMPARE(verify.status, 1);
    QCOMPARE(verify.err.trimmed(), candidate + QStringLiteral(" (the new copy): signature not accepted by ") + app
                                       + QStringLiteral(": a sealed resource is missing or invalid: "
                                                        "Contents/Resources/build-info.json was modified"));
}

void tst_ReleaseTool::refusals_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("message");
    const QString app = "APP";
    QTest::newRow("no command") << QStringList{} << 2 << "Usage:";
    QTest::newRow("unknown command") << QStringList{"publish"} << 2 << "unknown command publish";
    QTest::newRow("sign without identity") << QStringList{"sign", app} << 2 << "give either --identity or --ad-hoc";
    QTest::newRow("sign with both") << QStringList{"sign", "--ad-hoc", "--identity", "x.pem", app} << 2 << "give either --identity or --ad-hoc";
    QTest::newRow("developer without team") << QStringList{"create-identity", "--ca", "CA", "--kind", "developer", "--name", "n", "--out", "OUT"} << 1
                                            << "a developer identity needs a team identifier";
    QTest::newRow("unknown kind") << QStringList{"create-identity", "--ca", "CA", "--kind", "admin", "--name", "n", "--out", "OUT"} << 2 << "--kind is developer or notary";
    QTest::newRow("feed over http") << QStringList{"feed", "ZIP", "--url", "http://example.org/a.zip"} << 1 << "the download address must be an https URL";
    QTest::newRow("feed of an empty file") << QStringList{"feed", "EMPTY", "--url", "https://example.org/a.zip"} << 1 << "the archive is 0 bytes";
    QTest::newRow("feed of a non-archive") << QStringList{"feed", "NOISE", "--url", "https://example.org/a.zip"} << 1 << "can't";
    QTest::newRow("notarize unsigned") << QStringList{"notarize", "--notary", "NOTARY", app} << 1 << "the bundle is not signed; sign it first";
    QTest::newRow("package a non-bundle") << QStringList{"package", "NOISE", "--out", "OUT"} << 1 << "is not a bundle";
    QTest::newRow("package unsigned") << QStringList{"package", app, "--out", "OUT"} << 1 << "the bundle is not signed; sign it first";
    QTest::newRow("verify unsigned") << QStringList{"verify", app} << 1 << "can't check updates: it has no signature of its own";
    // The app reads a minimum version by skipping what is not a number, so
    // these would mean something other than what they say.
    for (const char *version : {"banana", "6.1-rc1", "6.1.0.1", "+6", "6..1", "", "6.1 "})
        QTest::newRow(qPrintable(QStringLiteral("feed, minimum system version \"%1\"").arg(QLatin1String(version))))
            << QStringList{"feed", "ZIP", "--url", "https://example.org/a.zip", "--minimum-system-version", version} << 1
            << QStringLiteral("--minimum-system-version \"%1\" is not one to three whole numbers").arg(QLatin1String(version));
    // Judged before the archive is read (this one is no zip), as the app
    // would judge the field.
    for (const char *seconds : {"0", "-60", "+60", "1.5", "1e3", "86400s", " 60", "", "9223372036854775808", "\u0666\u0660"})
        QTest::newRow(qPrintable(QStringLiteral("feed, interval \"%1\"").arg(QString::fromUtf8(seconds))))
            << QStringList{"feed", "ZIP", "--url", "https://example.org/a.zip", "--phased-rollout-interval", QString::fromUtf8(seconds)} << 1
            << QStringLiteral("--phased-rollout-interval \"%1\" is not a whole number of seconds from 1 to 9223372036854775807")
                   .arg(QString::fromUtf8(seconds));
    for (const char *date : {"2026-12-08", "2026-12-08T10:00:00", "2026-12-08 10:00:00Z", "2026-12-08T10:00:00+0100", "now", ""})
        QTest::newRow(qPrintable(QStringLiteral("feed, pub date \"%1\"").arg(QLatin1String(date))))
            << QStringList{"feed", "ZIP", "--url", "https://example.org/a.zip", "--phased-rollout-interval", "60", "--pub-date", date} << 1
            << QStringLiteral("--pub-date \"%1\" is not an ISO 8601 date and time with a zone").arg(QLatin1String(date));
    QTest::newRow("check, interval") << QStringList{"check", "--phased-rollout-interval", "0"} << 1
                                     << "\"0\" is not a whole number of seconds from 1";
    QTest::newRow("check, pub date") << QStringList{"check", "--pub-date", "2026-12-08T10:00"} << 1
                                     << "\"2026-12-08T10:00\" is not an ISO 8601 date and time with a zone";
    QTest::newRow("check, both at once") << QStringList{"check", "--phased-rollout-interval", "60", "--pub-date", "2026-12-08T10:00Z"}
                                         << 2 << "check one thing at a time";
}

void tst_ReleaseTool::refusals()
{
    QFETCH(QStringList, args);
    QFETCH(int, status);
    QFETCH(QString, message);
    const QString d = m_dir + "/refusals";
    QDir().mkpath(d);
    const QString app = m_f->makeBundle(QStringLiteral("maintainer/refusals/unsigned"));
    writeBytes(d + "/ca.pem", m_f->developerCA.identityPem());
    writeBytes(d + "/notary.pem", m_f->notary.identityPem());
    writeBytes(d + "/empty.zip", {});
    writeBytes(d + "/noise.zip", QByteArray(5000, 'n'));
    writeBytes(d + "/app.zip", "PK");
    for (QString &a : args) {
        a.replace("APP", app).replace("CA", d + "/ca.pem").replace("OUT", d + "/out").replace("NOTARY", d + "/notary.pem");
        a.replace("EMPTY", d + "/empty.zip").replace("NOISE", d + "/noise.zip").replace("ZIP", d + "/app.zip");
    }
    const Run r = release(args);
    QCOMPARE(r.status, status);
    QVERIFY2(r.err.contains(message), qPrintable(r.err));
    QCOMPARE(r.out, QString()); // no half a record, no other output
    QVERIFY(!QFile::exists(d + "/out"));
    QVERIFY(!QFile::exists(d + "/out.partial"));
    QVERIFY(!QFile::exists(app + "/Contents/_CodeSignature"));
}

void tst_ReleaseTool::badIdentityLeavesBundleAlone()
{
    const QString app = m_f->makeSignedBundle(QStringLiteral("maintainer/kept"));
    const QByteArray before = readBytes(app + "/Contents/_CodeSignature/CodeSignature");
    writeBytes(m_dir + "/broken.pem", m_f->developer.certificatePem); // no key
    const Run r = release({"sign", "--identity", m_dir + "/broken.pem", app});
    QCOMPARE(r.status, 1);
    QVERIFY2(r.err.contains("no private key"), qPrintable(r.err));
    QCOMPARE(readBytes(app + "/Contents/_CodeSignature/CodeSignature"), before);
}

void tst_ReleaseTool::identityOfTheWrongKindIsRefused()
{
    const QString d = m_dir + QStringLiteral("/kinds");
    QDir().mkpath(d);
    CertificateRequest plain;
    plain.commonName = QStringLiteral("Developer without usage");
    plain.team = QLatin1String(SigningFixture::kTeam);
    plain.codeSigningUsage = false;
    writeBytes(d + "/notary.pem", m_f->notary.identityPem());
    writeBytes(d + "/ca.pem", m_f->developerCA.identityPem());
    writeBytes(d + "/notary-ca.pem", m_f->notaryCA.identityPem());
    writeBytes(d + "/developer.pem", m_f->developer.identityPem());
    writeBytes(d + "/no-usage.pem", m_f->issueDeveloper(plain).identityPem());

    const QString unsigned_ = m_f->makeBundle(QStringLiteral("maintainer/kinds/unsigned"));
    const QString signed_ = m_f->makeSignedBundle(QStringLiteral("maintainer/kinds/signed"));
    const QByteArray seal = readBytes(signed_ + "/Contents/_CodeSignature/CodeSignature");
    const struct {
        QStringList step; // command and identity option
        const char *identity;
        const char *says;
    } cases[] = {
        {{"sign", "--identity"}, "notary.pem", "is not a developer ID certificate"},
        {{"sign", "--identity"}, "ca.pem", "is a certificate authority"},
        {{"sign", "--identity"}, "no-usage.pem", "is not meant for code signing"},
        {{"notarize", "--notary"}, "developer.pem", "is a developer ID certificate; notarize with the notary identity"},
        {{"notarize", "--notary"}, "notary-ca.pem", "is a certificate authority"},
    };
    for (const auto &c : cases) {
        const bool signing = c.step.first() == QLatin1String("sign");
        const Run r = release(c.step + QStringList{d + "/" + c.identity, signing ? unsigned_ : signed_});
        QCOMPARE(r.status, 1);
        QVERIFY2(r.err.contains(QLatin1String(c.says)), qPrintable(r.err));
        // Refused before anything was written.
        QVERIFY(!QFileInfo::exists(unsigned_ + "/Contents/_CodeSignature"));
        QVERIFY(!QFileInfo::exists(signed_ + "/Contents/_CodeSignature/Notarization"));
    }
    QCOMPARE(readBytes(signed_ + "/Contents/_CodeSignature/CodeSignature"), seal);
}

void tst_ReleaseTool::packageRefusesWhatUsersWouldRefuse()
{
    const QString zip = m_dir + QStringLiteral("/refused.zip");
    // Sealed and signed, but without a ticket: every copy would refuse it.
    const QString signed_ = m_f->makeSignedBundle(QStringLiteral("maintainer/package/signed"));
    Run r = release({"package", signed_, "--out", zip});
    QCOMPARE(r.status, 1);
    QVERIFY2(r.err.contains(QStringLiteral("not accepted as notarized")), qPrintable(r.err));
    QVERIFY(!QFileInfo::exists(zip));

    // Notarized, but checked against a copy of another team.
    const QString notarized = m_f->makeSignedBundle(QStringLiteral("maintainer/package/notarized"), true);
    const QString other = m_f->makeBundle(QStringLiteral("maintainer/package/other"));
    signBundle(other, m_f->otherTeam.identityPem());
    r = release({"package", notarized, "--out", zip, "--against", other});
    QCOMPARE(r.status, 1);
    QVERIFY2(r.err.contains(QStringLiteral("TEAMA12345")), qPrintable(r.err));
    QVERIFY(!QFileInfo::exists(zip));

    QCOMPARE(release({"package", notarized, "--out", zip}).status, 0);
    QVERIFY(QFileInfo::exists(zip));
}

void tst_ReleaseTool::verifyNamesTheCopyAtFault()
{
    const QString candidate = m_f->makeSignedBundle(QStringLiteral("maintainer/fault/new"), true);
    // The copy checking it was never signed: it can check nothing.
    const QString unsignedRunning = m_f->makeBundle(QStringLiteral("maintainer/fault/old-unsigned"));
    Run r = release({"verify", "--against", unsignedRunning, candidate});
    QCOMPARE(r.status, 1);
    QVERIFY2(r.err.startsWith(unsignedRunning + QStringLiteral(" (the copy checking it): can't check updates: ")),
             qPrintable(r.err));

    // A copy without notary anchors cannot judge the ticket.
    SigningFixture::BundleOptions noNotary;
    noNotary.notaryAnchors = false;
    const QString blind = m_f->makeBundle(QStringLiteral("maintainer/fault/old-blind"), noNotary);
    signBundle(blind, m_f->developer.identityPem());
    r = release({"verify", "--against", blind, candidate});
    QCOMPARE(r.status, 1);
    QVERIFY2(r.err.startsWith(blind + QStringLiteral(" (the copy checking it): can't check notarization: ")),
             qPrintable(r.err));

    // The new copy is the one at fault: its ticket is missing.
    const QString unticketed = m_f->makeSignedBundle(QStringLiteral("maintainer/fault/unticketed"));
    const QString running = m_f->makeSignedBundle(QStringLiteral("maintainer/fault/old"), true);
    r = release({"verify", "--against", running, unticketed});
    QCOMPARE(r.status, 1);
    QVERIFY2(r.err.startsWith(unticketed + QStringLiteral(" (the new copy): signature valid, but not accepted as notarized: ")),
             qPrintable(r.err));
    QCOMPARE(release({"verify", "--against", running, candidate}).status, 0);
}

void tst_ReleaseTool::signAndVerifyRefuseWhatOthersControl()
{
    if (::geteuid() != 0)
        QSKIP("only root can give a file to another user or grant it a file capability");
    writeBytes(m_dir + "/developer.pem", m_f->developer.identityPem());
    const struct {
        const char *name;
        bool (*spoil)(const QString &path);
        QString reason;
    } cases[] = {
        {"other-user", giveToAnotherUser, QStringLiteral("a part of the bundle belongs to another user (uid 1001): Contents/bin/Ferrowhistle")},
        {"capability", grantFileCapability, QStringLiteral("a file of the bundle carries file capabilities: Contents/bin/Ferrowhistle")},
    };
    for (const auto &c : cases) {
        // Refused before anything is signed.
        const QString fresh = m_f->makeBundle(QStringLiteral("maintainer/others/%1-sign").arg(QLatin1String(c.name)));
        QVERIFY(c.spoil(fresh + "/Contents/bin/Ferrowhistle"));
        Run r = release({"sign", "--identity", m_dir + "/developer.pem", fresh});
        QCOMPARE(r.status, 1);
        QVERIFY2(r.err.contains(c.reason), qPrintable(r.err));
        QVERIFY(!QFileInfo::exists(fresh + "/Contents/_CodeSignature"));

        // Spoiled after signing and notarizing: verify says why.
        const QString released = m_f->makeSignedBundle(QStringLiteral("maintainer/others/%1-verify").arg(QLatin1String(c.name)), true);
        QCOMPARE(release({"verify", released}).status, 0);
        QVERIFY(c.spoil(released + "/Contents/bin/Ferrowhistle"));
        r = release({"verify", released});
        QCOMPARE(r.status, 1);
        QCOMPARE(r.err.trimmed(), released + QStringLiteral(": signature not accepted: ") + c.reason);
    }
}

void tst_ReleaseTool::eachCommandHasHelp()
{
    for (const char *command : {"create-ca", "create-identity", "sign", "notarize", "verify", "package", "feed", "renew-feed", "delta"}) {
        const Run r = release({command, "--help"});
        QCOMPARE(r.status, 0);
        QVERIFY2(r.out.startsWith(QStringLiteral("Usage:\n  ") + QLatin1String(command) + u' '), qPrintable(r.out));
        QCOMPARE(r.err, QString());
    }
    // A usage error shows the usage of that command only.
    const Run wrong = release({"notarize", "APP"});
    QCOMPARE(wrong.status, 2);
    QVERIFY2(wrong.err.contains(QStringLiteral("notarize --notary")) && !wrong.err.contains(QStringLiteral("create-ca")),
             qPrintable(wrong.err));
}

void tst_ReleaseTool::feedReadsTheBuildAsTheAppDoes_data()
{
    QTest::addColumn<QString>("text");
    for (const char *t : {"49", "+49", "049", "-3", "9223372036854775807", "-9223372036854775808",
                          "9223372036854775808", "+", "", " 49", "49 ", "4 9", "49.0", "0x31", "++49", "1e3"})
        QTest::newRow(t[0] ? t : "empty") << QString::fromLatin1(t);
    QTest::newRow("Arabic-Indic digits") << QStringLiteral("\u0664\u0669");
}

void tst_ReleaseTool::feedReadsTheBuildAsTheAppDoes()
{
    QFETCH(QString, text);
    const QString zip = m_dir + QStringLiteral("/build-rule.zip");
    writeInfoPlistZip(zip, "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
                           "<key>CFBundleShortVersionString</key><string>2.0</string>"
                           "<key>CFBundleVersion</key><string>" + text.toHtmlEscaped().toUtf8() + "</string>"
                           "</dict></plist>\n");
    const std::optional<qint64> app = VersionRules::parseInteger(text);
    try {
        const QJsonObject record = feedRecord(zip, FeedOptions{QStringLiteral("https://dl.example.org/F.zip"), {}, {}, {}, {}});
        QVERIFY2(app, "the tool accepted a build the app refuses");
        QCOMPARE(record.value("build").toInteger(), *app);
    } catch (const std::runtime_error &e) {
        QVERIFY2(!app, e.what());
        QVERIFY2(QString::fromUtf8(e.what()).contains("CFBundleVersion"), e.what());
    }
}

void tst_ReleaseTool::feedWritesAPhasedRolloutTheAppReads()
{
    const QString zip = m_dir + QStringLiteral("/phased.zip");
    writeInfoPlistZip(zip, "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
                           "<key>CFBundleShortVersionString</key><string>2.0</string>"
                           "<key>CFBundleVersion</key><string>49</string></dict></plist>\n");
    const QStringList base{"feed", zip, "--url", "https://dl.example.org/F.zip"};
    // What the tool prints, read back by the app's own decoder.
    const auto decoded = [](const Run &r) {
        try {
            return Release::decode(r.out.toUtf8());
        } catch (const PlatformError &e) {
            qWarning() << e.localizedDescription() << r.out;
            return Release{};
        }
    };

    Run r = release(base + QStringList{"--phased-rollout-interval", "86400", "--pub-date", "2026-12-08T11:00:00+01:00"});
    QCOMPARE(r.status, 0);
    QVERIFY2(r.out.contains("\"phasedRolloutInterval\": 86400") && r.out.contains("\"pubDate\": \"2026-12-08T10:00:00Z\""),
             qPrintable(r.out));
    Release record = decoded(r);
    QCOMPARE(record.build, 49);
    QVERIFY(record.isPhased());
    QCOMPARE(record.pubDate, QDateTime::fromString("2026-12-08T10:00:00Z", Qt::ISODate));
    QCOMPARE(record.phasedRolloutInterval, 86400);

    // The longest interval survives the JSON as the integer it is.
    r = release(base + QStringList{"--phased-rollout-interval", "9223372036854775807", "--pub-date", "2026-12-08T10:00:00.5Z"});
    QCOMPARE(r.status, 0);
    record = decoded(r);
    QCOMPARE(record.phasedRolloutInterval, std::numeric_limits<qint64>::max());
    QCOMPARE(record.pubDate, QDateTime::fromString("2026-12-08T10:00:00.500Z", Qt::ISODateWithMs));

    // Without a date the rollout starts when the record is written.
    const qint64 before = QDateTime::currentSecsSinceEpoch();
    r = release(base + QStringList{"--phased-rollout-interval", "3600"});
    const qint64 after = QDateTime::currentSecsSinceEpoch();
    QCOMPARE(r.status, 0);
    record = decoded(r);
    QVERIFY(record.isPhased());
    QVERIFY2(record.pubDate->toSecsSinceEpoch() >= before && record.pubDate->toSecsSinceEpoch() <= after, qPrintable(r.out));

    // A date alone is written as given; neither leaves the record as it was.
    r = release(base + QStringList{"--pub-date", "2026-12-08T10:00:00Z"});
    record = decoded(r);
    QVERIFY(record.pubDate && !record.phasedRolloutInterval);
    r = release(base);
    QCOMPARE(r.status, 0);
    QVERIFY2(!r.out.contains("pubDate") && !r.out.contains("phasedRolloutInterval"), qPrintable(r.out));

    // check passes good values in silence.
    for (const QStringList &args : {QStringList{"check", "--phased-rollout-interval", "1"},
                                    QStringList{"check", "--pub-date", "2026-12-08T10:00:00-05:00"}}) {
        r = release(args);
        QCOMPARE(r.status, 0);
        QCOMPARE(r.out + r.err, QString());
    }
}

QString tst_ReleaseTool::signedFeedIn(const QString &folder)
{
    QDir().mkpath(folder);
    const QString zip = folder + QStringLiteral("/release.zip");
    writeInfoPlistZip(zip, "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
                           "<key>CFBundleIdentifier</key><string>com.copperkestrel.Ferrowhistle</string>"
                           "<key>CFBundleShortVersionString</key><string>2.0</string>"
                           "<key>CFBundleVersion</key><string>49</string></dict></plist>\n");
    writeBytes(folder + QStringLiteral("/developer.pem"), m_f->developer.identityPem());
    const QString feed = folder + QStringLiteral("/appcast.json");
    const Run r = release({"feed", zip, "--url", "https://dl.example.org/F.zip", "--notes", "Signed.", "--identity",
                           folder + QStringLiteral("/developer.pem"), "--valid-days", "7", "--out", feed});
    if (r.status != 0) {
        qWarning() << r.err;
        return {};
    }
    return feed;
}

// What the tool writes, checked by the app's own verification: a copy signed
// by the same team with the same anchors.
void tst_ReleaseTool::signedFeedsVerifyAsTheAppVerifies()
{
    const Bundle running = Bundle::atPath(m_f->makeSignedBundle(m_dir + QStringLiteral("/feed-reader")));
    const QString folder = m_dir + QStringLiteral("/signed-feed");
    const QDateTime before = QDateTime::fromSecsSinceEpoch(QDateTime::currentSecsSinceEpoch(), Qt::UTC);
    const QString feed = signedFeedIn(folder);
    QVERIFY(!feed.isEmpty());
    const QDateTime after = QDateTime::currentDateTimeUtc();
    const QByteArray bytes = readBytes(feed);
    try {
        verifyTeamSignature(bytes, readBytes(feed + QStringLiteral(".sig")), running);
    } catch (const CodeSigningError &e) {
        QFAIL(e.what());
    }
    const Release signedRelease = Release::decode(bytes);
    QCOMPARE(signedRelease.build, 49);
    QCOMPARE(signedRelease.notes, QStringLiteral("Signed."));
    const FeedDates dates = FeedDates::decode(bytes);
    QVERIFY(dates.published >= before && dates.published <= after);
    QCOMPARE(dates.expires, dates.published.addDays(7));
    const FeedScope stable{QStringLiteral("com.copperkestrel.Ferrowhistle"), QStringLiteral("stable")};
    QCOMPARE(FeedScope::decode(bytes), stable);

    // Renewed: new dates (the default of 30 days), everything else as it
    // was, and still the developer's.
    const Run renewed = release({"renew-feed", feed, "--identity", folder + QStringLiteral("/developer.pem")});
    QCOMPARE(renewed.status, 0);
    const QByteArray renewedBytes = readBytes(feed);
    try {
        verifyTeamSignature(renewedBytes, readBytes(feed + QStringLiteral(".sig")), running);
    } catch (const CodeSigningError &e) {
        QFAIL(e.what());
    }
    QCOMPARE(Release::decode(renewedBytes), signedRelease);
    const FeedDates renewedDates = FeedDates::decode(renewedBytes);
    QVERIFY(renewedDates.published >= dates.published);
    QCOMPARE(renewedDates.expires, renewedDates.published.addDays(30));
    QVERIFY(!QFileInfo::exists(feed + QStringLiteral(".partial")));
    QVERIFY(!QFileInfo::exists(feed + QStringLiteral(".next")));
    QCOMPARE(FeedScope::decode(renewedBytes), stable);

    // Another channel, kept by its renewal too; a name that could not be
    // compared with a setting is refused before anything is written.
    const QString beta = folder + QStringLiteral("/beta.json");
    QCOMPARE(release({"feed", folder + QStringLiteral("/release.zip"), "--url", "https://dl.example.org/F.zip", "--identity",
                      folder + QStringLiteral("/developer.pem"), "--channel", "beta-2", "--out", beta})
                 .status,
             0);
    QCOMPARE(FeedScope::decode(readBytes(beta)).channel, QStringLiteral("beta-2"));
    QCOMPARE(release({"renew-feed", beta, "--identity", folder + QStringLiteral("/developer.pem")}).status, 0);
    QCOMPARE(FeedScope::decode(readBytes(beta)).channel, QStringLiteral("beta-2"));
    for (const char *channel : {"", "beta 2", "b\xc3\xa9ta", "x/y"}) {
        const Run r = release({"feed", folder + QStringLiteral("/release.zip"), "--url", "https://dl.example.org/F.zip", "--identity",
                               folder + QStringLiteral("/developer.pem"), "--channel", QString::fromUtf8(channel), "--out",
                               folder + QStringLiteral("/other.json")});
        QCOMPARE(r.status, 2);
        QVERIFY2(r.err.contains("--channel: \"" + QString::fromUtf8(channel) + "\" is not a channel name"), qPrintable(r.err));
        QVERIFY(!QFileInfo::exists(folder + QStringLiteral("/other.json")));
        QCOMPARE(release({"check", "--channel", QString::fromUtf8(channel)}).status, 1);
    }
    QCOMPARE(release({"check", "--channel", "stable"}).status, 0);

    // Unsigned, it is printed as before; its signing options go with
    // --identity only.
    const Run unsignedFeed = release({"feed", folder + QStringLiteral("/release.zip"), "--url", "https://dl.example.org/F.zip"});
    QCOMPARE(unsignedFeed.status, 0);
    QVERIFY2(!unsignedFeed.out.contains("published") && !unsignedFeed.out.contains("expires"), qPrintable(unsignedFeed.out));
    for (const QStringList &extra : {QStringList{"--out", folder + QStringLiteral("/other.json")}, QStringList{"--valid-days", "3"},
                                     QStringList{"--channel", "beta"}}) {
        const Run r = release(QStringList{"feed", folder + QStringLiteral("/release.zip"), "--url", "https://dl.example.org/F.zip"} + extra);
        QCOMPARE(r.status, 2);
        QVERIFY2(r.err.contains("go with --identity"), qPrintable(r.err));
    }
    for (const char *days : {"0", "366", "-1", "7.5", "x"}) {
        const Run r = release({"feed", folder + QStringLiteral("/release.zip"), "--url", "https://dl.example.org/F.zip", "--identity",
                               folder + QStringLiteral("/developer.pem"), "--valid-days", days, "--out", folder + QStringLiteral("/other.json")});
        QCOMPARE(r.status, 2);
        QVERIFY2(r.err.contains("--valid-days"), qPrintable(r.err));
        QVERIFY(!QFileInfo::exists(folder + QStringLiteral("/other.json")));
    }
}

void tst_ReleaseTool::renewFeedRefusesWhatWouldBreakTheFeed_data()
{
    QTest::addColumn<QString>("identity"); // a key of the fixture's, or a file name under the case's folder
    QTest::addColumn<QByteArray>("feedBytes"); // empty: the feed as signed
    QTest::addColumn<bool>("withSignature");
    QTest::addColumn<QString>("expected");
    QTest::newRow("not JSON") << "developer" << QByteArray("<rss/>") << true << "is not a feed the app can read";
    QTest::newRow("no build") << "developer" << QByteArray(R"({"version": "2.0", "url": "https://dl.example.org/F.zip", "sha256": "00"})")
                              << true << "is not a feed the app can read";
    QTest::newRow("http download") << "developer"
                                   << QByteArray(R"({"version": "2.0", "build": 49, "url": "http://dl.example.org/F.zip", "sha256": "00"})")
                                   << true << "is not a feed the app can read";
    QTest::newRow("made before records named their app")
        << "developer"
        << QByteArray(R"({"version": "2.0", "build": 49, "url": "https://dl.example.org/F.zip", "sha256": "00", )"
                      R"("published": "2026-12-08T10:00:00Z", "expires": "2027-01-07T10:00:00Z"})")
        << true << "does not say which app and channel it is for";
    QTest::newRow("changed after signing") << "developer"
                                           << QByteArray(R"({"version": "2.0", "build": 50, "url": "https://evil.example.org/F.zip", "sha256": "00", )"
                                                         R"("bundleIdentifier": "com.copperkestrel.Ferrowhistle", "channel": "stable"})")
                                           << true << "is not a signature of";
    QTest::newRow("no signature") << "developer" << QByteArray() << false << "appcast.json.sig";
    QTest::newRow("another team") << "otherTeam" << QByteArray() << true << "is of team \"TEAMB67890\"";
    QTest::newRow("another authority, same team") << "stranger" << QByteArray() << true << "was issued by";
    QTest::newRow("a notary identity") << "notary" << QByteArray() << true << "is not a developer ID certificate";
    QTest::newRow("the authority itself") << "developerCA" << QByteArray() << true << "is a certificate authority";
    QTest::newRow("key of another certificate") << "mismatched" << QByteArray() << true << "no certificate for its private key";
}

void tst_ReleaseTool::renewFeedRefusesWhatWouldBreakTheFeed()
{
    QFETCH(QString, identity);
    QFETCH(QByteArray, feedBytes);
    QFETCH(bool, withSignature);
    QFETCH(QString, expected);
    const QString folder = m_dir + QStringLiteral("/renew-") + QString::fromLatin1(QTest::currentDataTag()).replace(u' ', u'-');
    const QString feed = signedFeedIn(folder);
    QVERIFY(!feed.isEmpty());
    if (!feedBytes.isEmpty())
        writeBytes(feed, feedBytes);
    if (!withSignature)
        QVERIFY(QFile::remove(feed + QStringLiteral(".sig")));

    CertificateRequest sameTeam;
    sameTeam.commonName = QStringLiteral("Developer ID Application: Test");
    sameTeam.team = QLatin1String(SigningFixture::kTeam);
    const QMap<QString, QByteArray> identities{
        {"developer", m_f->developer.identityPem()},
        {"otherTeam", m_f->otherTeam.identityPem()},
        {"stranger", DevelopmentCA::issue(m_f->strangerCA.identityPem(), sameTeam).identityPem()},
        {"notary", m_f->notary.identityPem()},
        {"developerCA", m_f->developerCA.identityPem()},
        {"mismatched", m_f->otherTeam.certificatePem + m_f->developer.keyPem},
    };
    const QString identityFile = folder + QStringLiteral("/identity.pem");
    writeBytes(identityFile, identities.value(identity));

    const QByteArray feedBefore = readBytes(feed);
    const QByteArray signatureBefore = withSignature ? readBytes(feed + QStringLiteral(".sig")) : QByteArray();
    const Run r = release({"renew-feed", feed, "--identity", identityFile});
    QCOMPARE(r.status, 1);
    QVERIFY2(r.err.startsWith("ferrowhistle-release renew-feed: ") && r.err.contains(expected), qPrintable(r.err));
    // Nothing written.
    QCOMPARE(readBytes(feed), feedBefore);
    QCOMPARE(QFileInfo::exists(feed + QStringLiteral(".sig")), withSignature);
    if (withSignature)
        QCOMPARE(readBytes(feed + QStringLiteral(".sig")), signatureBefore);
}

// Two files can't be replaced in one step: a feed or renew-feed stopped
// between its steps (as by a kill) leaves what the next renewal finishes or
// undoes, then renews, with a pair the app accepts.
void tst_ReleaseTool::aFeedWriteStoppedAnywhereIsFinishedByTheNextRenewal_data()
{
    QTest::addColumn<int>("stopAt"); // FeedWriteStep
    QTest::addColumn<bool>("firstFeed"); // the stopped write was the first of this feed (no FEED yet)
    QTest::addColumn<bool>("finished"); // the renewal finishes the stopped write first
    QTest::newRow("before the signature") << int(FeedWriteStep::Signature) << false << false;
    QTest::newRow("between the signature and the feed") << int(FeedWriteStep::Rename) << false << true;
    QTest::newRow("first feed, before its rename") << int(FeedWriteStep::Rename) << true << true;
}

void tst_ReleaseTool::aFeedWriteStoppedAnywhereIsFinishedByTheNextRenewal()
{
    QFETCH(int, stopAt);
    QFETCH(bool, firstFeed);
    QFETCH(bool, finished);
    const Bundle running = Bundle::atPath(m_f->makeSignedBundle(m_dir + QStringLiteral("/stopped-reader-") + QTest::currentDataTag()));
    const QString folder = m_dir + QStringLiteral("/stopped-") + QString::fromLatin1(QTest::currentDataTag()).replace(u' ', u'-');
    const QString feed = signedFeedIn(folder);
    QVERIFY(!feed.isEmpty());
    const QByteArray before = readBytes(feed);
    if (firstFeed) {
        QVERIFY(QFile::remove(feed));
        QVERIFY(QFile::remove(feed + QStringLiteral(".sig")));
    }

    // What the stopped run was writing: the same feed, published a day later.
    struct Stopped {};
    const FeedScope scope = FeedScope::decode(before);
    const SignedFeedFiles next = signFeed(QJsonDocument::fromJson(before).object(), scope, m_f->developer.identityPem(), 30,
                                          FeedDates::decode(before).published.addDays(1));
    try {
        writeSignedFeed(feed, next, [&](FeedWriteStep step) {
            if (int(step) == stopAt)
                throw Stopped{};
        });
        QFAIL("the write was not stopped");
    } catch (const Stopped &) {
    }
    if (stopAt == int(FeedWriteStep::Rename) && !firstFeed) {
        // What the copies meet meanwhile: a pair that doesn't hold.
        QVERIFY(!signerOf(readBytes(feed + QStringLiteral(".sig")), readBytes(feed)));
    }

    const Run r = release({"renew-feed", feed, "--identity", folder + QStringLiteral("/developer.pem")});
    QCOMPARE(r.status, 0);
    QCOMPARE(r.out.contains(QStringLiteral("stopped half way")), finished);
    QVERIFY(!QFileInfo::exists(feed + QStringLiteral(".next")));
    const QByteArray renewed = readBytes(feed);
    try {
        verifyTeamSignature(renewed, readBytes(feed + QStringLiteral(".sig")), running);
    } catch (const CodeSigningError &e) {
        QFAIL(e.what());
    }
    QCOMPARE(Release::decode(renewed), Release::decode(before));
    QCOMPARE(FeedScope::decode(renewed), scope);
    QVERIFY(FeedDates::decode(renewed).published >= FeedDates::decode(before).published);
}

// The build's own bundle, packed as a release: the feed names this machine
// and the highest C and C++ library versions that readelf finds any of its
// programs or libraries needing, and the app reads and accepts the record.
void tst_ReleaseTool::feedStatesWhatTheReleaseNeedsOfTheSystem()
{
    const QString app = m_f->signedCopyOfApp(m_dir + QStringLiteral("/real"), 205);
    QVERIFY(!app.isEmpty());
    const QString zip = m_dir + QStringLiteral("/real/Ferrowhistle-real.zip");
    QCOMPARE(release({"package", app, "--out", zip}).status, 0);
    const Run feed = release({"feed", zip, "--url", "https://downloads.example.org/real.zip"});
    QCOMPARE(feed.status, 0);
    const QJsonObject record = QJsonDocument::fromJson(feed.out.toUtf8()).object();

    std::optional<DottedVersion> glibc, libstdcxx;
    static const QRegularExpression needed(QStringLiteral("^\\s*0x[0-9a-f]+:\\s+Name: (GLIBC|GLIBCXX)_([0-9.]+)\\s+Flags"),
                                           QRegularExpression::MultilineOption);
    QStringList files;
    QDirIterator it(app + QStringLiteral("/Contents"), QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        if (!readBytes(path).startsWith("\x7f" "ELF"))
            continue;
        files << path;
        QProcess readelf;
        readelf.start(QStringLiteral("readelf"), {QStringLiteral("-V"), QStringLiteral("--wide"), path});
        QVERIFY(readelf.waitForFinished(60000) && readelf.exitCode() == 0);
        auto matches = needed.globalMatch(QString::fromUtf8(readelf.readAllStandardOutput()));
        while (matches.hasNext()) {
            const auto m = matches.next();
            auto &highest = m.captured(1) == QLatin1String("GLIBC") ? glibc : libstdcxx;
            const auto v = DottedVersion::parse(m.captured(2));
            if (v && (!highest || *v > *highest))
                highest = v;
        }
    }
    QVERIFY2(files.size() >= 2, qPrintable(files.join(u' ')));
    QVERIFY(glibc && libstdcxx);
    QCOMPARE(record.value("architecture").toString(), SystemProfile::running().machine);
    QCOMPARE(record.value("minimumGlibcVersion").toString(), glibc->text());
    QCOMPARE(record.value("minimumLibstdcxxVersion").toString(), libstdcxx->text());

    // What the tool writes, the app reads, and this computer meets it.
    const Release decoded = Release::decode(feed.out.toUtf8());
    QCOMPARE(decoded.minimumGlibcVersion, glibc->text());
    QCOMPARE(SystemRequirements::unmet(decoded, SystemProfile::running()), std::nullopt);
}

// The maintainer's delta: never from an old bundle that doesn't verify, and
// listed in the feed at the zip's folder with its digest and length, as the
// app reads them.
void tst_ReleaseTool::deltaIsMadeOnlyFromAVerifiedReleaseAndListedBesideTheZip()
{
    const QString oldApp = m_f->makeSignedBundle(QStringLiteral("delta-old"), true);
    SigningFixture::BundleOptions o;
    o.build = 101;
    const QString newApp = m_f->makeBundle(QStringLiteral("delta-new"), o);
    signBundle(newApp, m_f->developer.identityPem());
    notarizeBundle(newApp, m_f->notary.identityPem());
    const QString out = m_dir + QStringLiteral("/F-101-from-100.delta");

    // Signed but never notarized: not a release a user could run.
    const QString unnotarized = m_f->makeSignedBundle(QStringLiteral("delta-unnotarized"), false);
    Run r = release({"delta", unnotarized, newApp, "--out", out});
    QCOMPARE(r.status, 1);
    QVERIFY2(r.err.contains("doesn't verify, so no delta is made from it"), qPrintable(r.err));
    QVERIFY(!QFile::exists(out));

    r = release({"delta", oldApp, newApp, "--out", out});
    QVERIFY2(r.status == 0, qPrintable(r.err));
    const QByteArray delta = readBytes(out);
    QCOMPARE(BundleDelta::readHeader(out).toDigest, BundleDelta::resourcesDigest(newApp));

    const QString zip = m_dir + QStringLiteral("/F-101.zip");
    writeInfoPlistZip(zip, "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
                           "<key>CFBundleShortVersionString</key><string>2.0</string>"
                           "<key>CFBundleVersion</key><string>101</string></dict></plist>\n");
    const QStringList base{"feed", zip, "--url", "https://dl.example.org/releases/F-101.zip?x=1"};
    r = release(base + QStringList{"--delta", "100=" + out});
    QVERIFY2(r.status == 0, qPrintable(r.err));
    const Release record = Release::decode(r.out.toUtf8());
    QCOMPARE(record.deltas.size(), size_t(1));
    QCOMPARE(record.deltas[0].fromBuild, 100);
    QCOMPARE(record.deltas[0].url, QUrl("https://dl.example.org/releases/F-101-from-100.delta"));
    QCOMPARE(record.deltas[0].sha256, QString::fromLatin1(QCryptographicHash::hash(delta, QCryptographicHash::Sha256).toHex()));
    QCOMPARE(record.deltas[0].length, delta.size());

    // What the feed must not say.
    const QString notADelta = m_dir + QStringLiteral("/not-a.delta");
    writeBytes(notADelta, "plain text");
    for (const QStringList &bad : {QStringList{"--delta", out}, QStringList{"--delta", "101=" + out},
                                   QStringList{"--delta", "100=" + out, "--delta", "100=" + out},
                                   QStringList{"--delta", "99=" + notADelta}}) {
        r = release(base + bad);
        QVERIFY2(r.status != 0 && r.out.isEmpty(), qPrintable(bad.join(u' ') + r.out));
    }
}

QTEST_GUILESS_MAIN(tst_ReleaseTool)
#include "tst_ReleaseTool.moc"
