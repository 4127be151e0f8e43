#include "hud/HUDPanel.h"

#include "hud/HUDLayout.h"
#include "hud/HUDView.h"
#include "platform/Compositor.h"
#include "platform/Screens.h"

#include <QPainterPath>
#include <QRegion>


HUDPanel::HUDPanel()
    : QWidget(nullptr, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint | Qt::WindowDoesNotAcceptFocus
                           | Qt::X11BypassWindowManagerHint)
{
    setWindowTitle(QStringLiteral("Ferrowhistle"));
    setAttribute(Qt::WA_TranslucentBackground);
    setAttribute(Qt::WA_ShowWithoutActivating);
    setAttribute(Qt::WA_X11NetWmWindowTypeNotification);
    setAttribute(Qt::WA_DeleteOnClose, false);
    setFocusPolicy(Qt::NoFocus);
}

HUDPanel::HUDPanel(HUDView *view) : HUDPanel()
{
    carry(view);
}

void HUDPanel::createWindowAhead()
{
    winId();
}

void HUDPanel::carry(HUDView *view)
{
    Q_ASSERT(!m_view);
    m_view = view;
    view->setParent(this);
    view->move(0, 0);
    setFixedSize(view->size());
    // Without a compositor the translucent corners would show as black
    // squares; clip the window to the card instead.
    if (!Compositor::isRunningPrefetched()) {
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
