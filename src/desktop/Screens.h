#pragma once

#include <QList>
#include <QPoint>
#include <QPointer>
#include <QRectF>

#include <optional>

class QScreen;

// Screen geometry in the bottom-left-origin space (y up) that the HUD's
// placement rules are written in, and the conversion to Qt's top-left space.
namespace Screens {

// The visible frames (available geometry) of all screens, the primary first.
QList<QRectF> visibleFrames();

// One screen in the y-up space: its whole frame (to find the one under the
// pointer), its visible frame (to place a card), and Qt's screen, to notice
// when it goes away (none for a screen a test makes up).
struct Screen {
    QRectF frame;
    QRectF visibleFrame;
    QPointer<QScreen> screen;
};
// All screens, the primary first.
QList<Screen> all();
// Where the mouse pointer is, in the y-up space; none without a display.
std::optional<QPointF> pointer();

// Converts a bottom-left-origin rectangle to the top-left point Qt expects.
// The flip is about the primary screen's full height, so that one global
// space covers every screen.
QPoint toQtTopLeft(const QRectF &frame);

// The reverse: a rectangle in Qt's space as a bottom-left-origin rectangle.
QRectF fromQtRect(const QRectF &qtRect);

} // namespace Screens
