#include "platform/SmallFile.h"

#include "platform/FileIO.h"
#include "platform/UniqueFd.h"

#include <QFile>

#include <algorithm>
#include <cerrno>

#include <sys/stat.h>

SmallFile readSmallFileAt(int dirFd, const char *name, qint64 maxBytes, LastLink links)
{
    SmallFile out;
    const int follow = links == LastLink::Follow ? 0 : O_NOFOLLOW;
    const UniqueFd fd(::openat(dirFd, name, O_RDONLY | O_CLOEXEC | follow | O_NONBLOCK | O_NOCTTY));
    if (!fd) {
        out.error = errno;
        // ELOOP: the last component is a link, which is never followed.
        out.status = out.error == ENOENT || out.error == ENOTDIR ? SmallFile::Status::Missing
                     : out.error == ELOOP                          ? SmallFile::Status::NotRegular
                                                                   : SmallFile::Status::Unreadable;
        return out;
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) {
        out.error = errno;
        out.status = SmallFile::Status::Unreadable;
        return out;
    }
    if (!S_ISREG(st.st_mode)) {
        out.status = SmallFile::Status::NotRegular;
        return out;
    }
    out.mode = st.st_mode;
    out.owner = st.st_uid;
    if (st.st_size > maxBytes) {
        out.status = SmallFile::Status::TooLarge;
        return out;
    }
    // One byte over the size seen tells a file that grew since fstat; it is
    // still read up to the cap.
    QByteArray bytes(qsizetype(st.st_size) + 1, Qt::Uninitialized);
    qsizetype used = 0;
    for (;;) {
        const long long n = readFull(fd.get(), bytes.data() + used, size_t(bytes.size() - used));
        if (n < 0) {
            out.error = errno;
            out.status = SmallFile::Status::Unreadable;
            return out;
        }
        used += qsizetype(n);
        if (used < bytes.size())
            break;
        if (used > maxBytes) {
            out.status = SmallFile::Status::TooLarge;
            return out;
        }
        bytes.resize(qsizetype(std::min<qint64>(maxBytes + 1, qint64(bytes.size()) * 2)));
    }
    bytes.truncate(used);
    out.bytes = std::move(bytes);
    out.status = SmallFile::Status::Read;
    return out;
}

SmallFile readSmallFile(const QString &path, qint64 maxBytes, LastLink links)
{
    return readSmallFileAt(AT_FDCWD, QFile::encodeName(path).constData(), maxBytes, links);
}
