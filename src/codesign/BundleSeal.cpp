#include "codesign/BundleSeal.h"

#include "codesign/OpenSslHandles.h"
#include "platform/FileIO.h"
#include "platform/UniqueFd.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Large reads keep hashing at the speed of the SHA instructions.
constexpr size_t kReadBlock = 1 << 20;

struct Dir {
    DIR *dir = nullptr;
    explicit Dir(DIR *d) : dir(d) {}
    Dir(const Dir &) = delete;
    Dir &operator=(const Dir &) = delete;
    ~Dir() { if (dir) ::closedir(dir); }
};

QString shown(const QByteArray &path) { return QString::fromUtf8(CodeResources::encode(path)); }

QString resourceFailure(const QByteArray &path, const char *what)
{
    return QStringLiteral("a sealed resource is missing or invalid: ") + shown(path) + u' ' + QLatin1String(what);
}

std::string joinPath(const QByteArray &root, const QByteArray &rel)
{
    std::string p(root.constData(), size_t(root.size()));
    if (!rel.isEmpty()) {
        p += '/';
        p.append(rel.constData(), size_t(rel.size()));
    }
    return p;
}

class Hasher {
public:
    Hasher() : m_ctx(EVP_MD_CTX_new()), m_buffer(kReadBlock) {}

    // SHA-256 of a plain file, opened without following links; nothing when
    // it cannot be opened or read, or is not a plain file any more.
    std::optional<QByteArray> digest(const std::string &path, unsigned expectedMode)
    {
        UniqueFd file(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
        if (file.get() < 0)
            return std::nullopt;
        struct stat st;
        if (::fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode) || (st.st_mode & 07777) != expectedMode)
            return std::nullopt;
        ::posix_fadvise(file.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
        if (!m_ctx || EVP_DigestInit_ex2(m_ctx.get(), EVP_sha256(), nullptr) != 1)
            return std::nullopt;
        while (true) {
            const ssize_t n = ::read(file.get(), m_buffer.data(), m_buffer.size());
            if (n == 0)
                break;
            if (n < 0) {
                if (errno == EINTR)
                    continue;
                return std::nullopt;
            }
            EVP_DigestUpdate(m_ctx.get(), m_buffer.data(), size_t(n));
        }
        unsigned char md[EVP_MAX_MD_SIZE];
        unsigned int len = 0;
        if (EVP_DigestFinal_ex(m_ctx.get(), md, &len) != 1)
            return std::nullopt;
        return QByteArray(reinterpret_cast<const char *>(md), int(len));
    }

private:
    ossl::MdCtx m_ctx;
    std::vector<char> m_buffer;
};

// The resolved location of a path, or empty when it does not resolve.
std::string realPath(const std::string &path)
{
    char *r = ::realpath(path.c_str(), nullptr);
    if (!r)
        return {};
    std::string out(r);
    ::free(r);
    return out;
}

enum class LinkReach { Inside, Outside, Nowhere };

// Where a link really leads, following any links on the way, so that a
// target that looks as if it stays inside but passes through another link
// is judged by where it ends.
LinkReach reach(const std::string &linkPath, const QByteArray &target, const std::string &realRoot)
{
    if (target.startsWith('/'))
        return LinkReach::Outside;
    const std::string resolved = realPath(linkPath);
    if (resolved.empty())
        return LinkReach::Nowhere;
    return resolved == realRoot || resolved.rfind(realRoot + '/', 0) == 0 ? LinkReach::Inside : LinkReach::Outside;
}

std::optional<QString> linkFailure(const QByteArray &root, const std::string &realRoot, const SealEntry &link)
{
    switch (reach(joinPath(root, link.path), link.target, realRoot)) {
    case LinkReach::Inside:
        return std::nullopt;
    case LinkReach::Outside:
        return QStringLiteral("a symbolic link leaves the bundle: ") + shown(link.path);
    case LinkReach::Nowhere:
        break;
    }
    return QStringLiteral("a symbolic link points to nothing: ") + shown(link.path);
}

bool leaves(const QByteArray &root, const std::string &realRoot, const SealEntry &link)
{
    return reach(joinPath(root, link.path), link.target, realRoot) == LinkReach::Outside;
}

// Walks the bundle without digests. Throws SealError with the reason. Links
// are judged here only when checkLinks is set.
std::vector<SealEntry> walk(const QString &bundlePath, bool checkLinks)
{
    const QByteArray root = QFile::encodeName(bundlePath);
    const std::string realRoot = realPath(root.toStdString());
    if (!BundleSeal::looksLikeBundle(bundlePath) || realRoot.empty())
        throw SealError(QStringLiteral("the bundle can't be read"));

    std::vector<SealEntry> entries;
    std::vector<QByteArray> pending{QByteArray()};
    const QByteArray signatureFolder(kSignatureFolder);
    while (!pending.empty()) {
        const QByteArray dirRel = pending.back();
        pending.pop_back();
        const std::string dirPath = joinPath(root, dirRel);
        Dir dir(::opendir(dirPath.c_str()));
        if (!dir.dir)
            throw SealError(QStringLiteral("a folder of the bundle can't be read: ") + shown(dirRel));
        while (dirent *d = ::readdir(dir.dir)) {
            const QByteArray name(d->d_name);
            if (name == "." || name == "..")
                continue;
            const QByteArray rel = dirRel.isEmpty() ? name : dirRel + '/' + name;
            if (qsizetype(entries.size()) >= CodeResources::kMaxEntries || rel.size() > CodeResources::kMaxPathBytes)
                throw SealError(QStringLiteral("the bundle has more than can be sealed"));
            const std::string full = joinPath(root, rel);
            struct stat st;
            if (::lstat(full.c_str(), &st) != 0)
                throw SealError(QStringLiteral("a file of the bundle can't be read: ") + shown(rel));
            if (rel == signatureFolder) {
                if (!S_ISDIR(st.st_mode))
                    throw SealError(QStringLiteral("the signature folder isn't a folder"));
                continue; // its files are read and judged on their own
            }
            SealEntry e;
            e.path = rel;
            if (S_ISDIR(st.st_mode)) {
                e.type = SealEntry::Type::Directory;
                e.mode = st.st_mode & 07777;
                pending.push_back(rel);
            } else if (S_ISREG(st.st_mode)) {
                e.type = SealEntry::Type::File;
                e.mode = st.st_mode & 07777;
            } else if (S_ISLNK(st.st_mode)) {
                e.type = SealEntry::Type::Symlink;
                std::vector<char> buf(size_t(CodeResources::kMaxPathBytes) + 1);
                const ssize_t n = ::readlink(full.c_str(), buf.data(), buf.size());
                if (n <= 0 || n > CodeResources::kMaxPathBytes)
                    throw SealError(QStringLiteral("a symbolic link of the bundle can't be read: ") + shown(rel));
                e.target = QByteArray(buf.data(), qsizetype(n));
                if (checkLinks) {
                    if (auto failure = linkFailure(root, realRoot, e))
                        throw SealError(*failure);
                }
            } else {
                throw SealError(QStringLiteral("the bundle holds something that is neither file, folder nor link: ") + shown(rel));
            }
            entries.push_back(std::move(e));
        }
    }
    std::sort(entries.begin(), entries.end(), [](const SealEntry &a, const SealEntry &b) { return a.path < b.path; });

    // Only the known signature files may sit unsealed in the signature folder.
    const std::string sigDir = joinPath(root, signatureFolder);
    Dir dir(::opendir(sigDir.c_str()));
    if (dir.dir) {
        while (dirent *d = ::readdir(dir.dir)) {
            const QByteArray name(d->d_name);
            if (name == "." || name == "..")
                continue;
            if (name != BundleSeal::kResourcesFile && name != BundleSeal::kSignatureFile && name != BundleSeal::kNotarizationFile)
                throw SealError(QStringLiteral("unsealed contents present in the signature folder: ") + shown(signatureFolder + '/' + name));
        }
    }
    return entries;
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

CodeResources BundleSeal::scan(const QString &bundlePath, const QString &identifier)
{
    CodeResources list;
    list.identifier = identifier;
    list.entries = walk(bundlePath, true);
    const QByteArray root = QFile::encodeName(bundlePath);
    Hasher hasher;
    for (SealEntry &e : list.entries) {
        if (e.type != SealEntry::Type::File)
            continue;
        auto digest = hasher.digest(joinPath(root, e.path), e.mode);
        if (!digest)
            throw SealError(QStringLiteral("a file of the bundle can't be read: ") + shown(e.path));
        e.digest = *digest;
    }
    return list;
}

std::optional<QString> BundleSeal::check(const QString &bundlePath, const CodeResources &list)
{
    std::vector<SealEntry> disk;
    try {
        disk = walk(bundlePath, false);
    } catch (const SealError &e) {
        return e.description();
    }
    // Links are judged after the comparison, so that a removed file is
    // reported as removed rather than as the link to it dangling; a link
    // that differs from the seal and leads outside says so.
    const QByteArray root = QFile::encodeName(bundlePath);
    const std::string realRoot = realPath(root.toStdString());
    Hasher hasher;
    auto sealed = list.entries.begin();
    auto found = disk.begin();
    while (sealed != list.entries.end() || found != disk.end()) {
        if (found == disk.end() || (sealed != list.entries.end() && sealed->path < found->path))
            return resourceFailure(sealed->path, "was removed");
        if (sealed == list.entries.end() || found->path < sealed->path) {
            if (found->type == SealEntry::Type::Symlink && leaves(root, realRoot, *found))
                return linkFailure(root, realRoot, *found);
            return resourceFailure(found->path, "was added");
        }
        if (sealed->type != found->type)
            return resourceFailure(found->path, "changed its type");
        switch (sealed->type) {
        case SealEntry::Type::Directory:
            if (sealed->mode != found->mode)
                return resourceFailure(found->path, "changed its permissions");
            break;
        case SealEntry::Type::Symlink:
            if (sealed->target != found->target) {
                if (leaves(root, realRoot, *found))
                    return linkFailure(root, realRoot, *found);
                return resourceFailure(found->path, "points somewhere else");
            }
            break;
        case SealEntry::Type::File: {
            if (sealed->mode != found->mode)
                return resourceFailure(found->path, "changed its permissions");
            const auto digest = hasher.digest(joinPath(root, found->path), found->mode);
            if (!digest || *digest != sealed->digest)
                return resourceFailure(found->path, "was modified");
            break;
        }
        }
        ++sealed;
        ++found;
    }
    for (const SealEntry &e : disk) {
        if (e.type == SealEntry::Type::Symlink)
            if (auto failure = linkFailure(root, realRoot, e))
                return failure;
    }
    return std::nullopt;
}

std::optional<QByteArray> BundleSeal::readFile(const QString &bundlePath, const char *name, qsizetype maxBytes)
{
    // Each step refuses links, so the signature is read from inside the bundle.
    const std::string root = QFile::encodeName(bundlePath).toStdString();
    UniqueFd rootFd(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (rootFd.get() < 0)
        throw SealError(QStringLiteral("the bundle can't be read"));
    UniqueFd contents(::openat(rootFd.get(), "Contents", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (contents.get() < 0)
        throw SealError(QStringLiteral("the bundle can't be read"));
    UniqueFd sig(::openat(contents.get(), "_CodeSignature", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (sig.get() < 0) {
        if (errno == ENOENT)
            return std::nullopt;
        throw SealError(QStringLiteral("the signature folder can't be read"));
    }
    UniqueFd file(::openat(sig.get(), name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (file.get() < 0) {
        if (errno == ENOENT)
            return std::nullopt;
        throw SealError(QStringLiteral("the signature file %1 can't be read").arg(QLatin1String(name)));
    }
    struct stat st;
    if (::fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode))
        throw SealError(QStringLiteral("the signature file %1 isn't a plain file").arg(QLatin1String(name)));
    if (st.st_size > maxBytes)
        throw SealError(QStringLiteral("the signature file %1 is too large").arg(QLatin1String(name)));
    QByteArray bytes(qsizetype(st.st_size), Qt::Uninitialized);
    if (readFull(file.get(), bytes.data(), size_t(bytes.size())) != bytes.size())
        throw SealError(QStringLiteral("the signature file %1 can't be read").arg(QLatin1String(name)));
    return bytes;
}

BundleSeal::SignedList BundleSeal::readSigned(const QString &bundlePath, const char *signatureName)
{
    SignedList s;
    s.list = readFile(bundlePath, kResourcesFile, CodeResources::kMaxBytes);
    s.signature = readFile(bundlePath, signatureName, kMaxSignatureBytes);
    return s;
}

void BundleSeal::writeFile(const QString &bundlePath, const char *name, const QByteArray &bytes)
{
    const std::string dir = QFile::encodeName(bundlePath).toStdString() + "/" + kSignatureFolder;
    struct stat st;
    if (::lstat(dir.c_str(), &st) != 0) {
        if (::mkdir(dir.c_str(), 0755) != 0)
            throw SealError(QStringLiteral("can't make the signature folder: ") + QString::fromLocal8Bit(std::strerror(errno)));
    } else if (!S_ISDIR(st.st_mode)) {
        throw SealError(QStringLiteral("the signature folder isn't a folder"));
    }
    const std::string final = dir + "/" + name;
    const std::string temp = final + ".tmp";
    UniqueFd file(::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644));
    bool ok = file.valid() && writeAll(file.get(), bytes.constData(), size_t(bytes.size())) && ::fsync(file.get()) == 0
              && file.close() == 0 && ::rename(temp.c_str(), final.c_str()) == 0;
    if (!ok) {
        const int err = errno;
        ::unlink(temp.c_str());
        throw SealError(QStringLiteral("can't write %1: ").arg(QLatin1String(name)) + QString::fromLocal8Bit(std::strerror(err)));
    }
}

void BundleSeal::removeFile(const QString &bundlePath, const char *name)
{
    const std::string path = QFile::encodeName(bundlePath).toStdString() + "/" + kSignatureFolder + "/" + name;
    if (::unlink(path.c_str()) != 0 && errno != ENOENT)
        throw SealError(QStringLiteral("can't remove %1: ").arg(QLatin1String(name)) + QString::fromLocal8Bit(std::strerror(errno)));
}
