#pragma once

#include <QDateTime>
#include <QString>

#include <optional>

// A release published with a phased rollout reaches installs in groups: each
// install keeps one group from 0 to kGroups - 1, and group g is offered the
// release by the automatic checks from pubDate + g × interval on. A check the
// user asks for is not held back.
namespace PhasedRollout {

inline constexpr int kGroups = 7;

// An ISO 8601 date and time with a zone: 2026-12-08T10:00:00Z or
// 2026-12-08T11:00:00+01:00, seconds and a fraction of them optional. A time
// without a zone, a bare date, a lower-case "t" or "z", or a basic-form
// offset (+0100) is refused: a point in time must not depend on the reader's
// own zone, or on a reading of the standard's rarer forms.
std::optional<QDateTime> parseDate(const QString &text);

// The form the tools write and the log shows: UTC, seconds, milliseconds
// only when there are any.
QString formatDate(const QDateTime &date);

// When the release reaches group: pubDate + group × intervalSeconds. None
// when that lies beyond what a date can hold, which means never.
std::optional<QDateTime> dueDate(const QDateTime &pubDate, qint64 intervalSeconds, int group);

} // namespace PhasedRollout
