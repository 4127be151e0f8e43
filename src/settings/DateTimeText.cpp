#include "settings/DateTimeText.h"

#include <QLocale>

#include <unicode/datefmt.h>
#include <unicode/locid.h>
#include <unicode/timezone.h>
#include <unicode/unistr.h>

#include <memory>

// Read here in the POSIX order for dates: QLocale::system() names the locale
// after LC_NUMERIC, not LC_TIME.
QByteArray userTimeLocale()
{
    QByteArray value;
    for (const char *name : {"LC_ALL", "LC_TIME", "LANG"}) {
        value = qgetenv(name);
        if (!value.isEmpty())
            break;
    }
    const qsizetype end = value.indexOf('.') >= 0 ? value.indexOf('.') : value.indexOf('@');
    if (end >= 0)
        value.truncate(end);
    if (value.isEmpty() || value == "C" || value == "POSIX")
        return QByteArrayLiteral("en_US_POSIX");
    return value;
}

QString abbreviatedDateShortTime(const QDateTime &when, const QByteArray &localeId, const QByteArray &zoneId)
{
    std::unique_ptr<icu::DateFormat> format(icu::DateFormat::createDateTimeInstance(
        icu::DateFormat::kMedium, icu::DateFormat::kShort, icu::Locale(localeId.constData())));
    if (!format) // ICU without its data: still a readable date
        return QLocale::c().toString(when.toUTC(), QStringLiteral("yyyy-MM-dd HH:mm 'UTC'"));
    if (!zoneId.isEmpty())
        format->adoptTimeZone(icu::TimeZone::createTimeZone(icu::UnicodeString::fromUTF8(zoneId.constData())));
    icu::UnicodeString text;
    format->format(static_cast<UDate>(when.toMSecsSinceEpoch()), text);
    return QString(reinterpret_cast<const QChar *>(text.getBuffer()), text.length());
}
