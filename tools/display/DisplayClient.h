#pragma once

#include "DisplayArguments.h"

#include <memory>
#include <string>
#include <utility>

#include <systemd/sd-bus.h>

// Runs the action through the session bus: makes sure the app is there
// (through D-Bus activation, else by starting the Ferrowhistle beside this
// program), calls DisplayMessage (DisplayMessageWithOptions when a screen or
// the outcome is asked for) and waits for its reply, which comes once the
// message has gone. sd-bus rather than Qt: a script may call this for
// every message, and the client's start is part of each one's wait.
class DisplayClient {
public:
    struct Result {
        Result() = default;
        Result(int code, std::string why, std::string how = {})
            : exitCode(code), error(std::move(why)), outcome(std::move(how))
        {
        }
        int exitCode = 1;
        std::string error; // one line, for exit codes other than 0
        std::string outcome; // how the message ended, when it was asked for
    };

    DisplayClient();

    Result run(const DisplayArguments &arguments);

    // How long a started app may take to appear on the bus.
    static constexpr int kStartTimeoutMs = 30000;

private:
    struct BusUnref {
        void operator()(sd_bus *bus) const { sd_bus_flush_close_unref(bus); }
    };

    Result call(const DisplayArguments &arguments);
    std::string launchBesideUs();
    bool appIsOnBus();

    std::unique_ptr<sd_bus, BusUnref> m_bus;
    int m_openError = 0; // negative errno when the bus could not be reached
};
