#include "platform/DefaultsStore.h"

#include "platform/FileIO.h"
#include "platform/PlistValue.h"
#include "platform/UniqueFd.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <plist/plist++.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Settings are a few hundred bytes; a file far beyond that is not ours.
constexpr qint64 kMaxFileBytes = 16 * 1024 * 1024;

QString systemError(int error) { return QString::fromLocal8Bit(std::strerror(error)); }

[[noreturn]] void fail(const QString &path, const QString &what, int error)
{
    throw DefaultsStoreError(QStringLiteral("Couldn't save the settings in %1: %2 (%3).")
                                 .arg(path, what, systemError(error))
                                 .toStdString());
}

enum class FileState { Missing, Parsed, Unusable };

struct Contents {
    FileState state = FileState::Missing;
    std::unique_ptr<PList::Dictionary> dictionary;
};

Contents readContents(const QString &path)
{
    Contents out;
    const QFileInfo info(path);
    if (!info.exists())
        return out;
    out.state = FileState::Unusable;
    if (!info.isFile() || info.size() > kMaxFileBytes)
        return out;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return out;
    const QByteArray bytes = file.read(kMaxFileBytes + 1);
    if (bytes.isEmpty() || bytes.size() > kMaxFileBytes)
        return out;
    out.dictionary = parsePlistDictionary(bytes);
    if (out.dictionary)
        out.state = FileState::Parsed;
    return out;
}

void fsyncDirectory(const QString &dir)
{
    UniqueFd fd(::open(QFile::encodeName(dir).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.get() >= 0)
        ::fsync(fd.get()); // the rename is done; a failure here only weakens durability
}

// Replaces the file at path by the dictionary, atomically.
void writeAtomically(const QString &path, const PList::Dictionary &dictionary)
{
    const std::string xml = dictionary.ToXml();
    const QString dir = QFileInfo(path).absolutePath();
    QByteArray tmpl = QFile::encodeName(path + QStringLiteral(".XXXXXX"));
    UniqueFd fd(::mkostemp(tmpl.data(), O_CLOEXEC));
    if (fd.get() < 0)
        fail(path, QStringLiteral("a temporary file could not be made"), errno);
    const QByteArray tmpPath = tmpl;
    struct Unlink {
        QByteArray path;
        bool armed = true;
        ~Unlink()
        {
            if (armed)
                ::unlink(path.constData());
        }
    } cleanup{tmpPath};

    if (!writeAll(fd.get(), xml.data(), xml.size()))
        fail(path, QStringLiteral("writing failed"), errno);
    if (::fsync(fd.get()) != 0)
        fail(path, QStringLiteral("writing failed"), errno);
    if (fd.close() != 0)
        fail(path, QStringLiteral("writing failed"), errno);
    if (::rename(tmpPath.constData(), QFile::encodeName(path).constData()) != 0)
        fail(path, QStringLiteral("the file could not be replaced"), errno);
    cleanup.armed = false;
    fsyncDirectory(dir);
}

// Runs change on the current contents and writes them back, all under the
// store's lock so that a concurrent writer cannot slip in between the read and
// the rename.
template<typename Change>
bool modify(const QString &path, Change change)
{
    const QString dir = QFileInfo(path).absolutePath();
    if (!QDir().mkpath(dir) || !QFileInfo(dir).isDir())
        throw DefaultsStoreError(QStringLiteral("Couldn't save the settings in %1: its folder could not be made.")
                                     .arg(path)
                                     .toStdString());
    const QByteArray lockPath = QFile::encodeName(path + QStringLiteral(".lock"));
    UniqueFd lock(::open(lockPath.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    if (lock.get() < 0)
        fail(path, QStringLiteral("the lock file could not be opened"), errno);
    while (::flock(lock.get(), LOCK_EX) != 0) {
        if (errno != EINTR)
            fail(path, QStringLiteral("the lock could not be taken"), errno);
    }

    Contents contents = readContents(path);
    if (!contents.dictionary)
        contents.dictionary = std::make_unique<PList::Dictionary>();
    if (!change(*contents.dictionary))
        return false;

    if (contents.state == FileState::Unusable) {
        if (QFileInfo(path).isDir())
            fail(path, QStringLiteral("a folder stands where the file belongs"), EISDIR);
        // Keep what we could not read instead of overwriting it.
        const QByteArray aside = QFile::encodeName(path + QStringLiteral(".corrupt"));
        if (::rename(QFile::encodeName(path).constData(), aside.constData()) != 0)
            fail(path, QStringLiteral("the unreadable file could not be moved aside"), errno);
    }
    writeAtomically(path, *contents.dictionary);
    return true;
}

} // namespace

DefaultsStore::DefaultsStore(QString path) : m_path(std::move(path)) {}

QString DefaultsStore::standardPath()
{
    QString config = qEnvironmentVariable("XDG_CONFIG_HOME");
    // The XDG rules ignore a relative value.
    if (config.isEmpty() || !QDir::isAbsolutePath(config))
        config = QDir::homePath() + QStringLiteral("/.config");
    return config + QStringLiteral("/ferrowhistle/defaults.plist");
}

DefaultsStore DefaultsStore::standard() { return DefaultsStore(standardPath()); }

QVariant DefaultsStore::object(const QString &key) const
{
    const Contents contents = readContents(m_path);
    return contents.dictionary ? plistValue(*contents.dictionary, key) : QVariant();
}

std::optional<QString> DefaultsStore::string(const QString &key) const
{
    const QVariant v = object(key);
    if (v.typeId() != QMetaType::QString)
        return std::nullopt;
    return v.toString();
}

std::optional<bool> DefaultsStore::boolean(const QString &key) const
{
    const QVariant v = object(key);
    if (v.typeId() != QMetaType::Bool)
        return std::nullopt;
    return v.toBool();
}

std::optional<QDateTime> DefaultsStore::date(const QString &key) const
{
    const QVariant v = object(key);
    if (v.typeId() != QMetaType::QDateTime)
        return std::nullopt;
    return v.toDateTime();
}

QVariantMap DefaultsStore::dictionary() const
{
    QVariantMap out;
    const Contents contents = readContents(m_path);
    if (!contents.dictionary)
        return out;
    for (auto it = contents.dictionary->Begin(); it != contents.dictionary->End(); ++it) {
        const QVariant v = plistToVariant(it->second);
        if (v.isValid())
            out.insert(QString::fromStdString(it->first), v);
    }
    return out;
}

void DefaultsStore::setValue(const QString &key, const QVariant &value) const
{
    const std::unique_ptr<PList::Node> node = variantToPlist(value);
    if (!node)
        throw DefaultsStoreError(QStringLiteral("The value for %1 can't be kept in the settings.").arg(key).toStdString());
    modify(m_path, [&](PList::Dictionary &dict) {
        dict.Set(key.toStdString(), node.get());
        return true;
    });
}

bool DefaultsStore::remove(const QString &key) const
{
    if (!QFileInfo::exists(m_path))
        return false;
    return modify(m_path, [&](PList::Dictionary &dict) {
        if (dict.Find(key.toStdString()) == dict.End())
            return false;
        dict.Remove(key.toStdString());
        return true;
    });
}
