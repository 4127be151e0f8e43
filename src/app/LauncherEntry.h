#pragma once

#include "location/DesktopIntegration.h"

#include <QList>
#include <QString>

#include <qcoro/qcorotask.h>

// The launcher entry follows what is kept beside the bundle: "Revert to
// Previous Version" is listed only while an older copy is kept there.

// What the launcher entry of the bundle at bundlePath lists now.
QList<LauncherAction> launcherActionsFor(const QString &bundlePath);

// Rewrites the user's launcher entry, when it is this copy's, with what it
// should list now (an update or a revert has just kept or put back a copy, or
// the start-up sweep removed one). Runs on a worker; a failure is logged.
QCoro::Task<> refreshLauncherEntry(QString bundlePath);
