#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <stdexcept>

// An update delta: what turns one sealed bundle into the next, file by file.
//
// File layout, integers little-endian:
//
//   "FWDELTA\n"              8 bytes
//   version                  u32, 1
//   from digest              32 bytes: SHA-256 of the old bundle's CodeResources
//   to digest                32 bytes: SHA-256 of the new bundle's CodeResources
//   one zstd stream holding the records, then nothing
//
// Records (u8 kind, then its fields; a path is u32 length + bytes, relative
// to the bundle folder, never reaching into the signature folder):
//
//   'R' path                          removed (a folder only once empty)
//   'D' path mode                     new folder
//   'W' path mode u64 size bytes      new or replaced file, whole
//   'P' path mode u64 size u64 n n    changed file: a zstd frame made with
//                                     the old file as its reference prefix
//   'M' path mode                     permissions changed
//   'L' path u32 n target             new link, or one with a new target
//   'S' name u32 n bytes              a file of the signature folder
//                                     (all of them, it is rebuilt whole)
//   'O' mode                          the bundle folder's own mode
//   'E'                               the end
//
// Removals come first (deepest first), then everything else in ascending
// path order, so a folder exists before what goes in it.

class DeltaError : public std::runtime_error {
public:
    explicit DeltaError(const QString &description)
        : std::runtime_error(description.toStdString()), m_description(description) {}
    // Completes "The delta ...", e.g. "holds a path that leaves the bundle (x)".
    const QString &description() const { return m_description; }

private:
    QString m_description;
};

struct DeltaLimits {
    // Any one file the delta makes, and all of them together.
    qint64 maxFileBytes = 209715200;
    qint64 maxTotalBytes = qint64(1) << 30;
    qint64 maxRecords = 200000;
    // The largest zstd window a frame may ask for (2^27: 128 MiB); a frame
    // asking for more is refused before anything is allocated for it.
    int windowLogMax = 27;
};

struct DeltaHeader {
    QByteArray fromDigest; // 32 raw bytes
    QByteArray toDigest;
};

namespace BundleDelta {

inline constexpr quint32 kVersion = 1;
inline constexpr qsizetype kHeaderBytes = 8 + 4 + 32 + 32;

// Writes the delta from oldBundle to newBundle at outPath (replacing it).
// Both bundles must carry a resource list that matches their disk; throws
// DeltaError or SealError otherwise, and for a file that cannot be read or
// written. Changed files larger than the window cap allows travel whole.
void write(const QString &oldBundle, const QString &newBundle, const QString &outPath, int level = 19);

// Reads the plain header; throws DeltaError for a file that is not a delta
// of this version.
DeltaHeader readHeader(const QString &deltaPath);

// Applies the delta to candidate, a private copy of the bundle it was made
// from, in place. Nothing is written outside candidate, nor through a link;
// a path that climbs out or passes a link, a record for the signature folder
// outside its own kind, a size or a window past the limits, a truncated or
// malformed stream are refused with DeltaError. On a throw the candidate is
// left half-made, for the caller to remove, but with no link made by the
// delta leading out of it. Afterwards the signature
// folder's resource list must hash to the header's to digest and match the
// disk, or DeltaError says why. Blocking: run it on a worker.
void apply(const QString &deltaPath, const QString &candidate, const DeltaLimits &limits = {});

// The SHA-256 of the bundle's resource list (32 raw bytes); empty when it
// has none or it cannot be read.
QByteArray resourcesDigest(const QString &bundlePath);

} // namespace BundleDelta
