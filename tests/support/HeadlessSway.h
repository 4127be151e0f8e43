#pragma once

#include "support/ProgramRun.h"

#include <QList>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <optional>

// A Wayland compositor of the test's own: sway on wlroots' headless backend
// with the pixman renderer, so it needs no GPU, seat or display. sway
// refuses to run as root, and the tests run as root: it then runs as nobody,
// with a runtime folder of its own (0700, nobody's) under /tmp, since a
// test's own folder is closed to that user. Root reaches its sockets all the
// same, as any client of the session would. Stops the compositor when it
// goes.
class HeadlessSway {
public:
    // Starts sway with that many outputs; config holds lines for its
    // configuration (XWayland is off unless a line turns it on).
    explicit HeadlessSway(int outputs = 1, const QStringList &config = {});
    ~HeadlessSway();
    HeadlessSway(const HeadlessSway &) = delete;
    HeadlessSway &operator=(const HeadlessSway &) = delete;

    // Why sway can't run here at all (not installed), as a test's skip
    // message; nothing when it can.
    static std::optional<QString> unavailable();

    bool isRunning() const { return m_server.state() != QProcess::NotRunning && m_ready; }
    // Why it did not start: what went wrong, and the end of sway's log.
    QString failure() const { return m_failure; }
    QString runtimeFolder() const { return m_runtime.path(); }
    // The compositor's socket's name in the runtime folder ("wayland-1").
    QString socketName() const { return m_socket; }
    // base with this session's XDG_RUNTIME_DIR, WAYLAND_DISPLAY and SWAYSOCK,
    // and Qt on its Wayland platform; no DISPLAY, so nothing reaches an X
    // server by mistake.
    QProcessEnvironment environment(QProcessEnvironment base = QProcessEnvironment::systemEnvironment()) const;

    // Runs a client (swaymsg, grim) in this session.
    ProgramRun run(const QString &program, const QStringList &args) const;
    // The processes of the windows sway manages now.
    QList<qint64> windowPids() const;

    // Ends the compositor, as a logout does: its clients lose the
    // connection and its sockets go. True once it has ended.
    bool stop();

private:
    QTemporaryDir m_runtime{QStringLiteral("/tmp/fw-sway-XXXXXX")};
    QProcess m_server;
    QString m_socket;
    QString m_ipc;
    QString m_failure;
    bool m_ready = false;
};
