#pragma once

#include <QObject>

#include <qcoro/qcorotask.h>

class HUDController;
class Updater;

// Runs once the event loop has started: makes the process an accessory
// application, marks the display side ready (showing a message that arrived
// early), then the remaining launch steps.
class AppDelegate final : public QObject {
    Q_OBJECT
public:
    explicit AppDelegate(QObject *parent = nullptr);
    // Marks hud ready instead of the shared controller (for tests).
    explicit AppDelegate(HUDController &hud, QObject *parent = nullptr);

    void applicationDidFinishLaunching();

private:
    // The launch steps that may wait on the user, then the updater's start.
    static QCoro::Task<> completeLaunch(Updater &updater);

    HUDController &m_hud;
};
