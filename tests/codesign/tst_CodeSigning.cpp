#include "SigningFixture.h"

#include "BundleSigner.h"
#include "codesign/BundleSeal.h"
#include "codesign/CmsSignature.h"
#include "codesign/CodeResources.h"
#include "codesign/CodeSigning.h"
#include "codesign/Notarization.h"
#include "codesign/ResolveBeneath.h"
#include "codesign/SealedBundle.h"
#include "update/SigningFailure.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QProcess>
#include <QtTest>

#include <cstring>
#include <functional>
#include <thread>

#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString kNoTeam = QStringLiteral("This copy of Ferrowhistle isn't signed with a team ID, so it can't verify updates.");
const QString kUnreadable = QStringLiteral("The download's signature couldn't be read.");

QString notOurs(const QString &why)
{
    return QStringLiteral("The download isn't signed by Ferrowhistle's developer (") + why + QStringLiteral("), so it wasn't installed.");
}

// The failure's sentence, or empty when the call returned.
QString failureOf(const std::function<void()> &call)
{
    try {
        call();
    } catch (const CodeSigningError &e) {
        return signingFailure(e).message();
    }
    return {};
}

QByteArray path8(const QString &p) { return QFile::encodeName(p); }
QString sigFile(const QString &app, const char *name) { return app + QStringLiteral("/Contents/_CodeSignature/") + QLatin1String(name); }

constexpr const char *kNeedsRoot = "only root can give a file to another user or grant it a file capability";

void giveToStranger(const QString &path)
{
    if (!giveToAnotherUser(path))
        qFatal("lchown %s: %s", qPrintable(path), std::strerror(errno));
}

void grantCapability(const QString &path)
{
    if (!grantFileCapability(path))
        qFatal("setxattr %s: %s", qPrintable(path), std::strerror(errno));
}

// Stores a resource list signed by the identity, as a signer who signs
// whatever it is given would.
void storeSignedList(const QString &app, const QByteArray &list, const IssuedCertificate &signer)
{
    BundleSeal::writeFile(app, BundleSeal::kResourcesFile, list);
    BundleSeal::writeFile(app, BundleSeal::kSignatureFile, cmsSignDetached(list, SigningIdentity::fromPem(signer.identityPem())));
}

// A signature made by hand, for digests and shapes the tools never make.
QByteArray signWith(const QByteArray &content, const IssuedCertificate &signer, const EVP_MD *digest, bool detached)
{
    const SigningIdentity id = SigningIdentity::fromPem(signer.identityPem());
    ossl::Bio data = ossl::memoryBio(content);
    const unsigned flags = CMS_BINARY | CMS_PARTIAL | (detached ? CMS_DETACHED : 0u);
    ossl::Cms cms(CMS_sign(nullptr, nullptr, id.chain(), data.get(), flags));
    if (!cms || !CMS_add1_signer(cms.get(), id.certificate(), id.key(), digest, flags)
        || CMS_final(cms.get(), data.get(), nullptr, flags) != 1)
        qFatal("signing by hand failed");
    ossl::Bio out(BIO_new(BIO_s_mem()));
    i2d_CMS_bio(out.get(), cms.get());
    return ossl::bioContents(out.get());
}

QByteArray listHeader(int count)
{
    return "ferrowhistle-code-resources 1\nidentifier com.copperkestrel.Ferrowhistle\nroot 0755\nentries " + QByteArray::number(count) + '\n';
}

using Prepare = std::function<void(const SigningFixture &, const QString &app)>;
struct CandidateCase {
    const char *name;
    Prepare prepare;
    QString expected; // empty: accepted
    bool needsRoot = false;
};

void signAs(const IssuedCertificate &id, const QString &app, const QString &identifier = {}) { signBundle(app, id.identityPem(), identifier); }

CertificateRequest developerRequest()
{
    CertificateRequest r;
    r.commonName = QStringLiteral("Developer ID Application: Test");
    r.team = QLatin1String(SigningFixture::kTeam);
    return r;
}

const std::vector<CandidateCase> &candidateCases()
{
    static const std::vector<CandidateCase> cases{
        {"good", [](auto &f, auto &app) { signAs(f.developer, app); }, {}},
        {"notarized too", [](auto &f, auto &app) { signAs(f.developer, app); notarizeBundle(app, f.notary.identityPem()); }, {}},

        // Who signed it.
        {"other team", [](auto &f, auto &app) { signAs(f.otherTeam, app); },
         notOurs(QStringLiteral("code failed to satisfy the requirement: the signing certificate belongs to team \"TEAMB67890\", not \"TEAMA12345\""))},
        {"other identifier", [](auto &f, auto &app) { signAs(f.developer, app, QStringLiteral("com.copperkestrel.Other")); },
         notOurs(QStringLiteral("code failed to satisfy the requirement: the signing identifier is \"com.copperkestrel.Other\", not \"com.copperkestrel.Ferrowhistle\""))},
        {"leaf without developer ID marker", [](auto &f, auto &app) {
             CertificateRequest r = developerRequest();
             r.developerIdExtension = false;
             signAs(f.issueDeveloper(r), app);
         }, notOurs(QStringLiteral("code failed to satisfy the requirement: the signing certificate is not a developer ID certificate"))},
        {"leaf without code-signing usage", [](auto &f, auto &app) {
             CertificateRequest r = developerRequest();
             r.codeSigningUsage = false;
             signAs(f.issueDeveloper(r), app);
         }, notOurs(QStringLiteral("the signing certificate isn't meant for code signing"))},
        {"chain to another root", [](auto &f, auto &app) { signAs(DevelopmentCA::issue(f.strangerCA.identityPem(), developerRequest()), app); },
         notOurs(QStringLiteral("the signing certificate isn't trusted: unable to get local issuer certificate"))},
        {"signed by the notary", [](auto &f, auto &app) { signAs(f.notary, app); },
         notOurs(QStringLiteral("the signing certificate isn't trusted: unable to get local issuer certificate"))},
        {"expired leaf", [](auto &f, auto &app) {
             CertificateRequest r = developerRequest();
             r.notBefore = -2 * 86400;
             r.notAfter = -86400;
             signAs(f.issueDeveloper(r), app);
         }, notOurs(QStringLiteral("the signing certificate isn't trusted: certificate has expired"))},
        {"leaf not yet valid", [](auto &f, auto &app) {
             CertificateRequest r = developerRequest();
             r.notBefore = 86400;
             signAs(f.issueDeveloper(r), app);
         }, notOurs(QStringLiteral("the signing certificate isn't trusted: certificate is not yet valid"))},
        {"unsigned", [](auto &, auto &) {}, notOurs(QStringLiteral("code object is not signed at all"))},
        {"ad hoc", [](auto &, auto &app) { signBundle(app, {}); }, notOurs(QStringLiteral("code object is not signed at all"))},

        // Tampering after signing.
        {"content changed", [](auto &f, auto &app) {
             signAs(f.developer, app);
             writeBytes(app + QStringLiteral("/Contents/Resources/build-info.json"), "{\"build\": \"999\"}\n");
         }, notOurs(QStringLiteral("a sealed resource is missing or invalid: Contents/Resources/build-info.json was modified"))},
        {"executable changed, same size", [](auto &f, auto &app) {
             signAs(f.developer, app);
             QByteArray exe = readBytes(app + QStringLiteral("/Contents/bin/Ferrowhistle"));
             exe[exe.size() / 2] = char(exe[exe.size() / 2] ^ 1);
             writeBytes(app + QStringLiteral("/Contents/bin/Ferrowhistle"), exe);
         }, notOurs(QStringLiteral("a sealed resource is missing or invalid: Contents/bin/Ferrowhistle was modified"))},
        {"file added", [](auto &f, auto &app) {
             signAs(f.developer, app);
             writeBytes(app + QStringLiteral("/Contents/bin/helper"), "#!/bin/sh\n");
         }, notOurs(QStringLiteral("a sealed resource is missing or invalid: Contents/bin/helper was added"))},
        {"hidden file added at the top", [](auto &f, auto &app) {
             signAs(f.developer, app);
             writeBytes(app + QStringLiteral("/.hidden"), "x");
         }, notOurs(QStringLiteral("a sealed resource is missing or invalid: .hidden was added"))},
        {"empty folder added", [](auto &f, auto &app) {
             signAs(f.developer, app);
             QDir().mkpath(app + QStringLiteral("/Contents/PlugIns"));
         }, notOurs(QStringLiteral("a sealed resource is missing or invalid: Contents/PlugIns was added"))},
        {"file removed", [](auto &f, auto &app) {
             signAs(f.developer, app);
             QFile::remove(app + QStringLiteral("/Contents/Resources/icons/ferrowhistle-16.png"));
         }, notOurs(QStringLiteral("a sealed resource is missing or invalid: Contents/Resources/icons/ferrowhistle-16.png was removed"))},
        {"file re-moded", [](auto &f, auto &app) {
             signAs(f.developer, app);
             ::chmod(path8(app + QStringLiteral("/Contents/bin/Ferrowhistle")).constData(), 04755);
         }, notOurs(QStringLiteral("a sealed resource is missing or invalid: Contents/bin/Ferrowhistle changed its permissions"))},
        {"folder re-moded", [](auto &f, auto &app) {
             signAs(f.developer, app);
             ::chmod(path8(app + QStringLiteral("/Contents/bin")).constData(), 0700);
         }, notOurs(QStringLiteral("a sealed resource is missing or invalid: Contents/bin changed its permissions"))},
        {"bundle folder re-moded", [](auto &f, auto &app) {
             signAs(f.developer, app);
             ::chmod(path8(app).constData(), 0700);
         }, notOurs(QStringLiteral("the bundle folder changed its permissions"))},

        // Anything another local user could write to after the check.
        {"bundle folder writable by all", [](auto &f, auto &app) {
             signAs(f.developer, app);
             ::chmod(path8(app).constData(), 0777);
         }, notOurs(QStringLiteral("the bundle folder can be written by others"))},
        {"signature folder writable by all", [](auto &f, auto &app) {
             signAs(f.developer, app);
             ::chmod(path8(app + QStringLiteral("/Contents/_CodeSignature")).constData(), 0757);
         }, notOurs(QStringLiteral("a part of the bundle can be written by others: Contents/_CodeSignature"))},
        {"signature file writable by the group", [](auto &f, auto &app) {
             signAs(f.developer, app);
             ::chmod(path8(sigFile(app, "CodeSignature")).constData(), 0664);
         }, notOurs(QStringLiteral("the signature file CodeSignature can be written by others"))},
        {"executable writable by the group", [](auto &f, auto &app) {
             signAs(f.developer, app);
             ::chmod(path8(app + QStringLiteral("/Contents/bin/Ferrowhistle")).constData(), 0775);
         }, notOurs(QStringLiteral("a part of the bundle can be written by others: Contents/bin/Ferrowhistle"))},
        {"second name for a sealed file", [](auto &f, auto &app) {
             signAs(f.developer, app);
             ::link(path8(app + QStringLiteral("/Contents/Resources/build-info.json")).constData(),
                    path8(app + QStringLiteral("/../build-info.json")).constData());
         }, notOurs(QStringLiteral("a file of the bundle has more than one name (a hard link): Contents/Resources/build-info.json"))},
        // Whatever its mode, what belongs to another user is theirs to change.
        {"executable of another user", [](auto &f, auto &app) {
             signAs(f.developer, app);
             giveToStranger(app + QStringLiteral("/Contents/bin/Ferrowhistle"));
         }, notOurs(QStringLiteral("a part of the bundle belongs to another user (uid 1001): Contents/bin/Ferrowhistle")), true},
        {"folder of another user", [](auto &f, auto &app) {
             signAs(f.developer, app);
             giveToStranger(app + QStringLiteral("/Contents/Resources"));
         }, notOurs(QStringLiteral("a part of the bundle belongs to another user (uid 1001): Contents/Resources")), true},
        {"link of another user", [](auto &f, auto &app) {
             signAs(f.developer, app);
             giveToStranger(app + QStringLiteral("/Contents/Resources/icon.png"));
         }, notOurs(QStringLiteral("a part of the bundle belongs to another user (uid 1001): Contents/Resources/icon.png")), true},
        {"bundle folder of another user", [](auto &f, auto &app) {
             signAs(f.developer, app);
             giveToStranger(app);
         }, notOurs(QStringLiteral("the bundle folder belongs to another user (uid 1001)")), true},
        {"signature file of another user", [](auto &f, auto &app) {
             signAs(f.developer, app);
             giveToStranger(sigFile(app, "CodeSignature"));
         }, notOurs(QStringLiteral("the signature file CodeSignature belongs to another user (uid 1001)")), true},
        {"executable with a file capability", [](auto &f, auto &app) {
             signAs(f.developer, app);
             grantCapability(app + QStringLiteral("/Contents/bin/Ferrowhistle"));
         }, notOurs(QStringLiteral("a file of the bundle carries file capabilities: Contents/bin/Ferrowhistle")), true},
        {"signature file with a file capability", [](auto &f, auto &app) {
             signAs(f.developer, app);
             grantCapability(sigFile(app, "CodeResources"));
         }, notOurs(QStringLiteral("a file of the bundle carries file capabilities: Contents/_CodeSignature/CodeResources")), true},

        // Info.plist must name what the seal names.
        {"Info.plist of another identifier", [](auto &f, auto &app) {
             const QString plist = app + QStringLiteral("/Contents/Info.plist");
             writeBytes(plist, readBytes(plist).replace("com.copperkestrel.Ferrowhistle", "com.copperkestrel.Other"));
             signAs(f.developer, app, QStringLiteral("com.copperkestrel.Ferrowhistle"));
         }, notOurs(QStringLiteral("the Info.plist identifier \"com.copperkestrel.Other\" is not the sealed identifier \"com.copperkestrel.Ferrowhistle\""))},
        {"no Info.plist", [](auto &f, auto &app) {
             QFile::remove(app + QStringLiteral("/Contents/Info.plist"));
             signAs(f.developer, app, QStringLiteral("com.copperkestrel.Ferrowhistle"));
         }, notOurs(QStringLiteral("the bundle has no Info.plist"))},
        {"Info.plist nested too deeply", [](auto &f, auto &app) {
             writeBytes(app + QStringLiteral("/Contents/Info.plist"),
                        "<plist version=\"1.0\"><dict><key>CFBundleIdentifier</key><string>com.copperkestrel.Ferrowhistle</string><key>x</key>"
                            + QByteArray("<array>").repeated(50000) + QByteArray("</array>").repeated(50000) + "</dict></plist>");
             signAs(f.developer, app, QStringLiteral("com.copperkestrel.Ferrowhistle"));
         }, notOurs(QStringLiteral("the bundle's Info.plist has no CFBundleIdentifier"))},
        {"file replaced by a link", [](auto &f, auto &app) {
             signAs(f.developer, app);
             const QString p = app + QStringLiteral("/Contents/Resources/build-info.json");
             QFile::remove(p);
             ::symlink("icons/ferrowhistle-16.png", path8(p).constData());
         }, notOurs(QStringLiteral("a sealed resource is missing or invalid: Contents/Resources/build-info.json changed its type"))},
        {"link retargeted inside", [](auto &f, auto &app) {
             signAs(f.developer, app);
             const QString p = app + QStringLiteral("/Contents/Resources/icon.png");
             QFile::remove(p);
             ::symlink("build-info.json", path8(p).constData());
         }, notOurs(QStringLiteral("a sealed resource is missing or invalid: Contents/Resources/icon.png points somewhere else"))},
        {"link leaving the bundle (relative)", [](auto &f, auto &app) {
             signAs(f.developer, app);
             const QString p = app + QStringLiteral("/Contents/Resources/icon.png");
             QFile::remove(p);
             ::symlink("../../../../../../../../../../etc/passwd", path8(p).constData());
         }, notOurs(QStringLiteral("a symbolic link leaves the bundle: Contents/Resources/icon.png"))},
        {"link leaving the bundle to come back in", [](auto &f, auto &app) {
             signAs(f.developer, app);
             const QString p = app + QStringLiteral("/Contents/Resources/icon.png");
             QFile::remove(p);
             ::symlink("../../../Ferrowhistle.app/Contents/Resources/icons/ferrowhistle-16.png", path8(p).constData());
         }, notOurs(QStringLiteral("a symbolic link leaves the bundle: Contents/Resources/icon.png"))},
        {"link leaving the bundle (absolute)", [](auto &f, auto &app) {
             signAs(f.developer, app);
             ::symlink("/etc", path8(app + QStringLiteral("/Contents/etc")).constData());
         }, notOurs(QStringLiteral("a symbolic link leaves the bundle: Contents/etc"))},
        {"extra file in the signature folder", [](auto &f, auto &app) {
             signAs(f.developer, app);
             writeBytes(sigFile(app, "payload"), "x");
         }, notOurs(QStringLiteral("unsealed contents present in the signature folder: Contents/_CodeSignature/payload"))},
        {"list edited to match a change", [](auto &f, auto &app) {
             signAs(f.developer, app);
             const QString p = app + QStringLiteral("/Contents/Resources/build-info.json");
             writeBytes(p, "evil");
             CodeResources list = CodeResources::parse(readBytes(sigFile(app, "CodeResources")));
             list = BundleSeal::scan(app, list.identifier);
             BundleSeal::writeFile(app, BundleSeal::kResourcesFile, list.serialize());
         }, notOurs(QStringLiteral("invalid signature (code or signature have been modified)"))},

        // Broken signature files.
        {"random signature", [](auto &f, auto &app) {
             signAs(f.developer, app);
             QByteArray noise(900, Qt::Uninitialized);
             for (char &c : noise)
                 c = char(QRandomGenerator::global()->bounded(256));
             writeBytes(sigFile(app, "CodeSignature"), noise);
         }, notOurs(QStringLiteral("the signature is malformed"))},
        {"truncated signature", [](auto &f, auto &app) {
             signAs(f.developer, app);
             const QByteArray der = readBytes(sigFile(app, "CodeSignature"));
             writeBytes(sigFile(app, "CodeSignature"), der.left(der.size() / 2));
         }, notOurs(QStringLiteral("the signature is malformed"))},
        {"signature one byte short", [](auto &f, auto &app) {
             signAs(f.developer, app);
             const QByteArray der = readBytes(sigFile(app, "CodeSignature"));
             writeBytes(sigFile(app, "CodeSignature"), der.chopped(1));
         }, notOurs(QStringLiteral("the signature is malformed"))},
        {"empty signature", [](auto &f, auto &app) {
             signAs(f.developer, app);
             writeBytes(sigFile(app, "CodeSignature"), {});
         }, notOurs(QStringLiteral("the signature is malformed"))},
        {"huge signature", [](auto &f, auto &app) {
             signAs(f.developer, app);
             writeBytes(sigFile(app, "CodeSignature"), QByteArray(3 << 20, '\x30'));
         }, notOurs(QStringLiteral("the signature file CodeSignature is too large"))},
        {"trailing byte after the signature", [](auto &f, auto &app) {
             signAs(f.developer, app);
             writeBytes(sigFile(app, "CodeSignature"), readBytes(sigFile(app, "CodeSignature")) + '\0');
         }, notOurs(QStringLiteral("the signature is malformed"))},
        {"signature over SHA-1", [](auto &f, auto &app) {
             signAs(f.developer, app);
             writeBytes(sigFile(app, "CodeSignature"), signWith(readBytes(sigFile(app, "CodeResources")), f.developer, EVP_sha1(), true));
         }, notOurs(QStringLiteral("the signature uses a weak digest"))},
        {"signature over SHA-512", [](auto &f, auto &app) {
             signAs(f.developer, app);
             writeBytes(sigFile(app, "CodeSignature"), signWith(readBytes(sigFile(app, "CodeResources")), f.developer, EVP_sha512(), true));
         }, {}},
        {"signature carrying its content", [](auto &f, auto &app) {
             signAs(f.developer, app);
             writeBytes(sigFile(app, "CodeSignature"), signWith(readBytes(sigFile(app, "CodeResources")), f.developer, EVP_sha256(), false));
         }, notOurs(QStringLiteral("the signature is not detached"))},
        {"signature of another bundle", [](auto &f, auto &app) {
             signAs(f.developer, app);
             const QString other = f.makeSignedBundle(QStringLiteral("other-for-signature"));
             QFile::remove(sigFile(app, "CodeSignature"));
             QFile::copy(sigFile(other, "CodeSignature"), sigFile(app, "CodeSignature"));
         }, notOurs(QStringLiteral("invalid signature (code or signature have been modified)"))},
        {"signature file is a link", [](auto &f, auto &app) {
             signAs(f.developer, app);
             const QString p = sigFile(app, "CodeSignature");
             QFile::rename(p, app + QStringLiteral("/../CodeSignature"));
             ::symlink("../../../CodeSignature", path8(p).constData());
         }, notOurs(QStringLiteral("the signature file CodeSignature isn't a plain file"))},
        {"signature file is a named pipe", [](auto &f, auto &app) {
             signAs(f.developer, app);
             QFile::remove(sigFile(app, "CodeSignature"));
             ::mkfifo(path8(sigFile(app, "CodeSignature")).constData(), 0644);
         }, notOurs(QStringLiteral("the signature file CodeSignature isn't a plain file"))},

        // Resource lists the developer signed but that are not sound.
        {"list with ..", [](auto &f, auto &app) {
             storeSignedList(app, listHeader(1) + "d 0755 Contents/../..\n", f.developer);
         }, notOurs(QStringLiteral("the sealed resource list is malformed (unsafe path on line 5)"))},
        {"list with an absolute path", [](auto &f, auto &app) {
             storeSignedList(app, listHeader(1) + "d 0755 /etc\n", f.developer);
         }, notOurs(QStringLiteral("the sealed resource list is malformed (unsafe path on line 5)"))},
        {"list with a repeated entry", [](auto &f, auto &app) {
             storeSignedList(app, listHeader(2) + "d 0755 Contents\nd 0755 Contents\n", f.developer);
         }, notOurs(QStringLiteral("the sealed resource list is malformed (entries out of order or repeated on line 6)"))},
        {"list of a million entries", [](auto &f, auto &app) {
             QByteArray list = listHeader(1000000);
             for (int i = 0; i < 1000000; ++i)
                 list += "d 0755 d" + QByteArray::number(i).rightJustified(7, '0') + '\n';
             storeSignedList(app, list, f.developer);
         }, notOurs(QStringLiteral("the sealed resource list is malformed (too many entries)"))},
        {"list announcing fewer entries than it has", [](auto &f, auto &app) {
             QByteArray list = listHeader(2);
             for (int i = 0; i < 1000000; ++i)
                 list += "d 0755 d" + QByteArray::number(i).rightJustified(7, '0') + '\n';
             storeSignedList(app, list, f.developer);
         }, notOurs(QStringLiteral("the sealed resource list is malformed (more entries than announced)"))},
        {"list of random bytes", [](auto &f, auto &app) {
             QByteArray noise(4000, Qt::Uninitialized);
             for (char &c : noise)
                 c = char(QRandomGenerator::global()->bounded(256));
             storeSignedList(app, noise + '\n', f.developer);
         }, notOurs(QStringLiteral("the sealed resource list is malformed (not a resource list)"))},
    };
    return cases;
}

struct RunningCase {
    const char *name;
    std::function<QString(const SigningFixture &)> makeRunning; // returns the running bundle
    QString team;     // what teamIdentifier gives; empty: it fails with kNoTeam
    QString verdict;  // what verifySignature of a good candidate gives; empty: accepted
};

const std::vector<RunningCase> &runningCases()
{
    static const std::vector<RunningCase> cases{
        {"signed", [](auto &f) { return f.makeSignedBundle(QStringLiteral("run-signed")); }, QLatin1String(SigningFixture::kTeam), {}},
        {"unsigned", [](auto &f) { return f.makeBundle(QStringLiteral("run-unsigned")); }, {}, kNoTeam},
        {"ad hoc", [](auto &f) {
             const QString app = f.makeBundle(QStringLiteral("run-adhoc"));
             signBundle(app, {});
             return app;
         }, {}, kNoTeam},
        {"without anchors", [](auto &f) {
             SigningFixture::BundleOptions o;
             o.codeSigningAnchors = false;
             const QString app = f.makeBundle(QStringLiteral("run-noanchors"), o);
             signBundle(app, f.developer.identityPem());
             return app;
         }, {}, kNoTeam},
        {"signed outside its anchors", [](auto &f) {
             const QString app = f.makeBundle(QStringLiteral("run-stranger"));
             signBundle(app, DevelopmentCA::issue(f.strangerCA.identityPem(), developerRequest()).identityPem());
             return app;
         }, {}, kNoTeam},
        // Installed system-wide by another account and run by this user: its
        // own seal and anchors are read whoever owns them, so it judges
        // candidates as any copy does.
        {"installed by another account", [](auto &f) {
             const QString app = f.makeSignedBundle(QStringLiteral("run-foreign"));
             QDirIterator it(app, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
             giveToStranger(app);
             while (it.hasNext())
                 giveToStranger(it.next());
             return app;
         }, QLatin1String(SigningFixture::kTeam), {}},
        // Whoever owns it, no one else may change what it trusts.
        {"own signature others may write", [](auto &f) {
             const QString app = f.makeSignedBundle(QStringLiteral("run-writable"));
             ::chmod(path8(sigFile(app, "CodeSignature")).constData(), 0664);
             return app;
         }, {}, kNoTeam},
        {"anchors others may write", [](auto &f) {
             const QString app = f.makeSignedBundle(QStringLiteral("run-writable-anchors"));
             ::chmod(path8(app + QStringLiteral("/Contents/Resources/Trust/codesigning-anchors.pem")).constData(), 0646);
             return app;
         }, {}, kNoTeam},
        {"broken own signature", [](auto &f) {
             const QString app = f.makeSignedBundle(QStringLiteral("run-broken"));
             writeBytes(sigFile(app, "CodeSignature"), "nonsense");
             return app;
         }, {}, kNoTeam},
        // Its certificate has run out since it was installed: it still knows
        // its team and accepts a release signed with the team's new one.
        {"own certificate expired", [](auto &f) {
             CertificateRequest r = developerRequest();
             r.notBefore = -400 * 86400;
             r.notAfter = -30 * 86400;
             const QString app = f.makeBundle(QStringLiteral("run-expired"));
             signBundle(app, f.issueDeveloper(r).identityPem());
             return app;
         }, QLatin1String(SigningFixture::kTeam), {}},
        {"no bundle identifier", [](auto &f) {
             SigningFixture::BundleOptions o;
             o.withIdentifier = false;
             const QString app = f.makeBundle(QStringLiteral("run-noid"), o);
             signBundle(app, f.developer.identityPem(), QStringLiteral("com.copperkestrel.Ferrowhistle"));
             return app;
         }, QLatin1String(SigningFixture::kTeam), QStringLiteral("This copy of Ferrowhistle has no bundle ID.")},
        {"identifier that cannot be quoted", [](auto &f) {
             SigningFixture::BundleOptions o;
             o.identifier = QStringLiteral("com.copperkestrel.\"Ferrowhistle");
             const QString app = f.makeBundle(QStringLiteral("run-quote"), o);
             signBundle(app, f.developer.identityPem());
             return app;
         }, QLatin1String(SigningFixture::kTeam), kUnreadable},
        {"not a bundle", [](auto &f) {
             const QString dir = f.root() + QStringLiteral("/run-plain");
             QDir().mkpath(dir);
             return dir;
         }, {}, QStringLiteral("This copy of Ferrowhistle has no bundle ID.")},
    };
    return cases;
}

} // namespace

class tst_CodeSigning : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup() { forceComponentResolution(false); }

    void candidates_data();
    void candidates();
    void notABundle_data();
    void notABundle();
    void runningCopies_data();
    void runningCopies();
    void identitiesAreReadForEveryCheck();

    void resourceListRoundTripsOddNames();
    void resourceListRejects_data();
    void resourceListRejects();
    void sealingRefusesUnsafeBundles_data();
    void sealingRefusesUnsafeBundles();
    void signatureFilesAreWrittenWhole();

    void assessment_data();
    void assessment();
    void oneOpeningServesBothChecks();

private:
    std::unique_ptr<SigningFixture> m_f;
    QString m_running;
};

void tst_CodeSigning::initTestCase()
{
    m_f = std::make_unique<SigningFixture>();
    m_running = m_f->makeSignedBundle(QStringLiteral("running"));
}

void tst_CodeSigning::candidates_data()
{
    QTest::addColumn<int>("index");
    QTest::addColumn<bool>("components");
    for (int i = 0; i < int(candidateCases().size()); ++i) {
        const char *name = candidateCases()[size_t(i)].name;
        QTest::newRow(name) << i << false;
        // Links are also resolved as on a kernel without openat2.
        if (std::strstr(name, "link"))
            QTest::addRow("%s, component walk", name) << i << true;
    }
}

void tst_CodeSigning::candidates()
{
    QFETCH(int, index);
    QFETCH(bool, components);
    forceComponentResolution(components);
    const CandidateCase &c = candidateCases()[size_t(index)];
    if (c.needsRoot && ::geteuid() != 0)
        QSKIP(kNeedsRoot);
    const QString app = m_f->makeBundle(QStringLiteral("candidate-%1%2").arg(index).arg(components ? "-walk" : ""));
    c.prepare(*m_f, app);
    QCOMPARE(failureOf([&] { verifySignature(app, Bundle::atPath(m_running)); }), c.expected);
}

void tst_CodeSigning::notABundle_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("missing") << "missing";
    QTest::newRow("plain file") << "file";
    QTest::newRow("folder without Contents") << "folder";
    QTest::newRow("Contents is a file") << "contents-file";
    QTest::newRow("link to a good bundle") << "link";
}

void tst_CodeSigning::notABundle()
{
    QFETCH(QString, kind);
    const QString path = m_f->root() + QStringLiteral("/notabundle-") + kind + QStringLiteral("/Ferrowhistle.app");
    QDir().mkpath(QFileInfo(path).absolutePath());
    if (kind == QLatin1String("file"))
        writeBytes(path, "PK\x03\x04");
    else if (kind == QLatin1String("folder"))
        QDir().mkpath(path + QStringLiteral("/bin"));
    else if (kind == QLatin1String("contents-file"))
        writeBytes(path + QStringLiteral("/Contents"), "x");
    else if (kind == QLatin1String("link"))
        QFile::link(m_f->makeSignedBundle(QStringLiteral("link-target")), path);
    QCOMPARE(failureOf([&] { verifySignature(path, Bundle::atPath(m_running)); }), kUnreadable);
}

void tst_CodeSigning::runningCopies_data()
{
    QTest::addColumn<int>("index");
    for (int i = 0; i < int(runningCases().size()); ++i)
        QTest::newRow(runningCases()[size_t(i)].name) << i;
}

void tst_CodeSigning::runningCopies()
{
    QFETCH(int, index);
    const RunningCase &c = runningCases()[size_t(index)];
    const QString running = c.makeRunning(*m_f);
    const QString candidate = m_f->makeSignedBundle(QStringLiteral("good-for-running-%1").arg(index));

    QString team;
    const QString teamFailure = failureOf([&] { team = teamIdentifier(Bundle::atPath(running)); });
    if (c.team.isEmpty()) {
        QCOMPARE(teamFailure, kNoTeam);
    } else {
        QCOMPARE(teamFailure, QString());
        QCOMPARE(team, c.team);
    }
    QCOMPARE(failureOf([&] { verifySignature(candidate, Bundle::atPath(running)); }), c.verdict);
}

void tst_CodeSigning::identitiesAreReadForEveryCheck()
{
    const QString running = m_f->makeSignedBundle(QStringLiteral("changing-running"));
    const QString candidate = m_f->makeSignedBundle(QStringLiteral("changing-candidate"));
    QCOMPARE(teamIdentifier(Bundle::atPath(running)), QLatin1String(SigningFixture::kTeam));
    QCOMPARE(failureOf([&] { verifySignature(candidate, Bundle::atPath(running)); }), QString());

    // The running copy is replaced by one of the other team: the next check
    // binds to that team, not to what the first check saw.
    signBundle(running, m_f->otherTeam.identityPem());
    QCOMPARE(teamIdentifier(Bundle::atPath(running)), QLatin1String(SigningFixture::kOtherTeam));
    QCOMPARE(failureOf([&] { verifySignature(candidate, Bundle::atPath(running)); }),
             notOurs(QStringLiteral("code failed to satisfy the requirement: the signing certificate belongs to team \"TEAMA12345\", not \"TEAMB67890\"")));
}

void tst_CodeSigning::resourceListRoundTripsOddNames()
{
    const QString app = m_f->makeBundle(QStringLiteral("odd-names"));
    const QString res = app + QStringLiteral("/Contents/Resources/");
    for (const QByteArray &name : {QByteArray("with space"), QByteArray("100%"), QByteArray("new\nline"),
                                  QByteArray("\xff\xfe latin"), QByteArray("a-b"), QByteArray("tab\there")})
        writeBytes(QFile::decodeName(path8(res) + name), name);
    QDir().mkpath(res + QStringLiteral("a/b"));
    writeBytes(res + QStringLiteral("a/b/c"), "c");
    ::symlink("a/b/c", path8(res + QStringLiteral("to c")).constData());

    const CodeResources sealed = BundleSeal::scan(app, QStringLiteral("com.copperkestrel.Ferrowhistle"));
    const QByteArray text = sealed.serialize();
    QVERIFY(!text.contains('\t'));
    QCOMPARE(text.count('\n'), qsizetype(sealed.entries.size()) + 4); // one line per entry
    const CodeResources parsed = CodeResources::parse(text);
    QCOMPARE(parsed.identifier, sealed.identifier);
    QVERIFY(parsed.entries == sealed.entries);
    QCOMPARE(parsed.serialize(), text);
    QCOMPARE(BundleSeal::check(app, parsed), std::nullopt);

    // Ordered by bytes: "a-b" before "a/b" although a walk meets "a" first.
    auto pos = [&](const char *p) {
        return std::find_if(parsed.entries.begin(), parsed.entries.end(), [&](const SealEntry &e) { return e.path == QByteArray("Contents/Resources/") + p; });
    };
    QVERIFY(pos("a-b") < pos("a/b"));
    QCOMPARE(pos("to c")->target, QByteArray("a/b/c"));
}

void tst_CodeSigning::resourceListRejects_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("reason");
    const QByteArray h = listHeader(1);
    const QByteArray digest(64, 'a');
    QTest::newRow("empty") << QByteArray() << "truncated";
    QTest::newRow("no final line end") << QByteArray(h + "d 0755 Contents") << "truncated";
    QTest::newRow("wrong first line") << QByteArray("ferrowhistle-code-resources 2\n") << "not a resource list";
    QTest::newRow("no identifier") << QByteArray("ferrowhistle-code-resources 1\nidentifier \nentries 0\n") << "no signing identifier";
    QTest::newRow("identifier not UTF-8") << QByteArray("ferrowhistle-code-resources 1\nidentifier com.a%C3b\nroot 0755\nentries 0\n") << "signing identifier not in UTF-8";
    QTest::newRow("identifier with an overlong form") << QByteArray("ferrowhistle-code-resources 1\nidentifier com.%C0%AE\nroot 0755\nentries 0\n") << "signing identifier not in UTF-8";
    QTest::newRow("no root mode") << QByteArray("ferrowhistle-code-resources 1\nidentifier x\nentries 0\n") << "no root folder mode";
    QTest::newRow("root mode not octal") << QByteArray("ferrowhistle-code-resources 1\nidentifier x\nroot 0758\nentries 0\n") << "no root folder mode";
    QTest::newRow("negative count") << QByteArray("ferrowhistle-code-resources 1\nidentifier x\nroot 0755\nentries -1\n") << "bad entry count";
    QTest::newRow("count with a sign") << QByteArray("ferrowhistle-code-resources 1\nidentifier x\nroot 0755\nentries +1\nd 0755 a\n") << "bad entry count";
    QTest::newRow("count beyond 64 bits") << QByteArray("ferrowhistle-code-resources 1\nidentifier x\nroot 0755\nentries 99999999999999999999\n") << "bad entry count";
    QTest::newRow("fewer entries") << QByteArray(listHeader(2) + "d 0755 a\n") << "fewer entries than announced";
    QTest::newRow("unknown type") << QByteArray(h + "x 0755 a\n") << "bad entry on line 5";
    QTest::newRow("mode not octal") << QByteArray(h + "d 0855 a\n") << "bad entry on line 5";
    QTest::newRow("mode too short") << QByteArray(h + "d 755 a\n") << "bad entry on line 5";
    QTest::newRow("digest in upper case") << QByteArray(h + "f 0644 a " + digest.toUpper() + "\n") << "bad entry on line 5";
    QTest::newRow("digest too short") << QByteArray(h + "f 0644 a abcd\n") << "bad entry on line 5";
    QTest::newRow("extra field") << QByteArray(h + "d 0755 a b\n") << "bad entry on line 5";
    QTest::newRow("two spaces") << QByteArray(h + "d 0755  a\n") << "bad entry on line 5";
    QTest::newRow("carriage return") << QByteArray(h + "d 0755 a\r\n") << "bad entry on line 5";
    QTest::newRow("needless escape") << QByteArray(h + "d 0755 %61\n") << "bad entry on line 5";
    QTest::newRow("lower-case escape") << QByteArray(h + "d 0755 %c3%a9\n") << "bad entry on line 5";
    QTest::newRow("broken escape") << QByteArray(h + "d 0755 a%2\n") << "bad entry on line 5";
    QTest::newRow("escaped slash hides ..") << QByteArray(h + "d 0755 a%2F..\n") << "bad entry on line 5";
    QTest::newRow("encoded ..") << QByteArray(h + "d 0755 Contents/%2E%2E\n") << "bad entry on line 5";
    QTest::newRow("..") << QByteArray(h + "d 0755 ..\n") << "unsafe path on line 5";
    QTest::newRow("inner ..") << QByteArray(h + "f 0644 Contents/../../x " + digest + "\n") << "unsafe path on line 5";
    QTest::newRow(".") << QByteArray(h + "d 0755 Contents/.\n") << "unsafe path on line 5";
    QTest::newRow("absolute") << QByteArray(h + "l /etc x\n") << "unsafe path on line 5";
    QTest::newRow("empty component") << QByteArray(h + "d 0755 Contents//bin\n") << "unsafe path on line 5";
    QTest::newRow("trailing slash") << QByteArray(h + "d 0755 Contents/\n") << "unsafe path on line 5";
    QTest::newRow("NUL byte") << QByteArray(h + "d 0755 a%00b\n") << "unsafe path on line 5";
    QTest::newRow("inside the signature folder") << QByteArray(h + "f 0644 Contents/_CodeSignature/CodeSignature " + digest + "\n") << "unsafe path on line 5";
    QTest::newRow("path too long") << QByteArray(h + "d 0755 " + QByteArray(5000, 'a') + "\n") << "unsafe path on line 5";
    QTest::newRow("out of order") << QByteArray(listHeader(2) + "d 0755 b\nd 0755 a\n") << "entries out of order or repeated on line 6";
    QTest::newRow("too large") << QByteArray(CodeResources::kMaxBytes + 1, '\n') << "too large";
}

void tst_CodeSigning::resourceListRejects()
{
    QFETCH(QByteArray, text);
    QFETCH(QString, reason);
    try {
        CodeResources::parse(text);
        QFAIL("the list was accepted");
    } catch (const SealError &e) {
        QCOMPARE(e.description(), QStringLiteral("the sealed resource list is malformed (") + reason + u')');
    }
}

void tst_CodeSigning::sealingRefusesUnsafeBundles_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("reason");
    QTest::addColumn<bool>("components");
    // Links are judged both by the kernel and as on a kernel without openat2.
    for (const bool components : {false, true}) {
        const char *how = components ? ", component walk" : "";
        QTest::addRow("link leaving%s", how) << "link" << "a symbolic link leaves the bundle: Contents/passwd" << components;
        QTest::addRow("dangling link%s", how) << "dangling" << "a symbolic link points to nothing: Contents/nowhere" << components;
        QTest::addRow("link leaving through another link%s", how)
            << "via-link" << "a symbolic link leaves the bundle: Contents/Resources/a/b/out" << components;
        QTest::addRow("link out and back in%s", how) << "round-trip" << "a symbolic link leaves the bundle: Contents/again" << components;
        QTest::addRow("folder mid-path linked out%s", how)
            << "folder-link" << "a symbolic link leaves the bundle: Contents/Resources/lib" << components;
    }
    QTest::newRow("file with two names") << "hard-link" << "a file of the bundle has more than one name (a hard link): Contents/Info-copy.plist" << false;
    QTest::newRow("folder writable by the group") << "group-writable" << "a part of the bundle can be written by others: Contents/Resources" << false;
    QTest::newRow("named pipe") << "fifo" << "the bundle holds something that is neither file, folder nor link: Contents/pipe" << false;
    QTest::newRow("unreadable file") << "unreadable" << "a file of the bundle can't be read: Contents/secret" << false;
    QTest::newRow("file of another user") << "foreign-file" << "a part of the bundle belongs to another user (uid 1001): Contents/Info.plist" << false;
    QTest::newRow("link of another user") << "foreign-link" << "a part of the bundle belongs to another user (uid 1001): Contents/Resources/icon.png" << false;
    QTest::newRow("bundle folder of another user") << "foreign-root" << "the bundle folder belongs to another user (uid 1001)" << false;
    QTest::newRow("file with a file capability") << "capability" << "a file of the bundle carries file capabilities: Contents/bin/Ferrowhistle" << false;
}

void tst_CodeSigning::sealingRefusesUnsafeBundles()
{
    QFETCH(QString, kind);
    QFETCH(QString, reason);
    QFETCH(bool, components);
    if (kind == QLatin1String("unreadable") && ::geteuid() == 0)
        QSKIP("root reads files whatever their mode");
    if ((kind.startsWith(QLatin1String("foreign-")) || kind == QLatin1String("capability")) && ::geteuid() != 0)
        QSKIP(kNeedsRoot);
    forceComponentResolution(components);
    const QString app = m_f->makeBundle(QStringLiteral("unsafe-") + kind + (components ? QStringLiteral("-walk") : QString()));
    const QByteArray contents = path8(app + QStringLiteral("/Contents/"));
    if (kind == QLatin1String("link"))
        ::symlink("/etc/passwd", contents + "passwd");
    else if (kind == QLatin1String("dangling"))
        ::symlink("Resources/none", contents + "nowhere");
    else if (kind == QLatin1String("via-link")) {
        // up leads to Contents, so up/../../../.. is outside, although the
        // target's text alone would stay inside.
        QDir().mkpath(app + QStringLiteral("/Contents/Resources/a/b"));
        ::symlink("../../..", contents + "Resources/a/b/up");
        ::symlink("up/../../../..", contents + "Resources/a/b/out");
    } else if (kind == QLatin1String("folder-link")) {
        // lib's own text stays inside, but the folder it passes through,
        // shared, is a link to a folder beside the bundle; lib sorts first.
        QDir().mkpath(app + QStringLiteral("/../beside"));
        writeBytes(app + QStringLiteral("/../beside/lib.so"), "x");
        ::symlink("../../../beside", contents + "Resources/shared");
        ::symlink("shared/lib.so", contents + "Resources/lib");
    } else if (kind == QLatin1String("round-trip"))
        ::symlink("../../Ferrowhistle.app/Contents/Info.plist", contents + "again");
    else if (kind == QLatin1String("hard-link"))
        ::link(contents + "Info.plist", contents + "Info-copy.plist");
    else if (kind == QLatin1String("group-writable"))
        ::chmod(contents + "Resources", 0775);
    else if (kind == QLatin1String("fifo"))
        ::mkfifo(contents + "pipe", 0644);
    else if (kind == QLatin1String("foreign-file"))
        giveToStranger(QFile::decodeName(contents + "Info.plist"));
    else if (kind == QLatin1String("foreign-link"))
        giveToStranger(QFile::decodeName(contents + "Resources/icon.png"));
    else if (kind == QLatin1String("foreign-root"))
        giveToStranger(app);
    else if (kind == QLatin1String("capability"))
        grantCapability(QFile::decodeName(contents + "bin/Ferrowhistle"));
    else {
        writeBytes(QFile::decodeName(contents + "secret"), "x");
        ::chmod(contents + "secret", 0);
    }
    try {
        signBundle(app, m_f->developer.identityPem());
        QFAIL("the bundle was signed");
    } catch (const SealError &e) {
        QCOMPARE(e.description(), reason);
    }
    QVERIFY(!QFile::exists(sigFile(app, "CodeResources")));
}

void tst_CodeSigning::signatureFilesAreWrittenWhole()
{
    const QString app = m_f->makeBundle(QStringLiteral("two-signers"));
    // Two signers of one bundle at once: every write lands whole and none
    // fails, whichever finishes last.
    const QByteArray mine(256 * 1024, 'a'), theirs(256 * 1024, 'b');
    auto signer = [&](const QByteArray &bytes, QString *error) {
        try {
            for (int i = 0; i < 100; ++i)
                BundleSeal::writeFile(app, BundleSeal::kResourcesFile, bytes);
        } catch (const SealError &e) {
            *error = e.description();
        }
    };
    QString errors[2];
    std::thread first(signer, mine, &errors[0]);
    std::thread second(signer, theirs, &errors[1]);
    first.join();
    second.join();
    QCOMPARE(errors[0], QString());
    QCOMPARE(errors[1], QString());
    const QByteArray written = readBytes(sigFile(app, "CodeResources"));
    QVERIFY(written == mine || written == theirs);
    const QDir folder(app + QStringLiteral("/Contents/_CodeSignature"));
    QCOMPARE(folder.entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot), QStringList{"CodeResources"});

    // A link put under a signature file's name is replaced, not written through.
    const QString outside = app + QStringLiteral("/../outside");
    writeBytes(outside, "kept");
    QVERIFY(QFile::link(QStringLiteral("../../../outside"), sigFile(app, "CodeSignature")));
    BundleSeal::writeFile(app, BundleSeal::kSignatureFile, "signature");
    QCOMPARE(readBytes(outside), QByteArray("kept"));
    QVERIFY(!QFileInfo(sigFile(app, "CodeSignature")).isSymLink());
    QCOMPARE(readBytes(sigFile(app, "CodeSignature")), QByteArray("signature"));

    // A lax umask never makes a signature file the seal would refuse.
    const mode_t umask = ::umask(0002);
    BundleSeal::writeFile(app, BundleSeal::kNotarizationFile, "ticket");
    ::umask(umask);
    struct stat st;
    QCOMPARE(::lstat(path8(sigFile(app, "Notarization")).constData(), &st), 0);
    QCOMPARE(st.st_mode & 07777, mode_t(0644));
}

void tst_CodeSigning::oneOpeningServesBothChecks()
{
    // Both checks judge the list read when the bundle was opened: a list
    // swapped in between cannot pass one check and feed the other.
    const QString app = m_f->makeSignedBundle(QStringLiteral("opened-once"), true);
    const SealedBundle candidate(app);
    writeBytes(sigFile(app, "CodeResources"), "ferrowhistle-code-resources 1\n");
    writeBytes(app + QStringLiteral("/Contents/Resources/build-info.json"), "{}");
    QCOMPARE(failureOf([&] { verifySignature(candidate, Bundle::atPath(m_running)); }),
             notOurs(QStringLiteral("a sealed resource is missing or invalid: Contents/Resources/build-info.json was modified")));
    const Assessment a = assessNotarization(candidate, Bundle::atPath(m_running));
    QCOMPARE(a.outcome, Assessment::ModifiedSinceNotarized);
    QCOMPARE(a.reason, QStringLiteral("the bundle changed after notarization: a sealed resource is missing or invalid: "
                                      "Contents/Resources/build-info.json was modified"));

    // The bundle folder itself is never reached through a link.
    const QString link = app + QStringLiteral("-link");
    QVERIFY(QFile::link(app, link));
    QVERIFY_THROWS_EXCEPTION(SealError, SealedBundle{link});
}

void tst_CodeSigning::assessment_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("reason");
    QTest::newRow("notarized") << "notarized" << 0 << "";
    QTest::newRow("signed, not notarized") << "signed" << 4 << "no notarization ticket";
    QTest::newRow("ticket of another notary") << "stranger-notary" << 5 << "the notarization ticket is not valid: the signing certificate isn't trusted: unable to get local issuer certificate";
    QTest::newRow("developer signature as ticket") << "developer-ticket" << 5 << "the notarization ticket is not valid: the signing certificate isn't trusted: unable to get local issuer certificate";
    QTest::newRow("random ticket") << "random-ticket" << 5 << "the notarization ticket is not valid: the signature is malformed";
    QTest::newRow("changed after notarization") << "changed" << 6 << "the bundle changed after notarization: a sealed resource is missing or invalid: Contents/Resources/build-info.json was modified";
    QTest::newRow("writable by all after notarization") << "writable" << 6 << "the bundle changed after notarization: the bundle folder can be written by others";
    QTest::newRow("given to another user after notarization") << "foreign" << 6 << "the bundle changed after notarization: a part of the bundle belongs to another user (uid 1001): Contents/bin/Ferrowhistle";
    QTest::newRow("file capability granted after notarization") << "capability" << 6 << "the bundle changed after notarization: a file of the bundle carries file capabilities: Contents/bin/Ferrowhistle";
    QTest::newRow("re-signed after notarization") << "resigned" << 4 << "no notarization ticket";
    QTest::newRow("not a bundle") << "missing" << 3 << "not an application bundle";
    QTest::newRow("assessing copy without notary anchors") << "no-anchors" << 7 << "this copy has no notary anchors to check against";
    // The assessing copy's anchors are its own files: whoever installed it
    // may own them, but no one else may change them, nor lead the read
    // elsewhere.
    QTest::newRow("assessing copy installed by another account") << "assessor-foreign" << 0 << "";
    QTest::newRow("assessing copy's anchors others may write") << "assessor-writable-anchors" << 7
        << "this copy's notary anchors can't be used: its notary anchors file can be written by others";
    QTest::newRow("assessing copy's anchor folder others may write") << "assessor-writable-trust" << 7
        << "this copy's notary anchors can't be used: its notary anchors file lies in a folder that can be written by others (Trust)";
    QTest::newRow("assessing copy's anchor folder is a link") << "assessor-linked-trust" << 7
        << "this copy's notary anchors can't be used: the folder of its notary anchors file can't be read (Not a directory)";
    QTest::newRow("usage") << "usage" << 2 << "";
}

void tst_CodeSigning::assessment()
{
    QFETCH(QString, kind);
    QFETCH(int, status);
    QFETCH(QString, reason);
    if ((kind == QLatin1String("foreign") || kind == QLatin1String("capability") || kind == QLatin1String("assessor-foreign"))
        && ::geteuid() != 0)
        QSKIP(kNeedsRoot);

    // The tool judges with the anchors of the bundle it is shipped in, so it
    // is installed into a running copy of the test's making.
    SigningFixture::BundleOptions options;
    options.notaryAnchors = kind != QLatin1String("no-anchors");
    const QString running = m_f->makeBundle(QStringLiteral("assessor-") + kind, options);
    const QString tool = running + QStringLiteral("/Contents/bin/ferrowhistle-assess");
    QVERIFY(QFile::copy(QStringLiteral(FW_BUNDLE_DIR "/Contents/bin/ferrowhistle-assess"), tool));
    const QString trust = running + QStringLiteral("/Contents/Resources/Trust");
    if (kind == QLatin1String("assessor-foreign")) {
        QDirIterator it(running, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
        giveToStranger(running);
        while (it.hasNext())
            giveToStranger(it.next());
    } else if (kind == QLatin1String("assessor-writable-anchors")) {
        QCOMPARE(::chmod(path8(trust + QStringLiteral("/notary-anchors.pem")).constData(), 0664), 0);
    } else if (kind == QLatin1String("assessor-writable-trust")) {
        QCOMPARE(::chmod(path8(trust).constData(), 0775), 0);
    } else if (kind == QLatin1String("assessor-linked-trust")) {
        QVERIFY(QDir().rename(trust, running + QStringLiteral("-trust")));
        QVERIFY(QFile::link(running + QStringLiteral("-trust"), trust));
    }

    QString candidate = m_f->makeSignedBundle(QStringLiteral("assessed-") + kind, kind != QLatin1String("signed"));
    const QString ticket = sigFile(candidate, "Notarization");
    if (kind == QLatin1String("stranger-notary"))
        notarizeBundle(candidate, m_f->strangerNotary.identityPem());
    else if (kind == QLatin1String("developer-ticket"))
        notarizeBundle(candidate, m_f->developer.identityPem());
    else if (kind == QLatin1String("random-ticket"))
        writeBytes(ticket, QByteArray::fromHex("3082ffff0609"));
    else if (kind == QLatin1String("changed"))
        writeBytes(candidate + QStringLiteral("/Contents/Resources/build-info.json"), "{}");
    else if (kind == QLatin1String("writable"))
        ::chmod(path8(candidate).constData(), 0777);
    else if (kind == QLatin1String("foreign"))
        giveToStranger(candidate + QStringLiteral("/Contents/bin/Ferrowhistle"));
    else if (kind == QLatin1String("capability"))
        grantCapability(candidate + QStringLiteral("/Contents/bin/Ferrowhistle"));
    else if (kind == QLatin1String("resigned"))
        signBundle(candidate, m_f->developer.identityPem());
    else if (kind == QLatin1String("missing"))
        candidate += QStringLiteral("-gone");

    QProcess p;
    if (kind == QLatin1String("usage"))
        p.start(tool, {QStringLiteral("--assess"), candidate});
    else
        p.start(tool, {QStringLiteral("--assess"), QStringLiteral("--type"), QStringLiteral("execute"), candidate});
    QVERIFY(p.waitForFinished(60000));
    QCOMPARE(p.exitStatus(), QProcess::NormalExit);
    QCOMPARE(p.exitCode(), status);
    const QString err = QString::fromUtf8(p.readAllStandardError());
    if (status == 0) {
        QCOMPARE(err, QString());
    } else {
        QCOMPARE(err.count(u'\n'), 1);
        QVERIFY2(err.endsWith(reason + u'\n'), qPrintable(err));
    }
}

QTEST_GUILESS_MAIN(tst_CodeSigning)
#include "tst_CodeSigning.moc"
