#pragma once

#include <QString>
#include <QStringList>

#include <functional>
#include <stdexcept>

// Starts the app again from a bundle once this process has gone: a shell of
// its own session waits for this process to end, then runs the bundle's
// Contents/bin/Ferrowhistle. The updater relaunches the copy it has just put
// in place; the move to Applications relaunches the copy it has just made.
//
// The shell does not wait on the process id: an exited process whose parent
// never reaps it still answers to its id. It waits on a pipe instead. This
// process keeps the write end for the rest of its life (close-on-exec, so
// nothing it starts later holds it) and the shell gets only the read end, as
// descriptor kWaitFd; the kernel closes the write end when the process exits,
// reaped or not, and the shell's read ends there.
class Relauncher {
public:
    // The descriptor the shell reads until end of file.
    static constexpr int kWaitFd = 3;

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
    //
    // The watch (`--watch-start BUNDLE BUILD LIMIT_MS`) is run, not exec'd,
    // and its exit status is a contract: 0 when it started a program (the
    // new copy that proved its start, the kept copy it put back, or the
    // bundle as it is), anything else when nothing was started: a command
    // line it refused (status 2), a program that could not be started, a
    // copy it could not put back, or a watch that died. Then the shell starts
    // the bundle's own program itself, so an update never ends with nothing
    // running.
    void relaunchWatched(const QString &bundlePath, const QString &previousPath, qint64 build, qint64 limitMs) const;

    // The command for a bundle path: the program and its arguments, the
    // path passed as $0 so that it needs no quoting. It expects kWaitFd open
    // on the read end of the pipe it waits on.
    static QStringList command(const QString &bundlePath);
    // The watched command: the paths travel as $0 and $1; only integers are
    // spliced into the script.
    static QStringList watchedCommand(const QString &bundlePath, const QString &previousPath, qint64 build, qint64 limitMs);

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
