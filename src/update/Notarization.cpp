#include "update/Notarization.h"

#include "update/BundleSeal.h"
#include "update/CmsSignature.h"
#include "update/CodeSigning.h"

#include <QFile>

namespace {
constexpr qsizetype kMaxTicketBytes = 1 << 20;
}

Assessment assessNotarization(const QString &candidateBundlePath, const Bundle &anchorsFrom)
{
    auto result = [](Assessment::Outcome o, QString reason) { return Assessment{o, std::move(reason)}; };
    if (!BundleSeal::looksLikeBundle(candidateBundlePath))
        return result(Assessment::NotABundle, QStringLiteral("not an application bundle"));

    QByteArray anchorPem;
    QFile anchorFile(notaryAnchorsPath(anchorsFrom));
    if (anchorFile.open(QIODevice::ReadOnly))
        anchorPem = anchorFile.read(4 << 20);
    const ossl::CertStack anchors = loadPemCertificates(anchorPem);
    if (sk_X509_num(anchors.get()) <= 0)
        return result(Assessment::NoNotaryAnchors, QStringLiteral("this copy has no notary anchors to check against"));

    std::optional<QByteArray> listBytes;
    std::optional<QByteArray> ticket;
    try {
        listBytes = BundleSeal::readFile(candidateBundlePath, BundleSeal::kResourcesFile, CodeResources::kMaxBytes);
        ticket = BundleSeal::readFile(candidateBundlePath, BundleSeal::kNotarizationFile, kMaxTicketBytes);
    } catch (const SealError &e) {
        return result(Assessment::NotNotarized, e.description());
    }
    if (!listBytes || !ticket)
        return result(Assessment::NotNotarized, QStringLiteral("no notarization ticket"));

    const CmsVerification v = cmsVerifyDetached(*ticket, *listBytes, anchors.get(), true);
    if (!v.valid)
        return result(Assessment::TicketInvalid, QStringLiteral("the notarization ticket is not valid: ") + v.failure);

    try {
        const CodeResources list = CodeResources::parse(*listBytes);
        if (const auto changed = BundleSeal::check(candidateBundlePath, list))
            return result(Assessment::ModifiedSinceNotarized, QStringLiteral("the bundle changed after notarization: ") + *changed);
    } catch (const SealError &e) {
        return result(Assessment::ModifiedSinceNotarized, e.description());
    }
    return result(Assessment::Accepted, QString());
}
