#pragma once

#include <string>
#include <string_view>
#include <vector>

// ferrowhistle-display MESSAGE [--position NAME] [--duration SECONDS]
//                      [--screen NAME] [--print-outcome]
// Plain C++ (no Qt), so the client starts in a fraction of the time.
struct DisplayArguments {
    enum class Result { Run, Help, UsageError };

    Result result = Result::UsageError;
    std::string message; // UTF-8
    // A raw position value, already checked.
    std::string position = "center";
    double duration = 0;
    // A raw screen value, already checked; empty: the user's setting.
    std::string screen;
    // Print how the message ended ("timeout", "clicked", "replaced").
    bool printOutcome = false;
    // For UsageError: one line saying what is wrong.
    std::string error;

    // arguments without the program name, each valid UTF-8 (see validUtf8).
    static DisplayArguments parse(const std::vector<std::string> &arguments);
    static std::string_view usage();

    // A command-line argument as text for the bus, which accepts only valid
    // UTF-8: every byte that does not start a well-formed sequence becomes
    // U+FFFD, as Qt's decoder does.
    static std::string validUtf8(std::string_view bytes);
};
