#include "platform/Screens.h"

#include <QGuiApplication>
#include <QScreen>

#include <cmath>

namespace {

double flipHeight()
{
    const QScreen *primary = QGuiApplication::primaryScreen();
    if (!primary)
        return 0;
    const QRect g = primary->geometry();
    return g.y() + g.height();
}

} // namespace

namespace Screens {

QList<QRectF> visibleFrames()
{
    QList<QRectF> frames;
    const QScreen *primary = QGuiApplication::primaryScreen();
    if (primary)
        frames.append(fromQtRect(primary->availableGeometry()));
    for (const QScreen *s : QGuiApplication::screens()) {
        if (s != primary)
            frames.append(fromQtRect(s->availableGeometry()));
    }
    return frames;
}

QPoint toQtTopLeft(const QRectF &frame)
{
    const double y = flipHeight() - frame.y() - frame.height();
    return QPoint(static_cast<int>(std::lround(frame.x())), static_cast<int>(std::lround(y)));
}

QRectF fromQtRect(const QRectF &qtRect)
{
    return QRectF(qtRect.x(), flipHeight() - qtRect.y() - qtRect.height(), qtRect.width(), qtRect.height());
}

} // namespace Screens
