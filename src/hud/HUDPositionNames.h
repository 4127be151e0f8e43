#pragma once

#include <array>
#include <string_view>

// The raw values of the nine positions, in the order of HUDPosition, without
// Qt: the command-line client checks a position with these before it starts.
namespace HUDPositionNames {

inline constexpr std::array<std::string_view, 9> raw = {
    "center", "top", "bottom", "left", "right", "topLeft", "topRight", "bottomLeft", "bottomRight",
};

// All of them, separated by a comma and a blank, for messages that name the
// valid choices.
inline constexpr std::string_view list =
    "center, top, bottom, left, right, topLeft, topRight, bottomLeft, bottomRight";

// The list is written out so that it is a constant; this keeps it in step.
constexpr bool listMatchesRaw()
{
    size_t at = 0;
    for (size_t i = 0; i < raw.size(); ++i) {
        if (i > 0) {
            if (list.substr(at, 2) != ", ")
                return false;
            at += 2;
        }
        if (list.substr(at, raw[i].size()) != raw[i])
            return false;
        at += raw[i].size();
    }
    return at == list.size();
}
static_assert(listMatchesRaw());

constexpr bool isRawValue(std::string_view text)
{
    for (std::string_view name : raw) {
        if (text == name)
            return true;
    }
    return false;
}

} // namespace HUDPositionNames
