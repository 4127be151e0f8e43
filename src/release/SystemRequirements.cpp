#include "release/SystemRequirements.h"

#include "platform/DottedVersion.h"
#include "platform/ElfFile.h"

#include <QRegularExpression>

#include <stdexcept>

namespace SystemRequirements {

namespace {

QString family(const QString &machine)
{
    static const QRegularExpression x86(QStringLiteral("^i[3-6]86$"));
    if (x86.match(machine).hasMatch())
        return QStringLiteral("i686");
    if (machine.startsWith(QLatin1String("armv")))
        return QStringLiteral("armv7l");
    return machine;
}

// Whether have is below the required version. A version that doesn't read
// can't be held against the computer.
bool below(const QString &have, const QString &required)
{
    const auto h = DottedVersion::parse(have);
    const auto r = DottedVersion::parse(required);
    return h && r && *h < *r;
}

void raise(std::optional<QString> &current, const std::optional<QString> &candidate)
{
    if (candidate && (!current || below(*current, *candidate)))
        current = candidate;
}

} // namespace

bool hasAny(const Release &release)
{
    return release.architecture || release.minimumGlibcVersion || release.minimumLibstdcxxVersion;
}

bool sameMachine(const QString &machine, const QString &required) { return family(machine) == family(required); }

std::optional<QString> unmet(const Release &release, const SystemProfile &profile)
{
    if (release.architecture && !sameMachine(profile.machine, *release.architecture))
        return QStringLiteral("Ferrowhistle %1 needs another kind of computer (%2; this computer is %3).")
            .arg(release.version, *release.architecture, profile.machine);
    if (release.minimumGlibcVersion && below(profile.glibcVersion, *release.minimumGlibcVersion))
        return QStringLiteral("Ferrowhistle %1 needs a newer system (GNU C library %2; this computer has %3).")
            .arg(release.version, *release.minimumGlibcVersion, profile.glibcVersion);
    if (release.minimumLibstdcxxVersion && profile.libstdcxxVersion
        && below(*profile.libstdcxxVersion, *release.minimumLibstdcxxVersion))
        return QStringLiteral("Ferrowhistle %1 needs a newer system (GNU C++ library %2; this computer has %3).")
            .arg(release.version, *release.minimumLibstdcxxVersion, *profile.libstdcxxVersion);
    return std::nullopt;
}

void add(Needs &needs, const QString &name, const Elf::Info &info, bool isProgram)
{
    const QString machine = info.machineName();
    if (isProgram && !needs.architecture)
        needs.architecture = machine;
    else if (needs.architecture && *needs.architecture != machine)
        throw std::runtime_error((name + QStringLiteral(" is built for %1, the programs before it for %2")
                                             .arg(machine, *needs.architecture))
                                     .toStdString());
    QList<QByteArray> versions;
    for (const Elf::VersionNeed &need : info.versionNeeds) {
        for (const Elf::NeededVersion &v : need.versions)
            versions.append(v.name);
    }
    raise(needs.glibc, Elf::highestVersion(versions, "GLIBC_"));
    raise(needs.libstdcxx, Elf::highestVersion(versions, "GLIBCXX_"));
}

} // namespace SystemRequirements
