// ferrowhistle-assess: the assessment an update must pass before it is
// installed. Invoked as `ferrowhistle-assess --assess --type execute PATH`;
// exits 0 only for a bundle notarized by a notary this copy trusts, and
// otherwise with a status of its own (see Assessment::Outcome) and one line
// on standard error.
//
// `ferrowhistle-assess --verify-kept PATH` is the check the start watch runs
// before it puts a kept copy back: PATH is a folder of its own (not a link),
// its seal and signature satisfy this copy's requirement, it is notarized,
// and it has this copy's identifier. Exits 0, or 1 with one line.

#include "platform/Bundle.h"
#include "codesign/CodeSigning.h"
#include "codesign/Notarization.h"

#include <QFile>

#include <sys/stat.h>

#include <cstdio>
#include <cstring>

namespace {
constexpr int kUsageStatus = 2;

int verifyKept(const QString &path)
{
    const auto refuse = [](const QString &why) {
        std::fprintf(stderr, "ferrowhistle-assess: %s\n", why.toUtf8().constData());
        return 1;
    };
    struct stat st;
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0 || !S_ISDIR(st.st_mode))
        return refuse(QStringLiteral("%1 isn't a folder of its own").arg(path));
    try {
        verifySignature(path, Bundle::main());
    } catch (const CodeSigningError &e) {
        return refuse(QStringLiteral("it isn't signed by this app's developer (%1)").arg(e.reason()));
    }
    const Assessment a = assessNotarization(path, Bundle::main());
    if (a.outcome != Assessment::Accepted)
        return refuse(QStringLiteral("it isn't notarized (%1)").arg(a.reason));
    const std::optional<QString> identifier = Bundle::main().identifier();
    if (!identifier || Bundle::atPath(path).identifier() != identifier)
        return refuse(QStringLiteral("its bundle ID differs"));
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc == 3 && std::strcmp(argv[1], "--verify-kept") == 0)
        return verifyKept(QFile::decodeName(argv[2]));
    if (argc != 5 || std::strcmp(argv[1], "--assess") != 0 || std::strcmp(argv[2], "--type") != 0
        || std::strcmp(argv[3], "execute") != 0) {
        std::fputs("usage: ferrowhistle-assess --assess --type execute PATH | --verify-kept PATH\n", stderr);
        return kUsageStatus;
    }
    const QString path = QFile::decodeName(argv[4]);
    const Assessment a = assessNotarization(path, Bundle::main());
    if (a.outcome != Assessment::Accepted)
        std::fprintf(stderr, "ferrowhistle-assess: rejected: %s\n", a.reason.toUtf8().constData());
    return a.outcome;
}
