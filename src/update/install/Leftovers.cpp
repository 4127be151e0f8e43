#include "update/Updater.h"

#include "platform/RemoveTree.h"
#include "platform/TempDirectory.h"

#include <QFile>

#include <vector>

#include <dirent.h>

namespace {

// Every name in the folder, hidden ones included; empty when it can't be read.
std::vector<QString> namesIn(const QString &folder)
{
    std::vector<QString> names;
    DIR *dir = ::opendir(QFile::encodeName(folder).constData());
    if (!dir)
        return names;
    while (dirent *d = ::readdir(dir)) {
        const QString name = QFile::decodeName(d->d_name);
        if (name != QLatin1String(".") && name != QLatin1String(".."))
            names.push_back(name);
    }
    ::closedir(dir);
    return names;
}

} // namespace

void Updater::removeLeftovers() const
{
    using namespace InstallLocations;
    const QString bundleFolder = parentFolder(m_env.bundle.path());
    const QString temp = temporaryDirectory();
    const std::vector<std::pair<QString, QStringList>> places = {
        {bundleFolder, {kStagingPrefix, kMovePrefix}},
        {temp, {kWorkPrefix}},
    };
    for (const auto &[place, prefixes] : places) {
        if (place.isEmpty())
            continue;
        for (const QString &name : namesIn(place)) {
            for (const QString &prefix : prefixes) {
                if (!name.startsWith(prefix))
                    continue;
                const QString path = place + u'/' + name;
                // A read-only folder (a mounted image) refuses quietly.
                if (removeTree(path))
                    log(QStringLiteral("Removed leftover ") + path);
                break;
            }
        }
    }
}
