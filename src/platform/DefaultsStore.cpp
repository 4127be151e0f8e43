#include "platform/DefaultsStore.h"

#include "platform/AtomicWrite.h"
#include "platform/DefaultsWriter.h"
#include "platform/PlistValue.h"
#include "platform/SmallFile.h"
#include "platform/SystemError.h"
#include "platform/UniqueFd.h"
#include "platform/XdgFolders.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <thread>

#include <plist/plist++.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>

#include <climits>
#include <cstdio>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Settings are a few hundred bytes; a file far beyond that is not ours.
constexpr qint64 kMaxFileBytes = 16 * 1024 * 1024;

[[noreturn]] void fail(const QString &path, const QString &what, int error)
{
    throw DefaultsStoreError(QStringLiteral("Couldn't save the settings in %1: %2 (%3).")
                                 .arg(path, what, systemErrorText(error))
                                 .toStdString());
}

[[noreturn]] void failPlain(const QString &path, const QString &what)
{
    throw DefaultsStoreError(QStringLiteral("Couldn't save the settings in %1: %2.").arg(path, what).toStdString());
}

enum class FileState { Missing, Parsed, Unusable };

struct Contents {
    FileState state = FileState::Missing;
    std::unique_ptr<PList::Dictionary> dictionary;
};

Contents readContents(const QString &path)
{
    Contents out;
    // Through links: the file may be a dotfile manager's.
    const SmallFile file = readSmallFile(path, kMaxFileBytes, LastLink::Follow);
    if (file.status == SmallFile::Status::Missing)
        return out;
    out.state = FileState::Unusable;
    if (!file.ok() || file.bytes.isEmpty())
        return out;
    out.dictionary = parsePlistDictionary(file.bytes);
    if (out.dictionary)
        out.state = FileState::Parsed;
    return out;
}

// Replaces the file at path by the dictionary, atomically and durably.
void writeAtomically(const QString &path, const PList::Dictionary &dictionary)
{
    const std::string xml = dictionary.ToXml();
    // Settings are the user's alone.
    if (const std::optional<QString> reason =
            writeFileAtomically(path, QByteArray::fromStdString(xml), QFileDevice::ReadOwner | QFileDevice::WriteOwner,
                                FolderSync::SyncFolder))
        failPlain(path, QStringLiteral("the file could not be replaced (%1)").arg(*reason));
}

// The file a write replaces: path itself, or, when path is a symbolic link,
// the file at the end of its links (which need not exist yet). Replacing the
// link by a regular file would silently cut it off from what it points to.
QString writeTarget(const QString &path)
{
    QString current = path;
    for (int hops = 0; hops <= 40; ++hops) {
        struct stat st {};
        if (::lstat(QFile::encodeName(current).constData(), &st) != 0) {
            if (errno == ENOENT)
                return current;
            fail(path, QStringLiteral("the file could not be looked at"), errno);
        }
        if (!S_ISLNK(st.st_mode))
            return current;
        QByteArray link(PATH_MAX, Qt::Uninitialized);
        const ssize_t n = ::readlink(QFile::encodeName(current).constData(), link.data(), size_t(link.size()));
        if (n < 0)
            fail(path, QStringLiteral("its symbolic link could not be read"), errno);
        link.truncate(n);
        const QString next = QFile::decodeName(link);
        // Not cleaned: "dir/../x" must go through dir as the system would.
        current = QDir::isAbsolutePath(next) ? next : QFileInfo(current).absolutePath() + QLatin1Char('/') + next;
    }
    fail(path, QStringLiteral("its symbolic links go round in a loop"), ELOOP);
}

// Moves the unreadable file aside under a name no earlier backup holds.
void moveAside(const QString &path, const QString &target)
{
    const QString stem = target + QStringLiteral(".corrupt-")
                         + QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyyMMdd'T'HHmmss'Z'"));
    const QByteArray from = QFile::encodeName(target);
    for (int n = 1; n < 1000; ++n) {
        const QString aside = n == 1 ? stem : stem + QLatin1Char('-') + QString::number(n);
        const QByteArray to = QFile::encodeName(aside);
        if (::renameat2(AT_FDCWD, from.constData(), AT_FDCWD, to.constData(), RENAME_NOREPLACE) == 0)
            return;
        if (errno == EEXIST)
            continue;
        if (errno != EINVAL && errno != ENOSYS)
            break;
        // A file system without RENAME_NOREPLACE; the store's lock keeps
        // other writers of ours out between the test and the rename.
        if (QFileInfo::exists(aside) || QFileInfo(aside).isSymLink())
            continue;
        if (::rename(from.constData(), to.constData()) == 0)
            return;
        break;
    }
    fail(path, QStringLiteral("the unreadable file could not be moved aside"), errno);
}

void takeLock(const QString &path, int fd, const std::function<bool()> &keepWaiting)
{
    for (;;) {
        if (::flock(fd, keepWaiting ? LOCK_EX | LOCK_NB : LOCK_EX) == 0)
            return;
        if (errno == EINTR)
            continue;
        if (errno != EWOULDBLOCK || !keepWaiting)
            fail(path, QStringLiteral("the lock could not be taken"), errno);
        if (!keepWaiting())
            failPlain(path, QStringLiteral("another program kept the file locked"));
    }
}

// Runs change on the current contents and writes them back, all under the
// store's lock so that a concurrent writer cannot slip in between the read and
// the rename.
template<typename Change>
bool modify(const QString &path, Change change, const std::function<bool()> &keepWaiting = {})
{
    const QString dir = QFileInfo(path).absolutePath();
    if (!QDir().mkpath(dir) || !QFileInfo(dir).isDir())
        failPlain(path, QStringLiteral("its folder could not be made"));
    // Never followed: a link planted there must not make us create or lock
    // a file elsewhere.
    const QByteArray lockPath = QFile::encodeName(path + QStringLiteral(".lock"));
    UniqueFd lock(::open(lockPath.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600));
    if (lock.get() < 0) {
        if (errno == ELOOP)
            failPlain(path, QStringLiteral("its lock file is a symbolic link"));
        fail(path, QStringLiteral("the lock file could not be opened"), errno);
    }
    struct stat lockStat {};
    if (::fstat(lock.get(), &lockStat) != 0 || !S_ISREG(lockStat.st_mode))
        failPlain(path, QStringLiteral("its lock file is not a regular file"));
    takeLock(path, lock.get(), keepWaiting);

    const QString target = writeTarget(path);
    Contents contents = readContents(target);
    if (!contents.dictionary)
        contents.dictionary = std::make_unique<PList::Dictionary>();
    if (!change(*contents.dictionary))
        return false;

    if (contents.state == FileState::Unusable) {
        if (QFileInfo(target).isDir())
            fail(path, QStringLiteral("a folder stands where the file belongs"), EISDIR);
        // Keep what we could not read instead of overwriting it; an empty
        // file holds nothing to keep.
        if (QFileInfo(target).size() != 0)
            moveAside(path, target);
    }
    writeAtomically(target, *contents.dictionary);
    return true;
}

// The node for a value to set; throws for one the store can't keep.
std::unique_ptr<PList::Node> toNode(const QString &key, const QVariant &value)
{
    if (!value.isValid())
        return nullptr;
    std::unique_ptr<PList::Node> node = variantToPlist(value);
    if (!node)
        throw DefaultsStoreError(QStringLiteral("The value for %1 can't be kept in the settings.").arg(key).toStdString());
    return node;
}

// Every key of the dictionary with a value of a type the store reads.
QVariantMap dictionaryValues(const PList::Dictionary &dict)
{
    QVariantMap out;
    for (auto it = dict.Begin(); it != dict.End(); ++it) {
        const QVariant v = plistToVariant(it->second);
        if (v.isValid())
            out.insert(QString::fromStdString(it->first), v);
    }
    return out;
}

} // namespace

namespace {

std::function<void()> &readStepHook()
{
    static std::function<void()> hook;
    return hook;
}

} // namespace

void DefaultsStore::setReadStepHookForTesting(std::function<void()> hook) { readStepHook() = std::move(hook); }

DefaultsStore::DefaultsStore(QString path) : m_path(std::move(path)) {}

QString DefaultsStore::standardPath()
{
    return xdgConfigHome() + QStringLiteral("/ferrowhistle/defaults.plist");
}

DefaultsStore DefaultsStore::standard() { return DefaultsStore(standardPath()); }

QVariant DefaultsStore::object(const QString &key) const
{
    if (std::optional<QVariant> unwritten = DefaultsWriter::shared().unwritten(m_path, key))
        return *unwritten;
    if (readStepHook())
        readStepHook()();
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
    // What is not yet written first, then the file, as object() does: a
    // write that finishes in between is then in the file, whereas in the
    // other order it would be in neither.
    const QVariantMap unwritten = DefaultsWriter::shared().unwritten(m_path);
    if (readStepHook())
        readStepHook()();
    const Contents contents = readContents(m_path);
    QVariantMap out = contents.dictionary ? dictionaryValues(*contents.dictionary) : QVariantMap();
    // An invalid value is a removal not yet written.
    for (auto it = unwritten.begin(); it != unwritten.end(); ++it) {
        if (it.value().isValid())
            out.insert(it.key(), it.value());
        else
            out.remove(it.key());
    }
    return out;
}

void DefaultsStore::setValue(const QString &key, const QVariant &value) const
{
    const std::unique_ptr<PList::Node> node = variantToPlist(value);
    if (!node)
        throw DefaultsStoreError(QStringLiteral("The value for %1 can't be kept in the settings.").arg(key).toStdString());
    DefaultsWriter::shared().waitUntilWritten(m_path);
    modify(m_path, [&](PList::Dictionary &dict) {
        dict.Set(key.toStdString(), node.get());
        return true;
    });
}

bool DefaultsStore::remove(const QString &key) const
{
    DefaultsWriter::shared().waitUntilWritten(m_path);
    if (!QFileInfo::exists(m_path))
        return false;
    return modify(m_path, [&](PList::Dictionary &dict) {
        if (dict.Find(key.toStdString()) == dict.End())
            return false;
        dict.Remove(key.toStdString());
        return true;
    });
}

DefaultsStore::LockWait DefaultsStore::boundedWait(std::chrono::milliseconds lockWait) const
{
    const auto deadline = std::chrono::steady_clock::now() + lockWait;
    if (!DefaultsWriter::shared().waitUntilWritten(m_path, lockWait))
        failPlain(m_path, QStringLiteral("this program's earlier changes are still waiting to be written"));
    return [deadline] {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        return true;
    };
}

void DefaultsStore::setValues(const QVariantMap &values, std::chrono::milliseconds lockWait) const
{
    apply(values, boundedWait(lockWait));
}

void DefaultsStore::update(const Change &change, std::chrono::milliseconds lockWait) const
{
    apply(change, boundedWait(lockWait));
}

void DefaultsStore::post(const QString &key, const QVariant &value, QObject *context,
                         std::function<void(const QString &)> onFailure) const
{
    const std::unique_ptr<PList::Node> node = variantToPlist(value);
    if (!node)
        throw DefaultsStoreError(QStringLiteral("The value for %1 can't be kept in the settings.").arg(key).toStdString());
    // Kept as it will read back from the file (dates in UTC, integers as qint64).
    DefaultsWriter::shared().post(m_path, key, plistToVariant(node.get()), context, std::move(onFailure));
}

void DefaultsStore::postUpdate(Change change, QObject *context, std::function<void(const QString &)> onFailure) const
{
    DefaultsWriter::shared().postEdit(m_path, std::move(change), context, std::move(onFailure));
}

void DefaultsStore::postRemoval(const QString &key, QObject *context, std::function<void(const QString &)> onFailure) const
{
    DefaultsWriter::shared().post(m_path, key, QVariant(), context, std::move(onFailure));
}

void DefaultsStore::apply(const QVariantMap &values, const LockWait &keepWaiting) const
{
    // Checked before the lock is taken: a value the store can't keep
    // changes nothing.
    for (auto it = values.begin(); it != values.end(); ++it)
        toNode(it.key(), it.value());
    // Removals alone make no file where there is none.
    const bool onlyRemovals = std::none_of(values.begin(), values.end(), [](const QVariant &v) { return v.isValid(); });
    if (onlyRemovals && !QFileInfo::exists(m_path) && !QFileInfo(m_path).isSymLink())
        return;
    apply([&values](const QVariantMap &) { return values; }, keepWaiting);
}

void DefaultsStore::apply(const Change &change, const LockWait &keepWaiting) const
{
    modify(
        m_path,
        [&](PList::Dictionary &dict) {
            const QVariantMap wanted = change(dictionaryValues(dict));
            bool changed = false;
            for (auto it = wanted.begin(); it != wanted.end(); ++it) {
                const std::string key = it.key().toStdString();
                if (!it.value().isValid()) {
                    if (dict.Find(key) != dict.End()) {
                        dict.Remove(key);
                        changed = true;
                    }
                    continue;
                }
                const std::unique_ptr<PList::Node> node = toNode(it.key(), it.value());
                dict.Set(key, node.get());
                changed = true;
            }
            return changed;
        },
        keepWaiting);
}

struct DefaultsReader::Remembered {
    QString path;
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    timespec modified {};
    timespec changed {};
    std::unique_ptr<PList::Dictionary> dictionary;

    bool sameFile(const QString &p, const struct stat &st) const
    {
        return path == p && device == st.st_dev && inode == st.st_ino && size == st.st_size
               && modified.tv_sec == st.st_mtim.tv_sec && modified.tv_nsec == st.st_mtim.tv_nsec
               && changed.tv_sec == st.st_ctim.tv_sec && changed.tv_nsec == st.st_ctim.tv_nsec;
    }
};

DefaultsReader::DefaultsReader(WallClock now)
    : m_now(now ? std::move(now) : WallClock([] { return std::chrono::system_clock::now(); }))
{
}

DefaultsReader::~DefaultsReader() = default;

QVariant DefaultsReader::object(const QString &path, const QString &key)
{
    if (std::optional<QVariant> unwritten = DefaultsWriter::shared().unwritten(path, key))
        return *unwritten;
    // The stat comes before the read: a file replaced in between is then
    // remembered with the older signature and read again next time, never
    // the other way round.
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0 || !S_ISREG(st.st_mode)) {
        m_remembered.reset();
        return {};
    }
    if (m_remembered && m_remembered->sameFile(path, st))
        return plistValue(*m_remembered->dictionary, key);

    const auto statTime = m_now();
    Contents contents = readContents(path);
    if (!contents.dictionary) {
        m_remembered.reset();
        return {};
    }
    const QVariant value = plistValue(*contents.dictionary, key);
    const auto changed = std::chrono::system_clock::time_point(
        std::chrono::duration_cast<std::chrono::system_clock::duration>(std::chrono::seconds(st.st_ctim.tv_sec)
                                                                         + std::chrono::nanoseconds(st.st_ctim.tv_nsec)));
    if (changed < statTime - std::chrono::seconds(2)) {
        auto r = std::make_unique<Remembered>();
        r->path = path;
        r->device = st.st_dev;
        r->inode = st.st_ino;
        r->size = st.st_size;
        r->modified = st.st_mtim;
        r->changed = st.st_ctim;
        r->dictionary = std::move(contents.dictionary);
        m_remembered = std::move(r);
    } else {
        m_remembered.reset();
    }
    return value;
}

std::optional<QString> DefaultsReader::string(const QString &path, const QString &key)
{
    const QVariant v = object(path, key);
    if (v.typeId() != QMetaType::QString)
        return std::nullopt;
    return v.toString();
}
