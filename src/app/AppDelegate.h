#pragma once

#include <QObject>

#include <qcoro/qcorotask.h>

class HUDController;
class UpdaterInterface;

// Runs once the event loop has started: makes the process an accessory
// application and marks the display side ready (showing a message that
// arrived early). The remaining launch steps follow once the updater has
// been loaded.
class AppDelegate final : public QObject {
    Q_OBJECT
public:
    explicit AppDelegate(QObject *parent = nullptr);
    // Marks hud ready instead of the shared controller (for tests).
    explicit AppDelegate(HUDController &hud, QObject *parent = nullptr);

    void applicationDidFinishLaunching();

    // The launch steps that may wait on the user, then the updater's start.
    static QCoro::Task<> completeLaunch(UpdaterInterface &updater);

private:

    HUDController &m_hud;
};
