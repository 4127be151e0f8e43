#pragma once

#include <QByteArray>
#include <QString>
#include <QUrl>

#include <chrono>
#include <functional>
#include <optional>

// The proxy the desktop names for an address (GNOME's or KDE's settings, a
// PAC file, the environment), as the host's own libproxy works it out.
//
// Asked out of process, of Contents/bin/ferrowhistle-proxy: a release
// carries the libproxy Qt Network links, and that copy looks for its
// configuration and PAC plugins only where the build machine keeps them, so
// on another distribution or libproxy version (Debian 13 has 0.5, plugins
// built in) the desktop's settings would be lost. Opening the host's libproxy
// in this process instead could bind it to the older carried GLib and fail to
// load; the helper runs on the host's libraries alone. Where the host has no
// libproxy, or gives no answer, there is no choice here and the caller falls
// back to Qt's (the environment's variables).
class SystemProxy {
public:
    // A proxy as libcurl takes it: a URL with its scheme, host and port
    // (empty for a direct connection) and the credentials it carried.
    struct Choice {
        QByteArray proxy;
        QByteArray user;
        QByteArray password;
    };

    // Waits at most limit, and gives up early once stopped() says so.
    static std::optional<Choice> ask(const QUrl &url, std::chrono::milliseconds limit, const std::function<bool()> &stopped);

    // How libproxy's answer (one proxy URL a line, in order of preference)
    // reads for libcurl: the first proxy libcurl can use, or direct.
    // Nothing when the answer names none at all.
    static std::optional<Choice> fromAnswer(const QByteArray &answer);

    // The helper program asked; by default the one beside the running app.
    static void useProgram(const QString &path);
};
