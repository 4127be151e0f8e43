#include "platform/TempDirectory.h"

#include "platform/XdgFolders.h"

#include <QDir>

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool isPrivateDirectory(const QByteArray &path)
{
    struct stat st {};
    if (lstat(path.constData(), &st) != 0)
        return false;
    return S_ISDIR(st.st_mode) && st.st_uid == geteuid() && (st.st_mode & 077) == 0;
}

// Creates the last component with 0700 if it is missing (its parent must
// exist), then checks it.
bool ensurePrivateDirectory(const QString &path)
{
    const QByteArray native = QFile::encodeName(path);
    if (isPrivateDirectory(native))
        return true;
    if (mkdir(native.constData(), 0700) != 0 && errno != EEXIST)
        return false;
    return isPrivateDirectory(native);
}

QString homeCacheTemp()
{
    const QString cache = xdgCacheHome();
    const QString app = cache + QStringLiteral("/ferrowhistle");
    // The cache folders above ours are the user's own; create them as usual.
    if (!QDir().mkpath(cache))
        return {};
    if (!ensurePrivateDirectory(app))
        return {};
    const QString tmp = app + QStringLiteral("/tmp");
    return ensurePrivateDirectory(tmp) ? tmp : QString();
}

} // namespace

QString temporaryDirectory()
{
    QString base = qEnvironmentVariable("TMPDIR");
    if (!QDir::isAbsolutePath(base))
        base = QStringLiteral("/tmp");
    while (base.size() > 1 && base.endsWith(QLatin1Char('/')))
        base.chop(1);
    const QString dir = base + QStringLiteral("/ferrowhistle-") + QString::number(geteuid());
    if (ensurePrivateDirectory(dir))
        return dir;
    return homeCacheTemp();
}
