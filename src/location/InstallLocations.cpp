#include "location/InstallLocations.h"

#include <QFile>
#include <QUuid>

#include <unistd.h>

namespace InstallLocations {

QString newUuidText() { return QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper(); }

QString keptCopyPath(const QString &folder) { return folder + u'/' + kKeptPrefix + newUuidText() + QStringLiteral(".app"); }

QStringList defaultMediaPrefixes()
{
    return {QStringLiteral("/Volumes/"), QStringLiteral("/media/"), QStringLiteral("/run/media/")};
}

bool isOnDiskImage(const QString &bundlePath, const QStringList &mediaPrefixes)
{
    if (bundlePath.contains(QLatin1String("/AppTranslocation/")))
        return true;
    for (const QString &prefix : mediaPrefixes)
        if (bundlePath.startsWith(prefix))
            return true;
    return false;
}

QString parentFolder(const QString &path)
{
    QString p = path;
    while (p.size() > 1 && p.endsWith(u'/'))
        p.chop(1);
    const qsizetype slash = p.lastIndexOf(u'/');
    if (slash < 0)
        return QStringLiteral(".");
    return slash == 0 ? QStringLiteral("/") : p.left(slash);
}

QString lastComponent(const QString &path)
{
    QString p = path;
    while (p.size() > 1 && p.endsWith(u'/'))
        p.chop(1);
    return p.mid(p.lastIndexOf(u'/') + 1);
}

bool isWritableFolder(const QString &path)
{
    // access() also answers "no" on a read-only file system, also for root.
    return ::access(QFile::encodeName(path).constData(), W_OK | X_OK) == 0;
}

} // namespace InstallLocations
