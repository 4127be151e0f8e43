#pragma once

// Bundles on disk for the fuzz targets, made once per process in a folder
// of their own that goes when the process ends.

#include <QByteArray>
#include <QString>

// A fresh private folder below $TMPDIR (or /tmp), removed at exit.
QString fuzzFolder();
// Writes bytes to path, replacing it; aborts on failure.
void writeFuzzFile(const QString &path, const QByteArray &bytes, unsigned mode = 0644);
// Makes DIR/Ferrowhistle.app with an Info.plist naming identifier, one
// program and the fixed anchors, always with the same bytes and modes.
QString makeFixedBundle(const QString &dir, const QString &identifier);
QByteArray readFixedData(const char *name);
