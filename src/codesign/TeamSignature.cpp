#include "codesign/TeamSignature.h"

#include "codesign/CodeSigning.h"

#include <openssl/err.h>
#include <openssl/x509v3.h>

namespace {

SignerIdentity identityOf(X509 *certificate)
{
    SignerIdentity identity;
    identity.subject = certificateSubject(certificate);
    identity.organizationalUnit = certificateOrganizationalUnit(certificate);
    identity.issuer = certificateIssuer(certificate);
    // Two authorities may bear one name; their keys tell them apart.
    if (const ASN1_OCTET_STRING *keyId = X509_get0_authority_key_id(certificate))
        identity.issuer += QStringLiteral(" (key ")
                           + QString::fromLatin1(QByteArray(reinterpret_cast<const char *>(ASN1_STRING_get0_data(keyId)),
                                                            ASN1_STRING_length(keyId)).toHex(':').toUpper())
                           + u')';
    return identity;
}

} // namespace

bool canVerifyUpdates(const Bundle &running)
{
    return carriesCodeSigningAnchors(running);
}

void verifyTeamSignature(const QByteArray &content, const QByteArray &signature, const Bundle &running)
{
    const QString team = teamIdentifier(running);
    const ossl::CertStack anchors = ownCodeSigningAnchors(running);
    const CmsVerification cms = cmsVerifyDetached(signature, content, anchors.get(), true);
    if (!cms.valid)
        throw CodeSigningError(CodeSigningError::Kind::RequirementUnmet, cms.failure);
    if (!cms.signer.hasDeveloperIdExtension)
        throw CodeSigningError(CodeSigningError::Kind::RequirementUnmet,
                               QStringLiteral("the signing certificate is not a developer ID certificate"));
    if (cms.signer.organizationalUnit != team)
        throw CodeSigningError(CodeSigningError::Kind::RequirementUnmet,
                               QStringLiteral("the signing certificate belongs to team \"%1\", not \"%2\"")
                                   .arg(cms.signer.organizationalUnit, team));
}

std::optional<SignerIdentity> signerOf(const QByteArray &signature, const QByteArray &content)
{
    const auto *begin = reinterpret_cast<const unsigned char *>(signature.constData());
    const unsigned char *end = begin;
    ossl::Cms cms(d2i_CMS_ContentInfo(nullptr, &end, long(signature.size())));
    std::optional<SignerIdentity> found;
    if (cms && end == begin + signature.size() && OBJ_obj2nid(CMS_get0_type(cms.get())) == NID_pkcs7_signed) {
        ossl::Store empty(X509_STORE_new());
        ossl::Bio data = ossl::memoryBio(content);
        if (CMS_is_detached(cms.get()) == 1 && empty && data
            && CMS_verify(cms.get(), nullptr, empty.get(), data.get(), nullptr, CMS_BINARY | CMS_NO_SIGNER_CERT_VERIFY) == 1) {
            ossl::BorrowedCertStack signers(CMS_get0_signers(cms.get()));
            if (signers && sk_X509_num(signers.get()) == 1)
                found = identityOf(sk_X509_value(signers.get(), 0));
        }
    }
    ERR_clear_error();
    return found;
}

SignerIdentity signerOf(const SigningIdentity &identity)
{
    return identityOf(identity.certificate());
}
