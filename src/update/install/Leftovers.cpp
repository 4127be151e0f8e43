#include "update/Updater.h"

#include "platform/RemoveTree.h"
#include "platform/TempDirectory.h"

#include <QDir>

void Updater::removeLeftovers() const
{
    using namespace InstallLocations;
    // First the kept copy, so that one a stopped swap back left under a
    // staging name is swept below.
    sortOutPreviousCopy();
    const QString bundleFolder = parentFolder(m_env.bundle.path());
    const QString temp = temporaryDirectory();
    const std::vector<std::pair<QString, QStringList>> places = {
        {bundleFolder, {kStagingPrefix, kMovePrefix}},
        {temp, {kWorkPrefix}},
    };
    for (const auto &[place, prefixes] : places) {
        if (place.isEmpty())
            continue;
        // Hidden names included; a folder that can't be read has nothing to sweep.
        const QStringList names =
            QDir(place).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
        for (const QString &name : names) {
            for (const QString &prefix : prefixes) {
                if (!name.startsWith(prefix))
                    continue;
                const QString path = place + u'/' + name;
                if (m_ownFolders.contains(path))
                    break;
                // A read-only folder (a mounted image) refuses quietly.
                if (removeTree(path))
                    log(QStringLiteral("Removed leftover ") + path);
                break;
            }
        }
    }
}
