#pragma once

#include <QByteArray>

#include <optional>

// SHA-256 of everything read from fd, from its current offset to its end,
// in large blocks so that hashing runs at the speed of the SHA instructions.
// Nothing when a read fails (errno tells why). Blocking: call it off the GUI
// thread for anything large.
std::optional<QByteArray> sha256OfFd(int fd);

// Lower-case hexadecimal, two characters a byte, no separator.
QByteArray lowerHex(const QByteArray &bytes);
