#pragma once

#include "platform/Bundle.h"

#include <QString>

// Trust between the running copy and a downloaded one. Both identifiers are
// read from the running bundle on every call; nothing is cached, so a copy
// that was replaced underneath us answers with its new identity.

// Where a bundle keeps the certificates it trusts (PEM, embedded at build time).
QString codeSigningAnchorsPath(const Bundle &bundle);
QString notaryAnchorsPath(const Bundle &bundle);

// The team identifier (subject OU of the signing certificate) of the running
// copy's own signature. Throws UpdaterFailure "This copy of Ferrowhistle
// isn't signed with a team ID, so it can't verify updates." when the copy is
// unsigned, ad hoc (sealed without a certificate), has no anchors, or its
// signature does not chain to them.
QString teamIdentifier(const Bundle &running = Bundle::main());

// Returns when the bundle at candidateBundlePath satisfies the requirement
// built from the running copy's bundle identifier and team identifier, under
// strict validation of every sealed folder, file and link. Throws
// UpdaterFailure otherwise.
void verifySignature(const QString &candidateBundlePath, const Bundle &running = Bundle::main());
