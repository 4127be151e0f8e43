#pragma once

#include "platform/SystemProfile.h"
#include "release/Release.h"

#include <QString>

#include <optional>

namespace Elf {
struct Info;
}

// What a release needs of the computer it runs on: the machine its programs
// are built for and the C and C++ runtime versions its programs and
// libraries need. Written into the feed by the release tool from the
// bundle's own files, and held against this computer before a download.
namespace SystemRequirements {

// Whether the release states any of the three.
bool hasAny(const Release &release);

// Whether machine, as `uname -m` names it, is the one the release is built
// for. The 32-bit x86 names (i386 to i686) are one machine, as are the
// 32-bit ARM ones (armv7l, armv8l, ...).
bool sameMachine(const QString &machine, const QString &required);

// The sentence for the first requirement of release that the computer
// described by profile doesn't meet, in the order machine, C library, C++
// library; nothing when it meets them all. A requirement the profile can't
// tell (no C++ library version) is not held against it.
std::optional<QString> unmet(const Release &release, const SystemProfile &profile);

// What a bundle's files add up to, for its feed record.
struct Needs {
    std::optional<QString> architecture;
    std::optional<QString> glibc;
    std::optional<QString> libstdcxx;
};

// Adds one file of the bundle: a program (which names the architecture) or
// a library. Throws std::runtime_error when two programs are built for
// different machines, or a library for another machine than the programs.
void add(Needs &needs, const QString &name, const Elf::Info &info, bool isProgram);

} // namespace SystemRequirements
