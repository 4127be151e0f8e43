// An ELF file as a stranger's release could carry it, through the reader
// the loadability check and the release tool use.
#include "platform/ElfFile.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // A copy of exactly the input's size, so a read past the end is caught.
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    try {
        const Elf::Info info = Elf::parse(bytes);
        if (info.bits != 32 && info.bits != 64)
            std::abort();
        (void)info.machineName();
        QList<QByteArray> names = info.versionDefinitions;
        for (const Elf::VersionNeed &need : info.versionNeeds)
            for (const Elf::NeededVersion &v : need.versions)
                names.append(v.name);
        (void)Elf::highestVersion(names, "GLIBC_");
    } catch (const Elf::ElfError &) {
    }
    // The dynamic symbols too, as the loadability check reads them.
    try {
        const Elf::Info info = Elf::parse(bytes, Elf::Detail::Symbols);
        for (const Elf::Symbol &s : info.symbols) {
            if (s.name.isEmpty())
                std::abort();
        }
    } catch (const Elf::ElfError &) {
    }
    return 0;
}
