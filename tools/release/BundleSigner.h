#pragma once

#include "codesign/CmsSignature.h"

#include <QByteArray>
#include <QString>

// Signing and notarizing a bundle in place. Both throw std::runtime_error
// with the reason. Problems with the bundle or the identity are found before
// anything is written; a write that fails part-way leaves the bundle
// unsigned rather than carrying a signature that does not match.

// Seals every folder, file and link of the bundle under the identifier (the
// bundle's CFBundleIdentifier when empty) and signs the resource list with
// the identity (key and certificates in PEM). An empty identity makes an
// ad hoc seal: the resource list without a signature. A notarization ticket
// from before is removed, since it no longer describes the bundle.
void signBundle(const QString &bundlePath, const QByteArray &identityPem, QString identifier = {});

// Throws unless the bundle carries a code signature and its resource list
// still describes it; gives the list's text. What notarizing and packaging
// require.
QByteArray requireIntactSeal(const QString &bundlePath);

// Signs the bundle's resource list with the notary identity and stores the
// ticket. The bundle must be signed and unchanged since.
void notarizeBundle(const QString &bundlePath, const QByteArray &notaryIdentityPem);

// The release tool's checks that an identity is of the kind its step needs,
// before anything is written: signing or notarizing with the wrong kind
// succeeds here and fails only when a user's copy checks the update. (The
// functions above take any identity, so the tests can make such bundles.)
// A developer ID identity: the developer-ID extension and code-signing
// usage, not an authority.
void requireDeveloperIdentity(const SigningIdentity &identity);
// A notary identity: code-signing usage, no developer-ID extension, not an
// authority.
void requireNotaryIdentity(const SigningIdentity &identity);
