// ferrowhistle-display's command line: NUL-separated arguments.
#include "DisplayArguments.h"
#include "FuzzInput.h"
#include "hud/HUDPosition.h"

#include <cmath>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzInput input(data, size);
    const DisplayArguments a = DisplayArguments::parse(input.fields());
    switch (a.result) {
    case DisplayArguments::Result::Run:
        // What is sent on is always something the action accepts.
        if (!HUDPositions::fromRawValue(a.position) || std::isnan(a.duration))
            std::abort();
        break;
    case DisplayArguments::Result::UsageError:
        if (a.error.isEmpty())
            std::abort();
        break;
    case DisplayArguments::Result::Help:
        break;
    }
    return 0;
}
