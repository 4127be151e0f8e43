// CMS signatures and the certificates they carry, judged over a fixed
// bundle: the input stands as the candidate's code signature and as its
// notarization ticket, and goes through the whole verification (signature,
// chain, requirement, seal against the disk) and the assessment.
//
// FW_FUZZ_WRITE_SEED=FILE writes a valid signature of the fixed bundle to
// FILE and exits: that is how the seed corpus was made.
#include "FixedBundle.h"
#include "codesign/BundleSeal.h"
#include "codesign/CmsSignature.h"
#include "codesign/CodeSigning.h"
#include "codesign/Notarization.h"
#include "codesign/SealedBundle.h"

#include <QFile>

#include <cstdint>
#include <cstdlib>

#include <sys/stat.h>

namespace {
const QString kIdentifier = QStringLiteral("com.copperkestrel.Ferrowhistle");
QString g_running;
QString g_candidate;
} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    ::umask(022);
    const QString root = fuzzFolder();
    const SigningIdentity identity = SigningIdentity::fromPem(readFixedData("identity.pem"));

    g_running = makeFixedBundle(root + QStringLiteral("/running"), kIdentifier);
    const QByteArray ownList = BundleSeal::scan(g_running, kIdentifier).serialize();
    BundleSeal::writeFile(g_running, BundleSeal::kResourcesFile, ownList);
    BundleSeal::writeFile(g_running, BundleSeal::kSignatureFile, cmsSignDetached(ownList, identity));

    g_candidate = makeFixedBundle(root + QStringLiteral("/candidate"), kIdentifier);
    const QByteArray list = BundleSeal::scan(g_candidate, kIdentifier).serialize();
    BundleSeal::writeFile(g_candidate, BundleSeal::kResourcesFile, list);
    if (const QByteArray seed = qgetenv("FW_FUZZ_WRITE_SEED"); !seed.isEmpty()) {
        writeFuzzFile(QFile::decodeName(seed), cmsSignDetached(list, identity));
        std::exit(0);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray der(reinterpret_cast<const char *>(data), qsizetype(size));
    // Plain writes: the signing tool's fsync would cost most of the time.
    const QString folder = g_candidate + QStringLiteral("/Contents/_CodeSignature/");
    writeFuzzFile(folder + QLatin1String(BundleSeal::kSignatureFile), der);
    writeFuzzFile(folder + QLatin1String(BundleSeal::kNotarizationFile), der);
    const Bundle running = Bundle::atPath(g_running);
    try {
        const SealedBundle candidate(g_candidate);
        try {
            verifySignature(candidate, running);
        } catch (const CodeSigningError &) {
        }
        (void)assessNotarization(candidate, running);
    } catch (const SealError &) {
        std::abort(); // the fixed bundle is always there
    }
    return 0;
}
