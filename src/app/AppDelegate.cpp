#include "app/AppDelegate.h"

#include "app/AppActions.h"
#include "app/LauncherEntry.h"
#include "hud/DebugLog.h"
#include "hud/HUDController.h"
#include "desktop/ActivationPolicy.h"
#include "relocate/MoveToApplications.h"
#include "location/AppLocation.h"
#include "location/Relaunch.h"
#include "update/UpdaterInterface.h"

#include <QPointer>

AppDelegate::AppDelegate(QObject *parent) : AppDelegate(HUDController::shared(), parent) {}

AppDelegate::AppDelegate(HUDController &hud, QObject *parent) : QObject(parent), m_hud(hud) {}

void AppDelegate::applicationDidFinishLaunching()
{
    const ActivationPolicy policy = activationPolicy();
    debugLog(QStringLiteral("applicationDidFinishLaunching policy=") + QString::number(static_cast<int>(policy)));
    if (policy != ActivationPolicy::Accessory)
        setActivationPolicy(ActivationPolicy::Accessory);

    HUDController &hud = m_hud;
    hud.appIsReady = true;
    if (hud.pending) {
        // Empty the slot first so the flushed request cannot be held again.
        const HUDController::Pending held = *hud.pending;
        hud.pending.reset();
        debugLog(QStringLiteral("flushing pending message after launch"));
        hud.show(held);
    }
}

QCoro::Task<> AppDelegate::completeLaunch(UpdaterInterface &updater)
{
    // The updater exists from here on. The offer to move to Applications runs
    // to its end, answers and notices included, before the automatic checks
    // start; from anywhere else it finishes at once.
    QPointer<UpdaterInterface> alive(&updater);
    // A moved copy has nothing kept beside it.
    auto offer = offerMoveToApplications(AppLocation::running(), Relauncher{}, launcherActions(false));
    co_await std::move(offer);
    if (!alive)
        co_return;
    alive->startAutomaticChecks();
    // After the sweep, which may have removed a kept copy.
    refreshLauncherEntry(AppLocation::running().bundlePath);
}
