#include "codesign/CodeSigning.h"

#include "codesign/BundleSeal.h"
#include "codesign/CmsSignature.h"
#include "codesign/SealedBundle.h"
#include "codesign/SigningRequirement.h"

namespace {


// The team of a bundle's own signature, or empty. The certificate's dates
// are not checked here: a copy whose certificate has run out must still be
// able to recognise its team's next release.
QString signedTeam(const Bundle &bundle)
{
    try {
        const ossl::CertStack anchors = loadPemCertificateFile(codeSigningAnchorsPath(bundle));
        if (sk_X509_num(anchors.get()) <= 0)
            return {};
        const BundleSeal::SignedList own = BundleSeal::readSigned(bundle.path(), BundleSeal::kSignatureFile);
        if (!own.complete())
            return {};
        const CmsVerification v = cmsVerifyDetached(*own.signature, *own.list, anchors.get(), false);
        return v.valid ? v.signer.organizationalUnit : QString();
    } catch (const SealError &) {
        return {};
    }
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

    const ossl::CertStack anchors = loadPemCertificateFile(codeSigningAnchorsPath(running));
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

QString teamIdentifier(const Bundle &running)
{
    using K = CodeSigningError::Kind;
    if (!running.isAppBundle())
        throw CodeSigningError(K::NoTeamIdentifier, QStringLiteral("the running copy is not an application bundle"));
    const QString team = signedTeam(running);
    if (team.isEmpty())
        throw CodeSigningError(K::NoTeamIdentifier,
                               QStringLiteral("the running copy has no signature of a team that its own anchors trust"));
    return team;
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
