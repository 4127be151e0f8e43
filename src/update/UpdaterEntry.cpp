#include "update/Updater.h"
#include "update/UpdaterModule.h"

UpdaterInterface *ferrowhistle_updater()
{
    return &Updater::shared();
}
