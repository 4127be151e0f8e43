#pragma once

#include <QString>

// Appends "TIMESTAMP TEXT\n" to ferrowhistle-debug.log in the per-user
// temporary directory. The text is written unchanged. The file is opened,
// appended to and closed on every call; failures are swallowed. Once the
// file has passed kDebugLogRotateBytes it is renamed to
// ferrowhistle-debug.log.1 (replacing an older one) and a new file begun, so
// the log keeps at most about twice that.
void debugLog(const QString &text);

inline constexpr qint64 kDebugLogRotateBytes = 10 * 1024 * 1024;

// A message as the log shows it: at most its first kLoggedMessageChars
// characters, then " … (N more characters)". Any program in the session may
// send messages, and the log must not grow with them.
inline constexpr qsizetype kLoggedMessageChars = 4096;
QString loggedMessage(const QString &message);

// The log file's path as debugLog would use it now (empty when there is no
// usable temporary directory).
QString debugLogPath();

// Text forms used in log lines: a rectangle as "(x, y, w, h)" with numbers
// like 634.0 and 393.5, and a boolean as "true"/"false".
QString describeRect(double x, double y, double width, double height);
QString describeNumber(double value);
inline QString describeBool(bool value) { return value ? QStringLiteral("true") : QStringLiteral("false"); }
