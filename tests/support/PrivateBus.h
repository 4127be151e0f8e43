#pragma once

#include <QDBusConnection>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>

// A dbus-daemon of the test's own, with its own socket and activation folder,
// so nothing reaches the user's session bus or the services in their home.
// Processes started with environment() use it, and so do the ones it
// activates (they inherit its environment). Stops the app it knows of, and
// itself, when it goes.
class PrivateBus {
public:
    PrivateBus(const QString &root, const QString &serviceDir);
    ~PrivateBus();

    bool isRunning() const { return m_connected; }
    QString address() const { return m_address; }
    QDBusConnection connection() const { return QDBusConnection(m_name); }
    QProcessEnvironment environment() const;

    // The process that owns the app's bus name, 0 when none does.
    qint64 appPid() const;
    bool waitForApp(bool running) const;
    // SIGTERM to the app's process (ours or not) and wait for the name to go.
    void stopApp() const;

private:
    QProcess m_daemon;
    QString m_address;
    QString m_name;
    bool m_connected = false;
};

// A program of the built bundle's Contents/bin.
QString bundleProgram(const QString &name);
