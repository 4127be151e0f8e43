#pragma once

#include <QString>

// Removes the entry at path and, for a folder, everything below it, without
// ever following a symbolic link: a link is removed as a link, whatever it
// points to. Folders that were made unwritable inside the tree are opened up
// just enough to empty them. A missing path counts as removed.
// Returns true when nothing is left; otherwise false with errno of the first
// failure (what could be removed has been).
bool removeTree(const QString &path);

// The same for the entry `name` of the folder open as dirFd.
bool removeTreeAt(int dirFd, const char *name);
