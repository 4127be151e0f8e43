#pragma once

#include "codesign/CmsSignature.h"
#include "platform/Bundle.h"

#include <QByteArray>
#include <QString>

#include <optional>

// Detached signatures over documents other than a bundle (the release
// feed), held to the same trust as an update: a developer ID certificate of
// the running copy's team that chains to the running copy's code-signing
// anchors.

// Whether the copy must vouch for what it is sent: it was built with
// code-signing anchors (carriesCodeSigningAnchors). Whether it then can is
// verifyTeamSignature's question, which fails when it can't. One lstat.
bool canVerifyUpdates(const Bundle &running);

// Returns when signature is such a signature over content; throws
// CodeSigningError otherwise: NoTeamIdentifier, saying what could not be
// read or did not hold, when the running copy cannot verify anything;
// RequirementUnmet with the reason when the signature does not hold. Reads
// files.
void verifyTeamSignature(const QByteArray &content, const QByteArray &signature, const Bundle &running);

// The certificate that made a detached signature over content, when the
// signature holds for those bytes; its chain is not judged (the release
// tool, which has no anchors, compares a new signer with the last one).
// Nothing when the bytes are not a CMS signature with one signer, or it
// does not match content.
struct SignerIdentity {
    QString subject;
    QString organizationalUnit; // empty when none or several
    QString issuer; // its name, and its key's identifier when the certificate names it
};
std::optional<SignerIdentity> signerOf(const QByteArray &signature, const QByteArray &content);
// The same for a signing identity's own certificate.
SignerIdentity signerOf(const SigningIdentity &identity);
