#pragma once

#include "platform/Bundle.h"

#include <QString>

// The line at the foot of the settings window that names the running build:
// "Version 1.3 (42) · 9f3c2ab". Read from the bundle afresh on every call;
// every missing or unusable piece falls back to its own text, never an error.

// The "commit" member of Resources/build-info.json, or "unknown" when the file
// is missing, unreadable, larger than kBuildInfoMaxBytes, not a JSON object
// whose members are all strings, or has no non-empty "commit".
QString buildCommit(const Bundle &bundle);

// "Version " + CFBundleShortVersionString (else "Development") + " (" +
// CFBundleVersion (else "—") + ") · " + buildCommit.
QString versionLine(const Bundle &bundle);

// The file is a few dozen bytes; a larger one is not ours and is not read on.
constexpr qint64 kBuildInfoMaxBytes = 64 * 1024;
