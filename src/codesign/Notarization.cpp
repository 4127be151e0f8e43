#include "codesign/Notarization.h"

#include "codesign/CmsSignature.h"
#include "codesign/CodeSigning.h"
#include "codesign/SealedBundle.h"

namespace {
Assessment result(Assessment::Outcome o, QString reason) { return Assessment{o, std::move(reason)}; }
} // namespace

Assessment assessNotarization(const QString &candidateBundlePath, const Bundle &anchorsFrom)
{
    std::optional<SealedBundle> candidate;
    try {
        candidate.emplace(candidateBundlePath);
    } catch (const SealError &) {
        return result(Assessment::NotABundle, QStringLiteral("not an application bundle"));
    }
    return assessNotarization(*candidate, anchorsFrom);
}

Assessment assessNotarization(const SealedBundle &candidate, const Bundle &anchorsFrom)
{
    // The anchors are the assessing copy's own files, read by the rules for
    // an installed copy: a copy installed system-wide by another account
    // still assesses, one whose anchors others may change does not.
    ossl::CertStack anchors;
    try {
        anchors = ownNotaryAnchors(anchorsFrom);
    } catch (const SealError &e) {
        return result(Assessment::NoNotaryAnchors, QStringLiteral("this copy's notary anchors can't be used: ") + e.description());
    }
    if (!anchors || sk_X509_num(anchors.get()) <= 0)
        return result(Assessment::NoNotaryAnchors, QStringLiteral("this copy has no notary anchors to check against"));

    BundleSeal::SignedList notarized;
    try {
        notarized = candidate.signedList(BundleSeal::kNotarizationFile);
    } catch (const SealError &e) {
        return result(Assessment::NotNotarized, e.description());
    }
    if (!notarized.complete())
        return result(Assessment::NotNotarized, QStringLiteral("no notarization ticket"));

    const CmsVerification v = cmsVerifyDetached(*notarized.signature, *notarized.list, anchors.get(), true);
    if (!v.valid)
        return result(Assessment::TicketInvalid, QStringLiteral("the notarization ticket is not valid: ") + v.failure);

    try {
        if (const auto &changed = candidate.diskFailure())
            return result(Assessment::ModifiedSinceNotarized, QStringLiteral("the bundle changed after notarization: ") + *changed);
    } catch (const SealError &e) {
        return result(Assessment::ModifiedSinceNotarized, e.description());
    }
    return result(Assessment::Accepted, QString());
}
