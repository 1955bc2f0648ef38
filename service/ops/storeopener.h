#pragma once

#include "links/result.h"
#include "store/store.h"
#include "store/storeopening.h"

#include <QString>
#include <memory>

namespace Shortd
{

struct ServiceConfig;

// The store a configuration names, as the service would use it: SQLite in the data directory or
// at sqlite:PATH, or PostgreSQL; opened for access. Or an Unavailable fault saying why not.
Result<std::unique_ptr<Store>> openLinkStore(const ServiceConfig& config, StoreAccess access);

} // namespace Shortd
