#include "DisplayArguments.h"

#include "hud/HUDPositionNames.h"
#include "hud/HUDScreenNames.h"

#include <charconv>
#include <cmath>
#include <optional>

namespace {

DisplayArguments usageError(std::string why)
{
    DisplayArguments a;
    a.result = DisplayArguments::Result::UsageError;
    a.error = std::move(why);
    return a;
}

std::string unknownOption(std::string_view name)
{
    return "unknown option " + std::string(name) + " (put -- before a message that starts with -)";
}

bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// "1,000,000.5" -> "1000000.5": commas only in the whole part, between
// groups of three digits. Anything else with a comma is no number.
std::optional<std::string> withoutGrouping(std::string_view text)
{
    std::string out;
    size_t i = 0;
    if (i < text.size() && text[i] == '-')
        out += text[i++];
    size_t group = 0;
    bool grouped = false;
    for (; i < text.size() && (isDigit(text[i]) || text[i] == ','); ++i) {
        if (text[i] == ',') {
            if (group == 0 || (grouped && group != 3) || (!grouped && group > 3))
                return std::nullopt;
            grouped = true;
            group = 0;
            continue;
        }
        out += text[i];
        ++group;
    }
    if (grouped && group != 3)
        return std::nullopt;
    const std::string_view rest = text.substr(i);
    if (rest.find(',') != std::string_view::npos)
        return std::nullopt;
    out += rest;
    return out;
}

// A number of seconds as the C locale writes it: decimal, with an optional
// sign, exponent and grouping commas, blanks around it ignored; no
// hexadecimal.
std::optional<double> parseSeconds(std::string_view text)
{
    while (!text.empty() && isBlank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && isBlank(text.back()))
        text.remove_suffix(1);
    if (text.size() > 1 && text.front() == '+' && text[1] != '-' && text[1] != '+')
        text.remove_prefix(1);
    if (text.empty())
        return std::nullopt;
    std::string ungrouped;
    if (text.find(',') != std::string_view::npos) {
        const std::optional<std::string> digits = withoutGrouping(text);
        if (!digits)
            return std::nullopt;
        ungrouped = *digits;
        text = ungrouped;
    }
    double value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, std::chars_format::general);
    if (ec != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

} // namespace

std::string_view DisplayArguments::usage()
{
    return "Usage: ferrowhistle-display MESSAGE [--position NAME] [--duration SECONDS]\n"
           "                            [--screen NAME] [--print-outcome]\n"
           "\n"
           "Shows MESSAGE in the Ferrowhistle card and returns once it has gone,\n"
           "starting Ferrowhistle first if it is not running. Line breaks in\n"
           "MESSAGE start new lines on the card.\n"
           "\n"
           "  --position NAME     where the card stands: center (the default), top,\n"
           "                      bottom, left, right, topLeft, topRight,\n"
           "                      bottomLeft or bottomRight\n"
           "  --duration SECONDS  how long it stays; 0 (the default) or less means\n"
           "                      automatic, from the message's length\n"
           "  --screen NAME       main (the primary screen), pointer (the screen\n"
           "                      under the mouse pointer) or all (a card on every\n"
           "                      screen); without it, the HUDScreen setting\n"
           "  --print-outcome     print how the message ended on a line of its own:\n"
           "                      timeout, clicked (by the user) or replaced (by a\n"
           "                      newer message)\n"
           "  -h, --help          show this help\n"
           "  --                  what follows is the message, even if it starts with -\n"
           "\n"
           "Exit status: 0 once the message has gone, 1 when Ferrowhistle cannot be\n"
           "reached or started, 2 on a usage error.\n";
}

DisplayArguments DisplayArguments::parse(const std::vector<std::string> &arguments)
{
    DisplayArguments a;
    bool haveMessage = false;
    bool optionsDone = false;
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string_view arg = arguments[i];
        if (!optionsDone && (arg == "-h" || arg == "--help")) {
            a.result = Result::Help;
            return a;
        }
        if (!optionsDone && arg == "--") {
            optionsDone = true;
            continue;
        }
        if (!optionsDone && arg == "--print-outcome") {
            a.printOutcome = true;
            continue;
        }
        if (!optionsDone && arg.starts_with("--")) {
            std::string_view name = arg;
            std::string_view value;
            bool inlineValue = false;
            if (const size_t eq = arg.find('='); eq != std::string_view::npos && eq > 0) {
                name = arg.substr(0, eq);
                value = arg.substr(eq + 1);
                inlineValue = true;
            }
            if (name == "--print-outcome")
                return usageError("--print-outcome takes no value");
            if (name != "--position" && name != "--duration" && name != "--screen")
                return usageError(unknownOption(name));
            if (!inlineValue) {
                if (i + 1 >= arguments.size())
                    return usageError(std::string(name) + " needs a value");
                value = arguments[++i];
            }
            if (name == "--position") {
                if (!HUDPositionNames::isRawValue(value))
                    return usageError("--position \"" + std::string(value) + "\" is not one of: " +
                                      std::string(HUDPositionNames::list));
                a.position = value;
            } else if (name == "--screen") {
                if (!HUDScreenNames::isRawValue(value))
                    return usageError("--screen \"" + std::string(value) + "\" is not one of: " +
                                      std::string(HUDScreenNames::list));
                a.screen = value;
            } else {
                const std::optional<double> seconds = parseSeconds(value);
                if (!seconds || !std::isfinite(*seconds))
                    return usageError("--duration wants a number of seconds, got \"" + std::string(value) +
                                      "\" (0 or less means automatic)");
                a.duration = *seconds;
            }
            continue;
        }
        if (!optionsDone && arg.size() > 1 && arg.front() == '-')
            return usageError(unknownOption(arg));
        if (haveMessage)
            return usageError("one MESSAGE only; quote a message that has spaces");
        a.message = arg;
        haveMessage = true;
    }
    if (!haveMessage)
        return usageError("MESSAGE is missing");
    a.result = Result::Run;
    return a;
}

std::string DisplayArguments::validUtf8(std::string_view bytes)
{
    static constexpr std::string_view kReplacement = "\xEF\xBF\xBD";
    std::string out;
    out.reserve(bytes.size());
    const auto at = [&](size_t i) { return static_cast<unsigned char>(bytes[i]); };
    size_t i = 0;
    while (i < bytes.size()) {
        const unsigned char lead = at(i);
        size_t length = 0;
        unsigned char low = 0x80, high = 0xBF; // allowed range of the second byte
        if (lead < 0x80) {
            length = 1;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            if (lead == 0xE0)
                low = 0xA0; // overlong
            else if (lead == 0xED)
                high = 0x9F; // UTF-16 surrogates
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            if (lead == 0xF0)
                low = 0x90; // overlong
            else if (lead == 0xF4)
                high = 0x8F; // beyond U+10FFFF
        }
        bool ok = length > 0 && i + length <= bytes.size();
        for (size_t k = 1; ok && k < length; ++k) {
            const unsigned char c = at(i + k);
            ok = k == 1 ? (c >= low && c <= high) : (c >= 0x80 && c <= 0xBF);
        }
        if (ok) {
            out.append(bytes.substr(i, length));
            i += length;
        } else {
            out.append(kReplacement);
            ++i;
        }
    }
    return out;
}
