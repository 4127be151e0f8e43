#include "desktop/DisplayCheck.h"

#include <xcb/xcb.h>

std::optional<QString> missingDisplay()
{
    if (!qgetenv("QT_QPA_PLATFORM").startsWith("xcb"))
        return std::nullopt;
    const QByteArray display = qgetenv("DISPLAY");
    if (display.isEmpty())
        return QStringLiteral("no display: DISPLAY is not set");
    xcb_connection_t *connection = xcb_connect(display.constData(), nullptr);
    const int error = xcb_connection_has_error(connection);
    xcb_disconnect(connection);
    if (error != 0)
        return QStringLiteral("no display: cannot connect to the X server at DISPLAY=%1").arg(QString::fromLocal8Bit(display));
    return std::nullopt;
}

DisplayHold::~DisplayHold()
{
    if (m_connection)
        xcb_disconnect(m_connection);
}

void DisplayHold::hold()
{
    if (m_connection && xcb_connection_has_error(m_connection) == 0)
        return;
    if (m_connection)
        xcb_disconnect(m_connection);
    m_connection = nullptr;
    const QByteArray display = qgetenv("DISPLAY");
    if (!display.isEmpty())
        m_connection = xcb_connect(display.constData(), nullptr);
}
