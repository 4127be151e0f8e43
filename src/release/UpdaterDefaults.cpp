#include "release/UpdaterDefaults.h"

#include "release/Release.h"

#include <QUrl>

namespace UpdaterDefaults {

const QList<Key> &keys()
{
    static const QList<Key> all{
        {feedURLKey(), QMetaType::QString},
        {automaticCheckKey(), QMetaType::Bool},
        {lastCheckKey(), QMetaType::QDateTime},
        {rolloutGroupKey(), QMetaType::LongLong},
    };
    return all;
}

bool isHonouredFeedURL(const QString &text)
{
    return QUrl(text, QUrl::StrictMode).isValid() && writtenScheme(text) == QLatin1String("https");
}

} // namespace UpdaterDefaults
