#include "platform/CopyTree.h"

#include "platform/FileIO.h"
#include "platform/RemoveTree.h"
#include "platform/SystemError.h"
#include "platform/UniqueFd.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// What failed and why, in the words the error is shown with.
struct Failure {
    int error;
    std::string path;
};

[[noreturn]] void fail(const std::string &path, int error = errno) { throw Failure{error, path}; }

const mode_t kPermissionBits = 0777;

void keepTimes(int fd, const struct stat &st, const std::string &path)
{
    const timespec times[2] = {st.st_atim, st.st_mtim};
    if (::futimens(fd, times) != 0)
        fail(path);
}

// Moves the bytes with copy_file_range (in the kernel, or shared extents
// where the file system can), falling back to plain reads and writes where
// the two file systems cannot do that between them.
void copyBytes(int from, int to, off_t size, const std::string &path)
{
    off_t left = size;
    while (left > 0) {
        const ssize_t n = ::copy_file_range(from, nullptr, to, nullptr, size_t(left), 0);
        if (n > 0) {
            left -= n;
            continue;
        }
        if (n == 0)
            break; // the file shrank under us; what is left is read below
        if (errno == EINTR)
            continue;
        if (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP || errno == EBADF)
            break;
        fail(path);
    }
    std::vector<char> buffer(1 << 20);
    for (;;) {
        const long long n = readFull(from, buffer.data(), buffer.size());
        if (n < 0)
            fail(path);
        if (n == 0)
            return;
        if (!writeAll(to, buffer.data(), size_t(n)))
            fail(path);
        if (size_t(n) < buffer.size())
            return;
    }
}

void copyEntry(int fromDir, const char *fromName, int toDir, const char *toName, const std::string &path);

void copyFile(int fromDir, const char *fromName, int toDir, const char *toName, const struct stat &st,
              const std::string &path)
{
    UniqueFd from(::openat(fromDir, fromName, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY));
    if (!from)
        fail(path);
    struct stat opened;
    if (::fstat(from.get(), &opened) != 0)
        fail(path);
    // Replaced between the look and the open: copy nothing we did not look at.
    if (!S_ISREG(opened.st_mode) || opened.st_ino != st.st_ino || opened.st_dev != st.st_dev)
        fail(path, EAGAIN);
    UniqueFd to(::openat(toDir, toName, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!to)
        fail(path);
    copyBytes(from.get(), to.get(), opened.st_size, path);
    if (::fchmod(to.get(), opened.st_mode & kPermissionBits) != 0)
        fail(path);
    keepTimes(to.get(), opened, path);
    if (to.close() != 0)
        fail(path);
}

void copyLink(int fromDir, const char *fromName, int toDir, const char *toName, const struct stat &st,
              const std::string &path)
{
    std::vector<char> target(size_t(st.st_size) + 2);
    for (;;) {
        const ssize_t n = ::readlinkat(fromDir, fromName, target.data(), target.size());
        if (n < 0)
            fail(path);
        if (size_t(n) < target.size()) {
            target[size_t(n)] = '\0';
            break;
        }
        target.resize(target.size() * 2); // it grew since the look
    }
    if (::symlinkat(target.data(), toDir, toName) != 0)
        fail(path);
    const timespec times[2] = {st.st_atim, st.st_mtim};
    // Not every file system keeps times on links; the copy does not depend on it.
    ::utimensat(toDir, toName, times, AT_SYMLINK_NOFOLLOW);
}

void copyFolder(int fromDir, const char *fromName, int toDir, const char *toName, const std::string &path)
{
    UniqueFd from(::openat(fromDir, fromName, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!from)
        fail(path);
    struct stat st;
    if (::fstat(from.get(), &st) != 0)
        fail(path);
    // Made open to us first: a folder that is to end up read-only still has
    // to take its entries.
    if (::mkdirat(toDir, toName, 0700) != 0)
        fail(path);
    UniqueFd to(::openat(toDir, toName, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!to)
        fail(path);

    UniqueFd listing(::dup(from.get()));
    if (!listing)
        fail(path);
    DIR *dir = ::fdopendir(listing.get());
    if (!dir)
        fail(path); // the duplicate is closed with `listing`
    listing.release(); // closedir closes it from here
    std::vector<std::string> names;
    errno = 0;
    while (dirent *d = ::readdir(dir)) {
        if (std::strcmp(d->d_name, ".") != 0 && std::strcmp(d->d_name, "..") != 0)
            names.emplace_back(d->d_name);
        errno = 0;
    }
    const int readError = errno;
    ::closedir(dir);
    if (readError != 0)
        fail(path, readError);

    for (const std::string &name : names)
        copyEntry(from.get(), name.c_str(), to.get(), name.c_str(), path + '/' + name);
    if (::fchmod(to.get(), st.st_mode & kPermissionBits) != 0)
        fail(path);
    keepTimes(to.get(), st, path);
}

void copyEntry(int fromDir, const char *fromName, int toDir, const char *toName, const std::string &path)
{
    struct stat st;
    if (::fstatat(fromDir, fromName, &st, AT_SYMLINK_NOFOLLOW) != 0)
        fail(path);
    if (S_ISDIR(st.st_mode))
        copyFolder(fromDir, fromName, toDir, toName, path);
    else if (S_ISREG(st.st_mode))
        copyFile(fromDir, fromName, toDir, toName, st, path);
    else if (S_ISLNK(st.st_mode))
        copyLink(fromDir, fromName, toDir, toName, st, path);
    else
        throw Failure{0, path};
}

} // namespace

void copyTree(const QString &source, const QString &target)
{
    const QByteArray from = QFile::encodeName(source);
    const QByteArray to = QFile::encodeName(target);
    struct stat st;
    if (::lstat(to.constData(), &st) == 0)
        throw CopyError(systemErrorText(EEXIST), target);
    try {
        copyEntry(AT_FDCWD, from.constData(), AT_FDCWD, to.constData(), from.toStdString());
    } catch (const Failure &f) {
        if (::lstat(to.constData(), &st) == 0)
            removeTree(target);
        const QString where = QFile::decodeName(QByteArray::fromStdString(f.path));
        throw CopyError(f.error == 0 ? QStringLiteral("not a file, folder or link")
                                     : systemErrorText(f.error),
                        where);
    }
}
