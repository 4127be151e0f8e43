#pragma once

#include <array>
#include <string_view>

// The screen choices' raw values without Qt: the command-line client checks
// --screen with these before it starts.
namespace HUDScreenNames {

inline constexpr std::array<std::string_view, 3> raw = {"main", "pointer", "all"};
inline constexpr std::string_view list = "main, pointer, all";

constexpr bool isRawValue(std::string_view text)
{
    for (std::string_view name : raw) {
        if (text == name)
            return true;
    }
    return false;
}

} // namespace HUDScreenNames
