#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <optional>

// A release published with a phased rollout reaches installs in groups: each
// install keeps one group from 0 to kGroups - 1, and group g is offered the
// release by the automatic checks from pubDate + g × interval on. A check the
// user asks for is not held back.
namespace PhasedRollout {

inline constexpr int kGroups = 7;

// Why a text was not read as a date.
enum class DateError {
    form,  // not an ISO 8601 date and time with a zone, or a field out of range
    years, // a real date, but not within the years 0001 to 9999 in UTC
};

// An ISO 8601 date and time with a zone: 2026-12-08T10:00:00Z or
// 2026-12-08T11:00:00+01:00, seconds optional, and after them a fraction of
// any number of digits, of which milliseconds are kept (cut, never rounded
// into the next second). A time without a zone, a bare date, a lower-case
// "t" or "z", a basic-form offset (+0100), 24:00 or any other field out of
// range is refused: a point in time must not depend on the reader's own
// zone, or on a reading of the standard's rarer forms. A date whose instant
// lies outside the years 0001 to 9999 in UTC is refused too: it could not be
// written back in this form.
std::optional<QDateTime> parseDate(const QString &text, DateError *error = nullptr);

// The form the tools write and the log shows: UTC, seconds, milliseconds
// only when there are any. Never empty for a date parseDate gives or
// dueDate returns.
QString formatDate(const QDateTime &date);

// When the release reaches group: pubDate + group × intervalSeconds. None
// when that lies beyond the year 9999, which means never.
std::optional<QDateTime> dueDate(const QDateTime &pubDate, qint64 intervalSeconds, int group);

// The group of an install that has none stored: the same for the same
// identity every time, spread evenly over the groups across identities.
int groupOf(const QByteArray &installIdentity);

} // namespace PhasedRollout
