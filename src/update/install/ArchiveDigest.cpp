#include "update/install/ArchiveDigest.h"

#include "codesign/FileDigest.h"
#include "platform/SystemError.h"
#include "platform/UniqueFd.h"
#include "release/UpdaterFailure.h"

#include <QFile>

#include <cerrno>
#include <cstring>

#include <fcntl.h>

QString sha256HexOfFile(const QString &path)
{
    const UniqueFd file(::open(QFile::encodeName(path).constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    std::optional<QByteArray> digest;
    if (file)
        digest = sha256OfFd(file.get());
    if (!digest)
        throw PlatformError(QStringLiteral("Couldn't read the download: ") + systemErrorText(errno));
    return QString::fromLatin1(lowerHex(*digest));
}
