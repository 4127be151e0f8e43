#include "update/Updater.h"

#include "codesign/CodeSigning.h"
#include "location/PreviousCopy.h"
#include "location/StartRecord.h"
#include "platform/RemoveTree.h"
#include "platform/TempDirectory.h"
#include "platform/Worker.h"

#include <QDir>
#include <QPointer>

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
    // Start records and watch locks of watches that have ended.
    for (const QString &path : StartRecord::sweep(temp))
        log(QStringLiteral("Removed leftover ") + path);
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

QCoro::Task<> Updater::removeRedundantSetAsideCopies()
{
    // A copy a fallback swap set aside may be the only one left, so it stays
    // until a whole copy, sealed and signed, is known to run at the path:
    // then it has no use left.
    QPointer<Updater> self(this);
    const QString bundlePath = m_env.bundle.path();
    // Started by hand from a set-aside name or the kept copy's place, this
    // copy says nothing of what stands at the installed path: after a
    // failed fallback swap the copy it runs from, or one beside it, is the
    // only copy of the installed build.
    const QString name = InstallLocations::lastComponent(bundlePath);
    if (name.startsWith(InstallLocations::kKeptPrefix) || PreviousCopy::isKeptCopy(bundlePath))
        co_return;
    const Bundle running = m_env.bundle;
    const QString folder = InstallLocations::parentFolder(bundlePath);
    auto sweeping = onWorker([bundlePath, running, folder] {
        QStringList removed;
        const QStringList names = QDir(folder).entryList({InstallLocations::kKeptPrefix + u'*'},
                                                         QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
        if (names.isEmpty())
            return removed;
        try {
            verifySignature(bundlePath, running);
        } catch (const CodeSigningError &) {
            return removed;
        }
        for (const QString &name : names) {
            const QString path = folder + u'/' + name;
            if (removeTree(path))
                removed << path;
        }
        return removed;
    });
    const QStringList removed = co_await std::move(sweeping);
    if (!self)
        co_return;
    for (const QString &path : removed)
        log(QStringLiteral("Removed %1, set aside by an earlier swap: a whole, verified copy runs at %2").arg(path, bundlePath));
}
