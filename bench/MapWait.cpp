// fw-bench-mapwait NAME PROGRAM [ARGS...]: starts PROGRAM, prints the
// milliseconds until a top-level window named NAME is mapped, then stops
// PROGRAM (whatever PROGRAM started itself is left to the caller).
// Milliseconds to a tenth.
//
// The map is noticed from the X server's own notice of it (the root's
// substructure events), not by asking for the window tree over and over:
// that would load the server the program is starting on, and round each
// figure up to the next time it asked.
#include "support/X11Windows.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QSet>

#include <poll.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

namespace {

struct FreeDeleter {
    void operator()(void *p) const { std::free(p); }
};
template <typename T>
using Owned = std::unique_ptr<T, FreeDeleter>;

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 3) {
        std::fprintf(stderr, "usage: fw-bench-mapwait NAME PROGRAM [ARGS...]\n");
        return 2;
    }
    X11Client x;
    if (!x.isConnected()) {
        std::fprintf(stderr, "fw-bench-mapwait: no X display\n");
        return 1;
    }
    xcb_connection_t *c = x.connection();
    const QString name = args.at(1);

    // Listening before the program starts, confirmed by a round trip.
    const uint32_t rootMask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
    xcb_change_window_attributes(c, x.root(), XCB_CW_EVENT_MASK, &rootMask);
    std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));

    QProcess program;
    program.setProcessChannelMode(QProcess::ForwardedChannels);
    QElapsedTimer clock;
    clock.start();
    program.start(args.at(2), args.mid(3));
    if (!program.waitForStarted()) {
        std::fprintf(stderr, "fw-bench-mapwait: cannot start %s\n", qPrintable(args.at(2)));
        return 1;
    }

    // Windows mapped under another name so far: a program may name its
    // window only after mapping it, so their name changes are watched too.
    QSet<xcb_window_t> mappedUnnamed;
    const uint32_t propertyMask = XCB_EVENT_MASK_PROPERTY_CHANGE;
    int status = 1;
    while (status != 0 && clock.elapsed() < 60000) {
        pollfd fd{xcb_get_file_descriptor(c), POLLIN, 0};
        ::poll(&fd, 1, 50);
        while (Owned<xcb_generic_event_t> event{xcb_poll_for_event(c)}) {
            const uint8_t type = event->response_type & 0x7f;
            xcb_window_t candidate = XCB_WINDOW_NONE;
            if (type == XCB_MAP_NOTIFY) {
                candidate = reinterpret_cast<xcb_map_notify_event_t *>(event.get())->window;
            } else if (type == XCB_PROPERTY_NOTIFY) {
                const auto *p = reinterpret_cast<xcb_property_notify_event_t *>(event.get());
                if (p->atom == XCB_ATOM_WM_NAME && mappedUnnamed.contains(p->window))
                    candidate = p->window;
            } else if (type == XCB_UNMAP_NOTIFY) {
                mappedUnnamed.remove(reinterpret_cast<xcb_unmap_notify_event_t *>(event.get())->window);
            }
            if (candidate == XCB_WINDOW_NONE)
                continue;
            if (x.windowName(candidate) == name) {
                std::printf("%.1f\n", double(clock.nsecsElapsed()) / 1e6);
                status = 0;
                break;
            }
            if (!mappedUnnamed.contains(candidate)) {
                mappedUnnamed.insert(candidate);
                xcb_change_window_attributes(c, candidate, XCB_CW_EVENT_MASK, &propertyMask);
                xcb_flush(c);
            }
        }
        if (xcb_connection_has_error(c)) {
            std::fprintf(stderr, "fw-bench-mapwait: lost the X connection\n");
            break;
        }
        // A window manager would map the program's window inside a frame of
        // its own, out of the root's sight: looked for the slow way too.
        if (status != 0 && fd.revents == 0 && !x.mappedWindowsNamed(name).isEmpty()) {
            std::printf("%.1f\n", double(clock.nsecsElapsed()) / 1e6);
            status = 0;
        }
    }
    program.kill();
    program.waitForFinished();
    if (status != 0)
        std::fprintf(stderr, "fw-bench-mapwait: no window named %s within 60 s\n", qPrintable(name));
    return status;
}
