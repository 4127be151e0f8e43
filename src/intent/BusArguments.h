#pragma once

#include "hud/HUDPosition.h"

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

} // namespace BusArguments
