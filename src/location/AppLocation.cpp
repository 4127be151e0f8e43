#include "location/AppLocation.h"

#include "platform/Bundle.h"

const AppLocation &AppLocation::running()
{
    static const AppLocation location{Bundle::main().path()};
    return location;
}
