#include "app/AppDelegate.h"

#include "hud/DebugLog.h"
#include "hud/HUDController.h"
#include "platform/ActivationPolicy.h"
#include "update/Updater.h"

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
        hud.show(held.message, held.position, held.seconds);
    }

    // Launch completion. The updater exists from here on; its automatic checks
    // start last (the offer to move to Applications slots in before them).
    Updater &updater = Updater::shared();
    updater.startAutomaticChecks();
}
