#pragma once

#include <QString>

#include <functional>

// One line for the system log, with the channel it belongs to.
struct SystemLogEntry {
    QString subsystem;
    QString category;
    QString message;
};

// Writes the line to the journal (SYSLOG_IDENTIFIER=Ferrowhistle, fields
// SUBSYSTEM and CATEGORY, priority notice, the level that stands for a plain
// informative line). The text is passed as it is, never formatted, so a "%"
// in it is harmless. When the journal cannot be reached, the line goes to
// stderr as "Ferrowhistle: MESSAGE". Logging never stops the caller.
void systemLog(const SystemLogEntry &entry);

// Sends the line to the journal only, never to stderr (for a caller that
// writes it to stderr itself); returns whether the journal took it.
bool sendToJournal(const SystemLogEntry &entry);

// Where systemLog sends its lines. Tests install a sink to read them; an
// empty sink restores the journal. Returns the sink that was installed.
using SystemLogSink = std::function<void(const SystemLogEntry &)>;
SystemLogSink setSystemLogSink(SystemLogSink sink);
