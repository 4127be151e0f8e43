#include "location/StartRecord.h"

#include "location/InstallLocations.h"
#include "platform/FileIO.h"
#include "platform/SystemError.h"
#include "release/UpdaterDefaults.h"
#include "release/VersionRules.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace StartRecord {

namespace {

// The part of the names that stands for one bundle path.
QString keyOf(const QString &bundlePath)
{
    return QString::fromLatin1(
        QCryptographicHash::hash(QFile::encodeName(bundlePath), QCryptographicHash::Sha256).toHex().left(24));
}

// Whether another process holds the lock file at path (a live watch).
bool heldByLiveWatch(const QString &path)
{
    UniqueFd fd(::open(QFile::encodeName(path).constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    if (!fd)
        return false;
    struct stat st;
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    return ::flock(fd.get(), LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
}

QStringList entries(const QString &temp, const QString &prefix)
{
    return QDir(temp).entryList({prefix + u'*'}, QDir::Files | QDir::System | QDir::Hidden);
}

} // namespace

QString pathFor(const QString &bundlePath, const QString &temp)
{
    return temp + u'/' + kRecordPrefix + keyOf(bundlePath);
}

QString takeRequestedPath()
{
    const QString path = qEnvironmentVariable(kRequestVariable);
    qunsetenv(kRequestVariable);
    // Never a file of another kind: the name must be a record's.
    if (!QDir::isAbsolutePath(path) || !QFileInfo(path).fileName().startsWith(kRecordPrefix))
        return {};
    return path;
}

QString requestPathFor(const QString &bundlePath, const QString &temp)
{
    return pathFor(bundlePath, temp) + u'-' + InstallLocations::newUuidText();
}

std::optional<QString> write(const QString &path, qint64 build)
{
    // A fresh name beside it, never a link, then one rename over whatever
    // stands at the record's name: a link there is replaced, not followed.
    const QString staging = path + QStringLiteral(".") + InstallLocations::newUuidText();
    const QByteArray stagingName = QFile::encodeName(staging);
    UniqueFd fd(::open(stagingName.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd)
        return systemErrorText(errno);
    const QByteArray bytes = QByteArray::number(build);
    if (!writeAll(fd.get(), bytes.constData(), size_t(bytes.size())) || ::fsync(fd.get()) != 0 || fd.close() != 0) {
        const int error = errno;
        ::unlink(stagingName.constData());
        return systemErrorText(error);
    }
    if (::rename(stagingName.constData(), QFile::encodeName(path).constData()) != 0) {
        const int error = errno;
        ::unlink(stagingName.constData());
        return systemErrorText(error);
    }
    return std::nullopt;
}

std::optional<qint64> read(const QString &path)
{
    UniqueFd fd(::open(QFile::encodeName(path).constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    if (!fd)
        return std::nullopt;
    struct stat st;
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
        return std::nullopt;
    // A record is a few digits; anything longer is not one.
    char bytes[32];
    const long long n = readFull(fd.get(), bytes, sizeof bytes);
    if (n <= 0)
        return std::nullopt;
    return VersionRules::parseInteger(QString::fromLatin1(bytes, int(n)));
}

bool awaited(const QString &bundlePath, const QString &temp)
{
    if (temp.isEmpty())
        return false;
    const QStringList names = entries(temp, kWatchPrefix + keyOf(bundlePath) + u'-');
    return std::any_of(names.begin(), names.end(), [&](const QString &name) { return heldByLiveWatch(temp + u'/' + name); });
}

std::optional<QString> writeIfAwaited(const QString &bundlePath, qint64 build, const QString &temp)
{
    if (!awaited(bundlePath, temp))
        return std::nullopt;
    return write(pathFor(bundlePath, temp), build);
}

QStringList sweep(const QString &temp)
{
    QStringList removed;
    if (temp.isEmpty())
        return removed;
    QStringList liveKeys;
    for (const QString &name : entries(temp, kWatchPrefix)) {
        const QString path = temp + u'/' + name;
        if (heldByLiveWatch(path)) {
            liveKeys << name.mid(kWatchPrefix.size(), 24);
            continue;
        }
        if (::unlink(QFile::encodeName(path).constData()) == 0)
            removed << path;
    }
    // Records (and their staging files) that no live watch waits for.
    for (const QString &name : entries(temp, kRecordPrefix)) {
        const QString key = name.mid(kRecordPrefix.size(), 24);
        if (liveKeys.contains(key))
            continue;
        const QString path = temp + u'/' + name;
        // An older watch names its record without a key and holds no lock:
        // it may still wait for one until its longest limit has passed.
        const bool keyed = key.size() == 24 && std::all_of(key.begin(), key.end(), [](QChar c) { return c.isDigit() || (c >= u'a' && c <= u'f'); });
        if (!keyed && QFileInfo(path).lastModified().msecsTo(QDateTime::currentDateTime())
                          < UpdaterDefaults::kLongestStartLimit.count())
            continue;
        if (::unlink(QFile::encodeName(path).constData()) == 0)
            removed << path;
    }
    return removed;
}

// Made under a name the sweep passes by, locked, then put in place, so that
// no sweep can take it for a dead watch's.
WatchLock WatchLock::hold(const QString &bundlePath, const QString &temp, QString *problem)
{
    const QString uuid = InstallLocations::newUuidText();
    const QByteArray staging = QFile::encodeName(temp + QStringLiteral("/.") + kWatchPrefix + uuid);
    const QByteArray final_ = QFile::encodeName(temp + u'/' + kWatchPrefix + keyOf(bundlePath) + u'-' + uuid);
    UniqueFd fd(::open(staging.constData(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd || ::flock(fd.get(), LOCK_EX) != 0 || ::rename(staging.constData(), final_.constData()) != 0) {
        *problem = systemErrorText(errno);
        ::unlink(staging.constData());
        return WatchLock();
    }
    WatchLock lock;
    lock.m_fd = std::move(fd);
    lock.m_path = QFile::decodeName(final_);
    return lock;
}

void WatchLock::release()
{
    if (!m_fd)
        return;
    // Gone first, so no start finds the name unlocked and takes the watch
    // for a dead one's, or for one that still waits.
    ::unlink(QFile::encodeName(m_path).constData());
    m_fd.reset();
}

} // namespace StartRecord
