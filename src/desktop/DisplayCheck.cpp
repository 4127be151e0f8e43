#include "desktop/DisplayCheck.h"

#include "platform/SystemError.h"
#include "platform/UniqueFd.h"

#include <QFile>
#include <QList>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <sys/socket.h>
#include <sys/un.h>
#include <xcb/xcb.h>

namespace {

QList<QByteArray> platforms()
{
    return qgetenv("QT_QPA_PLATFORM").split(';');
}

// The platform's name without its options ("xcb:foo=1" is xcb).
QByteArray nameOf(const QByteArray &platform)
{
    const qsizetype colon = platform.indexOf(':');
    return (colon < 0 ? platform : platform.first(colon)).trimmed();
}

bool isX11(const QByteArray &name) { return name == "xcb"; }
bool isWayland(const QByteArray &name) { return name.startsWith("wayland"); }

std::optional<QString> missingX11Display()
{
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

// The compositor's socket, found as libwayland-client finds it.
std::optional<QString> missingWaylandDisplay()
{
    QByteArray socketPath = qgetenv("WAYLAND_DISPLAY");
    if (socketPath.isEmpty())
        socketPath = "wayland-0";
    if (!socketPath.startsWith('/')) {
        const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
        if (runtime.isEmpty())
            return QStringLiteral("no Wayland display: XDG_RUNTIME_DIR is not set");
        socketPath = runtime + '/' + socketPath;
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (size_t(socketPath.size()) >= sizeof address.sun_path)
        return QStringLiteral("no Wayland display: its socket's path is too long");
    std::memcpy(address.sun_path, socketPath.constData(), size_t(socketPath.size()));
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd || ::connect(fd.get(), reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0)
        return QStringLiteral("no Wayland display: cannot connect to %1 (%2)")
            .arg(QFile::decodeName(socketPath), systemErrorText(errno));
    return std::nullopt;
}

} // namespace

std::optional<QString> missingDisplay()
{
    std::optional<QString> first;
    for (const QByteArray &platform : platforms()) {
        const QByteArray name = nameOf(platform);
        std::optional<QString> problem;
        if (isX11(name))
            problem = missingX11Display();
        else if (isWayland(name))
            problem = missingWaylandDisplay();
        else
            return std::nullopt; // one that can't be checked may work
        if (!problem)
            return std::nullopt;
        if (!first)
            first = problem;
    }
    return first;
}

bool displayCheckable()
{
    const QList<QByteArray> all = platforms();
    return std::all_of(all.begin(), all.end(), [](const QByteArray &p) { return isX11(nameOf(p)) || isWayland(nameOf(p)); });
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
