#pragma once

#include <QByteArray>
#include <QFileDevice>
#include <QString>

#include <optional>

// Replaces the file at path by bytes so that a reader, or a crash, sees the
// old file or the new one, never half of either: QSaveFile writes a fresh
// temporary beside it (a unique name, so two writers never share one),
// flushes it to the disk and renames it over the file. With SyncFolder the
// folder is flushed too, so the rename itself survives a power cut.
// A link at path is written through to the file it names.
// Returns the reason when it could not; the old file is then untouched.
enum class FolderSync { Skip, SyncFolder };

std::optional<QString> writeFileAtomically(const QString &path, const QByteArray &bytes,
                                           QFileDevice::Permissions permissions, FolderSync sync = FolderSync::Skip);

// Renames from over to (one file system) and flushes the folder, so the
// rename survives a power cut; for a file written whole beforehand, e.g. with
// writeFileAtomically under a name of its own. Returns the system's reason
// when the rename failed; to is then untouched.
std::optional<QString> renameDurably(const QString &from, const QString &to);
