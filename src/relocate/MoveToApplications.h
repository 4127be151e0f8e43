#pragma once

#include "location/AppLocation.h"
#include "location/DesktopIntegration.h"
#include "location/Relaunch.h"

#include <QString>

#include <qcoro/qcorotask.h>

// The offer made at the end of a launch from removable media, a mounted image
// or a translocated path, where the app cannot update itself: a modal
// question whether to move it into the Applications folder; on yes a copy is
// put in place there, registered with the desktop, and started in place of
// this process. Asks again at every such launch; remembers nothing.
//
// Finishes once the user has answered and, after a failure, dismissed the
// notice; after a successful move the relaunch has begun and the process is
// on its way out. Never throws.
// where: the running copy; relauncher: how the moved copy is started;
// launcherActions: what the moved copy's launcher entry lists.
QCoro::Task<> offerMoveToApplications(AppLocation where, Relauncher relauncher,
                                      QList<LauncherAction> launcherActions);

namespace MoveToApplications {

// ~/Applications.
QString applicationsFolder();

QString questionText();
// The informative text, with the sentence about replacing when a copy is
// already in the Applications folder.
QString informativeText(bool replacing);
QString moveButtonText();
QString notNowButtonText();

QString failureText();
// The failure notice's informative text for an error's description.
QString failureInformativeText(const QString &description);

// After the copy is in place but could not be started: the truth, which is
// not "drag it over yourself".
QString relaunchFailureText();
QString relaunchFailureInformativeText(const QString &description);

} // namespace MoveToApplications
