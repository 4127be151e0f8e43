#include "update/install/SafeUnzip.h"

#include "codesign/ResolveBeneath.h"
#include "platform/FileIO.h"
#include "platform/SystemError.h"
#include "platform/UniqueFd.h"
#include "release/UpdaterFailure.h"

#include <QFile>

#include <archive.h>
#include <archive_entry.h>

#include <cerrno>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using Components = std::vector<std::string>;

[[noreturn]] void failSystem(const QString &what, int error)
{
    throw PlatformError(what + QStringLiteral(": ") + systemErrorText(error));
}

// An entry name as it may be shown: control characters escaped, long names cut.
QString shown(const std::string &raw)
{
    QString s = QString::fromUtf8(raw.data(), qsizetype(raw.size()));
    QString out;
    for (const QChar c : s) {
        if (c.category() == QChar::Other_Control || c == u'\u2028' || c == u'\u2029')
            out += QStringLiteral("\\u%1").arg(c.unicode(), 4, 16, QLatin1Char('0'));
        else
            out += c;
        if (out.size() > 200) {
            out += QChar(0x2026);
            break;
        }
    }
    return out;
}

[[noreturn]] void refuse(const QString &what)
{
    throw UpdaterFailure(QStringLiteral("The download ") + what + QStringLiteral(", so it wasn't installed."));
}

// Splits an entry path into its components. "." and empty components (a
// leading "./", doubled or trailing slashes) are dropped; an absolute path
// or a ".." component is refused.
Components splitEntryPath(const std::string &path)
{
    if (path.empty())
        refuse(QStringLiteral("holds an entry without a name"));
    if (path.front() == '/')
        refuse(QStringLiteral("holds an entry with an absolute path (%1)").arg(shown(path)));
    Components parts;
    size_t start = 0;
    while (start <= path.size()) {
        const size_t slash = path.find('/', start);
        const std::string part = path.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
        if (part == "..")
            refuse(QStringLiteral("holds an entry that climbs out of its folder (%1)").arg(shown(path)));
        if (!part.empty() && part != ".")
            parts.push_back(part);
        if (slash == std::string::npos)
            break;
        start = slash + 1;
    }
    if (parts.empty())
        refuse(QStringLiteral("holds an entry without a name"));
    return parts;
}

std::string join(const Components &parts, size_t n)
{
    std::string out;
    for (size_t i = 0; i < n; ++i) {
        if (i)
            out += '/';
        out += parts[i];
    }
    return out;
}

// Whether a link's target, read from the folder at depth `depth` below the
// root, stays inside the root by its text alone.
bool staysInsideByText(const std::string &target, size_t depth)
{
    long level = long(depth);
    size_t start = 0;
    while (start <= target.size()) {
        const size_t slash = target.find('/', start);
        const std::string part = target.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
        if (part == "..") {
            if (--level < 0)
                return false;
        } else if (!part.empty() && part != ".") {
            ++level;
        }
        if (slash == std::string::npos)
            break;
        start = slash + 1;
    }
    return true;
}

struct ArchiveReader {
    archive *a = archive_read_new();
    ~ArchiveReader() { archive_read_free(a); }
};

class Extractor {
public:
    Extractor(int rootFd, unsigned umask, const UnzipLimits &limits) : m_root(rootFd), m_umask(umask), m_limits(limits) {}

    void entry(archive *a, archive_entry *e)
    {
        if (++m_entries > m_limits.maxEntries)
            refuse(QStringLiteral("holds more than %1 entries").arg(m_limits.maxEntries));
        const char *rawName = archive_entry_pathname(e);
        const std::string name = rawName ? rawName : "";
        const Components parts = splitEntryPath(name);
        if (archive_entry_hardlink(e))
            refuse(QStringLiteral("holds a hard link (%1)").arg(shown(name)));

        const mode_t perm = archive_entry_perm(e) & 0755 & ~mode_t(m_umask);
        switch (archive_entry_filetype(e)) {
        case AE_IFDIR: {
            UniqueFd dir = openFolder(parts, parts.size(), name);
            m_folderModes[join(parts, parts.size())] = perm;
            break;
        }
        case AE_IFREG:
            writeFile(a, parts, name, perm);
            break;
        case AE_IFLNK:
            makeLink(e, parts, name);
            break;
        default:
            refuse(QStringLiteral("holds a device, FIFO or socket (%1)").arg(shown(name)));
        }
    }

    // Gives every folder its mode (deepest first, so that a closed folder
    // does not stop its children being set) and checks where links really
    // lead, now that every entry exists: by the rule the seal judges them
    // with, so a link that steps out of the folder counts as leaving it even
    // when it would come back in.
    void finish()
    {
        for (auto it = m_folderModes.rbegin(); it != m_folderModes.rend(); ++it) {
            const UniqueFd dir(::openat(m_root, it->first.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (!dir || ::fchmod(dir.get(), it->second) != 0)
                failSystem(QStringLiteral("Couldn't set the permissions of %1").arg(shown(it->first)), errno);
        }
        for (const std::string &link : m_links) {
            switch (reachBeneath(m_root, QByteArray::fromStdString(link))) {
            case PathReach::Inside:
                break;
            case PathReach::Outside:
                refuse(QStringLiteral("holds a symbolic link that leads out of its folder (%1)").arg(shown(link)));
            case PathReach::Nowhere:
                refuse(QStringLiteral("holds a symbolic link that points to nothing (%1)").arg(shown(link)));
            }
        }
    }

private:
    // The folder made of the first n components, opened without following
    // links at any step and made where missing.
    UniqueFd openFolder(const Components &parts, size_t n, const std::string &name)
    {
        UniqueFd current(::dup(m_root));
        if (!current)
            failSystem(QStringLiteral("Couldn't unpack the download"), errno);
        for (size_t i = 0; i < n; ++i) {
            const char *part = parts[i].c_str();
            int fd = ::openat(current.get(), part, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (fd < 0 && errno == ENOENT) {
                if (::mkdirat(current.get(), part, 0700) != 0 && errno != EEXIST)
                    failSystem(QStringLiteral("Couldn't unpack %1").arg(shown(name)), errno);
                m_folderModes.emplace(join(parts, i + 1), mode_t(0755 & ~m_umask));
                fd = ::openat(current.get(), part, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            }
            if (fd < 0) {
                const int error = errno;
                struct stat st;
                if (::fstatat(current.get(), part, &st, AT_SYMLINK_NOFOLLOW) == 0) {
                    if (S_ISLNK(st.st_mode))
                        refuse(QStringLiteral("holds an entry under a symbolic link (%1)").arg(shown(name)));
                    if (!S_ISDIR(st.st_mode))
                        refuse(QStringLiteral("holds an entry inside a file (%1)").arg(shown(name)));
                }
                failSystem(QStringLiteral("Couldn't unpack %1").arg(shown(name)), error);
            }
            current.reset(fd);
        }
        return current;
    }

    void writeFile(archive *a, const Components &parts, const std::string &name, mode_t perm)
    {
        const UniqueFd parent = openFolder(parts, parts.size() - 1, name);
        UniqueFd file(::openat(parent.get(), parts.back().c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!file) {
            if (errno == EEXIST)
                refuse(QStringLiteral("holds %1 twice").arg(shown(name)));
            failSystem(QStringLiteral("Couldn't unpack %1").arg(shown(name)), errno);
        }
        const void *block = nullptr;
        size_t size = 0;
        la_int64_t offset = 0;
        qint64 written = 0;
        for (;;) {
            const int rc = archive_read_data_block(a, &block, &size, &offset);
            if (rc == ARCHIVE_EOF)
                break;
            if (rc != ARCHIVE_OK && rc != ARCHIVE_WARN)
                throw PlatformError(QStringLiteral("The download couldn't be unpacked: ")
                                    + QString::fromLocal8Bit(archive_error_string(a)));
            // Blocks arrive in order in a zip; a gap would be a hole.
            if (offset != written) {
                if (offset < written || ::lseek(file.get(), offset, SEEK_SET) < 0)
                    throw PlatformError(QStringLiteral("The download couldn't be unpacked: %1 is malformed").arg(shown(name)));
                m_bytes += offset - written;
                written = offset;
            }
            m_bytes += qint64(size);
            if (m_bytes > m_limits.maxBytes)
                refuse(QStringLiteral("unpacks to more than %1 bytes").arg(m_limits.maxBytes));
            if (!writeAll(file.get(), block, size))
                failSystem(QStringLiteral("Couldn't unpack %1").arg(shown(name)), errno);
            written += qint64(size);
        }
        if (::ftruncate(file.get(), written) != 0 || ::fchmod(file.get(), perm) != 0 || file.close() != 0)
            failSystem(QStringLiteral("Couldn't unpack %1").arg(shown(name)), errno);
    }

    void makeLink(archive_entry *e, const Components &parts, const std::string &name)
    {
        const char *rawTarget = archive_entry_symlink(e);
        const std::string target = rawTarget ? rawTarget : "";
        if (target.empty() || target.front() == '/' || !staysInsideByText(target, parts.size() - 1))
            refuse(QStringLiteral("holds a symbolic link that leads out of its folder (%1)").arg(shown(name)));
        const UniqueFd parent = openFolder(parts, parts.size() - 1, name);
        if (::symlinkat(target.c_str(), parent.get(), parts.back().c_str()) != 0) {
            if (errno == EEXIST)
                refuse(QStringLiteral("holds %1 twice").arg(shown(name)));
            failSystem(QStringLiteral("Couldn't unpack %1").arg(shown(name)), errno);
        }
        m_links.push_back(join(parts, parts.size()));
    }

    int m_root;
    mode_t m_umask;
    UnzipLimits m_limits;
    qint64 m_entries = 0;
    qint64 m_bytes = 0;
    std::map<std::string, mode_t> m_folderModes; // relative path -> final mode
    std::vector<std::string> m_links;
};

} // namespace

void safeUnzip(const QString &archivePath, const QString &destination, const UnzipLimits &limits)
{
    const QByteArray dest = QFile::encodeName(destination);
    if (::mkdir(dest.constData(), 0700) != 0)
        failSystem(QStringLiteral("Couldn't make the folder to unpack into"), errno);
    const UniqueFd root(::open(dest.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!root)
        failSystem(QStringLiteral("Couldn't open the folder to unpack into"), errno);
    ArchiveReader reader;
    archive_read_support_format_zip(reader.a);
    if (archive_read_open_filename(reader.a, QFile::encodeName(archivePath).constData(), 1 << 16) != ARCHIVE_OK)
        throw PlatformError(QStringLiteral("The download couldn't be unpacked: ") + QString::fromLocal8Bit(archive_error_string(reader.a)));

    Extractor extractor(root.get(), currentUmask(), limits);
    for (;;) {
        archive_entry *e = nullptr;
        const int rc = archive_read_next_header(reader.a, &e);
        if (rc == ARCHIVE_EOF)
            break;
        if (rc != ARCHIVE_OK && rc != ARCHIVE_WARN)
            throw PlatformError(QStringLiteral("The download couldn't be unpacked: ")
                                + QString::fromLocal8Bit(archive_error_string(reader.a)));
        extractor.entry(reader.a, e);
    }
    extractor.finish();
}
