#pragma once

#include "codesign/OpenSslHandles.h"

#include <QByteArray>
#include <QString>

#include <stdexcept>

// Detached CMS (DER) signatures over a bundle's sealed resource list: the
// developer's code signature and the notary's ticket are both this shape.

// A signing identity read from one PEM file: the private key, the leaf
// certificate that matches it and any further certificates of its chain.
class SigningIdentity {
public:
    // Throws std::runtime_error with a readable reason.
    static SigningIdentity fromPem(const QByteArray &pem);

    EVP_PKEY *key() const { return m_key.get(); }
    X509 *certificate() const { return m_certificate.get(); }
    STACK_OF(X509) *chain() const { return m_chain.get(); }

private:
    ossl::PKey m_key;
    ossl::X509Ptr m_certificate;
    ossl::CertStack m_chain;
};

// What the verifier learned about the certificate that made a signature.
struct SignerCertificate {
    QString subject;
    // The subject's one organisational unit; empty when it has none or several.
    QString organizationalUnit;
    bool hasDeveloperIdExtension = false;
};

struct CmsVerification {
    bool valid = false;
    // Why it failed, in a few words fit to be shown inside a sentence.
    QString failure;
    SignerCertificate signer;
};

// OID that marks a developer-ID application certificate.
inline constexpr const char *kDeveloperIdExtensionOid = "1.2.840.113635.100.6.1.13";

// What a certificate is meant for, as the verifier judges it: a leaf with
// code-signing extended key usage and digital-signature key usage; the
// developer-ID marker; an authority (CA) certificate.
bool hasCodeSigningUsage(X509 *certificate);
bool hasDeveloperIdExtension(X509 *certificate);
bool isCertificateAuthority(X509 *certificate);

// A certificate's subject in RFC 2253 form, for messages.
QString certificateSubject(X509 *certificate);
// Its issuer's name, the same way.
QString certificateIssuer(X509 *certificate);
// The subject's one organisational unit (the team); empty when it has none
// or several.
QString certificateOrganizationalUnit(X509 *certificate);

// Anchors as read from a PEM file (certificates only); an empty stack when
// there are none or the text does not parse.
ossl::CertStack loadPemCertificates(const QByteArray &pem);
// The same from a PEM file; empty when the file is missing or unreadable.
ossl::CertStack loadPemCertificateFile(const QString &path);

// Signs content with the identity; DER of a detached CMS SignedData that
// carries the identity's certificates. Throws std::runtime_error.
QByteArray cmsSignDetached(const QByteArray &content, const SigningIdentity &identity);

// Checks a detached signature over content: exactly one signer, a valid
// signature, and a signer certificate with code-signing usage whose chain
// ends in one of the anchors. checkTime=false skips validity dates (used to
// read a running copy's own identity after its certificate has expired).
CmsVerification cmsVerifyDetached(const QByteArray &der, const QByteArray &content,
                                  STACK_OF(X509) *anchors, bool checkTime = true);
