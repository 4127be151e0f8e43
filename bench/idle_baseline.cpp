// The baseline for bench/updater-idle.sh: the application as it idles
// without the updater (a GUI event loop on the same X server and bus, the HUD
// controller ready, nothing on screen), so the benchmark can report what the
// automatic-check loop adds.

#include "hud/HUDController.h"

#include <QApplication>

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "xcb");
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    HUDController::shared().appIsReady = true;
    return app.exec();
}
