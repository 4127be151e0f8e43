#include "location/PreviousCopy.h"

#include "location/InstallLocations.h"
#include "platform/AtomicSwap.h"
#include "platform/RemoveTree.h"
#include "platform/Bundle.h"
#include "platform/SystemError.h"
#include "release/VersionRules.h"

#include <QFile>

#include <cerrno>
#include <cstdio>

#include <fcntl.h>
#include <sys/stat.h>

namespace PreviousCopy {

namespace {

bool exists(const QByteArray &path)
{
    struct stat st;
    return ::lstat(path.constData(), &st) == 0;
}

} // namespace

QString pathBeside(const QString &bundlePath)
{
    return InstallLocations::parentFolder(bundlePath) + u'/' + kName;
}

std::optional<Kept> inspect(const QString &keptPath)
{
    struct stat st;
    if (::lstat(QFile::encodeName(keptPath).constData(), &st) != 0 || !S_ISDIR(st.st_mode))
        return std::nullopt;
    const Bundle bundle = Bundle::atPath(keptPath);
    const qint64 build = VersionRules::buildOfBundle(bundle);
    if (build <= 0)
        return std::nullopt;
    return Kept{keptPath, bundle.infoString(QStringLiteral("CFBundleShortVersionString")).value_or(QString()), build,
                QDateTime::fromMSecsSinceEpoch(qint64(st.st_ctim.tv_sec) * 1000 + st.st_ctim.tv_nsec / 1000000, Qt::UTC)};
}

std::optional<Kept> olderBeside(const QString &bundlePath)
{
    std::optional<Kept> kept = inspect(pathBeside(bundlePath));
    if (!kept || kept->build >= VersionRules::buildOfBundle(Bundle::atPath(bundlePath)))
        return std::nullopt;
    return kept;
}

bool isKeptCopy(const QString &bundlePath) { return InstallLocations::lastComponent(bundlePath) == kName; }

QString keep(const QString &bundlePath, const QString &oldCopy)
{
    const QString previous = pathBeside(bundlePath);
    const QByteArray to = QFile::encodeName(previous);
    const QByteArray from = QFile::encodeName(oldCopy);
    if (!exists(to)) {
        // RENAME_NOREPLACE: a copy that appeared meanwhile is never overwritten.
        if (::renameat2(AT_FDCWD, from.constData(), AT_FDCWD, to.constData(), RENAME_NOREPLACE) == 0)
            return {};
        if (errno != EINVAL && errno != ENOSYS)
            throw SwapError(systemErrorText(errno));
        if (exists(to) || ::rename(from.constData(), to.constData()) != 0)
            throw SwapError(systemErrorText(exists(to) ? EEXIST : errno));
        return {};
    }
    // One step: the name holds the older copy or this one, never neither.
    const AtomicSwap::Result swapped =
        AtomicSwap::replace(previous, oldCopy, InstallLocations::keptCopyPath(InstallLocations::parentFolder(bundlePath)));
    return swapped.oldEntryPath;
}

bool discard(const QString &path)
{
    const QString staging = InstallLocations::parentFolder(path) + u'/' + InstallLocations::kStagingPrefix
                            + InstallLocations::newUuidText();
    if (::rename(QFile::encodeName(path).constData(), QFile::encodeName(staging).constData()) == 0)
        return removeTree(staging);
    return removeTree(path);
}

} // namespace PreviousCopy
