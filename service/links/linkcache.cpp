#include "links/linkcache.h"

#include <QMutexLocker>

namespace Shortd
{
namespace
{
// From this many links on, the cache is split; below, one lock costs nothing worth saving and the
// order stays exact.
constexpr qsizetype ShardedFrom = 4096;
constexpr int ShardCount = 16;
} // namespace

LinkCache::LinkCache(qsizetype capacity, qint64 maxAgeMs)
    : m_capacity(std::max<qsizetype>(0, capacity))
    , m_maxAgeMs(maxAgeMs)
{
    const int count = m_capacity >= ShardedFrom ? ShardCount : 1;
    for (int i = 0; i < count; ++i) {
        auto shard = std::make_unique<Shard>();
        // The shares add up to the capacity exactly.
        shard->capacity = m_capacity / count + (i < m_capacity % count ? 1 : 0);
        shard->byCode.reserve(std::min<qsizetype>(shard->capacity, 1 << 16));
        shard->byTarget.reserve(std::min<qsizetype>(shard->capacity, 1 << 16));
        m_shards.push_back(std::move(shard));
    }
}

LinkCache::~LinkCache() = default;

size_t LinkCache::targetKey(int type, const QString& target)
{
    return qHash(target, static_cast<size_t>(type));
}

LinkCache::Shard& LinkCache::shardOf(const QString& code) const
{
    return *m_shards[m_shards.size() == 1 ? 0 : qHash(code, size_t(0)) % m_shards.size()];
}

LinkCache::Entries::iterator LinkCache::use(Shard& shard, Entries::iterator entry, qint64 nowMs, qint64 nowSecs) const
{
    if (nowMs - entry->storedMs > m_maxAgeMs) {
        return shard.entries.end();
    }
    // From its end on, the link is read again: it may have been given a later end meanwhile.
    if (const qint64 end = entry->link.expiresSecs; end > 0 && nowSecs >= end) {
        return shard.entries.end();
    }
    shard.entries.splice(shard.entries.begin(), shard.entries, entry);
    return entry;
}

void LinkCache::erase(Shard& shard, Entries::iterator entry)
{
    shard.byCode.remove(entry->link.code);
    if (const auto indexed = shard.byTarget.constFind(entry->targetKey);
        indexed != shard.byTarget.cend() && *indexed == entry) {
        shard.byTarget.erase(indexed);
    }
    shard.entries.erase(entry);
}

std::optional<StoredLink> LinkCache::findByCode(const QString& code, qint64 nowMs, qint64 nowSecs)
{
    Shard& shard = shardOf(code);
    const QMutexLocker locker(&shard.mutex);
    const auto found = shard.byCode.constFind(code);
    if (found == shard.byCode.cend()) {
        return std::nullopt;
    }
    const auto entry = use(shard, *found, nowMs, nowSecs);
    return entry == shard.entries.end() ? std::nullopt : std::optional(entry->link);
}

std::optional<StoredLink> LinkCache::findByTarget(int type, const QString& target, qint64 nowMs, qint64 nowSecs)
{
    // Links are placed by code, so the address may be held in any shard; creations are rare next to
    // redirects, and each shard is asked under its own lock in turn.
    const size_t key = targetKey(type, target);
    for (const auto& shard : m_shards) {
        const QMutexLocker locker(&shard->mutex);
        const auto found = shard->byTarget.constFind(key);
        if (found == shard->byTarget.cend() || (*found)->link.type != type || (*found)->link.target != target) {
            continue;
        }
        const auto entry = use(*shard, *found, nowMs, nowSecs);
        // A deleted link no longer holds its address; a newer one may, in another shard.
        if (entry != shard->entries.end() && entry->link.state != LinkState::Deleted) {
            return entry->link;
        }
    }
    return std::nullopt;
}

std::optional<StoredLink> LinkCache::findAnyAge(const QString& code) const
{
    const Shard& shard = shardOf(code);
    const QMutexLocker locker(&shard.mutex);
    const auto found = shard.byCode.constFind(code);
    return found == shard.byCode.cend() ? std::nullopt : std::optional((*found)->link);
}

std::optional<QString> LinkCache::findCode(int type, const QString& target, qint64 nowMs, qint64 nowSecs)
{
    const std::optional<StoredLink> link = findByTarget(type, target, nowMs, nowSecs);
    return link ? std::optional(link->code) : std::nullopt;
}

void LinkCache::remember(const StoredLink& link, qint64 nowMs)
{
    Shard& shard = shardOf(link.code);
    if (shard.capacity == 0) {
        return;
    }
    const QMutexLocker locker(&shard.mutex);
    if (const auto known = shard.byCode.constFind(link.code); known != shard.byCode.cend()) {
        erase(shard, *known);
    }
    while (shard.byCode.size() >= shard.capacity) {
        erase(shard, std::prev(shard.entries.end()));
    }
    shard.entries.push_front({link, targetKey(link.type, link.target), nowMs});
    shard.byCode.insert(link.code, shard.entries.begin());
    // A chosen code never holds its address: the automatic link for it is another one.
    if (!link.chosen) {
        shard.byTarget.insert(shard.entries.front().targetKey, shard.entries.begin());
    }
}

void LinkCache::forget(const QString& code)
{
    Shard& shard = shardOf(code);
    const QMutexLocker locker(&shard.mutex);
    if (const auto found = shard.byCode.constFind(code); found != shard.byCode.cend()) {
        erase(shard, *found);
    }
}

void LinkCache::clear()
{
    for (const auto& shard : m_shards) {
        const QMutexLocker locker(&shard->mutex);
        shard->byCode.clear();
        shard->byTarget.clear();
        shard->entries.clear();
    }
}

void LinkCache::addVisits(const QString& code, const VisitCounts& counts)
{
    Shard& shard = shardOf(code);
    const QMutexLocker locker(&shard.mutex);
    if (const auto found = shard.byCode.constFind(code); found != shard.byCode.cend()) {
        StoredLink& link = (*found)->link;
        link.visits += counts.humans;
        link.visitors += counts.visitors;
        link.bots += counts.bots;
        link.previews += counts.previews;
        link.blocked += counts.blocked;
    }
}

qsizetype LinkCache::size() const
{
    qsizetype total = 0;
    for (const auto& shard : m_shards) {
        const QMutexLocker locker(&shard->mutex);
        total += shard->byCode.size();
    }
    return total;
}

} // namespace Shortd
