#include "hud/HUDOutcome.h"

namespace HUDOutcomes {

QString rawValue(HUDOutcome outcome)
{
    switch (outcome) {
    case HUDOutcome::timeout: return QStringLiteral("timeout");
    case HUDOutcome::clicked: return QStringLiteral("clicked");
    case HUDOutcome::replaced: return QStringLiteral("replaced");
    }
    return QStringLiteral("timeout");
}

} // namespace HUDOutcomes
