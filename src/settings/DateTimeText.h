#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>

// The ICU locale for dates and times from the environment, as the C library
// chooses it: the first of LC_ALL, LC_TIME and LANG that is set and not
// empty, without its codeset and modifier ("de_DE.UTF-8" gives "de_DE").
// "C", "POSIX" and nothing at all give "en_US_POSIX".
QByteArray userTimeLocale();

// `when` as the locale writes a date in its medium (abbreviated month) style
// and a time in its short style (hours and minutes): "Dec 8, 2026, 2:05 PM"
// in en_US. zoneId empty: the system's time zone.
QString abbreviatedDateShortTime(const QDateTime &when, const QByteArray &localeId = userTimeLocale(),
                                 const QByteArray &zoneId = {});
