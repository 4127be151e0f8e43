// Resources/build-info.json, read for the settings window's version line.
// The bundle on disk can be anyone's after a failed or tampered update, so
// the reader must take any bytes. It answers the commit only for a JSON
// object of strings with a non-empty "commit", and "unknown" otherwise.
#include "FixedBundle.h"

#include "platform/BuildInfo.h"

#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const QString app = [] {
        const QString path = fuzzFolder() + QStringLiteral("/Ferrowhistle.app");
        if (!QDir().mkpath(path + QStringLiteral("/Contents/Resources")))
            std::abort();
        return path;
    }();
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    writeFuzzFile(app + QStringLiteral("/Contents/Resources/build-info.json"), bytes);

    const QString commit = buildCommit(Bundle::atPath(app));
    if (commit == QLatin1String("unknown"))
        return 0;
    // An answer other than "unknown" must be the file's own "commit".
    const QJsonDocument doc = QJsonDocument::fromJson(bytes);
    if (size > size_t(kBuildInfoMaxBytes) || !doc.isObject()
        || doc.object().value(QLatin1String("commit")).toString() != commit)
        std::abort();
    return 0;
}
