#pragma once

#include "DisplayArguments.h"

#include <QDBusConnection>
#include <QString>

#include <qcoro/qcorotask.h>

// Runs the action through the session bus: makes sure the app is there
// (through D-Bus activation, else by starting the Ferrowhistle beside this
// program), calls DisplayMessage and waits for its reply, which comes once
// the message has gone.
class DisplayClient {
public:
    struct Result {
        int exitCode = 1;
        QString error; // one line, for exit codes other than 0
    };

    explicit DisplayClient(QDBusConnection connection) : m_bus(std::move(connection)) {}

    QCoro::Task<Result> run(DisplayArguments arguments);

    // How long a started app may take to appear on the bus.
    static constexpr int kStartTimeoutMs = 30000;

private:
    QCoro::Task<Result> call(const DisplayArguments &arguments);
    QCoro::Task<QString> launchBesideUs();

    QDBusConnection m_bus;
};
