#pragma once

#include "release/Release.h"

#include <QString>
#include <QStringView>

#include <compare>
#include <optional>

class Bundle;

// How the updater compares builds and system versions. Builds are integers;
// the version texts of releases are never compared.
namespace VersionRules {

// The one integer rule: an optional single "+" or "-", then one or more ASCII
// digits and nothing else, within the signed 64-bit range, base 10.
std::optional<qint64> parseInteger(QStringView text);

struct SystemVersion {
    qint64 major = 0;
    qint64 minor = 0;
    qint64 patch = 0;
    auto operator<=>(const SystemVersion &) const = default;
};

// A minimum system version text: split at ".", empty pieces and pieces that
// are not integers dropped, the first three kept values are major, minor and
// patch (0 where missing). So "13..4" and "13.x.4" are 13.4.0.
SystemVersion versionFromText(QStringView text);

// The grammar a release feed's minimumSystemVersion is written in, and the
// part of versionFromText's reading that means what it says: one to three
// dot-separated runs of ASCII digits ("6", "6.1", "6.1.0"), each within the
// integer range. The version, as versionFromText reads it; nothing for text
// outside the grammar ("banana" would read as 0.0.0, "6.1-rc1" as 6.0.0).
std::optional<SystemVersion> parseMinimumSystemVersion(QStringView text);

// A kernel release as uname gives it: the leading run of digits and dots,
// read like a minimum version, so "6.1.0-13-amd64" is 6.1.0 and
// "6.18.44-foo" is 6.18.44.
SystemVersion versionFromKernelRelease(QStringView release);

// The running kernel's version; 0.0.0 when uname fails.
SystemVersion runningSystemVersion();

// The bundle's CFBundleVersion by the integer rule; 0 when it is missing, not
// text or not an integer.
qint64 buildOfBundle(const Bundle &bundle);

// Whether a system of version running meets the release's minimum version.
bool isCompatible(const Release &release, const SystemVersion &running);

// A fetched release is offered when its build is strictly greater than the
// running build and the running system meets its minimum version.
bool isOfferable(const Release &release, qint64 currentBuild, const SystemVersion &running);

// Whether a downloaded bundle is the newer build of this application: it has
// an Info.plist whose CFBundleIdentifier equals runningIdentifier exactly and
// whose CFBundleVersion is an integer strictly greater than currentBuild.
bool isNewerBuildOfSameApp(const Bundle &candidate, const QString &runningIdentifier, qint64 currentBuild);

} // namespace VersionRules
