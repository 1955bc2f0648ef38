#pragma once

#include "store/linkstore.h"

#include <QString>
#include <memory>

namespace Shortd
{

struct ServiceConfig;

// The store a configuration names, as the service would use it: SQLite in the data directory or
// at sqlite:PATH, or PostgreSQL. The file of an embedded store is made only when create is set.
// Null with *error saying why when it cannot be opened.
std::unique_ptr<LinkStore> openLinkStore(const ServiceConfig& config, bool create, QString* error);

} // namespace Shortd
