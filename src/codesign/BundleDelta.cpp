#include "codesign/BundleDelta.h"

#include "codesign/BundleSeal.h"
#include "codesign/CodeResources.h"
#include "codesign/FileDigest.h"
#include "codesign/ResolveBeneath.h"
#include "platform/FileIO.h"
#include "platform/RemoveTree.h"
#include "platform/SystemError.h"
#include "platform/UniqueFd.h"

#include <QCryptographicHash>
#include <QFile>

#include <zstd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr char kMagic[8] = {'F', 'W', 'D', 'E', 'L', 'T', 'A', '\n'};
constexpr qsizetype kMaxPathBytes = CodeResources::kMaxPathBytes;
constexpr size_t kChunk = 1 << 17;
constexpr int kDirFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
constexpr int kFileFlags = O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
const char *const kSignatureNames[] = {BundleSeal::kResourcesFile, BundleSeal::kSignatureFile, BundleSeal::kNotarizationFile};

QString shown(const QByteArray &path) { return QString::fromUtf8(CodeResources::encode(path.left(200))); }

[[noreturn]] void refuse(const QString &what) { throw DeltaError(what); }

[[noreturn]] void failSystem(const QString &what, int error)
{
    throw DeltaError(what + QStringLiteral(": ") + systemErrorText(error));
}

struct ZstdDCtx {
    ZSTD_DCtx *p = ZSTD_createDCtx();
    ~ZstdDCtx() { ZSTD_freeDCtx(p); }
};
struct ZstdCCtx {
    ZSTD_CCtx *p = ZSTD_createCCtx();
    ~ZstdCCtx() { ZSTD_freeCCtx(p); }
};

// The window a frame needs to reach from its last byte back to the first of
// a reference of refBytes: log2 of the two together, rounded up.
int windowLogFor(qint64 refBytes, qint64 contentBytes)
{
    const quint64 span = quint64(std::max<qint64>(refBytes + contentBytes, 1));
    int log = 10; // zstd's smallest window
    while (log < 62 && (quint64(1) << log) < span)
        ++log;
    return log;
}

// A file mapped read-only, for a zstd reference prefix.
class Mapping {
public:
    Mapping(int fd, qint64 size) : m_size(size_t(size))
    {
        if (size > 0) {
            m_data = ::mmap(nullptr, m_size, PROT_READ, MAP_PRIVATE, fd, 0);
            if (m_data == MAP_FAILED) {
                m_data = nullptr;
                failSystem(QStringLiteral("couldn't be applied: a file couldn't be read"), errno);
            }
        }
    }
    ~Mapping()
    {
        if (m_data)
            ::munmap(m_data, m_size);
    }
    Mapping(const Mapping &) = delete;
    Mapping &operator=(const Mapping &) = delete;
    const void *data() const { return m_data; }
    size_t size() const { return m_data ? m_size : 0; }

private:
    void *m_data = nullptr;
    size_t m_size;
};

QByteArray readWholeFd(int fd, qint64 size)
{
    QByteArray bytes(qsizetype(size), Qt::Uninitialized);
    const long long got = readFull(fd, bytes.data(), size_t(size));
    if (got != size)
        throw DeltaError(QStringLiteral("couldn't be made: a file changed while it was read"));
    return bytes;
}

QByteArray sha256(const QByteArray &bytes) { return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256); }

// ---------------------------------------------------------------- writing

class Writer {
public:
    Writer(int fd, int level) : m_fd(fd)
    {
        ZSTD_CCtx_setParameter(m_cctx.p, ZSTD_c_compressionLevel, level);
        // The reader's cap, so every delta we make can be read.
        ZSTD_CCtx_setParameter(m_cctx.p, ZSTD_c_windowLog, std::min(DeltaLimits{}.windowLogMax, 24));
        ZSTD_CCtx_setParameter(m_cctx.p, ZSTD_c_checksumFlag, 1);
        m_out.resize(ZSTD_CStreamOutSize());
    }

    void bytes(const void *data, size_t n) { feed(data, n, ZSTD_e_continue); }
    void bytes(const QByteArray &b) { bytes(b.constData(), size_t(b.size())); }
    void u8(quint8 v) { bytes(&v, 1); }
    void u32(quint32 v)
    {
        unsigned char b[4];
        for (int i = 0; i < 4; ++i)
            b[i] = (v >> (8 * i)) & 0xff;
        bytes(b, 4);
    }
    void u64(quint64 v)
    {
        unsigned char b[8];
        for (int i = 0; i < 8; ++i)
            b[i] = (v >> (8 * i)) & 0xff;
        bytes(b, 8);
    }
    void text(const QByteArray &b)
    {
        u32(quint32(b.size()));
        bytes(b);
    }
    void finish() { feed(nullptr, 0, ZSTD_e_end); }

private:
    void feed(const void *data, size_t n, ZSTD_EndDirective mode)
    {
        ZSTD_inBuffer in{data, n, 0};
        for (;;) {
            ZSTD_outBuffer out{m_out.data(), m_out.size(), 0};
            const size_t left = ZSTD_compressStream2(m_cctx.p, &out, &in, mode);
            if (ZSTD_isError(left))
                refuse(QStringLiteral("couldn't be compressed: ") + QString::fromLatin1(ZSTD_getErrorName(left)));
            if (!writeAll(m_fd, m_out.data(), out.pos))
                failSystem(QStringLiteral("couldn't be written"), errno);
            if (mode == ZSTD_e_end ? left == 0 : in.pos == in.size)
                return;
        }
    }

    int m_fd;
    ZstdCCtx m_cctx;
    std::vector<char> m_out;
};

struct SealedSide {
    UniqueFd root;
    CodeResources list;
    QByteArray listBytes;
    std::map<QByteArray, const SealEntry *> byPath;
};

SealedSide openSealed(const QString &bundlePath, const char *which)
{
    SealedSide side;
    side.root = BundleSeal::openRoot(bundlePath);
    const std::optional<QByteArray> list = BundleSeal::readFile(side.root.get(), BundleSeal::kResourcesFile, CodeResources::kMaxBytes);
    if (!list)
        refuse(QStringLiteral("couldn't be made: the %1 bundle isn't sealed").arg(QLatin1String(which)));
    side.listBytes = *list;
    side.list = CodeResources::parse(*list);
    if (const std::optional<QString> why = BundleSeal::check(side.root.get(), side.list))
        refuse(QStringLiteral("couldn't be made: the %1 bundle doesn't match its seal: %2").arg(QLatin1String(which), *why));
    for (const SealEntry &e : side.list.entries)
        side.byPath.emplace(e.path, &e);
    return side;
}

UniqueFd openSealedFile(int rootFd, const QByteArray &path, struct stat *st)
{
    UniqueFd fd(::openat(rootFd, path.constData(), kFileFlags));
    if (!fd || ::fstat(fd.get(), st) != 0 || !S_ISREG(st->st_mode))
        refuse(QStringLiteral("couldn't be made: %1 couldn't be read").arg(shown(path)));
    return fd;
}

// The patch of newBytes against oldBytes as the reference prefix, or
// nothing when it would need a window past the reader's cap.
std::optional<QByteArray> makePatch(const QByteArray &oldBytes, const QByteArray &newBytes, int level)
{
    const int windowLog = windowLogFor(oldBytes.size(), newBytes.size());
    if (oldBytes.isEmpty() || windowLog > DeltaLimits{}.windowLogMax)
        return std::nullopt;
    ZstdCCtx cctx;
    ZSTD_CCtx_setParameter(cctx.p, ZSTD_c_compressionLevel, level);
    ZSTD_CCtx_setParameter(cctx.p, ZSTD_c_windowLog, windowLog);
    // Long matches reach across a relinked program's moved sections.
    ZSTD_CCtx_setParameter(cctx.p, ZSTD_c_enableLongDistanceMatching, 1);
    ZSTD_CCtx_setParameter(cctx.p, ZSTD_c_checksumFlag, 1);
    ZSTD_CCtx_refPrefix(cctx.p, oldBytes.constData(), size_t(oldBytes.size()));
    QByteArray out(qsizetype(ZSTD_compressBound(size_t(newBytes.size()))), Qt::Uninitialized);
    const size_t n = ZSTD_compress2(cctx.p, out.data(), size_t(out.size()), newBytes.constData(), size_t(newBytes.size()));
    if (ZSTD_isError(n))
        refuse(QStringLiteral("couldn't be made: ") + QString::fromLatin1(ZSTD_getErrorName(n)));
    out.truncate(qsizetype(n));
    return out;
}

// ---------------------------------------------------------------- reading

// The records' stream, decompressed as it is read, in bounded memory.
class Reader {
public:
    Reader(int fd, const DeltaLimits &limits) : m_fd(fd), m_in(kChunk)
    {
        ZSTD_DCtx_setParameter(m_dctx.p, ZSTD_d_windowLogMax, limits.windowLogMax);
    }

    void read(void *data, size_t n)
    {
        ZSTD_outBuffer out{data, n, 0};
        while (out.pos < out.size) {
            if (m_inPos == m_inSize && !refill())
                refuse(QStringLiteral("is cut short"));
            ZSTD_inBuffer in{m_in.data(), m_inSize, m_inPos};
            const size_t rc = ZSTD_decompressStream(m_dctx.p, &out, &in);
            m_inPos = in.pos;
            if (ZSTD_isError(rc))
                refuse(QStringLiteral("is malformed (%1)").arg(QLatin1String(ZSTD_getErrorName(rc))));
            m_frameDone = rc == 0;
        }
    }
    quint8 u8()
    {
        quint8 v;
        read(&v, 1);
        return v;
    }
    quint32 u32()
    {
        unsigned char b[4];
        read(b, 4);
        return quint32(b[0]) | quint32(b[1]) << 8 | quint32(b[2]) << 16 | quint32(b[3]) << 24;
    }
    quint64 u64()
    {
        unsigned char b[8];
        read(b, 8);
        quint64 v = 0;
        for (int i = 7; i >= 0; --i)
            v = v << 8 | b[i];
        return v;
    }
    // A length-prefixed text of at most maxBytes, checked before it is
    // allocated.
    QByteArray text(qsizetype maxBytes, const char *what)
    {
        const quint32 n = u32();
        if (n > quint32(maxBytes))
            refuse(QStringLiteral("declares a %1 of %2 bytes").arg(QLatin1String(what)).arg(n));
        QByteArray b(qsizetype(n), Qt::Uninitialized);
        read(b.data(), n);
        return b;
    }
    // After the end record: the frame must be complete and nothing follow it.
    void expectEnd()
    {
        if (!m_frameDone) {
            // The frame's last block and its checksum may still be pending.
            char extra;
            ZSTD_outBuffer out{&extra, 1, 0};
            for (;;) {
                if (m_inPos == m_inSize && !refill())
                    refuse(QStringLiteral("is cut short"));
                ZSTD_inBuffer in{m_in.data(), m_inSize, m_inPos};
                const size_t rc = ZSTD_decompressStream(m_dctx.p, &out, &in);
                m_inPos = in.pos;
                if (ZSTD_isError(rc))
                    refuse(QStringLiteral("is malformed (%1)").arg(QLatin1String(ZSTD_getErrorName(rc))));
                if (out.pos)
                    refuse(QStringLiteral("goes on after its end"));
                if (rc == 0)
                    break;
            }
        }
        if (m_inPos != m_inSize || refill())
            refuse(QStringLiteral("goes on after its end"));
    }

private:
    bool refill()
    {
        const long long got = readFull(m_fd, m_in.data(), m_in.size());
        if (got < 0)
            failSystem(QStringLiteral("couldn't be read"), errno);
        m_inSize = size_t(got);
        m_inPos = 0;
        return got > 0;
    }

    int m_fd;
    ZstdDCtx m_dctx;
    std::vector<char> m_in;
    size_t m_inSize = 0;
    size_t m_inPos = 0;
    bool m_frameDone = false;
};

void checkHeader(const QByteArray &head)
{
    if (head.size() < BundleDelta::kHeaderBytes || std::memcmp(head.constData(), kMagic, sizeof kMagic) != 0)
        refuse(QStringLiteral("isn't an update delta"));
    const auto *v = reinterpret_cast<const unsigned char *>(head.constData() + 8);
    const quint32 version = quint32(v[0]) | quint32(v[1]) << 8 | quint32(v[2]) << 16 | quint32(v[3]) << 24;
    if (version != BundleDelta::kVersion)
        refuse(QStringLiteral("is of version %1, which this copy can't read").arg(version));
}

// Applies records below one bundle folder, opened once; every path is walked
// from it one component at a time without following a link.
class Applier {
public:
    Applier(int root, const DeltaLimits &limits, unsigned umask) : m_root(root), m_limits(limits), m_umask(umask) {}

    void removed(const QByteArray &path)
    {
        const UniqueFd parent = openParent(path);
        const QByteArray name = lastName(path);
        if (::unlinkat(parent.get(), name.constData(), 0) == 0
            || (errno == EISDIR && ::unlinkat(parent.get(), name.constData(), AT_REMOVEDIR) == 0)) {
            // Whatever is made at this path later is not what these were
            // recorded for.
            forget(path);
            return;
        }
        if (errno == ENOENT)
            refuse(QStringLiteral("removes %1, which the bundle doesn't hold").arg(shown(path)));
        failSystem(QStringLiteral("couldn't remove %1").arg(shown(path)), errno);
    }

    void folder(const QByteArray &path, unsigned mode)
    {
        const UniqueFd parent = openParent(path);
        if (::mkdirat(parent.get(), lastName(path).constData(), 0700) != 0)
            failSystem(QStringLiteral("couldn't make %1").arg(shown(path)), errno);
        m_folderModes[path] = mode;
    }

    void mode(const QByteArray &path, unsigned mode)
    {
        const UniqueFd parent = openParent(path);
        struct stat st;
        if (::fstatat(parent.get(), lastName(path).constData(), &st, AT_SYMLINK_NOFOLLOW) != 0)
            failSystem(QStringLiteral("couldn't change %1").arg(shown(path)), errno);
        if (S_ISDIR(st.st_mode)) {
            m_folderModes[path] = mode;
            return;
        }
        if (!S_ISREG(st.st_mode))
            refuse(QStringLiteral("changes the permissions of %1, which isn't a file or folder").arg(shown(path)));
        const UniqueFd file(::openat(parent.get(), lastName(path).constData(), kFileFlags));
        if (!file || ::fchmod(file.get(), finalMode(mode)) != 0)
            failSystem(QStringLiteral("couldn't change %1").arg(shown(path)), errno);
    }

    void link(const QByteArray &path, const QByteArray &target)
    {
        if (target.isEmpty() || target.startsWith('/') || target.contains('\0'))
            refuse(QStringLiteral("holds a link that leads out of the bundle (%1)").arg(shown(path)));
        const UniqueFd parent = openParent(path);
        const QByteArray temp = tempName(parent.get(), path);
        if (::symlinkat(target.constData(), parent.get(), temp.constData()) != 0)
            failSystem(QStringLiteral("couldn't make %1").arg(shown(path)), errno);
        putInPlace(parent.get(), temp, path);
        m_links.push_back(path);
    }

    // A new file whose bytes come from fill(fd), which returns how many it
    // wrote.
    template <typename Fill>
    void file(const QByteArray &path, unsigned mode, qint64 size, Fill fill)
    {
        if (size < 0 || size > m_limits.maxFileBytes)
            refuse(QStringLiteral("makes %1 of %2 bytes, more than %3").arg(shown(path)).arg(size).arg(m_limits.maxFileBytes));
        if (m_bytes + size > m_limits.maxTotalBytes)
            refuse(QStringLiteral("makes more than %1 bytes").arg(m_limits.maxTotalBytes));
        m_bytes += size;
        const UniqueFd parent = openParent(path);
        const QByteArray temp = tempName(parent.get(), path);
        UniqueFd out(::openat(parent.get(), temp.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!out)
            failSystem(QStringLiteral("couldn't write %1").arg(shown(path)), errno);
        try {
            fill(parent.get(), out.get());
            if (::fchmod(out.get(), finalMode(mode)) != 0 || out.close() != 0)
                failSystem(QStringLiteral("couldn't write %1").arg(shown(path)), errno);
        } catch (...) {
            ::unlinkat(parent.get(), temp.constData(), 0);
            throw;
        }
        putInPlace(parent.get(), temp, path);
    }

    // The old file at path, for a patch: a plain file, reached without a link.
    UniqueFd openOld(int parentFd, const QByteArray &path, qint64 *size)
    {
        UniqueFd fd(::openat(parentFd, lastName(path).constData(), kFileFlags));
        struct stat st;
        if (!fd) {
            if (errno == ELOOP)
                refuse(QStringLiteral("patches %1, which is a link").arg(shown(path)));
            failSystem(QStringLiteral("couldn't patch %1").arg(shown(path)), errno);
        }
        if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
            refuse(QStringLiteral("patches %1, which isn't a file").arg(shown(path)));
        *size = st.st_size;
        return fd;
    }

    // Where every new link really leads, before anything else is touched;
    // then folder modes, deepest first, so a closed folder does not stop its
    // children being made. Each folder is reached one component at a time:
    // a link made since its record must not carry its mode elsewhere.
    void finish(std::optional<unsigned> rootMode)
    {
        for (const QByteArray &link : m_links) {
            if (reachBeneath(m_root, link) != PathReach::Inside)
                refuse(QStringLiteral("holds a link that leads out of the bundle or to nothing (%1)").arg(shown(link)));
        }
        for (auto it = m_folderModes.rbegin(); it != m_folderModes.rend(); ++it) {
            const UniqueFd dir = openFolder(it->first);
            if (::fchmod(dir.get(), finalMode(it->second)) != 0)
                failSystem(QStringLiteral("couldn't set the permissions of %1").arg(shown(it->first)), errno);
        }
        if (rootMode && ::fchmod(m_root, finalMode(*rootMode)) != 0)
            failSystem(QStringLiteral("couldn't set the permissions of the bundle"), errno);
    }

    UniqueFd openParent(const QByteArray &path)
    {
        if (!CodeResources::isSafePath(path)) {
            const QByteArray sig(kSignatureFolder);
            if (path == sig || path.startsWith(sig + '/'))
                refuse(QStringLiteral("names the signature folder outside its own records (%1)").arg(shown(path)));
            refuse(QStringLiteral("holds a path that leaves the bundle (%1)").arg(shown(path)));
        }
        UniqueFd current(::dup(m_root));
        if (!current)
            failSystem(QStringLiteral("couldn't be applied"), errno);
        const QList<QByteArray> parts = path.split('/');
        for (qsizetype i = 0; i + 1 < parts.size(); ++i) {
            const int fd = ::openat(current.get(), parts[i].constData(), kDirFlags);
            if (fd < 0) {
                struct stat st;
                if (::fstatat(current.get(), parts[i].constData(), &st, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISDIR(st.st_mode))
                    refuse(S_ISLNK(st.st_mode) ? QStringLiteral("holds a path through a link (%1)").arg(shown(path))
                                               : QStringLiteral("holds a path through a file (%1)").arg(shown(path)));
                failSystem(QStringLiteral("couldn't reach %1").arg(shown(path)), errno);
            }
            current.reset(fd);
        }
        return current;
    }

    // After a refusal: the links made so far that lead out of the bundle
    // go, so the half-made copy reaches nothing past itself.
    void removeStrayLinks() noexcept
    {
        for (const QByteArray &link : m_links) {
            try {
                if (reachBeneath(m_root, link) == PathReach::Inside)
                    continue;
                const UniqueFd parent = openParent(link);
                struct stat st;
                if (::fstatat(parent.get(), lastName(link).constData(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode))
                    ::unlinkat(parent.get(), lastName(link).constData(), 0);
            } catch (const DeltaError &) {
                // Its folder is gone or unreachable: so is the link.
            }
        }
    }

private:
    static QByteArray lastName(const QByteArray &path) { return path.mid(path.lastIndexOf('/') + 1); }

    // The folder at path, no component of it a link.
    UniqueFd openFolder(const QByteArray &path)
    {
        const UniqueFd parent = openParent(path);
        UniqueFd dir(::openat(parent.get(), lastName(path).constData(), kDirFlags));
        if (!dir) {
            const int error = errno;
            struct stat st;
            if (::fstatat(parent.get(), lastName(path).constData(), &st, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISDIR(st.st_mode))
                refuse(S_ISLNK(st.st_mode) ? QStringLiteral("holds a path through a link (%1)").arg(shown(path))
                                           : QStringLiteral("holds a path through a file (%1)").arg(shown(path)));
            failSystem(QStringLiteral("couldn't set the permissions of %1").arg(shown(path)), error);
        }
        return dir;
    }

    // Drops what was recorded for path and anything below it.
    void forget(const QByteArray &path)
    {
        const QByteArray below = path + '/';
        const auto gone = [&](const QByteArray &p) { return p == path || p.startsWith(below); };
        std::erase_if(m_folderModes, [&](const auto &entry) { return gone(entry.first); });
        std::erase_if(m_links, gone);
    }

    unsigned finalMode(unsigned mode) const { return mode & 0755 & ~m_umask; }

    QByteArray tempName(int parentFd, const QByteArray &path)
    {
        for (;;) {
            const QByteArray name = ".fw-delta-" + QByteArray::number(++m_temps);
            struct stat st;
            if (::fstatat(parentFd, name.constData(), &st, AT_SYMLINK_NOFOLLOW) == 0)
                continue;
            if (errno == ENOENT)
                return name;
            // Any other answer will not change by asking again.
            failSystem(QStringLiteral("couldn't write %1").arg(shown(path)), errno);
        }
    }

    // The new entry takes the name; an entry there of another kind than a
    // folder is replaced, a folder must have been removed by its record.
    void putInPlace(int parentFd, const QByteArray &temp, const QByteArray &path)
    {
        if (::renameat(parentFd, temp.constData(), parentFd, lastName(path).constData()) != 0) {
            const int error = errno;
            ::unlinkat(parentFd, temp.constData(), 0);
            failSystem(QStringLiteral("couldn't put %1 in place").arg(shown(path)), error);
        }
    }

    int m_root;
    DeltaLimits m_limits;
    unsigned m_umask;
    qint64 m_bytes = 0;
    quint64 m_temps = 0;
    std::map<QByteArray, unsigned> m_folderModes;
    std::vector<QByteArray> m_links;
};

// Copies size bytes of the stream into out.
void copyOut(Reader &reader, int out, qint64 size)
{
    std::vector<char> buffer(kChunk);
    while (size > 0) {
        const size_t n = size_t(std::min<qint64>(size, qint64(buffer.size())));
        reader.read(buffer.data(), n);
        if (!writeAll(out, buffer.data(), n))
            failSystem(QStringLiteral("couldn't be applied"), errno);
        size -= qint64(n);
    }
}

// Streams a patch of patchBytes from the reader through a decoder that
// references the old file, into out; exactly size bytes must come out.
void applyPatch(Reader &reader, const Mapping &old, int out, quint64 patchBytes, qint64 size, const DeltaLimits &limits,
                const QByteArray &path)
{
    ZstdDCtx dctx;
    ZSTD_DCtx_setParameter(dctx.p, ZSTD_d_windowLogMax, limits.windowLogMax);
    if (ZSTD_isError(ZSTD_DCtx_refPrefix(dctx.p, old.data(), old.size())))
        refuse(QStringLiteral("couldn't be applied to %1").arg(shown(path)));
    std::vector<char> in(kChunk);
    std::vector<char> buffer(ZSTD_DStreamOutSize());
    qint64 produced = 0;
    size_t last = 1;
    while (patchBytes > 0) {
        const size_t n = size_t(std::min<quint64>(patchBytes, in.size()));
        reader.read(in.data(), n);
        patchBytes -= n;
        ZSTD_inBuffer input{in.data(), n, 0};
        while (input.pos < input.size) {
            if (last == 0)
                refuse(QStringLiteral("holds more than one frame in the patch of %1").arg(shown(path)));
            ZSTD_outBuffer output{buffer.data(), buffer.size(), 0};
            last = ZSTD_decompressStream(dctx.p, &output, &input);
            if (ZSTD_isError(last))
                refuse(QStringLiteral("holds a patch of %1 that doesn't apply (%2)").arg(shown(path), QLatin1String(ZSTD_getErrorName(last))));
            produced += qint64(output.pos);
            if (produced > size)
                refuse(QStringLiteral("holds a patch of %1 that makes more than its %2 bytes").arg(shown(path)).arg(size));
            if (!writeAll(out, buffer.data(), output.pos))
                failSystem(QStringLiteral("couldn't be applied"), errno);
        }
    }
    // Output still held back by the decoder.
    while (last != 0) {
        ZSTD_inBuffer input{nullptr, 0, 0};
        ZSTD_outBuffer output{buffer.data(), buffer.size(), 0};
        last = ZSTD_decompressStream(dctx.p, &output, &input);
        if (ZSTD_isError(last))
            refuse(QStringLiteral("holds a patch of %1 that doesn't apply (%2)").arg(shown(path), QLatin1String(ZSTD_getErrorName(last))));
        if (output.pos == 0 && last != 0)
            refuse(QStringLiteral("holds a patch of %1 that is cut short").arg(shown(path)));
        produced += qint64(output.pos);
        if (produced > size)
            refuse(QStringLiteral("holds a patch of %1 that makes more than its %2 bytes").arg(shown(path)).arg(size));
        if (!writeAll(out, buffer.data(), output.pos))
            failSystem(QStringLiteral("couldn't be applied"), errno);
    }
    if (produced != size)
        refuse(QStringLiteral("holds a patch of %1 that makes %2 bytes, not %3").arg(shown(path)).arg(produced).arg(size));
}

} // namespace

namespace BundleDelta {

QByteArray resourcesDigest(const QString &bundlePath)
{
    try {
        const UniqueFd root = BundleSeal::openRoot(bundlePath);
        const std::optional<QByteArray> list = BundleSeal::readFile(root.get(), BundleSeal::kResourcesFile, CodeResources::kMaxBytes);
        return list ? sha256(*list) : QByteArray();
    } catch (const SealError &) {
        return {};
    }
}

void write(const QString &oldBundle, const QString &newBundle, const QString &outPath, int level)
{
    const SealedSide from = openSealed(oldBundle, "old");
    const SealedSide to = openSealed(newBundle, "new");

    const QByteArray out = QFile::encodeName(outPath);
    ::unlink(out.constData());
    UniqueFd fd(::open(out.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (!fd)
        failSystem(QStringLiteral("couldn't be written to %1").arg(outPath), errno);
    QByteArray head(kMagic, sizeof kMagic);
    for (int i = 0; i < 4; ++i)
        head += char((kVersion >> (8 * i)) & 0xff);
    head += sha256(from.listBytes);
    head += sha256(to.listBytes);
    if (!writeAll(fd.get(), head.constData(), size_t(head.size())))
        failSystem(QStringLiteral("couldn't be written"), errno);

    Writer w(fd.get(), level);
    // Removals, deepest first; an entry whose kind changed goes too.
    for (auto it = from.list.entries.rbegin(); it != from.list.entries.rend(); ++it) {
        const auto there = to.byPath.find(it->path);
        if (there == to.byPath.end() || there->second->type != it->type) {
            w.u8('R');
            w.text(it->path);
        }
    }
    for (const SealEntry &e : to.list.entries) {
        const auto was = from.byPath.find(e.path);
        const SealEntry *old = was != from.byPath.end() && was->second->type == e.type ? was->second : nullptr;
        switch (e.type) {
        case SealEntry::Type::Directory:
            if (!old || old->mode != e.mode) {
                w.u8(old ? 'M' : 'D');
                w.text(e.path);
                w.u32(e.mode);
            }
            break;
        case SealEntry::Type::Symlink:
            if (!old || old->target != e.target) {
                w.u8('L');
                w.text(e.path);
                w.text(e.target);
            }
            break;
        case SealEntry::Type::File: {
            if (old && old->digest == e.digest) {
                if (old->mode != e.mode) {
                    w.u8('M');
                    w.text(e.path);
                    w.u32(e.mode);
                }
                break;
            }
            struct stat st;
            const UniqueFd nf = openSealedFile(to.root.get(), e.path, &st);
            const QByteArray newBytes = readWholeFd(nf.get(), st.st_size);
            std::optional<QByteArray> patch;
            if (old) {
                const UniqueFd of = openSealedFile(from.root.get(), e.path, &st);
                patch = makePatch(readWholeFd(of.get(), st.st_size), newBytes, level);
            }
            if (patch && patch->size() < newBytes.size()) {
                w.u8('P');
                w.text(e.path);
                w.u32(e.mode);
                w.u64(quint64(newBytes.size()));
                w.u64(quint64(patch->size()));
                w.bytes(*patch);
            } else {
                w.u8('W');
                w.text(e.path);
                w.u32(e.mode);
                w.u64(quint64(newBytes.size()));
                w.bytes(newBytes);
            }
            break;
        }
        }
    }
    for (const char *name : kSignatureNames) {
        if (const std::optional<QByteArray> bytes = BundleSeal::readFile(to.root.get(), name, CodeResources::kMaxBytes)) {
            w.u8('S');
            w.text(QByteArray(name));
            w.text(*bytes);
        }
    }
    if (from.list.rootMode != to.list.rootMode) {
        w.u8('O');
        w.u32(to.list.rootMode);
    }
    w.u8('E');
    w.finish();
    if (::fsync(fd.get()) != 0 || fd.close() != 0)
        failSystem(QStringLiteral("couldn't be written"), errno);
}

namespace {

// Opens a delta and reads and checks its header into `head`; the file is
// left at the first record.
UniqueFd openDelta(const QString &deltaPath, QByteArray &head)
{
    UniqueFd fd(::open(QFile::encodeName(deltaPath).constData(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (!fd)
        failSystem(QStringLiteral("couldn't be read"), errno);
    head = QByteArray(kHeaderBytes, Qt::Uninitialized);
    const long long got = readFull(fd.get(), head.data(), size_t(head.size()));
    if (got < 0)
        failSystem(QStringLiteral("couldn't be read"), errno);
    head.truncate(qsizetype(got));
    checkHeader(head);
    return fd;
}

} // namespace

DeltaHeader readHeader(const QString &deltaPath)
{
    QByteArray head;
    openDelta(deltaPath, head);
    return {head.mid(12, 32), head.mid(44, 32)};
}

void apply(const QString &deltaPath, const QString &candidate, const DeltaLimits &limits)
{
    QByteArray head;
    const UniqueFd fd = openDelta(deltaPath, head);
    const QByteArray toDigest = head.mid(44, 32);

    UniqueFd root;
    try {
        root = BundleSeal::openRoot(candidate);
    } catch (const SealError &e) {
        refuse(QStringLiteral("has no bundle to apply to: ") + e.description());
    }
    // The signature folder is made anew from the delta's own records.
    UniqueFd contents(::openat(root.get(), "Contents", kDirFlags));
    if (!contents || !removeTreeAt(contents.get(), "_CodeSignature"))
        failSystem(QStringLiteral("couldn't be applied"), errno);

    Reader reader(fd.get(), limits);
    Applier applier(root.get(), limits, currentUmask());
    struct StrayLinkGuard {
        Applier &applier;
        bool checked = false;
        ~StrayLinkGuard()
        {
            if (!checked)
                applier.removeStrayLinks();
        }
    } strayLinks{applier};
    std::optional<unsigned> rootMode;
    std::map<QByteArray, QByteArray> signature;
    for (qint64 count = 0;; ++count) {
        if (count > limits.maxRecords)
            refuse(QStringLiteral("holds more than %1 records").arg(limits.maxRecords));
        const quint8 kind = reader.u8();
        if (kind == 'E')
            break;
        switch (kind) {
        case 'R':
            applier.removed(reader.text(kMaxPathBytes, "path"));
            break;
        case 'D': {
            const QByteArray path = reader.text(kMaxPathBytes, "path");
            applier.folder(path, reader.u32());
            break;
        }
        case 'M': {
            const QByteArray path = reader.text(kMaxPathBytes, "path");
            applier.mode(path, reader.u32());
            break;
        }
        case 'L': {
            const QByteArray path = reader.text(kMaxPathBytes, "path");
            applier.link(path, reader.text(kMaxPathBytes, "link target"));
            break;
        }
        case 'W': {
            const QByteArray path = reader.text(kMaxPathBytes, "path");
            const unsigned mode = reader.u32();
            const quint64 size = reader.u64();
            const qint64 checked = size > quint64(limits.maxFileBytes) ? limits.maxFileBytes + 1 : qint64(size);
            applier.file(path, mode, checked, [&](int, int out) { copyOut(reader, out, checked); });
            break;
        }
        case 'P': {
            const QByteArray path = reader.text(kMaxPathBytes, "path");
            const unsigned mode = reader.u32();
            const quint64 size = reader.u64();
            const quint64 patchBytes = reader.u64();
            const qint64 checked = size > quint64(limits.maxFileBytes) ? limits.maxFileBytes + 1 : qint64(size);
            // A patch never needs to be much larger than what it makes.
            if (patchBytes > quint64(limits.maxFileBytes) + (1 << 20))
                refuse(QStringLiteral("declares a patch of %1 bytes for %2").arg(patchBytes).arg(shown(path)));
            applier.file(path, mode, checked, [&](int parentFd, int out) {
                qint64 oldSize = 0;
                const UniqueFd oldFd = applier.openOld(parentFd, path, &oldSize);
                if (oldSize > limits.maxFileBytes)
                    refuse(QStringLiteral("patches %1, which is larger than %2 bytes").arg(shown(path)).arg(limits.maxFileBytes));
                const Mapping old(oldFd.get(), oldSize);
                applyPatch(reader, old, out, patchBytes, checked, limits, path);
            });
            break;
        }
        case 'S': {
            const QByteArray name = reader.text(64, "signature file name");
            if (std::none_of(std::begin(kSignatureNames), std::end(kSignatureNames), [&](const char *n) { return name == n; }))
                refuse(QStringLiteral("names an unknown signature file (%1)").arg(shown(name)));
            if (signature.count(name))
                refuse(QStringLiteral("gives the signature file %1 twice").arg(shown(name)));
            signature[name] = reader.text(CodeResources::kMaxBytes, "signature file");
            break;
        }
        case 'O':
            rootMode = reader.u32();
            break;
        default:
            refuse(QStringLiteral("holds a record of an unknown kind (%1)").arg(kind));
        }
    }
    reader.expectEnd();
    applier.finish(rootMode);
    strayLinks.checked = true;

    const auto list = signature.find(QByteArray(BundleSeal::kResourcesFile));
    if (list == signature.end() || sha256(list->second) != toDigest)
        refuse(QStringLiteral("makes a bundle whose resource list isn't the one it promised"));
    // Contents must still be the folder it was, not something made in its
    // place, before the signature files are written by path.
    const UniqueFd again = BundleSeal::openRoot(candidate);
    contents.reset(::openat(again.get(), "Contents", kDirFlags));
    if (!contents || ::mkdirat(contents.get(), "_CodeSignature", 0755) != 0)
        failSystem(QStringLiteral("couldn't be applied"), errno);
    for (const auto &[name, bytes] : signature)
        BundleSeal::writeFile(candidate, name.constData(), bytes);

    CodeResources resources;
    try {
        resources = CodeResources::parse(list->second);
    } catch (const SealError &e) {
        refuse(QStringLiteral("makes a bundle with a resource list that doesn't read: ") + e.description());
    }
    if (const std::optional<QString> why = BundleSeal::check(root.get(), resources))
        refuse(QStringLiteral("makes a bundle that doesn't match its seal: ") + *why);
}

} // namespace BundleDelta
