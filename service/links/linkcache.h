#pragma once

#include "store/linkstore.h"

#include <QHash>
#include <QString>
#include <list>
#include <optional>

namespace Shortd
{

// The links this instance read lately, by code and by (type, target), at most `capacity` of them:
// a full cache makes room by dropping the link used longest ago, one at a time. An entry older
// than the age limit counts as absent, so a change made through another instance is seen within
// that time; so does the entry of a link past its end (StoredLink::expiresSecs), so that a change
// of the end made elsewhere is read at the moment it matters. Time comes in from outside: nowMs
// from any steady clock, nowSecs from the wall clock the ends are written in.
class LinkCache
{
public:
    LinkCache(qsizetype capacity, qint64 maxAgeMs);

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

    qsizetype size() const { return m_byCode.size(); }
    qsizetype capacity() const { return m_capacity; }

private:
    struct Entry {
        StoredLink link;
        size_t targetKey = 0;
        qint64 storedMs = 0;
    };
    using Entries = std::list<Entry>;

    static size_t targetKey(int type, const QString& target);
    // The entry when present, young enough and its link not past its end, moved to the front;
    // otherwise end(). An old entry stays until it is read again or pushed out, to answer while the
    // database is away.
    Entries::iterator use(Entries::iterator entry, qint64 nowMs, qint64 nowSecs);
    void erase(Entries::iterator entry);

    qsizetype m_capacity;
    qint64 m_maxAgeMs;
    Entries m_entries; // most recently used first
    QHash<QString, Entries::iterator> m_byCode;
    // By a hash of (type, target): no copy of the address, and a hit is checked against it in full.
    QHash<size_t, Entries::iterator> m_byTarget;
};

} // namespace Shortd
