#include "links/linkcache.h"

namespace Shortd
{

LinkCache::LinkCache(qsizetype capacity, qint64 maxAgeMs)
    : m_capacity(std::max<qsizetype>(0, capacity))
    , m_maxAgeMs(maxAgeMs)
{
    m_byCode.reserve(std::min<qsizetype>(m_capacity, 1 << 16));
    m_byTarget.reserve(std::min<qsizetype>(m_capacity, 1 << 16));
}

size_t LinkCache::targetKey(int type, const QString& target)
{
    return qHash(target, static_cast<size_t>(type));
}

LinkCache::Entries::iterator LinkCache::use(Entries::iterator entry, qint64 nowMs, qint64 nowSecs)
{
    if (nowMs - entry->storedMs > m_maxAgeMs) {
        return m_entries.end();
    }
    // From its end on, the link is read again: it may have been given a later end meanwhile.
    if (const qint64 end = entry->link.expiresSecs; end > 0 && nowSecs >= end) {
        return m_entries.end();
    }
    m_entries.splice(m_entries.begin(), m_entries, entry);
    return entry;
}

void LinkCache::erase(Entries::iterator entry)
{
    m_byCode.remove(entry->link.code);
    if (const auto indexed = m_byTarget.constFind(entry->targetKey);
        indexed != m_byTarget.cend() && *indexed == entry) {
        m_byTarget.erase(indexed);
    }
    m_entries.erase(entry);
}

std::optional<StoredLink> LinkCache::findByCode(const QString& code, qint64 nowMs, qint64 nowSecs)
{
    const auto found = m_byCode.constFind(code);
    if (found == m_byCode.cend()) {
        return std::nullopt;
    }
    const auto entry = use(*found, nowMs, nowSecs);
    return entry == m_entries.end() ? std::nullopt : std::optional(entry->link);
}

std::optional<StoredLink> LinkCache::findByTarget(int type, const QString& target, qint64 nowMs, qint64 nowSecs)
{
    const auto found = m_byTarget.constFind(targetKey(type, target));
    if (found == m_byTarget.cend() || (*found)->link.type != type || (*found)->link.target != target) {
        return std::nullopt;
    }
    const auto entry = use(*found, nowMs, nowSecs);
    // A deleted link no longer holds its address.
    if (entry == m_entries.end() || entry->link.state == LinkState::Deleted) {
        return std::nullopt;
    }
    return entry->link;
}

std::optional<StoredLink> LinkCache::findAnyAge(const QString& code) const
{
    const auto found = m_byCode.constFind(code);
    return found == m_byCode.cend() ? std::nullopt : std::optional((*found)->link);
}

std::optional<QString> LinkCache::findCode(int type, const QString& target, qint64 nowMs, qint64 nowSecs)
{
    const std::optional<StoredLink> link = findByTarget(type, target, nowMs, nowSecs);
    return link ? std::optional(link->code) : std::nullopt;
}

void LinkCache::remember(const StoredLink& link, qint64 nowMs)
{
    if (m_capacity == 0) {
        return;
    }
    if (const auto known = m_byCode.constFind(link.code); known != m_byCode.cend()) {
        erase(*known);
    }
    while (m_byCode.size() >= m_capacity) {
        erase(std::prev(m_entries.end()));
    }
    m_entries.push_front({link, targetKey(link.type, link.target), nowMs});
    m_byCode.insert(link.code, m_entries.begin());
    // A chosen code never holds its address: the automatic link for it is another one.
    if (!link.chosen) {
        m_byTarget.insert(m_entries.front().targetKey, m_entries.begin());
    }
}

void LinkCache::forget(const QString& code)
{
    if (const auto found = m_byCode.constFind(code); found != m_byCode.cend()) {
        erase(*found);
    }
}

void LinkCache::clear()
{
    m_byCode.clear();
    m_byTarget.clear();
    m_entries.clear();
}

void LinkCache::addVisits(const QString& code, const VisitCounts& counts)
{
    if (const auto found = m_byCode.constFind(code); found != m_byCode.cend()) {
        StoredLink& link = (*found)->link;
        link.visits += counts.humans;
        link.visitors += counts.visitors;
        link.bots += counts.bots;
        link.previews += counts.previews;
        link.blocked += counts.blocked;
    }
}

} // namespace Shortd
