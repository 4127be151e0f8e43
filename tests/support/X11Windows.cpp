#include "support/X11Windows.h"

#include <cstdlib>
#include <cstring>
#include <memory>

namespace {
template <typename T>
using XcbReply = std::unique_ptr<T, decltype(&std::free)>;
template <typename T>
XcbReply<T> own(T *p) { return XcbReply<T>(p, &std::free); }
} // namespace

X11Client::X11Client(const QByteArray &display)
{
    int screenNumber = 0;
    xcb_connection_t *c = xcb_connect(display.isEmpty() ? nullptr : display.constData(), &screenNumber);
    if (!c || xcb_connection_has_error(c)) {
        if (c)
            xcb_disconnect(c);
        return;
    }
    m_conn = c;
    xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(c));
    for (int i = 0; i < screenNumber && it.rem; ++i)
        xcb_screen_next(&it);
    m_root = it.data->root;
}

X11Client::~X11Client()
{
    if (m_conn)
        xcb_disconnect(m_conn);
}

QSize X11Client::rootSize() const
{
    if (!m_conn)
        return {};
    auto g = own(xcb_get_geometry_reply(m_conn, xcb_get_geometry(m_conn, m_root), nullptr));
    return g ? QSize(g->width, g->height) : QSize();
}

QList<X11Window> X11Client::mappedTopLevels() const
{
    QList<X11Window> out;
    if (!m_conn)
        return out;
    auto tree = own(xcb_query_tree_reply(m_conn, xcb_query_tree(m_conn, m_root), nullptr));
    if (!tree)
        return out;
    const xcb_window_t *children = xcb_query_tree_children(tree.get());
    const int n = xcb_query_tree_children_length(tree.get());
    for (int i = 0; i < n; ++i) {
        const xcb_window_t w = children[i];
        auto attrs = own(xcb_get_window_attributes_reply(m_conn, xcb_get_window_attributes(m_conn, w), nullptr));
        if (!attrs || attrs->map_state != XCB_MAP_STATE_VIEWABLE)
            continue;
        auto geo = own(xcb_get_geometry_reply(m_conn, xcb_get_geometry(m_conn, w), nullptr));
        if (!geo)
            continue;
        X11Window win;
        win.id = w;
        win.geometry = QRect(geo->x, geo->y, geo->width, geo->height);
        win.overrideRedirect = attrs->override_redirect;
        win.name = windowName(w);
        out.append(win);
    }
    return out;
}

QList<X11Window> X11Client::mappedWindowsNamed(const QString &name) const
{
    QList<X11Window> out;
    for (const X11Window &w : mappedTopLevels()) {
        if (w.name == name)
            out.append(w);
    }
    return out;
}

QString X11Client::windowName(xcb_window_t window) const
{
    if (!m_conn)
        return {};
    auto prop = own(xcb_get_property_reply(
        m_conn, xcb_get_property(m_conn, 0, window, XCB_ATOM_WM_NAME, XCB_GET_PROPERTY_TYPE_ANY, 0, 1024), nullptr));
    if (!prop)
        return {};
    return QString::fromUtf8(static_cast<const char *>(xcb_get_property_value(prop.get())),
                             xcb_get_property_value_length(prop.get()));
}

int X11Client::propertyLength(xcb_window_t window, const char *atomName) const
{
    if (!m_conn)
        return -1;
    auto atom = own(xcb_intern_atom_reply(m_conn, xcb_intern_atom(m_conn, 1, uint16_t(strlen(atomName)), atomName), nullptr));
    if (!atom || atom->atom == XCB_ATOM_NONE)
        return -1;
    // Asks for no data: the reply still tells the whole length.
    auto prop = own(xcb_get_property_reply(
        m_conn, xcb_get_property(m_conn, 0, window, atom->atom, XCB_GET_PROPERTY_TYPE_ANY, 0, 0), nullptr));
    if (!prop || prop->type == XCB_ATOM_NONE)
        return -1;
    return int(prop->bytes_after);
}
