#pragma once

#include <QByteArray>
#include <QString>

#include <string>

// A file the maintainer names (a key, a certificate, a feed): read whole
// through a link, never a FIFO or a device, and at most maxBytes. Failures
// throw std::runtime_error with "can't read PATH: why"; `limit` says the
// cap in the maintainer's words ("4 MiB").
QByteArray readGivenFile(const QString &path, qint64 maxBytes, const std::string &limit);
