#include "update/install/Download.h"

#include "platform/FileIO.h"
#include "platform/SystemError.h"
#include "platform/UniqueFd.h"
#include "release/UpdaterFailure.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <memory>

#include <fcntl.h>

QCoro::Task<NetworkSession::Response> downloadToFile(NetworkSession &session, QUrl url, QString path,
                                                     NetworkSession::Limits limits)
{
    // The file belongs to the transfer's sink as much as to this frame: if
    // the frame goes first, the descriptor stays open until the transfer has
    // stopped writing.
    auto file = std::make_shared<UniqueFd>(::open(QFile::encodeName(path).constData(),
                                                  O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!*file)
        throw PlatformError(QStringLiteral("Couldn't save the download: ") + systemErrorText(errno));
    auto writeError = std::make_shared<int>(0);
    auto transfer = session.get(std::move(url), {}, limits, [file, writeError](const char *data, qint64 size) {
        if (writeAll(file->get(), data, size_t(size)))
            return true;
        *writeError = errno;
        return false;
    });
    NetworkSession::Response response = co_await std::move(transfer);
    if (response.outcome == NetworkSession::Response::Outcome::SinkFailed || file->close() != 0) {
        const int error = *writeError ? *writeError : errno;
        throw PlatformError(QStringLiteral("Couldn't save the download: ") + systemErrorText(error));
    }
    co_return response;
}
