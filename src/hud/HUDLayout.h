#pragma once

#include "hud/HUDPosition.h"

#include <QPointF>
#include <QRectF>
#include <QSizeF>

// The card's geometry rules, in points with the origin at the bottom left
// (y up). Pure functions, so the numbers can be checked without a screen.
namespace HUDLayout {

inline constexpr double kMaxTextWidth = 530;
inline constexpr double kTextSlack = 2;
inline constexpr double kIconSize = 52;
inline constexpr double kLeftInset = 22;
inline constexpr double kTextX = 88;
inline constexpr double kExtraWidth = 110;
inline constexpr double kExtraHeight = 36;
inline constexpr double kCornerRadius = 14;
inline constexpr double kCardAlpha = 0.78;
inline constexpr double kScreenMargin = 40;
inline constexpr int kFontPixelSize = 28;

struct CardGeometry {
    QSizeF size;      // the whole card (and panel)
    QRectF iconFrame; // within the card, y up
    QRectF textFrame; // within the card, y up
};

// From the wrapped text's measured size to the card: the text frame is the
// measured size rounded up plus the slack, its width capped at 530; the card
// adds 110 in width and 36 in height to max(text height, icon size).
CardGeometry cardGeometry(QSizeF measuredText);

// The tallest text a card may hold on a screen with this visible frame: a
// card of that text fits between the margins above and below it. Text
// beyond it could not be seen, so it is not laid out.
double maxTextHeight(const QRectF &visibleFrame);

// The panel's origin for a position on a screen's visible frame. Not
// clamped: a card larger than the frame overhangs it.
QPointF placement(HUDPosition position, const QRectF &visibleFrame, QSizeF panelSize);

} // namespace HUDLayout
