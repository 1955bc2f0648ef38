#pragma once

#include "store/linkstore.h"

#include <QHash>
#include <QMutex>
#include <QString>
#include <list>
#include <memory>
#include <optional>
#include <vector>

namespace Shortd
{

// The links this instance read lately, by code and by (type, target), at most `capacity` of them:
// a full cache makes room by dropping the link used longest ago, one at a time. An entry older
// than the age limit counts as absent, so a change made through another instance is seen within
// that time; so does the entry of a link past its end (StoredLink::expiresSecs), so that a change
// of the end made elsewhere is read at the moment it matters. Time comes in from outside: nowMs
// from any steady clock, nowSecs from the wall clock the ends are written in.
//
// Safe on any thread. A big cache is split by code into shards, each with its own lock and its own
// share of the capacity, so that the threads that answer redirects seldom wait for each other; a
// small one is a single shard, so its order is exact. Every call holds a shard's lock for its whole
// change: a link remembered or forgotten is what every thread reads from the moment the call
// returns, which is before whoever changed it answers. So once a take-down's 410 was sent, no thread
// finds the link as it was.
class LinkCache
{
public:
    LinkCache(qsizetype capacity, qint64 maxAgeMs);
    ~LinkCache();
    LinkCache(const LinkCache&) = delete;
    LinkCache& operator=(const LinkCache&) = delete;

    std::optional<StoredLink> findByCode(const QString& code, qint64 nowMs, qint64 nowSecs);
    // The entry whatever its age, for when the database cannot be asked; the order is not touched.
    std::optional<StoredLink> findAnyAge(const QString& code) const;
    // The link that holds the address, in whatever state but deleted.
    std::optional<StoredLink> findByTarget(int type, const QString& target, qint64 nowMs, qint64 nowSecs);
    std::optional<QString> findCode(int type, const QString& target, qint64 nowMs, qint64 nowSecs);
    void remember(const StoredLink& link, qint64 nowMs);
    // A link changed elsewhere: the next request reads it from the store.
    void forget(const QString& code);
    void clear();
    // Visits written to the store show in the cached copy too, of every class.
    void addVisits(const QString& code, const VisitCounts& counts);

    qsizetype size() const;
    qsizetype capacity() const { return m_capacity; }
    int shards() const { return int(m_shards.size()); }

private:
    struct Entry {
        StoredLink link;
        size_t targetKey = 0;
        qint64 storedMs = 0;
    };
    using Entries = std::list<Entry>;
    struct Shard {
        mutable QMutex mutex;
        qsizetype capacity = 0;
        Entries entries; // most recently used first
        QHash<QString, Entries::iterator> byCode;
        // By a hash of (type, target): no copy of the address, and a hit is checked against it in full.
        QHash<size_t, Entries::iterator> byTarget;
    };

    static size_t targetKey(int type, const QString& target);
    Shard& shardOf(const QString& code) const;
    // The entry when present, young enough and its link not past its end, moved to the front;
    // otherwise end(). An old entry stays until it is read again or pushed out, to answer while the
    // database is away.
    Entries::iterator use(Shard& shard, Entries::iterator entry, qint64 nowMs, qint64 nowSecs) const;
    static void erase(Shard& shard, Entries::iterator entry);

    qsizetype m_capacity;
    qint64 m_maxAgeMs;
    std::vector<std::unique_ptr<Shard>> m_shards;
};

} // namespace Shortd
