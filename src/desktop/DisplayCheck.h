#pragma once

#include <QString>

#include <optional>

// Qt aborts the process when its X11 platform finds no display. This asks
// first, so the app can say so in one line and exit: nothing when the
// platform is not X11 or the X server accepts a connection, else the reason
// ("no display: DISPLAY is not set").
std::optional<QString> missingDisplay();
