#pragma once

#include "platform/FileIO.h" // currentUmask

#include <QString>
#include <QtGlobal>

// Unpacks a release archive (zip only) into a new folder, trusting nothing in
// it. Refused, each with its own sentence: absolute paths and ".."
// components, an entry under a symbolic link (nothing is ever written through
// a link), a symbolic link that leads out of the folder or to nothing, hard
// links, devices, FIFOs and sockets, an entry given twice, more entries or
// more bytes than the limits (the bytes actually written are counted: sizes
// in headers can lie). Modes are reduced to at most 0755, so set-uid and
// set-gid bits and group or world write never survive, and the user's umask
// applies. Blocking: run it on a worker.
struct UnzipLimits {
    qint64 maxEntries = 100000;
    qint64 maxBytes = qint64(1) << 30;
};

// destination must not exist; its parent must. Throws UpdaterFailure for a
// refused entry, PlatformError for an archive that cannot be read or a file
// system failure. On a throw, what was unpacked so far is left for the caller
// to remove with the folder.
void safeUnzip(const QString &archivePath, const QString &destination, const UnzipLimits &limits = {});
