#include "hud/HUDPanel.h"

#include "hud/HUDLayout.h"
#include "hud/HUDView.h"
#include "platform/Screens.h"

#include <QGuiApplication>
#include <QPainterPath>
#include <QRegion>
#include <QScreen>

#include <xcb/xcb.h>

#include <cstdlib>
#include <memory>

bool compositingManagerRunning()
{
    auto *x11 = qApp ? qApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    if (!x11 || !x11->connection())
        return false;
    xcb_connection_t *c = x11->connection();
    int screen = 0;
    if (const QScreen *s = QGuiApplication::primaryScreen())
        screen = static_cast<int>(std::max<qsizetype>(0, QGuiApplication::screens().indexOf(const_cast<QScreen *>(s))));
    // The atom's name never changes meaning, so it is looked up once; the
    // owner is asked every time, since a compositor may come and go.
    static xcb_connection_t *cachedFor = nullptr;
    static int cachedScreen = -1;
    static xcb_atom_t atom = XCB_ATOM_NONE;
    if (cachedFor != c || cachedScreen != screen) {
        const QByteArray name = "_NET_WM_CM_S" + QByteArray::number(screen);
        std::unique_ptr<xcb_intern_atom_reply_t, decltype(&std::free)> reply(
            xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, name.size(), name.constData()), nullptr), &std::free);
        if (!reply)
            return false;
        atom = reply->atom;
        cachedFor = c;
        cachedScreen = screen;
    }
    std::unique_ptr<xcb_get_selection_owner_reply_t, decltype(&std::free)> owner(
        xcb_get_selection_owner_reply(c, xcb_get_selection_owner(c, atom), nullptr), &std::free);
    return owner && owner->owner != XCB_NONE;
}

HUDPanel::HUDPanel(HUDView *view)
    : QWidget(nullptr, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint | Qt::WindowDoesNotAcceptFocus
                           | Qt::X11BypassWindowManagerHint),
      m_view(view)
{
    setWindowTitle(QStringLiteral("Ferrowhistle"));
    setAttribute(Qt::WA_TranslucentBackground);
    setAttribute(Qt::WA_ShowWithoutActivating);
    setAttribute(Qt::WA_X11NetWmWindowTypeNotification);
    setAttribute(Qt::WA_DeleteOnClose, false);
    setFocusPolicy(Qt::NoFocus);
    view->setParent(this);
    view->move(0, 0);
    setFixedSize(view->size());
    // Without a compositor the translucent corners would show as black
    // squares; clip the window to the card instead.
    if (!compositingManagerRunning()) {
        QPainterPath path;
        path.addRoundedRect(QRectF(rect()), HUDLayout::kCornerRadius, HUDLayout::kCornerRadius);
        setMask(QRegion(path.toFillPolygon().toPolygon()));
    }
}

void HUDPanel::setFrameOrigin(QPointF origin)
{
    m_origin = origin;
    move(Screens::toQtTopLeft(QRectF(origin, size())));
}
