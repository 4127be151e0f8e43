#include "release/PhasedRollout.h"

#include <QCryptographicHash>
#include <QRegularExpression>

namespace PhasedRollout {

namespace {

// The instants formatDate can write: years of four digits, in UTC.
const QDateTime &earliest()
{
    static const QDateTime date(QDate(1, 1, 1), QTime(0, 0), Qt::UTC);
    return date;
}

const QDateTime &latest()
{
    static const QDateTime date(QDate(9999, 12, 31), QTime(23, 59, 59, 999), Qt::UTC);
    return date;
}

bool isShown(const QDateTime &date) { return date >= earliest() && date <= latest(); }

std::optional<QDateTime> refuse(DateError why, DateError *error)
{
    if (error)
        *error = why;
    return std::nullopt;
}

} // namespace

std::optional<QDateTime> parseDate(const QString &text, DateError *error)
{
    // Read field by field: QDateTime reads more than this (a missing zone as
    // local time, spaces, basic forms, 24:00 as the next day) and rounds a
    // long fraction, which can carry a date into the next day or year.
    static const QRegularExpression form(QStringLiteral(
        "^([0-9]{4})-([0-9]{2})-([0-9]{2})T([0-9]{2}):([0-9]{2})(?::([0-9]{2})(?:\\.([0-9]+))?)?"
        "(?:Z|([+-])([0-9]{2}):([0-9]{2}))$"));
    const QRegularExpressionMatch m = form.match(text);
    if (!m.hasMatch())
        return refuse(DateError::form, error);
    const auto field = [&m](int n) { return m.captured(n).toInt(); }; // digits only, absent reads 0
    const int year = field(1);
    const int hour = field(4);
    const int minute = field(5);
    const int second = field(6);
    const int offsetHours = field(9);
    const int offsetMinutes = field(10);
    const int millisecond = m.captured(7).left(3).leftJustified(3, u'0').toInt();
    if (hour > 23 || minute > 59 || second > 59 || offsetHours > 23 || offsetMinutes > 59)
        return refuse(DateError::form, error);
    // Year 0000 is a real ISO 8601 year (1 BC), but none QDate has.
    if (year == 0)
        return refuse(DateError::years, error);
    const QDate day(year, field(2), field(3));
    if (!day.isValid())
        return refuse(DateError::form, error);
    const int offsetSeconds = (m.captured(8) == u"-" ? -1 : 1) * (offsetHours * 3600 + offsetMinutes * 60);
    const QDateTime utc =
        QDateTime(day, QTime(hour, minute, second, millisecond), Qt::UTC).addSecs(-offsetSeconds);
    if (!isShown(utc))
        return refuse(DateError::years, error);
    return utc;
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
    // Beyond the year 9999 no date can be written in the log's form; a turn
    // that far off is no turn at all.
    const QDateTime due = QDateTime::fromMSecsSinceEpoch(dueMs, Qt::UTC);
    if (!due.isValid() || due > latest())
        return std::nullopt;
    return due;
}

int groupOf(const QByteArray &installIdentity)
{
    // A digest rather than qHash: qHash is seeded per process, and the group
    // must stay the same from one start to the next.
    const QByteArray digest = QCryptographicHash::hash(installIdentity, QCryptographicHash::Sha256);
    quint64 value = 0;
    for (int i = 0; i < 8; ++i)
        value = (value << 8) | quint8(digest[i]);
    return int(value % kGroups);
}

} // namespace PhasedRollout
