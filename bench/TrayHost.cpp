// A panel for bench/tray-idle.sh: takes the StatusNotifierWatcher name on the
// session bus, waits for the app's item, reads its menu once as a panel does
// when it first shows the icon, prints "ready" and then stays quiet.

#include "support/StatusNotifierPanel.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QTimer>

#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    StatusNotifierWatcher watcher;
    if (!watcher.registerOn(QDBusConnection::sessionBus())) {
        std::fprintf(stderr, "fw-bench-tray-host: the watcher name is taken\n");
        return 1;
    }
    QObject::connect(&watcher, &StatusNotifierWatcher::StatusNotifierItemRegistered, &app, [&watcher] {
        // Let the item finish exporting its menu before reading it.
        QTimer::singleShot(500, &watcher, [&watcher] {
            const MenuNode menu = watcher.readMenu();
            std::printf("ready %lld\n", static_cast<long long>(menu.children.size()));
            std::fflush(stdout);
        });
    });
    return app.exec();
}
