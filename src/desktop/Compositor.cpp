#include "desktop/Compositor.h"

#include <QByteArray>
#include <QGuiApplication>

#include <xcb/xcb.h>

#include <cstdlib>
#include <memory>
#include <optional>

namespace {

struct Probe {
    xcb_connection_t *connection = nullptr;
    int screen = -1;
    xcb_atom_t atom = XCB_ATOM_NONE;
    std::optional<xcb_get_selection_owner_cookie_t> pending;
};

Probe &probe()
{
    static Probe p;
    return p;
}

int defaultScreenNumber()
{
    int screen = 0;
    char *host = nullptr;
    int display = 0;
    if (!xcb_parse_display(nullptr, &host, &display, &screen))
        screen = 0;
    std::free(host);
    return screen;
}

// Points the probe at the current connection and screen; false without X.
bool prepare()
{
    auto *x11 = qApp ? qApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    xcb_connection_t *c = x11 ? x11->connection() : nullptr;
    if (!c)
        return false;
    // The X screen the connection was opened on, as libxcb reads it from
    // DISPLAY (":0.1" is screen 1); Qt's screens are monitors, not X screens.
    const int screen = defaultScreenNumber();
    Probe &p = probe();
    if (p.connection == c && p.screen == screen)
        return p.atom != XCB_ATOM_NONE;
    // The selection's atom is looked up once per connection and screen.
    if (p.connection == c && p.pending)
        std::free(xcb_get_selection_owner_reply(c, *p.pending, nullptr));
    p = Probe{};
    const QByteArray name = "_NET_WM_CM_S" + QByteArray::number(screen);
    std::unique_ptr<xcb_intern_atom_reply_t, decltype(&std::free)> reply(
        xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, static_cast<uint16_t>(name.size()), name.constData()), nullptr),
        &std::free);
    p.connection = c;
    p.screen = screen;
    p.atom = reply ? reply->atom : static_cast<xcb_atom_t>(XCB_ATOM_NONE);
    return p.atom != XCB_ATOM_NONE;
}

bool answer(xcb_get_selection_owner_cookie_t cookie)
{
    std::unique_ptr<xcb_get_selection_owner_reply_t, decltype(&std::free)> owner(
        xcb_get_selection_owner_reply(probe().connection, cookie, nullptr), &std::free);
    return owner && owner->owner != XCB_NONE;
}

} // namespace

namespace Compositor {

bool isRunning()
{
    if (!prepare())
        return false;
    Probe &p = probe();
    return answer(xcb_get_selection_owner(p.connection, p.atom));
}

bool isRunningPrefetched()
{
    if (!prepare())
        return false;
    Probe &p = probe();
    const xcb_get_selection_owner_cookie_t cookie = p.pending ? *p.pending : xcb_get_selection_owner(p.connection, p.atom);
    const bool running = answer(cookie);
    p.pending = xcb_get_selection_owner(p.connection, p.atom);
    return running;
}

} // namespace Compositor
