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

// What a launch is asked to do before anything starts. Options that take a
// value (--test-message, --position, --action) take the next argument as it
// is, so `--test-message --help` shows the text "--help".
struct LaunchMode {
    enum Kind {
        Run,                 // start, or hand the command line to the running instance
        Help,                // print usage and exit
        Version,             // print the version and exit
        RegisterWithDesktop, // write the desktop entry and activation file, exit
        UsageError,          // print `error` and exit 2
        WatchStart,          // after an update, run from the kept copy: watch the new copy start
    };
    Kind kind = Run;
    // The desktop action of --action (first one counts); empty when none.
    QString action;
    QString error;
    // WatchStart: `--watch-start BUNDLE BUILD LIMIT_MS`, only as the whole
    // command line (the relaunch writes it; nobody types it). LIMIT_MS is
    // taken only within the range UpdaterDefaults::parseStartLimit accepts.
    QString watchBundle;
    qint64 watchBuild = 0;
    qint64 watchLimitMs = 0;
};

LaunchMode launchModeOf(const QStringList &arguments);

// The text --help prints.
QString launchUsage();

// ["/path/app", "--test-message", "Hello"]: each argument in double quotes,
// with a quote, a backslash and control characters written as escapes, and
// a long one shortened as the log shortens a message.
QString renderArgumentList(const QStringList &arguments);

// The process's argument vector as given, before Qt takes its own options
// out. Bytes that are not UTF-8 become U+FFFD.
QStringList argumentsFromArgv(int argc, char **argv);
