#include "hud/HUDPanel.h"

#include "hud/HUDAccessible.h"
#include "hud/HUDLayout.h"
#include "hud/HUDView.h"
#include "desktop/Compositor.h"
#include "desktop/Screens.h"

#include <QIconEngine>
#include <QPainterPath>
#include <QRegion>

namespace {

// An icon without images. The card bypasses the window manager, so nothing
// reads its window's icon; with the application's set every card would send
// the X server about 350 KB (mostly the 256 px image) before it maps. A
// window without an icon of its own takes the application's, so the card
// gets this one, non-null yet empty, and its window carries no icon at all.
// It must be on the card's window before the X window is made: that is
// when the window's icon is first sent.
class NoImagesIconEngine final : public QIconEngine {
public:
    void paint(QPainter *, const QRect &, QIcon::Mode, QIcon::State) override {}
    QIconEngine *clone() const override { return new NoImagesIconEngine; }
    QPixmap pixmap(const QSize &, QIcon::Mode, QIcon::State) override { return {}; }
    QPixmap scaledPixmap(const QSize &, QIcon::Mode, QIcon::State, qreal) override { return {}; }
    QList<QSize> availableSizes(QIcon::Mode, QIcon::State) override { return {}; }
    bool isNull() override { return false; }
};

} // namespace

HUDPanel::HUDPanel()
    : QWidget(nullptr, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint | Qt::WindowDoesNotAcceptFocus
                           | Qt::X11BypassWindowManagerHint)
{
    HUDAccessible::install();
    setWindowTitle(QStringLiteral("Ferrowhistle"));
    // Gives the widget its window object now, without the X window, so the
    // icon below reaches it first (a top-level widget is native anyway).
    setAttribute(Qt::WA_NativeWindow);
    setWindowIcon(QIcon(new NoImagesIconEngine));
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
    HUDAccessible::cardCarried(this);
}

void HUDPanel::setFrameOrigin(QPointF origin)
{
    m_origin = origin;
    move(Screens::toQtTopLeft(QRectF(origin, size())));
}
