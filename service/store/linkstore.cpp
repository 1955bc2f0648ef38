#include "store/store.h"

namespace Shortd
{

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

Store::~Store() = default;

StoreStatus addVisitCounts(Store& store, const VisitBatch& batch)
{
    if (VisitStore* visits = store.visits()) {
        return visits->addVisitCounts(batch);
    }
    QHash<QString, qint64> humans;
    for (auto it = batch.links.cbegin(); it != batch.links.cend(); ++it) {
        if (it->humans > 0) {
            humans.insert(it.key(), it->humans);
        }
    }
    if (humans.isEmpty()) {
        return StoreStatus::Ok;
    }
    return store.linkVisits() ? store.linkVisits()->addVisits(humans) : StoreStatus::Failed;
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

QString stateName(LinkState state)
{
    switch (state) {
    case LinkState::Active:
        return QStringLiteral("active");
    case LinkState::Disabled:
        return QStringLiteral("disabled");
    case LinkState::Deleted:
        return QStringLiteral("deleted");
    case LinkState::Quarantined:
        return QStringLiteral("quarantined");
    }
    return {};
}

} // namespace Shortd
