#include "update/install/Download.h"

#include "platform/FileIO.h"
#include "platform/UniqueFd.h"
#include "update/UpdaterFailure.h"

#include <QFile>

#include <cerrno>
#include <cstring>

#include <fcntl.h>

QCoro::Task<NetworkSession::Response> downloadToFile(NetworkSession &session, QUrl url, QString path,
                                                     NetworkSession::Limits limits)
{
    UniqueFd file(::open(QFile::encodeName(path).constData(),
                         O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!file)
        throw PlatformError(QStringLiteral("Couldn't save the download: ") + QString::fromLocal8Bit(std::strerror(errno)));
    int writeError = 0;
    // The pieces are small (a few hundred KiB) and land in the page cache, so
    // writing them as they arrive does not hold up the GUI thread.
    auto transfer = session.get(std::move(url), {}, limits, [fd = file.get(), &writeError](const char *data, qint64 size) {
        if (writeAll(fd, data, size_t(size)))
            return true;
        writeError = errno;
        return false;
    });
    NetworkSession::Response response = co_await std::move(transfer);
    if (response.outcome == NetworkSession::Response::Outcome::SinkFailed || file.close() != 0) {
        const int error = writeError ? writeError : errno;
        throw PlatformError(QStringLiteral("Couldn't save the download: ") + QString::fromLocal8Bit(std::strerror(error)));
    }
    co_return response;
}
