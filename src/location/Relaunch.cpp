#include "location/Relaunch.h"

#include "platform/SystemError.h"

#include <QCoreApplication>
#include <QFile>

#include <vector>

#include <spawn.h>
#include <unistd.h>

extern char **environ;

QStringList Relauncher::command(qint64 pid, const QString &bundlePath)
{
    // Only the decimal process id is spliced into the script; the path
    // travels as $0, so spaces, quotes and "$" in it need no escaping.
    const QString script = QStringLiteral("while /bin/kill -0 %1 2>/dev/null; do /bin/sleep 0.2; done; "
                                          "exec \"$0/Contents/bin/Ferrowhistle\"")
                               .arg(pid);
    return {QStringLiteral("/bin/sh"), QStringLiteral("-c"), script, bundlePath};
}

QStringList Relauncher::watchedCommand(qint64 pid, const QString &bundlePath, const QString &previousPath, qint64 build,
                                      qint64 limitMs)
{
    const QString script = QStringLiteral("while /bin/kill -0 %1 2>/dev/null; do /bin/sleep 0.2; done; "
                                          "if [ -x \"$1/Contents/bin/Ferrowhistle\" ]; then "
                                          "exec \"$1/Contents/bin/Ferrowhistle\" --watch-start \"$0\" %2 %3; fi; "
                                          "exec \"$0/Contents/bin/Ferrowhistle\"")
                               .arg(pid)
                               .arg(build)
                               .arg(limitMs);
    return {QStringLiteral("/bin/sh"), QStringLiteral("-c"), script, bundlePath, previousPath};
}

void Relauncher::relaunch(const QString &bundlePath) const
{
    start(Relauncher::command(::getpid(), bundlePath));
}

void Relauncher::relaunchWatched(const QString &bundlePath, const QString &previousPath, qint64 build,
                                 qint64 limitMs) const
{
    start(Relauncher::watchedCommand(::getpid(), bundlePath, previousPath, build, limitMs));
}

void Relauncher::start(QStringList command) const
{
    command[0] = shell;
    std::vector<QByteArray> args;
    for (const QString &a : command)
        args.push_back(QFile::encodeName(a));
    std::vector<char *> argv;
    for (QByteArray &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    // A session of its own: the shell outlives us, and a signal meant for
    // our terminal or process group does not reach it. The environment and
    // the standard streams are inherited.
    posix_spawnattr_t attr;
    if (const int rc = posix_spawnattr_init(&attr); rc != 0)
        throw RelaunchError(QStringLiteral("Couldn't start the relaunch: ") + systemErrorText(rc));
    const struct Destroy {
        posix_spawnattr_t *attr;
        ~Destroy() { posix_spawnattr_destroy(attr); }
    } destroy{&attr};
    int rc = posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID);
    pid_t child = 0;
    // Without its own session the shell would share our fate; not started
    // at all is the better failure.
    if (rc == 0)
        rc = ::posix_spawn(&child, argv[0], nullptr, &attr, argv.data(), environ);
    if (rc != 0)
        throw RelaunchError(QStringLiteral("Couldn't start the relaunch: ") + systemErrorText(rc));
    if (terminate)
        terminate();
    else
        QCoreApplication::quit();
}
