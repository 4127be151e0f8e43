// fw-bench-mapwait NAME PROGRAM [ARGS...]: starts PROGRAM, prints the
// milliseconds until a top-level window named NAME is mapped, then stops
// PROGRAM (whatever PROGRAM started itself is left to the caller).
#include "support/X11Windows.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QThread>

#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 3) {
        std::fprintf(stderr, "usage: fw-bench-mapwait NAME PROGRAM [ARGS...]\n");
        return 2;
    }
    X11Client x;
    if (!x.isConnected()) {
        std::fprintf(stderr, "fw-bench-mapwait: no X display\n");
        return 1;
    }
    const QString name = args.at(1);
    QProcess program;
    program.setProcessChannelMode(QProcess::ForwardedChannels);
    QElapsedTimer clock;
    clock.start();
    program.start(args.at(2), args.mid(3));
    if (!program.waitForStarted()) {
        std::fprintf(stderr, "fw-bench-mapwait: cannot start %s\n", qPrintable(args.at(2)));
        return 1;
    }
    int status = 1;
    while (clock.elapsed() < 60000) {
        if (!x.mappedWindowsNamed(name).isEmpty()) {
            std::printf("%lld\n", static_cast<long long>(clock.elapsed()));
            status = 0;
            break;
        }
        // Every 2 ms: often enough for the figure, rare enough not to keep
        // the X server from serving the program being measured.
        QThread::usleep(2000);
    }
    program.kill();
    program.waitForFinished();
    if (status != 0)
        std::fprintf(stderr, "fw-bench-mapwait: no window named %s within 60 s\n", qPrintable(name));
    return status;
}
