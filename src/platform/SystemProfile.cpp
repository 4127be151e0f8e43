#include "platform/SystemProfile.h"

#include "platform/ElfFile.h"

#include <QFile>
#include <QFileInfo>

#include <gnu/libc-version.h>
#include <link.h>
#include <sys/utsname.h>

namespace {

QString programMachine(const QString &program)
{
    try {
        if (const auto info = Elf::readFile(program))
            return info->machineName();
    } catch (const Elf::ElfError &) {
    }
    utsname name{};
    return ::uname(&name) == 0 ? QString::fromLatin1(name.machine) : QString();
}

SystemProfile readProfile(const QString &program)
{
    SystemProfile p;
    p.machine = programMachine(program);
    p.glibcVersion = QString::fromLatin1(gnu_get_libc_version());
    const QString libstdcxx = loadedLibraryPath(QStringLiteral("libstdc++.so.6"));
    if (!libstdcxx.isEmpty()) {
        try {
            if (const auto info = Elf::readFile(libstdcxx))
                p.libstdcxxVersion = Elf::highestVersion(info->versionDefinitions, "GLIBCXX_");
        } catch (const Elf::ElfError &) {
            // Unknown: the requirement is then not held against this computer.
        }
    }
    return p;
}

} // namespace

SystemProfile SystemProfile::running()
{
    // The libraries of a process don't change while it runs.
    static const SystemProfile profile = readProfile(QStringLiteral("/proc/self/exe"));
    return profile;
}

SystemProfile SystemProfile::of(const QString &program) { return readProfile(program); }

QString loadedLibraryPath(const QString &fileName)
{
    struct Search {
        QByteArray prefix;
        QString path;
    } search{QFile::encodeName(fileName), {}};
    dl_iterate_phdr(
        [](dl_phdr_info *info, size_t, void *data) {
            auto *s = static_cast<Search *>(data);
            if (!info->dlpi_name || !*info->dlpi_name)
                return 0;
            const QByteArray path(info->dlpi_name);
            const QByteArray base = path.mid(path.lastIndexOf('/') + 1);
            if (!base.startsWith(s->prefix))
                return 0;
            s->path = QFile::decodeName(path);
            return 1;
        },
        &search);
    return search.path;
}
