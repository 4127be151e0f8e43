#include "codesign/CodeSigning.h"

#include "codesign/BundleSeal.h"
#include "codesign/CmsSignature.h"
#include "codesign/SealedBundle.h"
#include "codesign/SigningRequirement.h"

#include <QFile>

#include <cerrno>

#include <sys/stat.h>

namespace {


// Anchor files hold a few certificates; a bigger one is not ours.
constexpr qsizetype kMaxAnchorBytes = 4 << 20;

// The team of a bundle's own signature. The certificate's dates are not
// checked here: a copy whose certificate has run out must still be able to
// recognise its team's next release. Throws NoTeamIdentifier with what could
// not be read or did not hold.
QString signedTeam(const Bundle &bundle)
{
    using K = CodeSigningError::Kind;
    const ossl::CertStack anchors = ownCodeSigningAnchors(bundle);
    BundleSeal::SignedList own;
    try {
        own = BundleSeal::readOwnSigned(bundle.path(), BundleSeal::kSignatureFile);
    } catch (const SealError &e) {
        throw CodeSigningError(K::NoTeamIdentifier, QStringLiteral("its own signature can't be read: ") + e.description());
    }
    if (!own.complete())
        throw CodeSigningError(K::NoTeamIdentifier, QStringLiteral("it has no signature of its own"));
    const CmsVerification v = cmsVerifyDetached(*own.signature, *own.list, anchors.get(), false);
    if (!v.valid)
        throw CodeSigningError(K::NoTeamIdentifier, QStringLiteral("its own signature doesn't hold: ") + v.failure);
    if (v.signer.organizationalUnit.isEmpty())
        throw CodeSigningError(K::NoTeamIdentifier, QStringLiteral("its own signing certificate names no team"));
    return v.signer.organizationalUnit;
}

// Why the candidate fails the requirement, or nothing when it satisfies it.
std::optional<QString> validate(const SealedBundle &candidate, const SigningRequirement &requirement, const Bundle &running)
{
    BundleSeal::SignedList signedList;
    try {
        signedList = candidate.signedList(BundleSeal::kSignatureFile);
    } catch (const SealError &e) {
        return e.description();
    }
    if (!signedList.complete())
        return QStringLiteral("code object is not signed at all");

    const ossl::CertStack anchors = ownCodeSigningAnchors(running);
    const CmsVerification cms = cmsVerifyDetached(*signedList.signature, *signedList.list, anchors.get(), true);
    if (!cms.valid)
        return cms.failure;

    try {
        const CodeResources &list = candidate.resources();
        if (auto unmet = requirement.unmetClause(list.identifier, cms.signer))
            return QStringLiteral("code failed to satisfy the requirement: ") + *unmet;
    } catch (const SealError &e) {
        return e.description();
    }
    return candidate.diskFailure();
}

// A candidate that could not be opened is judged only after the running
// copy, so that a copy unable to verify anything says so first.
void verifyCandidate(const SealedBundle *candidate, const Bundle &running)
{
    const std::optional<QString> identifier = running.identifier();
    if (!identifier || identifier->isEmpty())
        throw CodeSigningError(CodeSigningError::Kind::NoBundleIdentifier,
                               QStringLiteral("the running copy's Info.plist has no CFBundleIdentifier"));
    const QString team = teamIdentifier(running);

    const std::optional<SigningRequirement> requirement = SigningRequirement::compile(*identifier, team);
    if (!requirement)
        throw CodeSigningError(CodeSigningError::Kind::Unreadable,
                               QStringLiteral("no signing requirement can be made from identifier \"%1\" and team \"%2\"")
                                   .arg(*identifier, team));
    if (!candidate)
        throw CodeSigningError(CodeSigningError::Kind::Unreadable, QStringLiteral("not an application bundle"));

    if (const auto failure = validate(*candidate, *requirement, running))
        throw CodeSigningError(CodeSigningError::Kind::RequirementUnmet, *failure);
}

} // namespace

QString codeSigningAnchorsPath(const Bundle &bundle)
{
    return bundle.resourcesPath() + QStringLiteral("/Trust/codesigning-anchors.pem");
}

QString notaryAnchorsPath(const Bundle &bundle)
{
    return bundle.resourcesPath() + QStringLiteral("/Trust/notary-anchors.pem");
}

bool carriesCodeSigningAnchors(const Bundle &bundle)
{
    // Only "there is nothing there" makes a development build; any other
    // answer (a folder, a link, a file that can't be read, an error) is a
    // copy that was built with anchors and whose checks must then fail.
    struct stat st;
    if (::lstat(QFile::encodeName(codeSigningAnchorsPath(bundle)).constData(), &st) == 0)
        return true;
    return errno != ENOENT && errno != ENOTDIR;
}

ossl::CertStack ownCodeSigningAnchors(const Bundle &running)
{
    using K = CodeSigningError::Kind;
    std::optional<QByteArray> pem;
    try {
        pem = BundleSeal::readOwnResource(running.path(), "Trust", "codesigning-anchors.pem", kMaxAnchorBytes,
                                          QStringLiteral("its code-signing anchors file"));
    } catch (const SealError &e) {
        throw CodeSigningError(K::NoTeamIdentifier, e.description());
    }
    if (!pem)
        throw CodeSigningError(K::NoTeamIdentifier, QStringLiteral("it carries no code-signing anchors"));
    ossl::CertStack anchors = loadPemCertificates(*pem);
    if (!anchors || sk_X509_num(anchors.get()) <= 0)
        throw CodeSigningError(K::NoTeamIdentifier, QStringLiteral("its code-signing anchors hold no certificate"));
    return anchors;
}

ossl::CertStack ownNotaryAnchors(const Bundle &running)
{
    // A program outside any bundle carries no anchors at all.
    if (!BundleSeal::looksLikeBundle(running.path()))
        return loadPemCertificates(QByteArray());
    const std::optional<QByteArray> pem = BundleSeal::readOwnResource(running.path(), "Trust", "notary-anchors.pem", kMaxAnchorBytes,
                                                                      QStringLiteral("its notary anchors file"));
    return loadPemCertificates(pem.value_or(QByteArray()));
}

QString teamIdentifier(const Bundle &running)
{
    if (!running.isAppBundle())
        throw CodeSigningError(CodeSigningError::Kind::NoTeamIdentifier, QStringLiteral("it is not an application bundle"));
    return signedTeam(running);
}

void verifySignature(const QString &candidateBundlePath, const Bundle &running)
{
    std::optional<SealedBundle> candidate;
    try {
        candidate.emplace(candidateBundlePath);
    } catch (const SealError &) {
    }
    verifyCandidate(candidate ? &*candidate : nullptr, running);
}

void verifySignature(const SealedBundle &candidate, const Bundle &running)
{
    verifyCandidate(&candidate, running);
}
