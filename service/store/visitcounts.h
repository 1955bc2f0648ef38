#pragma once

#include <QHash>
#include <QList>
#include <QString>
#include <QtGlobal>

namespace Shortd
{

// A link's visits by who made them. humans is what links.visits counts, and what a visit limit
// uses up; visitors is the humans' visits that were not repeats within the hour; blocked counts
// every request a quarantined link turned away, whoever made it.
struct VisitCounts {
    qint64 humans = 0;
    qint64 visitors = 0;
    qint64 bots = 0;
    qint64 previews = 0;
    qint64 blocked = 0;

    VisitCounts& operator+=(const VisitCounts& other)
    {
        humans += other.humans;
        visitors += other.visitors;
        bots += other.bots;
        previews += other.previews;
        blocked += other.blocked;
        return *this;
    }
    bool isEmpty() const { return humans == 0 && visitors == 0 && bots == 0 && previews == 0 && blocked == 0; }
    friend bool operator==(const VisitCounts&, const VisitCounts&) = default;
};

// A link's counts in one hour (UTC, seconds since the epoch at the hour's start).
struct HourKey {
    QString code;
    qint64 hourSecs = 0;
    friend bool operator==(const HourKey&, const HourKey&) = default;
};

// A link's visits from one referring host in one day (UTC, seconds at the day's start).
struct ReferrerKey {
    QString code;
    qint64 daySecs = 0;
    QString host; // "direct" when no referrer was sent
    friend bool operator==(const ReferrerKey&, const ReferrerKey&) = default;
};

inline size_t qHash(const HourKey& key, size_t seed = 0)
{
    return qHashMulti(seed, key.code, key.hourSecs);
}

inline size_t qHash(const ReferrerKey& key, size_t seed = 0)
{
    return qHashMulti(seed, key.code, key.daySecs, key.host);
}

// Counts to add to the store in one transaction: per link (its totals), per link and hour, per
// link, day and referring host. Adding is all a store does with them, so instances add up.
struct VisitBatch {
    QHash<QString, VisitCounts> links;
    QHash<HourKey, VisitCounts> hours;
    QHash<ReferrerKey, qint64> referrers;

    bool isEmpty() const { return links.isEmpty() && hours.isEmpty() && referrers.isEmpty(); }
    // Adds other's counts to these.
    void merge(const VisitBatch& other);
};

inline constexpr qint64 SecondsPerHour = 3600;
inline constexpr qint64 SecondsPerDay = 86'400;
// Referring hosts a link keeps a day; later new hosts are counted under OtherReferrer.
inline constexpr int StoredReferrersPerDay = 100;
inline constexpr QLatin1StringView DirectReferrer("direct");
inline constexpr QLatin1StringView OtherReferrer("other");

enum class VisitBucket {
    Hour,
    Day,
};

struct VisitPoint {
    qint64 startSecs = 0; // the hour's or the day's start
    VisitCounts counts;
};

struct ReferrerCount {
    QString host;
    qint64 visits = 0;
};

// A link's visits (or the whole service's) between two moments.
struct VisitReport {
    VisitCounts totals; // over the span asked
    QList<VisitPoint> series; // buckets with visits, oldest first
    QList<ReferrerCount> referrers; // most first, at most ShownReferrers, the rest summed as "other"
};
inline constexpr int ShownReferrers = 50;

} // namespace Shortd
