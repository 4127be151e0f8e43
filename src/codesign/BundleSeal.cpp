#include "codesign/BundleSeal.h"

#include "codesign/FileDigest.h"
#include "codesign/OpenSslHandles.h"
#include "codesign/ResolveBeneath.h"
#include "platform/AtomicWrite.h"
#include "platform/PlistValue.h"
#include "platform/SmallFile.h"
#include "platform/SystemError.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace {

// One descriptor is held per level of the walk; no bundle of ours comes near.
constexpr int kMaxDepth = 128;
// Info.plist is a few hundred bytes; anything much larger is not ours.
constexpr qsizetype kMaxInfoPlistBytes = 1 << 20;

constexpr int kDirFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
constexpr int kFileFlags = O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;

QString shown(const QByteArray &path) { return QString::fromUtf8(CodeResources::encode(path)); }

QString resourceFailure(const QByteArray &path, const char *what)
{
    return QStringLiteral("a sealed resource is missing or invalid: ") + shown(path) + u' ' + QLatin1String(what);
}

// Group or world write would let another local user change a sealed bundle
// after it was checked.
bool othersMayWrite(mode_t mode) { return (mode & (S_IWGRP | S_IWOTH)) != 0; }

QString othersMayWriteFailure(const QByteArray &rel)
{
    return rel.isEmpty() ? QStringLiteral("the bundle folder can be written by others")
                         : QStringLiteral("a part of the bundle can be written by others: ") + shown(rel);
}

// A part that belongs to someone else than the user checking it can be
// rewritten by its owner after the check, whatever its mode says.
QString ownedByAnother(uid_t owner) { return QStringLiteral("belongs to another user (uid %1)").arg(owner); }

// A file capability grants privileges to whoever runs the file; a release
// never needs one. Only regular files are executed, so only they are asked.
enum class Capability { None, Present, Unreadable };
Capability fileCapability(int fd)
{
    if (::fgetxattr(fd, "security.capability", nullptr, 0) >= 0)
        return Capability::Present;
    // ENOTSUP: a file system without extended attributes has no capabilities.
    return errno == ENODATA || errno == ENOTSUP ? Capability::None : Capability::Unreadable;
}

bool sameFile(const struct stat &a, const struct stat &b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

struct DiskEntry {
    SealEntry entry;
    PathReach reach = PathReach::Inside; // links only
};

std::optional<QString> linkFailure(const DiskEntry &link)
{
    switch (link.reach) {
    case PathReach::Inside:
        return std::nullopt;
    case PathReach::Outside:
        return QStringLiteral("a symbolic link leaves the bundle: ") + shown(link.entry.path);
    case PathReach::Nowhere:
        break;
    }
    return QStringLiteral("a symbolic link points to nothing: ") + shown(link.entry.path);
}

// The names in a folder, read through a copy of its descriptor. A listing
// cut short by an error is an error, never a shorter folder.
std::vector<QByteArray> folderNames(int dirFd)
{
    const int copy = ::fcntl(dirFd, F_DUPFD_CLOEXEC, 0);
    DIR *dir = copy >= 0 ? ::fdopendir(copy) : nullptr;
    if (!dir) {
        if (copy >= 0)
            ::close(copy);
        throw std::system_error(errno, std::generic_category());
    }
    std::vector<QByteArray> names;
    for (;;) {
        errno = 0;
        const dirent *d = ::readdir(dir);
        if (!d)
            break;
        if (std::strcmp(d->d_name, ".") != 0 && std::strcmp(d->d_name, "..") != 0)
            names.emplace_back(d->d_name);
    }
    const int error = errno;
    ::closedir(dir);
    if (error != 0)
        throw std::system_error(error, std::generic_category());
    // Sorted, so that the first fault found is the same on every disk.
    std::sort(names.begin(), names.end());
    return names;
}

// One pass over the bundle: types, modes, digests and where links lead.
class Walk {
public:
    explicit Walk(int rootFd) : m_root(rootFd), m_user(::geteuid()) {}

    unsigned rootMode = 0;
    std::vector<DiskEntry> entries;

    // Throws SealError with the reason.
    void run()
    {
        struct stat st;
        if (::fstat(m_root, &st) != 0 || !S_ISDIR(st.st_mode))
            throw SealError(QStringLiteral("the bundle can't be read"));
        refuseForeignOwner({}, st);
        if (othersMayWrite(st.st_mode))
            throw SealError(othersMayWriteFailure({}));
        rootMode = st.st_mode & 07777;
        folder(m_root, QByteArray(), 0);
        std::sort(entries.begin(), entries.end(), [](const DiskEntry &a, const DiskEntry &b) { return a.entry.path < b.entry.path; });
    }

private:
    void folder(int dirFd, const QByteArray &dirRel, int depth)
    {
        std::vector<QByteArray> names;
        try {
            names = folderNames(dirFd);
        } catch (const std::system_error &) {
            throw SealError(QStringLiteral("a folder of the bundle can't be read: ") + shown(dirRel));
        }
        for (const QByteArray &name : names) {
            const QByteArray rel = dirRel.isEmpty() ? name : dirRel + '/' + name;
            if (qsizetype(entries.size()) >= CodeResources::kMaxEntries || rel.size() > CodeResources::kMaxPathBytes)
                throw SealError(QStringLiteral("the bundle has more than can be sealed"));
            struct stat st;
            if (::fstatat(dirFd, name.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0)
                throw SealError(QStringLiteral("a file of the bundle can't be read: ") + shown(rel));
            refuseForeignOwner(rel, st);
            if (rel == kSignatureFolder) {
                signatureFolder(dirFd, st);
                continue; // its files are read and judged on their own
            }
            DiskEntry e;
            e.entry.path = rel;
            if (S_ISDIR(st.st_mode)) {
                e.entry.type = SealEntry::Type::Directory;
                e.entry.mode = st.st_mode & 07777;
                if (othersMayWrite(st.st_mode))
                    throw SealError(othersMayWriteFailure(rel));
                if (depth + 1 >= kMaxDepth)
                    throw SealError(QStringLiteral("the bundle has more than can be sealed"));
                UniqueFd sub(::openat(dirFd, name.constData(), kDirFlags));
                struct stat opened;
                if (!sub || ::fstat(sub.get(), &opened) != 0 || !sameFile(st, opened))
                    throw SealError(QStringLiteral("a folder of the bundle can't be read: ") + shown(rel));
                entries.push_back(std::move(e));
                folder(sub.get(), rel, depth + 1);
                continue;
            }
            if (S_ISREG(st.st_mode)) {
                e.entry.type = SealEntry::Type::File;
                e.entry.mode = st.st_mode & 07777;
                if (st.st_nlink > 1)
                    throw SealError(QStringLiteral("a file of the bundle has more than one name (a hard link): ") + shown(rel));
                if (othersMayWrite(st.st_mode))
                    throw SealError(othersMayWriteFailure(rel));
                UniqueFd file(::openat(dirFd, name.constData(), kFileFlags));
                struct stat opened;
                if (!file || ::fstat(file.get(), &opened) != 0 || !sameFile(st, opened) || !S_ISREG(opened.st_mode)
                    || opened.st_mode != st.st_mode || opened.st_nlink > 1 || opened.st_uid != st.st_uid)
                    throw SealError(QStringLiteral("a file of the bundle can't be read: ") + shown(rel));
                refuseCapability(file.get(), rel);
                auto digest = m_hasher.digest(file.get());
                if (!digest)
                    throw SealError(QStringLiteral("a file of the bundle can't be read: ") + shown(rel));
                e.entry.digest = *digest;
            } else if (S_ISLNK(st.st_mode)) {
                e.entry.type = SealEntry::Type::Symlink;
                std::vector<char> buf(size_t(CodeResources::kMaxPathBytes) + 1);
                const ssize_t n = ::readlinkat(dirFd, name.constData(), buf.data(), buf.size());
                if (n <= 0 || n > CodeResources::kMaxPathBytes)
                    throw SealError(QStringLiteral("a symbolic link of the bundle can't be read: ") + shown(rel));
                e.entry.target = QByteArray(buf.data(), qsizetype(n));
                e.reach = reachBeneath(m_root, rel);
            } else {
                throw SealError(QStringLiteral("the bundle holds something that is neither file, folder nor link: ") + shown(rel));
            }
            entries.push_back(std::move(e));
        }
    }

    // Only the known signature files may sit unsealed in the signature folder.
    void signatureFolder(int contentsFd, const struct stat &st)
    {
        const QByteArray folderRel(kSignatureFolder);
        if (!S_ISDIR(st.st_mode))
            throw SealError(QStringLiteral("the signature folder isn't a folder"));
        if (othersMayWrite(st.st_mode))
            throw SealError(othersMayWriteFailure(folderRel));
        UniqueFd sig(::openat(contentsFd, "_CodeSignature", kDirFlags));
        std::vector<QByteArray> names;
        try {
            if (!sig)
                throw std::system_error(errno, std::generic_category());
            names = folderNames(sig.get());
        } catch (const std::system_error &) {
            throw SealError(QStringLiteral("the signature folder can't be read"));
        }
        for (const QByteArray &name : names) {
            const QByteArray rel = folderRel + '/' + name;
            if (name != BundleSeal::kResourcesFile && name != BundleSeal::kSignatureFile && name != BundleSeal::kNotarizationFile)
                throw SealError(QStringLiteral("unsealed contents present in the signature folder: ") + shown(rel));
            // Their contents are judged when they are read; who owns them
            // and what they grant, here with the rest of the bundle.
            struct stat file;
            if (::fstatat(sig.get(), name.constData(), &file, AT_SYMLINK_NOFOLLOW) != 0)
                throw SealError(QStringLiteral("the signature folder can't be read"));
            refuseForeignOwner(rel, file);
            if (S_ISREG(file.st_mode)) {
                const UniqueFd fd(::openat(sig.get(), name.constData(), kFileFlags));
                struct stat opened;
                if (!fd || ::fstat(fd.get(), &opened) != 0 || !sameFile(file, opened))
                    throw SealError(QStringLiteral("the signature folder can't be read"));
                refuseCapability(fd.get(), rel);
            }
        }
    }

    void refuseForeignOwner(const QByteArray &rel, const struct stat &st) const
    {
        if (st.st_uid == m_user)
            return;
        throw SealError(rel.isEmpty() ? QStringLiteral("the bundle folder ") + ownedByAnother(st.st_uid)
                                      : QStringLiteral("a part of the bundle ") + ownedByAnother(st.st_uid)
                                            + QStringLiteral(": ") + shown(rel));
    }

    static void refuseCapability(int fd, const QByteArray &rel)
    {
        switch (fileCapability(fd)) {
        case Capability::None:
            return;
        case Capability::Present:
            throw SealError(QStringLiteral("a file of the bundle carries file capabilities: ") + shown(rel));
        case Capability::Unreadable:
            break;
        }
        throw SealError(QStringLiteral("a file of the bundle can't be read: ") + shown(rel));
    }

    int m_root;
    uid_t m_user;
    FileHasher m_hasher;
};

// Who may own a file read from a bundle. A candidate is judged as the user
// who checks it: any other owner could rewrite it after the check. The
// running copy may be installed by another account (root, system-wide); its
// owner is then trusted as the installer, and only writes by others count.
enum class OwnerRule { Checker, Anyone };

std::optional<QByteArray> readBelow(int rootFd, std::initializer_list<const char *> folders, const char *name,
                                    qsizetype maxBytes, const QString &what, OwnerRule owners = OwnerRule::Checker)
{
    // For the running copy every folder on the way is held to the rule of
    // its files: one others may write to could have any file swapped in.
    const auto openFolder = [&](int dirFd, const char *folder) {
        UniqueFd fd(::openat(dirFd, folder, kDirFlags));
        struct stat st;
        if (fd && owners == OwnerRule::Anyone && (::fstat(fd.get(), &st) != 0 || othersMayWrite(st.st_mode))) {
            throw SealError(QStringLiteral("%1 lies in a folder that can be written by others (%2)")
                                .arg(what, QLatin1String(folder)));
        }
        return fd;
    };
    if (owners == OwnerRule::Anyone) {
        struct stat st;
        if (::fstat(rootFd, &st) != 0)
            throw SealError(QStringLiteral("the bundle can't be read"));
        if (othersMayWrite(st.st_mode))
            throw SealError(othersMayWriteFailure({}));
    }
    UniqueFd dir = openFolder(rootFd, "Contents");
    if (!dir)
        throw SealError(QStringLiteral("the bundle can't be read"));
    for (const char *folder : folders) {
        UniqueFd next = openFolder(dir.get(), folder);
        if (!next) {
            if (errno == ENOENT)
                return std::nullopt;
            throw SealError(QStringLiteral("the folder of %1 can't be read (%2)").arg(what, systemErrorText(errno)));
        }
        dir = std::move(next);
    }
    const SmallFile file = readSmallFileAt(dir.get(), name, maxBytes);
    switch (file.status) {
    case SmallFile::Status::Missing:
        return std::nullopt;
    case SmallFile::Status::NotRegular:
        throw SealError(what + QStringLiteral(" isn't a plain file"));
    case SmallFile::Status::Unreadable:
        if (owners == OwnerRule::Anyone)
            throw SealError(what + QStringLiteral(" can't be read (") + systemErrorText(file.error) + u')');
        throw SealError(what + QStringLiteral(" can't be read"));
    case SmallFile::Status::Read:
    case SmallFile::Status::TooLarge:
        break;
    }
    if (owners == OwnerRule::Checker && file.owner != ::geteuid())
        throw SealError(what + u' ' + ownedByAnother(file.owner));
    if (othersMayWrite(file.mode))
        throw SealError(what + QStringLiteral(" can be written by others"));
    if (file.status == SmallFile::Status::TooLarge)
        throw SealError(what + QStringLiteral(" is too large"));
    return file.bytes;
}

// A sealed bundle belongs to the identifier it was sealed under only if its
// own Info.plist says so too; otherwise a seal could dress up another app.
std::optional<QString> infoPlistMismatch(int rootFd, const QString &sealedIdentifier)
{
    std::optional<QByteArray> bytes;
    try {
        bytes = readBelow(rootFd, {}, "Info.plist", kMaxInfoPlistBytes, QStringLiteral("the bundle's Info.plist"));
    } catch (const SealError &e) {
        return e.description();
    }
    if (!bytes)
        return QStringLiteral("the bundle has no Info.plist");
    const std::unique_ptr<PList::Dictionary> info = parsePlistDictionary(*bytes);
    const QVariant identifier = info ? plistValue(*info, QStringLiteral("CFBundleIdentifier")) : QVariant();
    if (identifier.typeId() != QMetaType::QString)
        return QStringLiteral("the bundle's Info.plist has no CFBundleIdentifier");
    if (identifier.toString() != sealedIdentifier)
        return QStringLiteral("the Info.plist identifier \"%1\" is not the sealed identifier \"%2\"")
            .arg(identifier.toString(), sealedIdentifier);
    return std::nullopt;
}

} // namespace

bool BundleSeal::looksLikeBundle(const QString &bundlePath)
{
    const std::string root = QFile::encodeName(bundlePath).toStdString();
    struct stat st;
    if (root.empty() || ::lstat(root.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return false;
    return ::lstat((root + "/Contents").c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

UniqueFd BundleSeal::openRoot(const QString &bundlePath)
{
    const QByteArray root = QFile::encodeName(bundlePath);
    UniqueFd fd(root.isEmpty() ? -1 : ::open(root.constData(), kDirFlags));
    struct stat st;
    if (!fd || ::fstatat(fd.get(), "Contents", &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(st.st_mode))
        throw SealError(QStringLiteral("the bundle can't be read"));
    return fd;
}

CodeResources BundleSeal::scan(const QString &bundlePath, const QString &identifier)
{
    const UniqueFd root = openRoot(bundlePath);
    Walk walk(root.get());
    walk.run();
    CodeResources list;
    list.identifier = identifier;
    list.rootMode = walk.rootMode;
    list.entries.reserve(walk.entries.size());
    for (DiskEntry &e : walk.entries) {
        if (auto failure = linkFailure(e))
            throw SealError(*failure);
        list.entries.push_back(std::move(e.entry));
    }
    return list;
}

std::optional<QString> BundleSeal::check(const QString &bundlePath, const CodeResources &list)
{
    try {
        const UniqueFd root = openRoot(bundlePath);
        return check(root.get(), list);
    } catch (const SealError &e) {
        return e.description();
    }
}

std::optional<QString> BundleSeal::check(int rootFd, const CodeResources &list)
{
    Walk walk(rootFd);
    try {
        walk.run();
    } catch (const SealError &e) {
        return e.description();
    }
    if (walk.rootMode != list.rootMode)
        return QStringLiteral("the bundle folder changed its permissions");
    // Links are judged after the comparison, so that a removed file is
    // reported as removed rather than as the link to it dangling; a link
    // that differs from the seal and leads outside says so.
    const std::vector<DiskEntry> &disk = walk.entries;
    auto sealed = list.entries.begin();
    auto found = disk.begin();
    while (sealed != list.entries.end() || found != disk.end()) {
        if (found == disk.end() || (sealed != list.entries.end() && sealed->path < found->entry.path))
            return resourceFailure(sealed->path, "was removed");
        const SealEntry &f = found->entry;
        if (sealed == list.entries.end() || f.path < sealed->path) {
            if (found->reach == PathReach::Outside)
                return linkFailure(*found);
            return resourceFailure(f.path, "was added");
        }
        if (sealed->type != f.type)
            return resourceFailure(f.path, "changed its type");
        switch (sealed->type) {
        case SealEntry::Type::Directory:
            if (sealed->mode != f.mode)
                return resourceFailure(f.path, "changed its permissions");
            break;
        case SealEntry::Type::Symlink:
            if (sealed->target != f.target) {
                if (found->reach == PathReach::Outside)
                    return linkFailure(*found);
                return resourceFailure(f.path, "points somewhere else");
            }
            break;
        case SealEntry::Type::File:
            if (sealed->mode != f.mode)
                return resourceFailure(f.path, "changed its permissions");
            if (f.digest != sealed->digest)
                return resourceFailure(f.path, "was modified");
            break;
        }
        ++sealed;
        ++found;
    }
    for (const DiskEntry &e : disk) {
        if (auto failure = linkFailure(e))
            return failure;
    }
    return infoPlistMismatch(rootFd, list.identifier);
}

std::optional<QByteArray> BundleSeal::readFile(int rootFd, const char *name, qsizetype maxBytes)
{
    return readBelow(rootFd, {"_CodeSignature"}, name, maxBytes, QStringLiteral("the signature file %1").arg(QLatin1String(name)));
}

BundleSeal::SignedList BundleSeal::readSigned(const QString &bundlePath, const char *signatureName)
{
    const UniqueFd root = openRoot(bundlePath);
    SignedList s;
    s.list = readFile(root.get(), kResourcesFile, CodeResources::kMaxBytes);
    s.signature = readFile(root.get(), signatureName, kMaxSignatureBytes);
    return s;
}

BundleSeal::SignedList BundleSeal::readOwnSigned(const QString &bundlePath, const char *signatureName)
{
    const UniqueFd root = openRoot(bundlePath);
    const auto read = [&](const char *name, qsizetype maxBytes) {
        return readBelow(root.get(), {"_CodeSignature"}, name, maxBytes,
                         QStringLiteral("the signature file %1").arg(QLatin1String(name)), OwnerRule::Anyone);
    };
    SignedList s;
    s.list = read(kResourcesFile, CodeResources::kMaxBytes);
    s.signature = read(signatureName, kMaxSignatureBytes);
    return s;
}

std::optional<QByteArray> BundleSeal::readOwnResource(const QString &bundlePath, const char *folder, const char *name,
                                                      qsizetype maxBytes, const QString &what)
{
    const UniqueFd root = openRoot(bundlePath);
    return readBelow(root.get(), {"Resources", folder}, name, maxBytes, what, OwnerRule::Anyone);
}

void BundleSeal::writeFile(const QString &bundlePath, const char *name, const QByteArray &bytes)
{
    const std::string dir = QFile::encodeName(bundlePath).toStdString() + "/" + kSignatureFolder;
    // Another signer may make it at the same moment.
    if (::mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST)
        throw SealError(QStringLiteral("can't make the signature folder: ") + systemErrorText(errno));
    struct stat st;
    if (::lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        throw SealError(QStringLiteral("the signature folder isn't a folder"));
    const std::string final = dir + "/" + name;
    // QSaveFile writes through a link to its target; a link under the name
    // is replaced instead, as the rename of a finished file replaces it.
    if (::lstat(final.c_str(), &st) == 0 && S_ISLNK(st.st_mode) && ::unlink(final.c_str()) != 0 && errno != ENOENT)
        throw SealError(QStringLiteral("can't write %1: ").arg(QLatin1String(name)) + systemErrorText(errno));
    // A temporary of its own for every writer, renamed over the name only
    // when whole, so two signers of one bundle never mix their files; never
    // writable by others, which the seal refuses.
    if (const std::optional<QString> reason = writeFileAtomically(
            QFile::decodeName(QByteArray::fromStdString(final)), bytes,
            QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup | QFileDevice::ReadOther))
        throw SealError(QStringLiteral("can't write %1: ").arg(QLatin1String(name)) + *reason);
}

void BundleSeal::removeFile(const QString &bundlePath, const char *name)
{
    const std::string path = QFile::encodeName(bundlePath).toStdString() + "/" + kSignatureFolder + "/" + name;
    if (::unlink(path.c_str()) != 0 && errno != ENOENT)
        throw SealError(QStringLiteral("can't remove %1: ").arg(QLatin1String(name)) + systemErrorText(errno));
}
