#pragma once

#include <QByteArray>

// Where a path below a folder really leads, every symbolic link on the way
// followed, without ever leaving that folder: a step above it, or a link to
// an absolute path, counts as leaving it even when the path would come back
// in (../../x/Ferrowhistle.app/...), since what such a path means depends on
// where the folder sits.
//
// The kernel does this in one call (openat2 with RESOLVE_BENEATH). Where that
// call is missing (older kernels) or forbidden (container sandboxes answer
// ENOSYS or EPERM), the path is walked one component at a time from the
// folder's descriptor, each component opened without following it and any
// link read through that same descriptor, so nothing swapped in between the
// look and the step is followed either.
enum class PathReach { Inside, Outside, Nowhere };

PathReach reachBeneath(int folderFd, const QByteArray &relativePath);

// The component-at-a-time walk on its own, which reachBeneath falls back to.
PathReach reachBeneathByComponents(int folderFd, const QByteArray &relativePath);

// For tests: makes reachBeneath use the component walk even where the
// kernel's call works, so that both ways are held to the same cases.
void forceComponentResolution(bool on);
