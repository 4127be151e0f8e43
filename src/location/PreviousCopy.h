#pragma once

#include <QDateTime>
#include <QString>

#include <optional>

// The copy an update replaced, kept beside the installed one under one fixed
// name, so that an update that does not start can be undone and the user can
// go back. There is never more than one: keeping a copy replaces the one kept
// before. The start-up sweep's prefixes do not match the name.
namespace PreviousCopy {

inline const QString kName = QStringLiteral(".Ferrowhistle-previous.app");
// How long a kept copy stays when nothing else removes it first.
inline constexpr int kKeepDays = 14;

// The kept copy's place beside the bundle.
QString pathBeside(const QString &bundlePath);
// Whether the bundle is itself a kept copy, started from its place (then
// the place beside it is its own).
bool isKeptCopy(const QString &bundlePath);

// What stands at a kept copy's place, read without following a link: a real
// folder holding a bundle with a build number, and when it was put there
// (renaming a folder sets its change time, and nothing else touches a kept
// copy). Nothing for a link, a file, or a folder without a build.
struct Kept {
    QString path;
    QString version;
    qint64 build = 0;
    QDateTime since;
};
std::optional<Kept> inspect(const QString &keptPath);
// The one answer to "is an older copy kept beside the bundle": what
// inspect() finds beside it, when its build is older than the bundle's.
std::optional<Kept> olderBeside(const QString &bundlePath);

// Puts the folder at oldCopy (on the bundle's file system) in the kept
// copy's place, replacing the copy kept there before in one step. Returns
// where that older copy is now (oldCopy's own path, or a kept-aside name where
// the file system cannot exchange folders), for the caller to remove; empty
// when nothing was kept before. Throws SwapError; then nothing has moved.
QString keep(const QString &bundlePath, const QString &oldCopy);

// Removes a whole copy at path: first renamed to a staging name beside it,
// which the start-up sweep removes should this process die before the
// removal is done, so the copy never lingers under a name that counts.
// Returns whether nothing is left.
bool discard(const QString &path);

} // namespace PreviousCopy
