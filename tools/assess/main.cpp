// ferrowhistle-assess: the assessment an update must pass before it is
// installed. Invoked as `ferrowhistle-assess --assess --type execute PATH`;
// exits 0 only for a bundle notarized by a notary this copy trusts, and
// otherwise with a status of its own (see Assessment::Outcome) and one line
// on standard error.

#include "platform/Bundle.h"
#include "codesign/Notarization.h"

#include <QFile>

#include <cstdio>
#include <cstring>

namespace {
constexpr int kUsageStatus = 2;
}

int main(int argc, char **argv)
{
    if (argc != 5 || std::strcmp(argv[1], "--assess") != 0 || std::strcmp(argv[2], "--type") != 0
        || std::strcmp(argv[3], "execute") != 0) {
        std::fputs("usage: ferrowhistle-assess --assess --type execute PATH\n", stderr);
        return kUsageStatus;
    }
    const QString path = QFile::decodeName(argv[4]);
    const Assessment a = assessNotarization(path, Bundle::main());
    if (a.outcome != Assessment::Accepted)
        std::fprintf(stderr, "ferrowhistle-assess: rejected: %s\n", a.reason.toUtf8().constData());
    return a.outcome;
}
