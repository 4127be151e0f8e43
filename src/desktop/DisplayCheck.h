#pragma once

#include <QString>

#include <optional>

// Qt aborts the process when its X11 platform finds no display. This asks
// first, so the app can say so in one line and exit: nothing when the
// platform is not X11 or the X server accepts a connection, else the reason
// ("no display: DISPLAY is not set").
std::optional<QString> missingDisplay();

struct xcb_connection_t;

// A connection to the X server at DISPLAY, kept while the object lives. An X
// server that resets when its last client leaves (a bare Xvfb or xinit
// session) then stays up while a program that is about to connect starts;
// one connecting during a reset is refused, and Qt aborts it.
class DisplayHold {
public:
    DisplayHold() { hold(); }
    ~DisplayHold();
    DisplayHold(const DisplayHold &) = delete;
    DisplayHold &operator=(const DisplayHold &) = delete;
    // Connects again when the connection was refused or has broken.
    void hold();

private:
    xcb_connection_t *m_connection = nullptr;
};
