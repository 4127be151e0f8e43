#include "release/FeedDates.h"

#include "release/PhasedRollout.h"
#include "release/StrictJson.h"
#include "release/UpdaterFailure.h"

namespace {

QDateTime requiredDate(const StrictJsonObject &json, const QString &key)
{
    const QJsonValue v = json.object.value(key);
    if (v.isUndefined())
        throw PlatformError(QStringLiteral("The update feed has no \"%1\".").arg(key));
    if (!v.isString())
        throw PlatformError(QStringLiteral("The update feed's \"%1\" isn't a string.").arg(key));
    PhasedRollout::DateError error = PhasedRollout::DateError::form;
    const std::optional<QDateTime> date = PhasedRollout::parseDate(v.toString(), &error);
    if (!date && error == PhasedRollout::DateError::years)
        throw PlatformError(QStringLiteral("The update feed's \"%1\" lies outside the years 0001 to 9999 (in UTC), so it can't be shown.").arg(key));
    if (!date)
        throw PlatformError(QStringLiteral("The update feed's \"%1\" isn't an ISO 8601 date and time with a zone.").arg(key));
    return *date;
}

} // namespace

FeedDates FeedDates::decode(const QByteArray &body)
{
    const StrictJsonObject json = StrictJsonObject::parse(body, QStringLiteral("The update feed"));
    return FeedDates{requiredDate(json, publishedKey()), requiredDate(json, expiresKey())};
}
