#pragma once

#include <QString>

// Appends "TIMESTAMP TEXT\n" to ferrowhistle-debug.log in the per-user
// temporary directory. The text is written unchanged. The file is opened,
// appended to and closed on every call; failures are swallowed.
void debugLog(const QString &text);

// The log file's path as debugLog would use it now (empty when there is no
// usable temporary directory).
QString debugLogPath();

// Text forms used in log lines: a rectangle as "(x, y, w, h)" with numbers
// like 634.0 and 393.5, and a boolean as "true"/"false".
QString describeRect(double x, double y, double width, double height);
QString describeNumber(double value);
inline QString describeBool(bool value) { return value ? QStringLiteral("true") : QStringLiteral("false"); }
