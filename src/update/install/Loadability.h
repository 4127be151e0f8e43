#pragma once

#include <QString>
#include <QStringList>

// Whether an unpacked candidate can be loaded on this computer, judged from
// its ELF files alone (nothing of it is run): every program, the updater
// module and every carried library finds each library it needs, in the
// bundle through its run paths ($ORIGIN expanded, never leaving the bundle)
// or among the system's libraries, every symbol version it needs is defined
// by the library that provides it, and every symbol it needs (but a weak
// one) is defined by an object the loader would load with it. A system
// library that would bind to a carried copy is held to that copy too.
namespace Loadability {

// The folders the system's dynamic loader searches: those /etc/ld.so.conf
// names (with the files it includes), the folder of the loaded C library,
// then /lib64, /usr/lib64, /lib and /usr/lib, as far as they exist.
QStringList systemLibraryFolders(const QString &config = QStringLiteral("/etc/ld.so.conf"));

// Throws UpdaterFailure with the sentence naming the first file (relative
// to the bundle) that can't be loaded and what it misses. systemFolders
// stands for the system's own (systemLibraryFolders()) when empty. Reads
// files: call on a worker.
void check(const QString &bundle, QStringList systemFolders = {});

} // namespace Loadability
