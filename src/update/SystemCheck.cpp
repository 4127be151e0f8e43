#include "update/SystemCheck.h"

#include "platform/SystemProfile.h"
#include "platform/Worker.h"
#include "release/SystemRequirements.h"

QCoro::Task<std::optional<QString>> unmetSystemRequirement(Release release)
{
    if (!SystemRequirements::hasAny(release))
        co_return std::nullopt;
    // The first call reads the loaded C++ library's file.
    auto reading = onWorker([] { return SystemProfile::running(); });
    const SystemProfile profile = co_await std::move(reading);
    co_return SystemRequirements::unmet(release, profile);
}
