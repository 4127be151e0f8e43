#include "release/FeedScope.h"

#include "release/StrictJson.h"
#include "release/UpdaterFailure.h"

#include <algorithm>

namespace {

QString requiredString(const StrictJsonObject &json, const QString &key)
{
    const QJsonValue v = json.object.value(key);
    if (v.isUndefined())
        throw PlatformError(QStringLiteral("The update feed has no \"%1\".").arg(key));
    if (!v.isString())
        throw PlatformError(QStringLiteral("The update feed's \"%1\" isn't a string.").arg(key));
    return v.toString();
}

} // namespace

bool FeedScope::isChannelName(const QString &name)
{
    return !name.isEmpty() && name.size() <= 64 && std::all_of(name.begin(), name.end(), [](QChar c) {
        return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9') || c == u'.' || c == u'_'
               || c == u'-';
    });
}

FeedScope FeedScope::decode(const QByteArray &body)
{
    const StrictJsonObject json = StrictJsonObject::parse(body, QStringLiteral("The update feed"));
    FeedScope scope{requiredString(json, identifierKey()), requiredString(json, channelKey())};
    if (scope.identifier.isEmpty())
        throw PlatformError(QStringLiteral("The update feed's \"%1\" is empty.").arg(identifierKey()));
    if (!isChannelName(scope.channel))
        throw PlatformError(QStringLiteral("The update feed's \"%1\" isn't a channel name.").arg(channelKey()));
    return scope;
}
