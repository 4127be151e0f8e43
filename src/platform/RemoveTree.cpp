#include "platform/RemoveTree.h"

#include "platform/UniqueFd.h"

#include <QFile>

#include <cerrno>
#include <string>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int kDirFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// Removes everything inside the folder open as fd. Depth is bounded only by
// the file system; each level holds one descriptor, and a bundle is shallow.
bool emptyFolder(int fd, int &firstError)
{
    // A folder we own but cannot write (0555 in an unpacked tree) is opened
    // up for its own removal.
    struct stat st;
    if (::fstat(fd, &st) == 0 && (st.st_mode & S_IRWXU) != S_IRWXU)
        ::fchmod(fd, (st.st_mode & 07777) | S_IRWXU);

    const int dupFd = ::dup(fd);
    if (dupFd < 0) {
        firstError = firstError ? firstError : errno;
        return false;
    }
    DIR *dir = ::fdopendir(dupFd);
    if (!dir) {
        firstError = firstError ? firstError : errno;
        ::close(dupFd);
        return false;
    }
    std::vector<std::string> names;
    // readdir ends both at the end and on an error; only errno tells which.
    errno = 0;
    while (dirent *d = ::readdir(dir)) {
        const char *n = d->d_name;
        if (!((n[0] == '.' && n[1] == 0) || (n[0] == '.' && n[1] == '.' && n[2] == 0)))
            names.emplace_back(n);
        errno = 0;
    }
    const int readError = errno;
    ::closedir(dir);

    // What was listed still goes; the folder then stays, with the reason.
    bool ok = readError == 0;
    if (readError != 0)
        firstError = firstError ? firstError : readError;
    for (const std::string &name : names) {
        if (!removeTreeAt(fd, name.c_str())) {
            firstError = firstError ? firstError : errno;
            ok = false;
        }
    }
    return ok;
}

} // namespace

bool removeTreeAt(int dirFd, const char *name)
{
    if (::unlinkat(dirFd, name, 0) == 0)
        return true;
    if (errno == ENOENT)
        return true;
    if (errno != EISDIR && errno != EPERM)
        return false;
    // A folder (unlink refuses it with EISDIR, or EPERM on some systems).
    UniqueFd sub(::openat(dirFd, name, kDirFlags));
    if (!sub) {
        if (errno == ENOENT)
            return true;
        return false;
    }
    int firstError = 0;
    const bool emptied = emptyFolder(sub.get(), firstError);
    sub.reset();
    if (::unlinkat(dirFd, name, AT_REMOVEDIR) == 0 || errno == ENOENT)
        return true;
    if (!emptied && firstError)
        errno = firstError;
    return false;
}

bool removeTree(const QString &path)
{
    const QByteArray native = QFile::encodeName(path);
    if (native.isEmpty()) {
        errno = ENOENT;
        return true;
    }
    const int slash = native.lastIndexOf('/');
    const QByteArray parent = slash < 0 ? QByteArray(".") : (slash == 0 ? QByteArray("/") : native.left(slash));
    const QByteArray name = native.mid(slash + 1);
    if (name.isEmpty() || name == "." || name == "..") {
        errno = EINVAL;
        return false;
    }
    UniqueFd dir(::open(parent.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir)
        return errno == ENOENT;
    return removeTreeAt(dir.get(), name.constData());
}
