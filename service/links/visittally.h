#pragma once

#include "links/visitclass.h"
#include "store/visitcounts.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QHash>
#include <QMutex>
#include <QString>
#include <deque>
#include <functional>
#include <memory>
#include <vector>

namespace Shortd
{

// Tells a person's first visit to a link within the hour from a repeat. A client is its address
// and user agent, kept only as a keyed hash (SipHash-2-4, 64 bits) under a 128-bit secret drawn at
// random each day (UTC) and never written anywhere: yesterday's keys cannot be recomputed, and
// the set is emptied when the secret changes. At most capacity keys are held; when full, the
// oldest goes first, and that client's next visit within its hour counts as new once more. Safe on
// any thread: one set for all of them, or a person whose requests reach two threads would be new
// on each.
class RepeatFilter
{
public:
    using SecretSource = std::function<QByteArray()>;

    explicit RepeatFilter(qsizetype capacity, SecretSource newSecret = {});

    // Notes the visit; true when it is new, false for a repeat within the hour of the first.
    bool isNewVisitor(QStringView code, QStringView client, QByteArrayView userAgent, qint64 nowSecs);
    qsizetype size() const;

private:
    quint64 keyOf(QStringView code, QStringView client, QByteArrayView userAgent) const;

    mutable QMutex m_mutex;
    qsizetype m_capacity;
    SecretSource m_newSecret;
    QByteArray m_secret;
    qint64 m_secretDay = -1;
    QHash<quint64, qint64> m_firstSeen;
    std::deque<std::pair<quint64, qint64>> m_order; // keys in the order first seen
};

// SipHash-2-4 of data under a 16-byte key (the first 16 bytes of key): a keyed hash made for short
// inputs, fast enough for every visit; without the key its values can be neither predicted nor
// reversed.
quint64 sipHash24(QByteArrayView key, QByteArrayView data);

// The host a Referer header names, lower-cased: "direct" when there is none, "other" when it is
// not an address with a host.
QString referrerHost(QByteArrayView referer);

// Counted visits waiting for the store, bounded: a visit that would need a new entry beyond
// maxEntries in any of the batch's tables is not counted (uncounted() says how many).
class VisitTally
{
public:
    explicit VisitTally(qsizetype maxEntries);

    // taken: the visit was already added to the link's visits by the store (a visit limit's
    // takeVisit); it still counts in the hour, as a visitor and by referrer.
    void add(
        const QString& code, VisitClass kind, bool newVisitor, const QString& host, qint64 nowSecs, bool taken = false);
    // At most maxEntries entries of each table, taken out.
    VisitBatch take(qsizetype maxEntries);
    // Gives back a batch the store did not take.
    void putBack(const VisitBatch& batch) { m_pending.merge(batch); }
    const VisitBatch& pending() const { return m_pending; }
    bool isEmpty() const { return m_pending.isEmpty(); }
    // Visits left uncounted since the last call.
    qint64 takeUncounted() { return std::exchange(m_uncounted, 0); }
    // Takes in what another tally counted, within this one's bound: a link, hour or referrer that
    // would be a new entry beyond it is left out, and a link's visits left out count as uncounted.
    void absorb(VisitTally& other);

private:
    qsizetype m_maxEntries;
    VisitBatch m_pending;
    qint64 m_uncounted = 0;
};

// The tallies of the threads that answer redirects: each counts into a lane of its own, whose lock
// only the gathering also takes, and the thread that writes visits to the store gathers them all
// into its tally before it takes a batch. Every visit is in exactly one lane or in that tally.
class VisitLanes
{
public:
    VisitLanes(int count, qsizetype maxEntries);
    ~VisitLanes();
    VisitLanes(const VisitLanes&) = delete;
    VisitLanes& operator=(const VisitLanes&) = delete;

    int count() const { return int(m_lanes.size()); }
    // As VisitTally::add, into the lane's own tally; safe beside every other call.
    void add(int lane, const QString& code, VisitClass kind, bool newVisitor, const QString& host, qint64 nowSecs,
        bool taken = false);
    // Moves every lane's visits into tally, and what the lanes left uncounted.
    void gatherInto(VisitTally& tally);
    bool isEmpty() const;
    // The link's visits waiting in the lanes, and all of them (of every class).
    VisitCounts pendingFor(const QString& code) const;
    qint64 visitCount() const;

private:
    struct Lane {
        explicit Lane(qsizetype maxEntries)
            : tally(maxEntries)
        {
        }
        mutable QMutex mutex;
        VisitTally tally;
    };
    std::vector<std::unique_ptr<Lane>> m_lanes;
};

} // namespace Shortd
