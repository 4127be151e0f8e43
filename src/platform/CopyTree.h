#pragma once

#include <QString>

#include <stdexcept>

// Copies the entry at source to target, which must not exist yet: folders,
// regular files and symbolic links, with their permission bits and
// modification times. A link is copied as a link, never followed, at any
// depth. Anything else (a device, a FIFO, a socket) is refused, since an
// application bundle has no business holding one.
//
// Throws CopyError with the system's description of what failed and the
// entry it failed on; whatever had been made at target is removed first, so a
// failed copy leaves nothing behind.
void copyTree(const QString &source, const QString &target);

class CopyError : public std::runtime_error {
public:
    CopyError(const QString &description, const QString &path)
        : std::runtime_error(description.toStdString()), m_description(description), m_path(path) {}
    // "Read-only file system", "No space left on device", ...
    const QString &description() const { return m_description; }
    // The entry of the source (or the target itself) that could not be copied.
    const QString &path() const { return m_path; }

private:
    QString m_description;
    QString m_path;
};
