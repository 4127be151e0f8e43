// Times one move of a bundle into a folder as the app does it (copy under
// the staging name, then into place), for bench/move.sh to set against
// `cp -a` of the same tree:
//   fw-bench-move BUNDLE FOLDER
// Prints the seconds taken.
#include "relocate/BundleMove.h"
#include "release/UpdaterFailure.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList a = app.arguments();
    if (a.size() != 3) {
        std::fprintf(stderr, "usage: %s BUNDLE FOLDER\n", argv[0]);
        return 2;
    }
    QElapsedTimer t;
    t.start();
    try {
        BundleMove::into(a[1], a[2]).run();
    } catch (const PlatformError &e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    std::printf("%.4f\n", double(t.nsecsElapsed()) / 1e9);
    return 0;
}
