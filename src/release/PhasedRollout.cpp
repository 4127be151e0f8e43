#include "release/PhasedRollout.h"

#include <QRegularExpression>

namespace PhasedRollout {

std::optional<QDateTime> parseDate(const QString &text)
{
    // QDateTime reads more than this (a missing zone as local time, spaces,
    // basic forms), so the form is held first and the calendar checked by Qt.
    static const QRegularExpression form(QStringLiteral(
        "^[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}(:[0-9]{2}(\\.[0-9]{1,9})?)?(Z|[+-][0-9]{2}:[0-9]{2})$"));
    if (!form.match(text).hasMatch())
        return std::nullopt;
    const QDateTime date = QDateTime::fromString(text, Qt::ISODateWithMs);
    if (!date.isValid() || date.timeSpec() == Qt::LocalTime)
        return std::nullopt;
    return date.toUTC();
}

QString formatDate(const QDateTime &date)
{
    const QDateTime utc = date.toUTC();
    return utc.toString(utc.time().msec() ? Qt::ISODateWithMs : Qt::ISODate);
}

std::optional<QDateTime> dueDate(const QDateTime &pubDate, qint64 intervalSeconds, int group)
{
    // A feed may give any interval that fits 64 bits; the arithmetic must
    // not wrap round to a date in the past.
    qint64 offsetSeconds = 0;
    qint64 offsetMs = 0;
    qint64 dueMs = 0;
    if (__builtin_mul_overflow(intervalSeconds, qint64(group), &offsetSeconds)
        || __builtin_mul_overflow(offsetSeconds, qint64(1000), &offsetMs)
        || __builtin_add_overflow(pubDate.toMSecsSinceEpoch(), offsetMs, &dueMs))
        return std::nullopt;
    const QDateTime due = QDateTime::fromMSecsSinceEpoch(dueMs, Qt::UTC);
    if (!due.isValid())
        return std::nullopt;
    return due;
}

} // namespace PhasedRollout
