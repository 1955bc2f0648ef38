#include "ops/storeopener.h"

#include "config.h"

namespace Shortd
{

Result<std::unique_ptr<Store>> openLinkStore(const ServiceConfig& config, StoreAccess access)
{
    QString error;
    std::unique_ptr<Store> store
        = openLinkStore(config.database, config.dataDir, config.syncEachCommit, access, &error);
    if (!store) {
        return Fault {FaultKind::Unavailable, {}, error};
    }
    return {std::move(store)};
}

} // namespace Shortd
