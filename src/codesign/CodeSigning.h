#pragma once

#include "codesign/OpenSslHandles.h"
#include "platform/Bundle.h"

#include <QString>

#include <stdexcept>

// Trust between the running copy and a downloaded one. Both identifiers are
// read from the running bundle on every call; nothing is cached, so a copy
// that was replaced underneath us answers with its new identity.

// Why a signature check failed. The kind says which check; the reason says
// what was found, in a maintainer's words. Callers that talk to users (the
// updater) turn the kind into their own sentence.
class CodeSigningError : public std::runtime_error {
public:
    enum class Kind {
        NoBundleIdentifier, // the running copy has no bundle identifier
        NoTeamIdentifier,   // the running copy's own signature yields no team
        Unreadable,         // no requirement can be made, or the candidate is not a bundle
        RequirementUnmet,   // the candidate does not satisfy the requirement
    };
    CodeSigningError(Kind kind, const QString &reason)
        : std::runtime_error(reason.toStdString()), m_kind(kind), m_reason(reason) {}
    Kind kind() const { return m_kind; }
    const QString &reason() const { return m_reason; }

private:
    Kind m_kind;
    QString m_reason;
};

// Where a bundle keeps the certificates it trusts (PEM, embedded at build time).
QString codeSigningAnchorsPath(const Bundle &bundle);
QString notaryAnchorsPath(const Bundle &bundle);

// Whether the bundle was built to verify what it is sent: something stands
// at its code-signing anchors' path. Decided by that alone, never by whether
// the anchors or the signature can be read, so a copy built to verify
// updates cannot be talked out of it by an unreadable file. One lstat.
bool carriesCodeSigningAnchors(const Bundle &bundle);

// The running copy's code-signing anchors, read by the rules for the
// running copy (BundleSeal::readOwnResource: any owner, nothing others may
// write). Throws CodeSigningError (NoTeamIdentifier) saying what could not be
// read, e.g. "its code-signing anchors can't be read (Input/output error)".
ossl::CertStack ownCodeSigningAnchors(const Bundle &running);
// The running copy's notary anchors, read by the same rules: an empty stack
// when it carries none, SealError saying what could not be read otherwise.
ossl::CertStack ownNotaryAnchors(const Bundle &running);

// The team identifier (subject OU of the signing certificate) of the running
// copy's own signature, read by the same rules. Throws CodeSigningError
// (NoTeamIdentifier) when the copy is unsigned, ad hoc (sealed without a
// certificate), has no anchors, its anchors or signature can't be read, or
// its signature does not chain to them; the reason says which, of the copy
// ("its own signature can't be read: ...").
QString teamIdentifier(const Bundle &running = Bundle::main());

// Returns when the bundle at candidateBundlePath satisfies the requirement
// built from the running copy's bundle identifier and team identifier, under
// strict validation of every sealed folder, file and link. Throws
// CodeSigningError otherwise.
void verifySignature(const QString &candidateBundlePath, const Bundle &running = Bundle::main());
// The same for a candidate already opened (shared with its assessment).
class SealedBundle;
void verifySignature(const SealedBundle &candidate, const Bundle &running = Bundle::main());
