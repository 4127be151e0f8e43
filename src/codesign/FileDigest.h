#pragma once

#include "codesign/OpenSslHandles.h"

#include <QByteArray>

#include <optional>
#include <vector>

// Hashes one file after another with one context and one large buffer, for
// a walk over many files.
class FileHasher {
public:
    FileHasher();
    // SHA-256 of everything read from fd, from its current offset to its
    // end; nothing when a read fails (errno tells why).
    std::optional<QByteArray> digest(int fd);

private:
    ossl::MdCtx m_ctx;
    std::vector<char> m_buffer;
};

// SHA-256 of everything read from fd, from its current offset to its end,
// in large blocks so that hashing runs at the speed of the SHA instructions.
// Nothing when a read fails (errno tells why). Blocking: call it off the GUI
// thread for anything large.
std::optional<QByteArray> sha256OfFd(int fd);

// Lower-case hexadecimal, two characters a byte, no separator.
QByteArray lowerHex(const QByteArray &bytes);
