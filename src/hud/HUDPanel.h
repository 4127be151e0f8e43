#pragma once

#include <QPointer>
#include <QScreen>
#include <QWidget>

class HUDView;

// The floating window that carries a card: frameless, translucent, above
// other windows, never focused, no taskbar entry, on every workspace. It
// bypasses the window manager so it stands exactly where it is put.
class HUDPanel final : public QWidget {
    Q_OBJECT
public:
    // An empty panel, to carry a card later.
    HUDPanel();
    explicit HUDPanel(HUDView *view);

    // Makes the X window now (unmapped), so that showing the panel later
    // need not wait for it.
    void createWindowAhead();
    // Takes the card this panel carries; once only.
    void carry(HUDView *view);

    HUDView *view() const { return m_view; }
    // Places the panel's bottom-left corner at a point of the y-up space.
    void setFrameOrigin(QPointF origin);
    // The panel's frame in the y-up space.
    QRectF frame() const { return QRectF(m_origin, size()); }
    // The screen the card was placed for (none for a made-up one): when it
    // goes, so does the card.
    void setPlacedOn(QScreen *screen) { m_placedOn = screen; }
    QScreen *placedOn() const { return m_placedOn; }

private:
    HUDView *m_view = nullptr;
    QPointF m_origin;
    QPointer<QScreen> m_placedOn;
};
