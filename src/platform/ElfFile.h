#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>

#include <optional>
#include <stdexcept>

// What the dynamic loader would read from an ELF program or shared library:
// its machine, the libraries it needs and where it looks for them, and the
// symbol versions it needs and defines. Read through the program headers and
// the dynamic segment, as the loader does, so a file without section
// headers reads the same. Every offset and size is checked against the
// file: a damaged or hostile file gives an ElfError, never a read outside
// it. Nothing is ever run.
namespace Elf {

class ElfError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct NeededVersion {
    QByteArray name;     // GLIBC_2.34
    bool weak = false;   // the loader only warns when it is missing
    bool operator==(const NeededVersion &) const = default;
};

// The versions needed of one library, named as in DT_NEEDED.
struct VersionNeed {
    QByteArray file;
    QList<NeededVersion> versions;
    bool operator==(const VersionNeed &) const = default;
};

// A global or weak entry of the dynamic symbol table.
struct Symbol {
    QByteArray name;
    // The version the entry defines or asks for (GLIBC_2.34); empty for
    // none, or the file's base version.
    QByteArray version;
    bool defined = false; // else a reference another file must answer
    bool weak = false;    // an unanswered weak reference is no failure
    // A non-default version (name@V, not name@@V): only a reference that
    // names the version binds to it.
    bool hidden = false;
    bool operator==(const Symbol &) const = default;
};

// How much of a file to read: what the loader needs to find its libraries,
// or that and its dynamic symbols too.
enum class Detail { Headers, Symbols };

struct Info {
    int bits = 0;            // 32 or 64
    bool bigEndian = false;
    quint16 type = 0;        // ET_EXEC, ET_DYN, ...
    quint16 machine = 0;     // e_machine
    bool dynamic = false;    // has a dynamic segment
    QList<QByteArray> needed;
    QList<QByteArray> rpath;   // DT_RPATH, split at ":"
    QList<QByteArray> runpath; // DT_RUNPATH, split at ":"
    std::optional<QByteArray> soname;
    QList<VersionNeed> versionNeeds;
    // The versions the file defines, without the entry naming the file itself.
    QList<QByteArray> versionDefinitions;
    // Read with Detail::Symbols only: the dynamic symbols, local ones and
    // those that define nothing the loader would bind to left out.
    QList<Symbol> symbols;
    // Whether it has a symbol version table: a reference that names a
    // version binds to any definition of a file without one.
    bool symbolVersions = false;

    // The machine as `uname -m` names it (x86_64, aarch64, ...), or
    // "ELF machine N" for one this reader has no name for.
    QString machineName() const;
};

// Whether bytes begin with the ELF magic.
bool hasElfMagic(QByteArrayView bytes);

// Reads an ELF file held in memory. Throws ElfError with the reason.
Info parse(QByteArrayView bytes, Detail detail = Detail::Headers);

// Reads the file at path (mapped, never run). Nothing when it is not an ELF
// file at all; throws ElfError when it cannot be read or is a damaged one.
std::optional<Info> readFile(const QString &path, Detail detail = Detail::Headers);

// The highest version among names of the form PREFIX + dotted numbers
// ("GLIBC_" and GLIBC_2.34 gives 2.34); GLIBC_PRIVATE and the like are not
// versions. Nothing when there is none.
std::optional<QString> highestVersion(const QList<QByteArray> &names, QByteArrayView prefix);

} // namespace Elf
