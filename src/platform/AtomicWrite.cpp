#include "platform/AtomicWrite.h"

#include "platform/UniqueFd.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <fcntl.h>
#include <unistd.h>

std::optional<QString> writeFileAtomically(const QString &path, const QByteArray &bytes,
                                           QFileDevice::Permissions permissions, FolderSync sync)
{
    QSaveFile file(path);
    // Never a write in place: that is what the temporary is for.
    file.setDirectWriteFallback(false);
    if (!file.open(QIODevice::WriteOnly))
        return file.errorString();
    file.setPermissions(permissions);
    if (file.write(bytes) != bytes.size()) {
        const QString reason = file.errorString();
        file.cancelWriting();
        return reason;
    }
    if (!file.commit())
        return file.errorString();
    if (sync == FolderSync::SyncFolder) {
        const UniqueFd folder(::open(QFile::encodeName(QFileInfo(path).absolutePath()).constData(),
                                     O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (folder)
            ::fsync(folder.get()); // the rename is done; a failure here only weakens durability
    }
    return std::nullopt;
}
