#include "platform/ElfFile.h"

#include "platform/DottedVersion.h"
#include "platform/SystemError.h"
#include "platform/UniqueFd.h"

#include <QFile>
#include <QHash>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Elf {

namespace {

constexpr quint32 kPtLoad = 1;
constexpr quint32 kPtDynamic = 2;

constexpr qint64 kDtNull = 0;
constexpr qint64 kDtNeeded = 1;
constexpr qint64 kDtStrtab = 5;
constexpr qint64 kDtStrsz = 10;
constexpr qint64 kDtSoname = 14;
constexpr qint64 kDtRpath = 15;
constexpr qint64 kDtRunpath = 29;
constexpr qint64 kDtHash = 4;
constexpr qint64 kDtSymtab = 6;
constexpr qint64 kDtSyment = 11;
constexpr qint64 kDtGnuHash = 0x6ffffef5;
constexpr qint64 kDtVersym = 0x6ffffff0;
constexpr qint64 kDtVerdef = 0x6ffffffc;
constexpr qint64 kDtVerdefnum = 0x6ffffffd;
constexpr qint64 kDtVerneed = 0x6ffffffe;
constexpr qint64 kDtVerneednum = 0x6fffffff;

constexpr quint16 kShnUndef = 0;
constexpr quint16 kShnAbs = 0xfff1;
constexpr uchar kStbGlobal = 1;
constexpr uchar kStbWeak = 2;
constexpr uchar kStbGnuUnique = 10;
constexpr uchar kSttTls = 6;
constexpr uchar kSttSection = 3;
constexpr uchar kSttFile = 4;
constexpr quint16 kVersymHidden = 0x8000;

constexpr quint16 kVerFlagBase = 0x1;
constexpr quint16 kVerFlagWeak = 0x2;

// Far more than any real file has; a chain longer than this is a loop.
constexpr int kMaxEntries = 1 << 16;
// A version entry takes 16 bytes or more: a file holds no more of them
// than its size in 16s, whatever its counts and links claim.
constexpr quint64 kVersionEntryBytes = 16;

[[noreturn]] void fail(const QString &why) { throw ElfError(why.toStdString()); }

// Bounded reads in the file's byte order.
class Reader {
public:
    Reader(QByteArrayView bytes, bool big) : m_data(reinterpret_cast<const uchar *>(bytes.data())), m_size(quint64(bytes.size())), m_big(big) {}

    quint64 size() const { return m_size; }
    bool fits(quint64 offset, quint64 length) const { return offset <= m_size && length <= m_size - offset; }
    void need(quint64 offset, quint64 length, const char *what) const
    {
        if (!fits(offset, length))
            fail(QStringLiteral("its %1 lies outside the file").arg(QLatin1String(what)));
    }
    quint64 read(quint64 offset, int width, const char *what) const
    {
        need(offset, quint64(width), what);
        quint64 v = 0;
        for (int i = 0; i < width; ++i) {
            const quint64 byte = m_data[offset + quint64(m_big ? i : width - 1 - i)];
            v = (v << 8) | byte;
        }
        return v;
    }
    quint16 u16(quint64 o, const char *what) const { return quint16(read(o, 2, what)); }
    quint32 u32(quint64 o, const char *what) const { return quint32(read(o, 4, what)); }
    quint64 u64(quint64 o, const char *what) const { return read(o, 8, what); }
    const uchar *at(quint64 offset) const { return m_data + offset; }

private:
    const uchar *m_data;
    quint64 m_size;
    bool m_big;
};

struct Segment {
    quint64 offset, vaddr, filesz;
};

// Turns the addresses the dynamic section gives into file offsets through
// the loaded segments, as the loader maps them.
quint64 fileOffset(const QList<Segment> &loads, quint64 address, const char *what)
{
    for (const Segment &s : loads) {
        if (address >= s.vaddr && address - s.vaddr < s.filesz)
            return s.offset + (address - s.vaddr);
    }
    fail(QStringLiteral("its %1 lies outside what it loads").arg(QLatin1String(what)));
}

// The names the dynamic entries point at. Entries may share a name, but
// together they never name more bytes than the file holds: that bound keeps
// a file whose entries all point at one long name from costing its size
// squared.
class Strings {
public:
    Strings(const Reader &r, quint64 offset, quint64 size) : m_r(r), m_offset(offset), m_size(size), m_budget(r.size()) {}
    QByteArray at(quint64 index, const char *what)
    {
        if (index >= m_size)
            fail(QStringLiteral("a name of its %1 lies outside its string table").arg(QLatin1String(what)));
        const quint64 start = m_offset + index;
        const quint64 room = m_size - index;
        const void *end = std::memchr(m_r.at(start), 0, size_t(room));
        if (!end)
            fail(QStringLiteral("a name of its %1 runs past its string table").arg(QLatin1String(what)));
        const quint64 length = quint64(static_cast<const uchar *>(end) - m_r.at(start)) + 1;
        if (length > m_budget)
            fail(QStringLiteral("its names add up to more than the file holds"));
        m_budget -= length;
        return QByteArray(reinterpret_cast<const char *>(m_r.at(start)),
                          qsizetype(static_cast<const uchar *>(end) - m_r.at(start)));
    }

private:
    const Reader &m_r;
    quint64 m_offset, m_size;
    quint64 m_budget;
};

// Counts the version entries read against what the file can hold.
class EntryBudget {
public:
    explicit EntryBudget(quint64 fileSize) : m_left(fileSize / kVersionEntryBytes) {}
    void take(const char *what)
    {
        if (m_left == 0)
            fail(QStringLiteral("its %1 have more entries than the file holds").arg(QLatin1String(what)));
        --m_left;
    }

private:
    quint64 m_left;
};

QList<QByteArray> searchPath(const QByteArray &text)
{
    QList<QByteArray> dirs = text.split(':');
    // An empty entry means the current directory to the loader; kept, so a
    // caller sees it and can refuse it.
    if (text.isEmpty())
        dirs.clear();
    return dirs;
}

// The number of dynamic symbols, from the classic hash table: its chain
// has one entry per symbol.
quint64 hashedSymbolCount(const Reader &r, quint64 at)
{
    return r.u32(at + 4, "symbol hash table");
}

// The number of dynamic symbols, from the GNU hash table: one past the last
// symbol of the longest-reaching chain (the table leaves out none but the
// first symoffset, which are never looked up).
quint64 gnuHashedSymbolCount(const Reader &r, quint64 at, int word)
{
    const quint64 buckets = r.u32(at, "symbol hash table");
    const quint64 symoffset = r.u32(at + 4, "symbol hash table");
    const quint64 bloomWords = r.u32(at + 8, "symbol hash table");
    const quint64 bucketsAt = at + 16 + bloomWords * quint64(word);
    r.need(bucketsAt, buckets * 4, "symbol hash table");
    quint64 last = 0;
    for (quint64 b = 0; b < buckets; ++b)
        last = std::max<quint64>(last, r.u32(bucketsAt + b * 4, "symbol hash table"));
    if (last < symoffset)
        return symoffset;
    const quint64 chainsAt = bucketsAt + buckets * 4;
    // Each step reads four more bytes of the file, so the walk ends.
    while (!(r.u32(chainsAt + (last - symoffset) * 4, "symbol hash table") & 1))
        ++last;
    return last + 1;
}

void readSymbols(const Reader &r, Strings &strings, Info &info, quint64 at, quint64 entrySize, quint64 count,
                 std::optional<quint64> versym, const QHash<quint16, QByteArray> &versionNames)
{
    const bool wide = info.bits == 64;
    if (entrySize != (wide ? 24u : 16u))
        fail(QStringLiteral("its symbol entries are %1 bytes long").arg(entrySize));
    if (count > r.size() / entrySize)
        fail(QStringLiteral("its symbol table lies outside the file"));
    r.need(at, count * entrySize, "symbol table");
    if (versym)
        r.need(*versym, count * 2, "symbol versions");
    info.symbolVersions = versym.has_value();
    // Entry 0 is the undefined symbol every table begins with.
    for (quint64 i = 1; i < count; ++i) {
        const quint64 e = at + i * entrySize;
        const quint32 nameIndex = r.u32(e, "symbol table");
        const uchar infoByte = *r.at(e + (wide ? 4 : 12));
        const quint16 section = r.u16(e + (wide ? 6 : 14), "symbol table");
        const quint64 value = wide ? r.u64(e + 8, "symbol table") : r.u32(e + 4, "symbol table");
        const uchar binding = infoByte >> 4;
        const uchar type = infoByte & 0xf;
        if (nameIndex == 0 || (binding != kStbGlobal && binding != kStbWeak && binding != kStbGnuUnique) || type == kSttSection
            || type == kSttFile)
            continue;
        Symbol symbol;
        symbol.defined = section != kShnUndef;
        // The loader passes over a definition at address 0 (version names
        // are such absolute symbols) unless it is thread-local.
        if (symbol.defined && value == 0 && type != kSttTls)
            continue;
        if (symbol.defined && section == kShnAbs && value == 0)
            continue;
        symbol.weak = binding == kStbWeak;
        if (versym) {
            const quint16 v = r.u16(*versym + i * 2, "symbol versions");
            symbol.hidden = (v & kVersymHidden) != 0;
            symbol.version = versionNames.value(v & 0x7fff);
        }
        symbol.name = strings.at(nameIndex, "symbol table");
        if (symbol.name.isEmpty())
            continue; // nothing can name it
        info.symbols.append(std::move(symbol));
    }
}

} // namespace

bool hasElfMagic(QByteArrayView bytes)
{
    return bytes.size() >= 4 && bytes.first(4) == QByteArrayView("\x7f" "ELF", 4);
}

Info parse(QByteArrayView bytes, Detail detail)
{
    if (!hasElfMagic(bytes))
        fail(QStringLiteral("it isn't an ELF file"));
    if (bytes.size() < 16)
        fail(QStringLiteral("it ends inside its ELF header"));
    Info info;
    const uchar elfClass = uchar(bytes[4]);
    const uchar data = uchar(bytes[5]);
    if (elfClass != 1 && elfClass != 2)
        fail(QStringLiteral("its ELF class (%1) is neither 32- nor 64-bit").arg(elfClass));
    if (data != 1 && data != 2)
        fail(QStringLiteral("its byte order (%1) is unknown").arg(data));
    if (uchar(bytes[6]) != 1)
        fail(QStringLiteral("its ELF version (%1) is unknown").arg(uchar(bytes[6])));
    info.bits = elfClass == 2 ? 64 : 32;
    info.bigEndian = data == 2;
    const bool wide = info.bits == 64;
    const int word = wide ? 8 : 4;
    const Reader r(bytes, info.bigEndian);
    r.need(0, wide ? 64 : 52, "ELF header");
    info.type = r.u16(16, "ELF header");
    info.machine = r.u16(18, "ELF header");
    const quint64 phoff = r.read(wide ? 32 : 28, word, "ELF header");
    const quint16 phentsize = r.u16(wide ? 54 : 42, "ELF header");
    const quint16 phnum = r.u16(wide ? 56 : 44, "ELF header");
    const quint16 phMin = wide ? 56 : 32;
    if (phnum == 0xffff)
        fail(QStringLiteral("it has more program headers than it can count"));
    if (phnum > 0 && phentsize < phMin)
        fail(QStringLiteral("its program headers are too small (%1 bytes)").arg(phentsize));
    if (phnum > 0)
        r.need(phoff, quint64(phentsize) * phnum, "program header table");

    QList<Segment> loads;
    std::optional<Segment> dynamic;
    for (quint16 i = 0; i < phnum; ++i) {
        const quint64 h = phoff + quint64(i) * phentsize;
        const quint32 type = r.u32(h, "program header table");
        Segment s;
        if (wide) {
            s.offset = r.u64(h + 8, "program header table");
            s.vaddr = r.u64(h + 16, "program header table");
            s.filesz = r.u64(h + 32, "program header table");
        } else {
            s.offset = r.u32(h + 4, "program header table");
            s.vaddr = r.u32(h + 8, "program header table");
            s.filesz = r.u32(h + 16, "program header table");
        }
        if (type == kPtLoad || type == kPtDynamic) {
            if (!r.fits(s.offset, s.filesz))
                fail(QStringLiteral("a segment lies outside the file"));
            if (type == kPtLoad)
                loads.append(s);
            else if (!dynamic)
                dynamic = s;
        }
    }
    if (!dynamic)
        return info; // a static program or an object file: it needs nothing
    info.dynamic = true;

    // The dynamic entries, up to DT_NULL.
    const quint64 entrySize = quint64(2 * word);
    std::optional<quint64> strtab, strsz, verneed, verdef, symtab, syment, hash, gnuHash, versym;
    quint64 verneednum = 0, verdefnum = 0;
    bool haveVerneednum = false, haveVerdefnum = false;
    QList<quint64> neededIndex, rpathIndex, runpathIndex;
    std::optional<quint64> sonameIndex;
    for (quint64 e = 0; e + entrySize <= dynamic->filesz; e += entrySize) {
        const quint64 at = dynamic->offset + e;
        const qint64 tag = wide ? qint64(r.u64(at, "dynamic section")) : qint64(qint32(r.u32(at, "dynamic section")));
        const quint64 value = r.read(at + quint64(word), word, "dynamic section");
        if (tag == kDtNull)
            break;
        switch (tag) {
        case kDtNeeded: neededIndex.append(value); break;
        case kDtStrtab: strtab = value; break;
        case kDtStrsz: strsz = value; break;
        case kDtSoname: sonameIndex = value; break;
        case kDtRpath: rpathIndex.append(value); break;
        case kDtRunpath: runpathIndex.append(value); break;
        case kDtVerneed: verneed = value; break;
        case kDtVerneednum: verneednum = value; haveVerneednum = true; break;
        case kDtVerdef: verdef = value; break;
        case kDtVerdefnum: verdefnum = value; haveVerdefnum = true; break;
        case kDtSymtab: symtab = value; break;
        case kDtSyment: syment = value; break;
        case kDtHash: hash = value; break;
        case kDtGnuHash: gnuHash = value; break;
        case kDtVersym: versym = value; break;
        default: break;
        }
    }
    const bool wantSymbols = detail == Detail::Symbols && symtab && (hash || gnuHash);
    const bool namesSomething = !neededIndex.isEmpty() || !rpathIndex.isEmpty() || !runpathIndex.isEmpty() || sonameIndex
                                || verneed || verdef || wantSymbols;
    if (!namesSomething)
        return info;
    if (!strtab || !strsz)
        fail(QStringLiteral("its dynamic section has no string table"));
    const quint64 strOffset = fileOffset(loads, *strtab, "string table");
    if (!r.fits(strOffset, *strsz))
        fail(QStringLiteral("its string table lies outside the file"));
    Strings strings(r, strOffset, *strsz);
    EntryBudget entries(r.size());

    for (quint64 i : neededIndex)
        info.needed.append(strings.at(i, "needed libraries"));
    for (quint64 i : rpathIndex)
        info.rpath += searchPath(strings.at(i, "run path"));
    for (quint64 i : runpathIndex)
        info.runpath += searchPath(strings.at(i, "run path"));
    if (sonameIndex)
        info.soname = strings.at(*sonameIndex, "soname");

    // Version indexes to names, for the symbol version table.
    QHash<quint16, QByteArray> versionNames;
    if (verneed) {
        quint64 at = fileOffset(loads, *verneed, "version needs");
        int count = 0;
        while (true) {
            if (++count > kMaxEntries || (haveVerneednum && quint64(count) > verneednum))
                break;
            entries.take("version needs");
            r.need(at, 16, "version needs");
            const quint16 cnt = r.u16(at + 2, "version needs");
            VersionNeed need;
            need.file = strings.at(r.u32(at + 4, "version needs"), "version needs");
            quint64 aux = at + r.u32(at + 8, "version needs");
            for (quint16 j = 0; j < cnt; ++j) {
                entries.take("version needs");
                r.need(aux, 16, "version needs");
                const quint16 flags = r.u16(aux + 4, "version needs");
                need.versions.append({strings.at(r.u32(aux + 8, "version needs"), "version needs"), (flags & kVerFlagWeak) != 0});
                versionNames.insert(r.u16(aux + 6, "version needs") & 0x7fff, need.versions.last().name);
                const quint32 next = r.u32(aux + 12, "version needs");
                if (next == 0)
                    break;
                aux += next;
            }
            info.versionNeeds.append(need);
            const quint32 next = r.u32(at + 12, "version needs");
            if (next == 0)
                break;
            at += next;
        }
    }

    if (verdef) {
        quint64 at = fileOffset(loads, *verdef, "version definitions");
        int count = 0;
        while (true) {
            if (++count > kMaxEntries || (haveVerdefnum && quint64(count) > verdefnum))
                break;
            entries.take("version definitions");
            r.need(at, 20, "version definitions");
            const quint16 flags = r.u16(at + 2, "version definitions");
            const quint16 cnt = r.u16(at + 6, "version definitions");
            // The first auxiliary entry names the version; later ones name
            // its parents, which are defined by entries of their own.
            if (cnt > 0) {
                const quint64 aux = at + r.u32(at + 12, "version definitions");
                r.need(aux, 8, "version definitions");
                const QByteArray name = strings.at(r.u32(aux, "version definitions"), "version definitions");
                if (!(flags & kVerFlagBase)) {
                    info.versionDefinitions.append(name);
                    versionNames.insert(r.u16(at + 4, "version definitions") & 0x7fff, name);
                }
            }
            const quint32 next = r.u32(at + 16, "version definitions");
            if (next == 0)
                break;
            at += next;
        }
    }

    if (wantSymbols) {
        const quint64 count = hash ? hashedSymbolCount(r, fileOffset(loads, *hash, "symbol hash table"))
                                   : gnuHashedSymbolCount(r, fileOffset(loads, *gnuHash, "symbol hash table"), word);
        readSymbols(r, strings, info, fileOffset(loads, *symtab, "symbol table"), syment.value_or(wide ? 24 : 16), count,
                    versym ? std::optional<quint64>(fileOffset(loads, *versym, "symbol versions")) : std::nullopt, versionNames);
    }
    return info;
}

std::optional<Info> readFile(const QString &path, Detail detail)
{
    const QByteArray native = QFile::encodeName(path);
    const UniqueFd fd(::open(native.constData(), O_RDONLY | O_CLOEXEC));
    if (!fd)
        fail(QStringLiteral("it can't be opened (%1)").arg(systemErrorText(errno)));
    struct stat st;
    if (::fstat(fd.get(), &st) != 0)
        fail(QStringLiteral("it can't be read (%1)").arg(systemErrorText(errno)));
    if (!S_ISREG(st.st_mode))
        return std::nullopt;
    if (st.st_size < 4)
        return std::nullopt;
    const size_t size = size_t(st.st_size);
    void *map = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd.get(), 0);
    if (map == MAP_FAILED)
        fail(QStringLiteral("it can't be read (%1)").arg(systemErrorText(errno)));
    struct Unmap {
        void *p;
        size_t n;
        ~Unmap() { ::munmap(p, n); }
    } unmap{map, size};
    const QByteArrayView bytes(static_cast<const char *>(map), qsizetype(size));
    if (!hasElfMagic(bytes))
        return std::nullopt;
    return parse(bytes, detail);
}

QString Info::machineName() const
{
    switch (machine) {
    case 3: return QStringLiteral("i686");
    case 62: return QStringLiteral("x86_64");
    case 183: return QStringLiteral("aarch64");
    case 40: return QStringLiteral("armv7l");
    case 243: return bits == 64 ? QStringLiteral("riscv64") : QStringLiteral("riscv32");
    case 21: return bigEndian ? QStringLiteral("ppc64") : QStringLiteral("ppc64le");
    case 20: return QStringLiteral("ppc");
    case 22: return bits == 64 ? QStringLiteral("s390x") : QStringLiteral("s390");
    case 8: return bits == 64 ? QStringLiteral("mips64") : QStringLiteral("mips");
    case 258: return QStringLiteral("loongarch64");
    case 43: return QStringLiteral("sparc64");
    case 50: return QStringLiteral("ia64");
    default: return QStringLiteral("ELF machine %1").arg(machine);
    }
}

std::optional<QString> highestVersion(const QList<QByteArray> &names, QByteArrayView prefix)
{
    std::optional<DottedVersion> best;
    for (const QByteArray &name : names) {
        if (!name.startsWith(prefix))
            continue;
        const auto v = DottedVersion::parse(QString::fromLatin1(name.mid(prefix.size())));
        if (v && (!best || *v > *best))
            best = v;
    }
    return best ? std::optional<QString>(best->text()) : std::nullopt;
}

} // namespace Elf
