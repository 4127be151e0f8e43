#pragma once

#include <QList>
#include <QPoint>
#include <QRectF>

// Screen geometry in the bottom-left-origin space (y up) that the HUD's
// placement rules are written in, and the conversion to Qt's top-left space.
namespace Screens {

// The visible frames (available geometry) of all screens, the primary first.
QList<QRectF> visibleFrames();

// Converts a bottom-left-origin rectangle to the top-left point Qt expects.
// The flip is about the primary screen's full height, so that one global
// space covers every screen.
QPoint toQtTopLeft(const QRectF &frame);

// The reverse: a rectangle in Qt's space as a bottom-left-origin rectangle.
QRectF fromQtRect(const QRectF &qtRect);

} // namespace Screens
