#pragma once

#include <QDBusConnection>
#include <QString>
#include <QStringList>

class AutomationService;

// One app per session: the first launch owns the bus name and answers on it;
// a later launch finds it owned and hands its command line to that one.
namespace SingleInstance {

struct Outcome {
    enum Kind {
        // This process owns the name; the service is on the bus.
        Primary,
        // Another instance owns it and has taken this command line.
        Forwarded,
        // No usable session bus (or the name could not be requested): run
        // alone, without automation. detail says why.
        Unavailable,
        // Another instance owns the name but did not take the command line.
        Failed,
    };
    Kind kind = Unavailable;
    QString detail;
};

// Registers the service's object, then the name. The object goes first so
// that calls queued by the bus while it started us find it at once.
Outcome claim(QDBusConnection connection, AutomationService *service, const QStringList &arguments);

} // namespace SingleInstance
