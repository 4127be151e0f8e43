#pragma once

#include <QString>

// The SHA-256 of the file at path as 64 lower-case hexadecimal characters.
// Throws PlatformError when the file cannot be read. Blocking: run it on a
// worker.
QString sha256HexOfFile(const QString &path);
