#pragma once

#include <QString>

#include <stdexcept>

// The check a user's copy makes of an update (signature, then the
// notarization assessment), run by the maintainer before publishing.

// Names the copy whose state made the check fail, so a maintainer knows
// which bundle to fix: the one being released or the one checking it.
struct ReleaseVerificationError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Checks candidatePath as the copy at runningPath would. An empty
// runningPath means the candidate checks itself (its own anchors). Returns
// the team identifier; throws ReleaseVerificationError with one line.
QString verifyRelease(const QString &candidatePath, const QString &runningPath = {});
