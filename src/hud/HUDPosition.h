#pragma once

#include <QString>

#include <array>
#include <optional>

// The nine places a message card can stand. The order is the order of
// allCases() and of the automation picker; the raw value is the case name.
enum class HUDPosition : int {
    center,
    top,
    bottom,
    left,
    right,
    topLeft,
    topRight,
    bottomLeft,
    bottomRight,
};

namespace HUDPositions {

const std::array<HUDPosition, 9> &allCases();

// The case name: "center", "topLeft", ...
QString rawValue(HUDPosition position);

// Exact, case-sensitive match against the nine raw values; anything else
// (other case, blanks, a display title, empty text) is no position.
std::optional<HUDPosition> fromRawValue(const QString &text);

// All raw values in order, separated by a comma and a blank, for messages
// that name the valid choices.
QString rawValueList();

// "center", "top left", ...: the case name in lower case, words spaced.
QString displayTitle(HUDPosition position);

// The type's name as automation front ends show it.
QString typeDisplayName();

} // namespace HUDPositions

size_t qHash(HUDPosition position, size_t seed = 0) noexcept;
