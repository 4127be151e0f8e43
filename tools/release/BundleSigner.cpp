#include "BundleSigner.h"

#include "platform/Bundle.h"
#include "codesign/BundleSeal.h"
#include "codesign/CmsSignature.h"

#include <optional>

namespace {

[[noreturn]] void refuse(const SigningIdentity &identity, const QString &problem)
{
    throw std::runtime_error(QStringLiteral("the identity's certificate (%1) %2")
                                 .arg(certificateSubject(identity.certificate()), problem)
                                 .toStdString());
}

} // namespace

void requireDeveloperIdentity(const SigningIdentity &identity)
{
    X509 *certificate = identity.certificate();
    if (isCertificateAuthority(certificate))
        refuse(identity, QStringLiteral("is a certificate authority; sign with a developer ID identity it issued"));
    if (!hasDeveloperIdExtension(certificate))
        refuse(identity, QStringLiteral("is not a developer ID certificate (no extension %1); a notary identity "
                                        "notarizes, it does not sign")
                             .arg(QLatin1String(kDeveloperIdExtensionOid)));
    if (!hasCodeSigningUsage(certificate))
        refuse(identity, QStringLiteral("is not meant for code signing (no code-signing usage)"));
}

void requireNotaryIdentity(const SigningIdentity &identity)
{
    X509 *certificate = identity.certificate();
    if (isCertificateAuthority(certificate))
        refuse(identity, QStringLiteral("is a certificate authority; notarize with a notary identity it issued"));
    if (hasDeveloperIdExtension(certificate))
        refuse(identity, QStringLiteral("is a developer ID certificate; notarize with the notary identity"));
    if (!hasCodeSigningUsage(certificate))
        refuse(identity, QStringLiteral("is not meant for code signing (no code-signing usage), so no copy would "
                                        "accept its ticket"));
}

void signBundle(const QString &bundlePath, const QByteArray &identityPem, QString identifier)
{
    if (!BundleSeal::looksLikeBundle(bundlePath))
        throw std::runtime_error(bundlePath.toStdString() + " is not a bundle");
    if (identifier.isEmpty())
        identifier = Bundle::atPath(bundlePath).identifier().value_or(QString());
    if (identifier.isEmpty())
        throw std::runtime_error("the bundle has no CFBundleIdentifier; give one with --identifier");

    // Read the identity first, so a bad one leaves the bundle untouched.
    std::optional<SigningIdentity> identity;
    if (!identityPem.isEmpty())
        identity = SigningIdentity::fromPem(identityPem);

    const QByteArray list = BundleSeal::scan(bundlePath, identifier).serialize();
    const QByteArray signature = identity ? cmsSignDetached(list, *identity) : QByteArray();
    BundleSeal::removeFile(bundlePath, BundleSeal::kNotarizationFile);
    BundleSeal::removeFile(bundlePath, BundleSeal::kSignatureFile);
    BundleSeal::writeFile(bundlePath, BundleSeal::kResourcesFile, list);
    if (identity)
        BundleSeal::writeFile(bundlePath, BundleSeal::kSignatureFile, signature);
}

QByteArray requireIntactSeal(const QString &bundlePath)
{
    const BundleSeal::SignedList seal = BundleSeal::readSigned(bundlePath, BundleSeal::kSignatureFile);
    if (!seal.complete())
        throw std::runtime_error("the bundle is not signed; sign it first");
    if (const auto changed = BundleSeal::check(bundlePath, CodeResources::parse(*seal.list)))
        throw std::runtime_error("the bundle changed after signing: " + changed->toStdString());
    return *seal.list;
}

void notarizeBundle(const QString &bundlePath, const QByteArray &notaryIdentityPem)
{
    const SigningIdentity notary = SigningIdentity::fromPem(notaryIdentityPem);
    const QByteArray list = requireIntactSeal(bundlePath);
    BundleSeal::writeFile(bundlePath, BundleSeal::kNotarizationFile, cmsSignDetached(list, notary));
}
