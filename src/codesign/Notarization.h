#pragma once

#include "platform/Bundle.h"

#include <QString>

// The assessment of a candidate bundle: accepted only when its notarization
// ticket is the notary's valid signature over the resource list that still
// describes the bundle, chaining to the notary anchors.
struct Assessment {
    // Also the exit status of ferrowhistle-assess.
    enum Outcome {
        Accepted = 0,
        NotABundle = 3,
        NotNotarized = 4,
        TicketInvalid = 5,
        ModifiedSinceNotarized = 6,
        NoNotaryAnchors = 7,
    };
    Outcome outcome = NotABundle;
    QString reason; // one line; empty when accepted
};

// Anchors are taken from the notary anchor file of `anchorsFrom`.
Assessment assessNotarization(const QString &candidateBundlePath, const Bundle &anchorsFrom = Bundle::main());
// The same for a candidate already opened (shared with its signature check).
class SealedBundle;
Assessment assessNotarization(const SealedBundle &candidate, const Bundle &anchorsFrom = Bundle::main());
