#include "ops/storeopener.h"

#include "config.h"

namespace Shortd
{

std::unique_ptr<Store> openLinkStore(const ServiceConfig& config, StoreAccess access, QString* error)
{
    return openLinkStore(config.database, config.dataDir, config.syncEachCommit, access, error);
}

} // namespace Shortd
