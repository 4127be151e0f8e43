#include "platform/AtomicWrite.h"

#include "platform/SystemError.h"
#include "platform/UniqueFd.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <cerrno>
#include <cstdio>

#include <fcntl.h>
#include <unistd.h>

namespace {

void syncFolderOf(const QString &path)
{
    const UniqueFd folder(::open(QFile::encodeName(QFileInfo(path).absolutePath()).constData(),
                                 O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder)
        ::fsync(folder.get()); // the rename is done; a failure here only weakens durability
}

} // namespace

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
    if (sync == FolderSync::SyncFolder)
        syncFolderOf(path);
    return std::nullopt;
}

std::optional<QString> renameDurably(const QString &from, const QString &to)
{
    if (::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) != 0)
        return systemErrorText(errno);
    syncFolderOf(to);
    return std::nullopt;
}
