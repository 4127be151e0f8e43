#pragma once

#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

// An X server of the test's own with several monitors: Xorg on Debian's
// dummy video driver, whose sixteen RandR outputs (DUMMY0...) Qt reports as
// screens; Xvfb has one. It writes its own configuration (no input devices,
// no VT switching), so it starts as root without a display manager. Stops
// the server when it goes.
class DummyXorg {
public:
    // Starts the server in root (a folder of the test's own).
    explicit DummyXorg(const QString &root);
    ~DummyXorg();
    DummyXorg(const DummyXorg &) = delete;
    DummyXorg &operator=(const DummyXorg &) = delete;

    bool isRunning() const { return m_running; }
    // Why it did not start: what Xorg said, and the end of its log.
    QString failure() const { return m_failure; }
    // ":N", for DISPLAY.
    QString display() const { return m_display; }
    // The environment with DISPLAY set to this server.
    QProcessEnvironment environment(QProcessEnvironment base = QProcessEnvironment::systemEnvironment()) const;

    // Runs a client program (xrandr, xdotool) against this server; true
    // when it exits 0. Its stderr goes to error when given.
    bool run(const QString &program, const QStringList &args, QString *error = nullptr) const;
    // Two monitors of 1280 x 1024, DUMMY1 right of DUMMY0.
    bool useTwoMonitors(QString *error = nullptr) const;

private:
    QProcess m_server;
    QString m_display;
    QString m_log;
    QString m_failure;
    bool m_running = false;
};
