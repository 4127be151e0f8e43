#pragma once

#include "hud/HUDPosition.h"
#include "hud/HUDScreen.h"

#include <QString>
#include <QVariantList>

#include <optional>
#include <variant>

// What a caller on the bus sent, checked before anything runs. Kept apart
// from the service so the checks can be driven without a bus.
namespace BusArguments {

// Bad input is echoed in errors, but never at length.
QString shortened(const QString &text);

// The InvalidArgs text for a call of member whose signature is not the
// expected one (e.g. "ssd", described as "s message, s position, d duration");
// nothing when it is.
std::optional<QString> signatureRefusal(const QString &member, const QString &signature, const char *expected,
                                        const char *description);

// The InvalidArgs text for a position that is not a raw value.
QString invalidPositionText(const QString &position);

// DisplayMessage(s message, s position, d duration) as sent: an empty
// position means the default one.
struct DisplayMessageCall {
    QString message;
    HUDPosition position = HUDPosition::center;
    double duration = 0;
};
// The call, or the InvalidArgs text that refuses it.
std::variant<DisplayMessageCall, QString> displayMessage(const QString &signature, const QVariantList &args);

// DisplayMessageWithOptions(s message, s position, d duration, a{sv} options):
// the same, and the options, of which "screen" (s: main, pointer, all) is
// the one known. An unknown key, a value of another type or an unknown
// screen refuses the call.
struct DisplayMessageWithOptionsCall {
    DisplayMessageCall display;
    std::optional<HUDScreen> screen;
};
std::variant<DisplayMessageWithOptionsCall, QString> displayMessageWithOptions(const QString &signature,
                                                                               const QVariantList &args);
// What the options know, for the refusals: "screen (s: main, pointer, all)".
QString knownOptionsText();

} // namespace BusArguments
