#include "codesign/FileDigest.h"

#include "codesign/OpenSslHandles.h"

#include <cerrno>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace {
constexpr size_t kReadBlock = 1 << 20;
}

std::optional<QByteArray> sha256OfFd(int fd)
{
    ossl::MdCtx ctx(EVP_MD_CTX_new());
    if (!ctx || EVP_DigestInit_ex2(ctx.get(), EVP_sha256(), nullptr) != 1)
        return std::nullopt;
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    std::vector<char> buffer(kReadBlock);
    for (;;) {
        const ssize_t n = ::read(fd, buffer.data(), buffer.size());
        if (n == 0)
            break;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return std::nullopt;
        }
        if (EVP_DigestUpdate(ctx.get(), buffer.data(), size_t(n)) != 1)
            return std::nullopt;
    }
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (EVP_DigestFinal_ex(ctx.get(), md, &len) != 1)
        return std::nullopt;
    return QByteArray(reinterpret_cast<const char *>(md), int(len));
}

QByteArray lowerHex(const QByteArray &bytes) { return bytes.toHex(); }
