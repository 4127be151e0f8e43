#pragma once

#include <QString>

// How a message ended, as a caller that waited for it is told.
enum class HUDOutcome : int {
    timeout,  // its display time ran out (or its last screen went away)
    clicked,  // the user clicked a card
    replaced, // a newer message took its place
};

namespace HUDOutcomes {
// "timeout", "clicked", "replaced".
QString rawValue(HUDOutcome outcome);
}
