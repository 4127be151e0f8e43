#include "update/CodeSigning.h"

#include "update/BundleSeal.h"
#include "update/CmsSignature.h"
#include "update/SigningRequirement.h"
#include "update/UpdaterFailure.h"

namespace {

QString noTeamText() { return QStringLiteral("This copy of Ferrowhistle isn't signed with a team ID, so it can't verify updates."); }
QString unreadableText() { return QStringLiteral("The download's signature couldn't be read."); }

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
std::optional<QString> validate(const QString &candidate, const SigningRequirement &requirement, const Bundle &running)
{
    BundleSeal::SignedList signedList;
    try {
        signedList = BundleSeal::readSigned(candidate, BundleSeal::kSignatureFile);
    } catch (const SealError &e) {
        return e.description();
    }
    if (!signedList.complete())
        return QStringLiteral("code object is not signed at all");

    const ossl::CertStack anchors = loadPemCertificateFile(codeSigningAnchorsPath(running));
    const CmsVerification cms = cmsVerifyDetached(*signedList.signature, *signedList.list, anchors.get(), true);
    if (!cms.valid)
        return cms.failure;

    CodeResources list;
    try {
        list = CodeResources::parse(*signedList.list);
    } catch (const SealError &e) {
        return e.description();
    }
    if (auto unmet = requirement.unmetClause(list.identifier, cms.signer))
        return QStringLiteral("code failed to satisfy the requirement: ") + *unmet;
    return BundleSeal::check(candidate, list);
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
    if (!running.isAppBundle())
        throw UpdaterFailure(noTeamText());
    const QString team = signedTeam(running);
    if (team.isEmpty())
        throw UpdaterFailure(noTeamText());
    return team;
}

void verifySignature(const QString &candidateBundlePath, const Bundle &running)
{
    const std::optional<QString> identifier = running.identifier();
    if (!identifier || identifier->isEmpty())
        throw UpdaterFailure(QStringLiteral("This copy of Ferrowhistle has no bundle ID."));
    const QString team = teamIdentifier(running);

    const std::optional<SigningRequirement> requirement = SigningRequirement::compile(*identifier, team);
    if (!requirement || !BundleSeal::looksLikeBundle(candidateBundlePath))
        throw UpdaterFailure(unreadableText());

    if (const auto failure = validate(candidateBundlePath, *requirement, running))
        throw UpdaterFailure(QStringLiteral("The download isn't signed by Ferrowhistle's developer (") + *failure
                             + QStringLiteral("), so it wasn't installed."));
}
