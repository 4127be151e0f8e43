#include "relocate/BundleMove.h"

#include "platform/CopyTree.h"
#include "platform/RemoveTree.h"
#include "platform/SystemError.h"
#include "release/UpdaterFailure.h"
#include "location/InstallLocations.h"

#include <QFile>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>

namespace {

QString systemText(int error) { return systemErrorText(error); }

QString movePrefixedName(const QString &folder)
{
    return folder + u'/' + InstallLocations::kMovePrefix + InstallLocations::newUuidText() + QStringLiteral(".app");
}

bool exists(const QByteArray &path)
{
    struct stat st;
    return ::lstat(path.constData(), &st) == 0;
}

} // namespace

BundleMove BundleMove::into(const QString &source, const QString &folder)
{
    BundleMove move;
    move.source = source;
    move.folder = folder;
    move.destination = folder + u'/' + InstallLocations::lastComponent(source);
    move.staging = movePrefixedName(folder);
    return move;
}

bool BundleMove::destinationExists() const { return exists(QFile::encodeName(destination)); }

void BundleMove::run(const AtomicSwap::StepHook &hook) const
{
    const QByteArray folderPath = QFile::encodeName(folder);
    if (::mkdir(folderPath.constData(), 0755) != 0 && errno != EEXIST)
        throw PlatformError(QStringLiteral("Couldn't create %1: %2.").arg(folder, systemText(errno)));

    removeTree(staging);
    try {
        copyTree(source, staging);
    } catch (const CopyError &e) {
        throw PlatformError(QStringLiteral("Couldn't copy Ferrowhistle into %1: %2.").arg(folder, e.description()));
    }

    // Decided now rather than when the user was asked: whatever is there at
    // this moment is what gets replaced.
    const QByteArray target = QFile::encodeName(destination);
    if (exists(target)) {
        AtomicSwap::Result swapped;
        try {
            swapped = AtomicSwap::replace(destination, staging, InstallLocations::keptCopyPath(folder), hook);
        } catch (const SwapError &e) {
            removeTree(staging);
            throw PlatformError(QStringLiteral("Couldn't replace %1: %2.").arg(destination, e.description()));
        }
        // The old copy, exchanged into the staging name or kept aside. A
        // failure here leaves a hidden entry: swept at the next start, or, for
        // a kept copy, left to the user.
        removeTree(swapped.oldEntryPath);
        return;
    }
    const QByteArray from = QFile::encodeName(staging);
    // Never over something that appeared meanwhile; a file system without
    // the flag gets the plain rename, which refuses a non-empty folder.
    if (::renameat2(AT_FDCWD, from.constData(), AT_FDCWD, target.constData(), RENAME_NOREPLACE) != 0
        && !(errno == EINVAL && ::rename(from.constData(), target.constData()) == 0)) {
        const int error = errno;
        removeTree(staging);
        throw PlatformError(QStringLiteral("Couldn't move the copy to %1: %2.").arg(destination, systemText(error)));
    }
}
