#include "intent/DisplayMessageIntent.h"

#include "hud/DebugLog.h"
#include "hud/HUDController.h"

#include <cmath>

std::optional<double> DisplayMessageIntent::displayTime(double duration)
{
    // An infinite time would never end the wait; the caller gets automatic
    // instead, like every other value that is not a usable number of seconds.
    if (std::isfinite(duration) && duration > 0)
        return duration;
    return std::nullopt;
}

QCoro::Task<HUDOutcome> DisplayMessageIntent::perform() const
{
    // Copy what the wait needs: the caller's value may not outlive the first
    // suspension.
    const QString text = message;
    const HUDPosition where = position;
    const std::optional<double> seconds = displayTime(duration);
    const std::optional<HUDScreen> on = screen;
    debugLog(QStringLiteral("DisplayMessageIntent.perform() message=\"") + loggedMessage(text) + QLatin1Char('"'));
    co_return co_await HUDController::shared().showAndWait(text, where, seconds, on);
}
