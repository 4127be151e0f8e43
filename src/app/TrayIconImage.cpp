#include "app/TrayIconImage.h"

#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace {

QImage bubble(int side)
{
    QImage image(side, side, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);

    const qreal s = side;
    const qreal rim = qMax(1.0, s / 16.0);
    // Body in the upper four fifths, the tail below it, centred.
    const QRectF body(rim / 2 + s * 0.06, rim / 2 + s * 0.10, s * 0.88 - rim, s * 0.64 - rim);
    QPainterPath path;
    path.addRoundedRect(body, body.height() * 0.42, body.height() * 0.42);
    QPainterPath tail;
    tail.moveTo(s * 0.38, body.bottom() - rim);
    tail.lineTo(s * 0.50, s * 0.92 - rim / 2);
    tail.lineTo(s * 0.62, body.bottom() - rim);
    tail.closeSubpath();
    path = path.united(tail);

    p.setPen(QPen(QColor(0x26, 0x26, 0x26), rim, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(Qt::white);
    p.drawPath(path);
    return image;
}

} // namespace

QIcon trayIconImage()
{
    QIcon icon;
    for (const int side : {16, 22, 24, 32, 48, 64})
        icon.addPixmap(QPixmap::fromImage(bubble(side)));
    return icon;
}
