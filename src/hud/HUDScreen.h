#pragma once

#include <QString>

#include <optional>

// Which screen a card appears on: the primary screen's available area (the
// default), the screen under the mouse pointer, or every screen at once.
enum class HUDScreen : int {
    main,
    pointer,
    all,
};

namespace HUDScreens {

QString rawValue(HUDScreen screen);
// Exact, case-sensitive match; anything else is no choice.
std::optional<HUDScreen> fromRawValue(const QString &text);
// "main, pointer, all", for messages that name the valid choices.
QString rawValueList();

// The user setting that picks the screen when a request does not; a
// missing, mistyped or unknown value is main.
inline QString settingKey() { return QStringLiteral("HUDScreen"); }

} // namespace HUDScreens
