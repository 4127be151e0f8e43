#pragma once

#include <QString>

// What `make release` checks before it builds anything, so that a release
// that would fail at signing, at publishing or on a user's machine is
// refused at once. Each throws std::runtime_error with one line naming what
// is wrong; the release script puts the variable's name in front.

enum class IdentityKind { Developer, Notary };

// The PEM file holds a usable identity of the kind (the same rules as sign
// and notarize apply), and a signature made with it is accepted by the
// anchors in anchorsPath, which the release will carry.
void checkIdentity(const QString &identityPath, IdentityKind kind, const QString &anchorsPath);

// The file holds PEM certificates and no private key: what the build embeds
// as trust anchors.
void checkAnchors(const QString &anchorsPath);

// The build number is a whole number the app reads as such and, when
// previousBundle is given, greater than that bundle's CFBundleVersion: users
// of that copy are offered only a larger build.
void checkBuildNumber(const QString &build, const QString &previousBundle);
