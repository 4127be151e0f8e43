#include "desktop/Screens.h"

#include <QCursor>
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

QList<Screen> all()
{
    QList<Screen> out;
    const auto add = [&out](QScreen *s) {
        out.append(Screen{fromQtRect(s->geometry()), fromQtRect(s->availableGeometry()), s});
    };
    QScreen *primary = QGuiApplication::primaryScreen();
    if (primary)
        add(primary);
    for (QScreen *s : QGuiApplication::screens()) {
        if (s != primary)
            add(s);
    }
    return out;
}

std::optional<QPointF> pointer()
{
    if (!QGuiApplication::primaryScreen())
        return std::nullopt;
    const QPoint p = QCursor::pos();
    // The pixel's centre, so that the point lies inside the screen it is on.
    return QPointF(p.x() + 0.5, flipHeight() - p.y() - 0.5);
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
