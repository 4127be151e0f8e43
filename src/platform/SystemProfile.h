#pragma once

#include <QString>

#include <optional>

// What this computer offers a program: the machine, and the versions of the
// C and C++ runtime libraries this process runs with.
struct SystemProfile {
    QString machine;      // as `uname -m` names it
    QString glibcVersion; // as gnu_get_libc_version() gives it
    // The highest GLIBCXX_ version that the libstdc++.so.6 loaded in this
    // process defines; nothing when it could not be read.
    std::optional<QString> libstdcxxVersion;

    // This process's profile. Reads a file the first time (so call it on a
    // worker); the same answer afterwards.
    static SystemProfile running();
};

// The path of the loaded object whose file name begins with fileName (the
// dynamic loader's list, as dl_iterate_phdr gives it); empty when none is.
QString loadedLibraryPath(const QString &fileName);
