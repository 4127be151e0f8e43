#include "app/LauncherEntry.h"

#include "app/AppActions.h"
#include "hud/DebugLog.h"
#include "location/PreviousCopy.h"
#include "platform/SystemLog.h"
#include "platform/Worker.h"

#include <algorithm>

QList<LauncherAction> launcherActionsFor(const QString &bundlePath)
{
    return launcherActions(PreviousCopy::olderBeside(bundlePath).has_value());
}

namespace {

struct Refreshed {
    bool rewritten = false;
    bool revertListed = false;
    QString problem;
};

} // namespace

QCoro::Task<> refreshLauncherEntry(QString bundlePath)
{
    auto refresh = [bundlePath] {
        Refreshed r;
        try {
            const QList<LauncherAction> actions = launcherActionsFor(bundlePath);
            r.revertListed = std::any_of(actions.begin(), actions.end(),
                                         [](const LauncherAction &a) { return a.id == actionId(AppAction::RevertUpdate); });
            r.rewritten = refreshDesktopEntry(bundlePath, userDataHome(), actions);
        } catch (const DesktopIntegrationError &e) {
            r.problem = QString::fromUtf8(e.what());
        }
        return r;
    };
    auto refreshing = onWorker(std::move(refresh));
    const Refreshed r = co_await std::move(refreshing);
    if (!r.problem.isEmpty())
        systemLog({QStringLiteral(FERROWHISTLE_BUNDLE_ID), QStringLiteral("app"),
                   QStringLiteral("Couldn't bring the launcher entry up to date: ") + r.problem});
    else if (r.rewritten)
        debugLog(QStringLiteral("launcher entry rewritten; revert-update ") + QLatin1String(r.revertListed ? "listed" : "not listed"));
}
