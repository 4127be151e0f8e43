#pragma once

#include <QString>

#include <optional>

// What this computer offers a program: the machine, and the versions of the
// C and C++ runtime libraries this process runs with.
struct SystemProfile {
    // The machine the programs here are built for, as `uname -m` names it:
    // the running program's own, since a 64-bit kernel may run a 32-bit
    // userland (armv7l programs on an aarch64 kernel); the kernel's only
    // when the program can't be read.
    QString machine;
    QString glibcVersion; // as gnu_get_libc_version() gives it
    // The highest GLIBCXX_ version that the libstdc++.so.6 loaded in this
    // process defines; nothing when it could not be read.
    std::optional<QString> libstdcxxVersion;

    // This process's profile. Reads a file the first time (so call it on a
    // worker); the same answer afterwards.
    static SystemProfile running();

    // The profile with the machine of the program at path (this process's
    // runtime libraries all the same). Reads files.
    static SystemProfile of(const QString &program);
};

// The path of the loaded object whose file name begins with fileName (the
// dynamic loader's list, as dl_iterate_phdr gives it); empty when none is.
QString loadedLibraryPath(const QString &fileName);
