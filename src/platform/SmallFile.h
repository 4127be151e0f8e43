#pragma once

#include <QByteArray>
#include <QString>

#include <fcntl.h>
#include <sys/types.h>

// A small file (a property list, a JSON record, a signature) read whole.
// The file is opened without following a link in its last component and
// without blocking, so a FIFO or a device put under the name can neither
// hang the reader nor be read; only a regular file of at most maxBytes is
// taken.
struct SmallFile {
    enum class Status { Read, Missing, NotRegular, TooLarge, Unreadable };
    Status status = Status::Missing;
    QByteArray bytes; // with Read
    int error = 0;    // errno, with Missing and Unreadable
    mode_t mode = 0;  // of the opened file, with Read and TooLarge
    uid_t owner = 0;

    bool ok() const { return status == Status::Read; }
};

// A link as the last component is refused (read as NotRegular) unless the
// caller's file may be one: the settings file kept by a dotfile manager.
enum class LastLink { Refuse, Follow };

// name is relative to dirFd (AT_FDCWD: the working folder), or absolute.
SmallFile readSmallFileAt(int dirFd, const char *name, qint64 maxBytes, LastLink links = LastLink::Refuse);
SmallFile readSmallFile(const QString &path, qint64 maxBytes, LastLink links = LastLink::Refuse);
