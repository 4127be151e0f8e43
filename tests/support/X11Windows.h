#pragma once

#include <QList>
#include <QRect>
#include <QString>

#include <xcb/xcb.h>

// What another X client sees: the root window's mapped children, read over
// an X connection of our own (not through Qt).
struct X11Window {
    xcb_window_t id = 0;
    QRect geometry; // root coordinates
    bool overrideRedirect = false;
    QString name;   // WM_NAME
};

class X11Client {
public:
    // The X server named by DISPLAY, or the one named here (":57").
    explicit X11Client(const QByteArray &display = {});
    ~X11Client();
    X11Client(const X11Client &) = delete;
    X11Client &operator=(const X11Client &) = delete;

    bool isConnected() const { return m_conn != nullptr; }
    QSize rootSize() const;
    // Mapped (viewable) children of the root, bottom to top.
    QList<X11Window> mappedTopLevels() const;
    // Mapped windows named like ours.
    QList<X11Window> mappedWindowsNamed(const QString &name) const;
    // A window's WM_NAME, empty when it has none.
    QString windowName(xcb_window_t window) const;
    // The length in bytes of a window's property, -1 when it has none.
    int propertyLength(xcb_window_t window, const char *atomName) const;
    xcb_connection_t *connection() const { return m_conn; }
    xcb_window_t root() const { return m_root; }

private:
    xcb_connection_t *m_conn = nullptr;
    xcb_window_t m_root = 0;
};
