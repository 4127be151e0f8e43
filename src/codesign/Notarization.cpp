#include "codesign/Notarization.h"

#include "codesign/BundleSeal.h"
#include "codesign/CmsSignature.h"
#include "codesign/CodeSigning.h"

Assessment assessNotarization(const QString &candidateBundlePath, const Bundle &anchorsFrom)
{
    auto result = [](Assessment::Outcome o, QString reason) { return Assessment{o, std::move(reason)}; };
    if (!BundleSeal::looksLikeBundle(candidateBundlePath))
        return result(Assessment::NotABundle, QStringLiteral("not an application bundle"));

    const ossl::CertStack anchors = loadPemCertificateFile(notaryAnchorsPath(anchorsFrom));
    if (sk_X509_num(anchors.get()) <= 0)
        return result(Assessment::NoNotaryAnchors, QStringLiteral("this copy has no notary anchors to check against"));

    BundleSeal::SignedList notarized;
    try {
        notarized = BundleSeal::readSigned(candidateBundlePath, BundleSeal::kNotarizationFile);
    } catch (const SealError &e) {
        return result(Assessment::NotNotarized, e.description());
    }
    if (!notarized.complete())
        return result(Assessment::NotNotarized, QStringLiteral("no notarization ticket"));

    const CmsVerification v = cmsVerifyDetached(*notarized.signature, *notarized.list, anchors.get(), true);
    if (!v.valid)
        return result(Assessment::TicketInvalid, QStringLiteral("the notarization ticket is not valid: ") + v.failure);

    try {
        const CodeResources list = CodeResources::parse(*notarized.list);
        if (const auto changed = BundleSeal::check(candidateBundlePath, list))
            return result(Assessment::ModifiedSinceNotarized, QStringLiteral("the bundle changed after notarization: ") + *changed);
    } catch (const SealError &e) {
        return result(Assessment::ModifiedSinceNotarized, e.description());
    }
    return result(Assessment::Accepted, QString());
}
