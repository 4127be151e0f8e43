#include "location/Relaunch.h"

#include "platform/SystemError.h"
#include "platform/UniqueFd.h"

#include <QCoreApplication>
#include <QFile>

#include <cerrno>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <unistd.h>

extern char **environ;

namespace {

// Reads the wait descriptor until end of file: until every copy of the
// write end has gone, which is when the process that held it has exited.
// The descriptor is closed again for whatever the shell starts next.
QString waitScript()
{
    return QStringLiteral("while read -r _ <&%1; do :; done; exec %1<&-; ").arg(Relauncher::kWaitFd);
}

} // namespace

QStringList Relauncher::command(const QString &bundlePath)
{
    // The path travels as $0, so spaces, quotes and "$" in it need no
    // escaping.
    const QString script = waitScript() + QStringLiteral("exec \"$0/Contents/bin/Ferrowhistle\"");
    return {QStringLiteral("/bin/sh"), QStringLiteral("-c"), script, bundlePath};
}

QStringList Relauncher::watchedCommand(const QString &bundlePath, const QString &previousPath, qint64 build,
                                      qint64 limitMs)
{
    // The watch returns 0 only when it started something; on any other end
    // the bundle's own program is started, as without a kept copy.
    const QString script = waitScript()
                           + QStringLiteral("if [ -x \"$1/Contents/bin/Ferrowhistle\" ]; then "
                                            "\"$1/Contents/bin/Ferrowhistle\" --watch-start \"$0\" %1 %2 && exit 0; fi; "
                                            "exec \"$0/Contents/bin/Ferrowhistle\"")
                                 .arg(build)
                                 .arg(limitMs);
    return {QStringLiteral("/bin/sh"), QStringLiteral("-c"), script, bundlePath, previousPath};
}

void Relauncher::relaunch(const QString &bundlePath) const
{
    start(Relauncher::command(bundlePath));
}

void Relauncher::relaunchWatched(const QString &bundlePath, const QString &previousPath, qint64 build,
                                 qint64 limitMs) const
{
    start(Relauncher::watchedCommand(bundlePath, previousPath, build, limitMs));
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

    const auto failed = [](int error) {
        return RelaunchError(QStringLiteral("Couldn't start the relaunch: ") + systemErrorText(error));
    };
    // Both ends close-on-exec, from the start: a process another thread
    // starts meanwhile must not hold the write end, or the shell would wait
    // for that process too.
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0)
        throw failed(errno);
    UniqueFd readEnd(ends[0]);
    UniqueFd writeEnd(ends[1]);
    // dup2 onto itself would keep close-on-exec, and the shell would find
    // nothing there.
    if (readEnd.get() == kWaitFd) {
        UniqueFd moved(::fcntl(readEnd.get(), F_DUPFD_CLOEXEC, kWaitFd + 1));
        if (!moved)
            throw failed(errno);
        readEnd = std::move(moved);
    }

    // A session of its own: the shell outlives us, and a signal meant for
    // our terminal or process group does not reach it. The environment and
    // the standard streams are inherited; of the pipe, only the read end.
    posix_spawnattr_t attr;
    if (const int rc = posix_spawnattr_init(&attr); rc != 0)
        throw failed(rc);
    const struct DestroyAttr {
        posix_spawnattr_t *attr;
        ~DestroyAttr() { posix_spawnattr_destroy(attr); }
    } destroyAttr{&attr};
    posix_spawn_file_actions_t actions;
    if (const int rc = posix_spawn_file_actions_init(&actions); rc != 0)
        throw failed(rc);
    const struct DestroyActions {
        posix_spawn_file_actions_t *actions;
        ~DestroyActions() { posix_spawn_file_actions_destroy(actions); }
    } destroyActions{&actions};
    int rc = posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID);
    if (rc == 0)
        rc = posix_spawn_file_actions_adddup2(&actions, readEnd.get(), kWaitFd);
    pid_t child = 0;
    // Without its own session the shell would share our fate; not started
    // at all is the better failure.
    if (rc == 0)
        rc = ::posix_spawn(&child, argv[0], &actions, &attr, argv.data(), environ);
    if (rc != 0)
        throw failed(rc);
    // Held until the process exits, when the kernel closes it: that is the
    // end of file the shell waits for.
    writeEnd.release();
    if (terminate)
        terminate();
    else
        QCoreApplication::quit();
}
