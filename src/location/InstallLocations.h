#pragma once

#include <QString>
#include <QStringList>

// The names and places one install (or move) run works with.
namespace InstallLocations {

// In the per-user temporary directory: the work directory with the archive.
inline const QString kWorkPrefix = QStringLiteral("Ferrowhistle-update-");
inline const QString kArchiveName = QStringLiteral("update.zip");
// Beside the bundle, on its file system: the unpacked candidate, and the
// copy that a move to Applications puts in place.
inline const QString kStagingPrefix = QStringLiteral(".Ferrowhistle-update-");
inline const QString kMovePrefix = QStringLiteral(".Ferrowhistle-move-");
// Beside the bundle: where a swap that cannot exchange puts the old copy
// while the new one moves in. Never swept by name alone: should the new copy
// fail to move in and the old one fail to move back, it is the only copy
// left. Only once a whole, verified copy runs at the path does it go.
inline const QString kKeptPrefix = QStringLiteral(".Ferrowhistle-kept-");

// A fresh name for that, in folder.
QString keptCopyPath(const QString &folder);

// A fresh UUID in its canonical 36-character upper-case form.
QString newUuidText();

// Where removable media and mounted images appear.
QStringList defaultMediaPrefixes();

// True when the bundle runs from removable media or a mounted image (its
// path begins with one of the prefixes) or from a translocated copy.
bool isOnDiskImage(const QString &bundlePath, const QStringList &mediaPrefixes);

// The folder holding path (path without its last component).
QString parentFolder(const QString &path);
// The last component of path.
QString lastComponent(const QString &path);

// Whether this user may create and remove entries in the folder.
bool isWritableFolder(const QString &path);

} // namespace InstallLocations
