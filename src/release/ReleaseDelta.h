#pragma once

#include <QString>
#include <QUrl>

#include <vector>

struct StrictJsonObject;

// One update delta a release offers: what turns the bundle of build
// fromBuild into this release's, published beside the archive.
struct ReleaseDelta {
    qint64 fromBuild = 0;
    QUrl url;       // https
    QString sha256; // 64 hexadecimal digits, either case
    qint64 length = 0; // bytes, 1 to the archive's size cap

    bool operator==(const ReleaseDelta &) const = default;
};

// Decodes the feed's optional "deltas": absent or null is none; otherwise a
// list of at most kMaxReleaseDeltas objects, each with "fromBuild" (an
// integer literal of at least 1), "url" (an https URL), "sha256" (64
// hexadecimal digits) and "length" (an integer literal from 1 to
// 209,715,200); other keys are ignored. Anything else fails the decode with
// PlatformError, like every other field of the feed.
inline constexpr qsizetype kMaxReleaseDeltas = 64;
std::vector<ReleaseDelta> decodeReleaseDeltas(const StrictJsonObject &json);

// The delta a release offers from this build, if any.
const ReleaseDelta *deltaFromBuild(const std::vector<ReleaseDelta> &deltas, qint64 build);
