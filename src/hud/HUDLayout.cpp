#include "hud/HUDLayout.h"

#include <algorithm>
#include <cmath>

namespace HUDLayout {

CardGeometry cardGeometry(QSizeF measuredText)
{
    const double textWidth = std::min(std::ceil(measuredText.width()) + kTextSlack, kMaxTextWidth);
    const double textHeight = std::ceil(measuredText.height()) + kTextSlack;
    const double width = textWidth + kExtraWidth;
    const double height = std::max(textHeight, kIconSize) + kExtraHeight;
    CardGeometry g;
    g.size = QSizeF(width, height);
    g.iconFrame = QRectF(kLeftInset, (height - kIconSize) * 0.5, kIconSize, kIconSize);
    g.textFrame = QRectF(kTextX, (height - textHeight) * 0.5, textWidth, textHeight);
    return g;
}

double maxTextHeight(const QRectF &frame)
{
    // The card adds the slack (before rounding up) and its extra height.
    return std::floor(frame.height() - 2 * kScreenMargin - kExtraHeight - kTextSlack);
}

QPointF placement(HUDPosition position, const QRectF &frame, QSizeF panel)
{
    const double m = kScreenMargin;
    const double w = panel.width();
    const double h = panel.height();
    // QRectF's top() is the smaller y; in this space that is the bottom edge.
    const double minX = frame.left();
    const double maxX = frame.left() + frame.width();
    const double minY = frame.top();
    const double maxY = frame.top() + frame.height();
    const double midX = minX + frame.width() * 0.5;
    const double midY = minY + frame.height() * 0.5;

    const double centredX = midX - w * 0.5;
    const double centredY = midY - h * 0.5;
    const double leftX = minX + m;
    const double rightX = maxX - m - w;
    const double topY = maxY - m - h;
    const double bottomY = minY + m;

    switch (position) {
    case HUDPosition::center: return {centredX, centredY};
    case HUDPosition::top: return {centredX, topY};
    case HUDPosition::bottom: return {centredX, bottomY};
    case HUDPosition::left: return {leftX, centredY};
    case HUDPosition::right: return {rightX, centredY};
    case HUDPosition::topLeft: return {leftX, topY};
    case HUDPosition::topRight: return {rightX, topY};
    case HUDPosition::bottomLeft: return {leftX, bottomY};
    case HUDPosition::bottomRight: return {rightX, bottomY};
    }
    return {centredX, centredY};
}

} // namespace HUDLayout
