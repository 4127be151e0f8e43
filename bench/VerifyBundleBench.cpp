// Times verifySignature() on one candidate bundle against a running copy, as
// the updater calls it, and prints the median of the runs in seconds.

#include "platform/Bundle.h"
#include "codesign/CodeSigning.h"

#include <QElapsedTimer>
#include <QFile>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

int main(int argc, char **argv)
{
    if (argc != 4) {
        std::fputs("usage: bench-verify-bundle CANDIDATE.app RUNNING.app RUNS\n", stderr);
        return 2;
    }
    const QString candidate = QFile::decodeName(argv[1]);
    const Bundle running = Bundle::atPath(QFile::decodeName(argv[2]));
    const int runs = std::max(1, std::atoi(argv[3]));
    std::vector<double> seconds;
    for (int i = 0; i < runs; ++i) {
        QElapsedTimer t;
        t.start();
        try {
            verifySignature(candidate, running);
        } catch (const CodeSigningError &f) {
            std::fprintf(stderr, "%s\n", f.what());
            return 1;
        }
        seconds.push_back(double(t.nsecsElapsed()) / 1e9);
    }
    std::sort(seconds.begin(), seconds.end());
    std::printf("%.4f\n", seconds[seconds.size() / 2]);
    return 0;
}
