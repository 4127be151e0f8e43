#pragma once

#include "location/InstallLocations.h"

#include <QString>
#include <QStringList>

// Where the running copy lives: its bundle, and the places that count as
// removable media, where it cannot replace itself.
struct AppLocation {
    QString bundlePath;
    QStringList mediaPrefixes = InstallLocations::defaultMediaPrefixes();

    bool isOnRemovableMedia() const { return InstallLocations::isOnDiskImage(bundlePath, mediaPrefixes); }

    // The running bundle as found at the first call, which start-up makes:
    // once an update has swapped the bundle, /proc/self/exe names the old
    // copy, which the path no longer holds.
    static const AppLocation &running();
};
