#pragma once

#include "platform/AtomicSwap.h"

#include <QString>

// One move of the running bundle into a folder (the Applications folder):
// a copy under a hidden staging name beside the destination, then put in
// place in one step. Whatever moment the process dies, the destination holds
// a whole bundle, the old one or the new one, and what is left under the
// staging prefix is swept at the next start from that folder.
struct BundleMove {
    QString source;      // the running bundle
    QString folder;      // where it goes
    QString destination; // folder + the bundle's folder name
    QString staging;     // folder + ".Ferrowhistle-move-" + UUID + ".app"

    static BundleMove into(const QString &source, const QString &folder);

    // Whether something (anything, even a dangling link) is at the destination.
    bool destinationExists() const;

    // Creates the folder when missing, copies the bundle to the staging name,
    // then replaces what is at the destination with it (the atomic swap) or
    // moves it there, and removes the old copy. Blocks: run it on a worker.
    // Throws PlatformError with a sentence that ends with the system's
    // description; the staging copy is then gone and the destination as it was.
    void run(const AtomicSwap::StepHook &hook = {}) const;
};
