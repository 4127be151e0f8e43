#pragma once

#include "hud/HUDPosition.h"

#include <QString>
#include <QStringList>

#include <optional>

// What the command line asks to show at start: the text after the first
// "--test-message" and the placement after the first "--position". Both
// searches start at element 0 and match whole arguments only.
struct LaunchRequest {
    QString message;
    HUDPosition position = HUDPosition::center;
};

std::optional<LaunchRequest> scanLaunchArguments(const QStringList &arguments);

// ["/path/app", "--test-message", "Hello"]: each argument in double quotes,
// with a quote, a backslash and control characters written as escapes.
QString renderArgumentList(const QStringList &arguments);

// The process's argument vector as given, before Qt takes its own options
// out. Bytes that are not UTF-8 become U+FFFD.
QStringList argumentsFromArgv(int argc, char **argv);
