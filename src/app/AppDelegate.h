#pragma once

#include <QObject>

// Runs once the event loop has started: makes the process an accessory
// application, marks the display side ready (showing a message that arrived
// early), then the remaining launch steps.
class AppDelegate final : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

    void applicationDidFinishLaunching();
};
