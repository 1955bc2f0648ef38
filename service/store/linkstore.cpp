#include "store/linkstore.h"

namespace Shortd
{

LinkStore::~LinkStore() = default;

std::optional<QList<bool>> LinkStore::insertTogether(const QList<StoredLink>& links)
{
    QList<bool> stored;
    stored.reserve(links.size());
    for (const StoredLink& link : links) {
        const StoreStatus status = insert(link).status;
        if (status == StoreStatus::Failed) {
            return std::nullopt;
        }
        stored.append(status == StoreStatus::Ok);
    }
    return stored;
}

VisitGrant LinkStore::takeVisit(const QString&, qint64)
{
    return VisitGrant::Failed;
}

LookupResult LinkStore::updateLink(const QString&, const LinkPatch&, qint64)
{
    return {StoreStatus::Failed, {}};
}

StoreStatus LinkStore::setState(const QString&, LinkState, const QString&, const LinkActor&, qint64)
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

StoreStatus LinkStore::createKey(const StoredKey&)
{
    return StoreStatus::Failed;
}

StoreStatus LinkStore::listKeys(const std::function<bool(const StoredKey&)>&)
{
    return StoreStatus::Failed;
}

StoreStatus LinkStore::revokeKey(const QString&, qint64)
{
    return StoreStatus::Failed;
}

KeyLookup LinkStore::findKeyByHash(const QByteArray&)
{
    return {StoreStatus::Failed, {}};
}

StoreStatus LinkStore::markKeyUsed(const QString&, qint64)
{
    return StoreStatus::Failed;
}

StoreStatus LinkStore::addVisitCounts(const VisitBatch& batch)
{
    QHash<QString, qint64> humans;
    for (auto it = batch.links.cbegin(); it != batch.links.cend(); ++it) {
        if (it->humans > 0) {
            humans.insert(it.key(), it->humans);
        }
    }
    return humans.isEmpty() ? StoreStatus::Ok : addVisits(humans);
}

StoreStatus LinkStore::visitReport(const QString&, qint64, qint64, VisitBucket, VisitReport*)
{
    return StoreStatus::Failed;
}

StoreStatus LinkStore::linkVisitCounts(const QStringList&, QHash<QString, VisitCounts>*)
{
    return StoreStatus::Failed;
}

StoreStatus LinkStore::pruneVisits(qint64)
{
    return StoreStatus::Failed;
}

std::optional<qint64> LinkStore::newestChangeOf(const QString&)
{
    return std::nullopt;
}

std::optional<Acknowledgements> LinkStore::acknowledgements(qint64, qint64)
{
    return std::nullopt;
}

void VisitBatch::merge(const VisitBatch& other)
{
    for (auto it = other.links.cbegin(); it != other.links.cend(); ++it) {
        links[it.key()] += it.value();
    }
    for (auto it = other.hours.cbegin(); it != other.hours.cend(); ++it) {
        hours[it.key()] += it.value();
    }
    for (auto it = other.referrers.cbegin(); it != other.referrers.cend(); ++it) {
        referrers[it.key()] += it.value();
    }
}

} // namespace Shortd
