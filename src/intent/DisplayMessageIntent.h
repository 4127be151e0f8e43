#pragma once

#include "hud/HUDOutcome.h"
#include "hud/HUDPosition.h"
#include "hud/HUDScreen.h"

#include <QString>

#include <qcoro/qcorotask.h>

#include <optional>

// The one automation action: show a message and finish only once it has gone
// from the screen, so the next step of an automation runs after it.
struct DisplayMessageIntent {
    QString message;
    HUDPosition position = HUDPosition::center;
    // Seconds; 0 or less (and NaN or infinity) means automatic.
    double duration = 0;
    // None: the user's setting.
    std::optional<HUDScreen> screen;

    // Logs the request, then waits on the shared controller until no panel is
    // shown and nothing is held, plus its closing pause; returns how this
    // message ended. Never fails.
    QCoro::Task<HUDOutcome> perform() const;

    // The display time handed to the controller: the duration when it is a
    // finite number above 0, otherwise none (the automatic time).
    static std::optional<double> displayTime(double duration);

    // How automation front ends describe the action and its parameters.
    static QString title() { return QStringLiteral("Display Message"); }
    static QString messageTitle() { return QStringLiteral("Message"); }
    static QString positionTitle() { return QStringLiteral("Position"); }
    static QString durationTitle() { return QStringLiteral("Duration"); }
    static QString durationDescription()
    {
        return QStringLiteral("Seconds to keep the message on screen. 0 means automatic, based on message length.");
    }
    static constexpr HUDPosition kDefaultPosition = HUDPosition::center;
    static constexpr double kDefaultDuration = 0;
};
