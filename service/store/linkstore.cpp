#include "store/linkstore.h"

namespace Shortd
{

LinkStore::~LinkStore() = default;

StoreStatus LinkStore::setState(const QString&, LinkState, const QString&, qint64)
{
    return StoreStatus::Failed;
}

StoreStatus LinkStore::listLinks(const LinkQuery&, const std::function<bool(const StoredLink&)>&)
{
    return StoreStatus::Failed;
}

StoreStatus LinkStore::exportLinks(const std::function<bool(const StoredLink&)>&)
{
    return StoreStatus::Failed;
}

StoreStatus LinkStore::restoreLink(const StoredLink&)
{
    return StoreStatus::Failed;
}

StoreStatus LinkStore::stats(int, LinkStats*, QList<StoredLink>*)
{
    return StoreStatus::Failed;
}

} // namespace Shortd
