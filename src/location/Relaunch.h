#pragma once

#include <QString>
#include <QStringList>

#include <functional>
#include <stdexcept>

// Starts the app again from a bundle once this process has gone: a shell of
// its own session waits for this process id, then runs the bundle's
// Contents/bin/Ferrowhistle. The updater relaunches the copy it has just put
// in place; the move to Applications relaunches the copy it has just made.
class Relauncher {
public:
    // The shell that waits and opens the bundle again.
    QString shell = QStringLiteral("/bin/sh");
    // Ends the process once the shell runs: leaves the event loop, so the
    // bus name is released and the exit status is 0. Empty: quit the
    // application.
    std::function<void()> terminate;

    // Throws RelaunchError when the shell cannot be started; the process
    // then keeps running.
    void relaunch(const QString &bundlePath) const;
    // The same after an update: once this process has gone, the kept copy's
    // own program (code that is known to run) starts the new copy at
    // bundlePath and watches it prove that it started, within limitMs, as
    // build `build`; otherwise it puts the kept copy back. Without a kept
    // program the new copy is started as relaunch() does.
    void relaunchWatched(const QString &bundlePath, const QString &previousPath, qint64 build, qint64 limitMs) const;

    // The command for a process id and a bundle path: the program and its
    // arguments, the path passed as $0 so that it needs no quoting.
    static QStringList command(qint64 pid, const QString &bundlePath);
    // The watched command: the paths travel as $0 and $1; only integers are
    // spliced into the script.
    static QStringList watchedCommand(qint64 pid, const QString &bundlePath, const QString &previousPath, qint64 build,
                                      qint64 limitMs);

private:
    void start(QStringList command) const;
};

class RelaunchError : public std::runtime_error {
public:
    explicit RelaunchError(const QString &description)
        : std::runtime_error(description.toStdString()), m_description(description) {}
    const QString &description() const { return m_description; }

private:
    QString m_description;
};
