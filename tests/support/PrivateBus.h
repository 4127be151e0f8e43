#pragma once

#include <QDBusConnection>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

// A dbus-daemon of the test's own, with its own socket and activation folder,
// so nothing reaches the user's session bus or the services installed in
// their home. Processes started with environment() talk to it, and so do
// processes it activates (they inherit its environment).
class PrivateBus {
public:
    // root: a private folder for the socket and config; serviceDir: where
    // the bus looks for .service files (may be empty, or not exist yet).
    PrivateBus(const QString &root, const QString &serviceDir);
    ~PrivateBus();
    PrivateBus(const PrivateBus &) = delete;
    PrivateBus &operator=(const PrivateBus &) = delete;

    bool isRunning() const { return m_connected; }
    QString address() const { return m_address; }
    // This process's connection to the bus.
    QDBusConnection connection() const;
    QProcessEnvironment environment() const;

    // Waits until the name has an owner (or has none); false on timeout.
    bool waitForOwner(const QString &name, int timeoutMs = 30000) const;
    bool waitForNoOwner(const QString &name, int timeoutMs = 30000) const;
    // The process id of the name's owner, 0 when it has none.
    qint64 ownerPid(const QString &name) const;

private:
    QProcess m_daemon;
    QString m_address;
    QString m_connectionName;
    bool m_connected = false;
};

// The app from the built bundle, started on a bus; killed on destruction if
// still running.
class AppProcess {
public:
    explicit AppProcess(const QProcessEnvironment &env, const QStringList &arguments = {});
    ~AppProcess();
    QProcess &process() { return m_process; }
    static QString appPath();
    static QString clientPath();

private:
    QProcess m_process;
};

// Sends SIGTERM to a process that is not our child and waits for it to go.
void terminatePid(qint64 pid);
