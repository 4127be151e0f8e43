#pragma once

#include <QString>

#include <optional>

// Qt aborts the process when its platform finds no display. This asks
// first, so the app can say so in one line and exit: for the platforms that
// QT_QPA_PLATFORM names (a list is tried in turn, as Qt does), nothing when
// one of them can reach its display (the X server at DISPLAY; the Wayland
// compositor's socket, WAYLAND_DISPLAY in XDG_RUNTIME_DIR) or when one is a
// platform this cannot check, else the reason ("no display: DISPLAY is not
// set").
std::optional<QString> missingDisplay();
// Whether missingDisplay() can tell for every platform QT_QPA_PLATFORM names.
bool displayCheckable();

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
