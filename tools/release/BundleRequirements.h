#pragma once

#include <QJsonObject>
#include <QString>

// Adds to a feed record what the release in the archive at zipPath needs of
// the system, read from the bundle's own ELF files: "architecture" (the
// machine its programs in Contents/bin are built for) and
// "minimumGlibcVersion" and "minimumLibstdcxxVersion" (the highest GLIBC_
// and GLIBCXX_ versions that any program, the module or a carried library
// needs). A field that nothing asks for is left out. Throws
// std::runtime_error when the archive can't be read, holds a damaged ELF
// file, or its files are built for different machines.
void addSystemRequirements(const QString &zipPath, QJsonObject &record);
