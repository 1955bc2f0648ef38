#pragma once

#include "links/visitclass.h"
#include "store/visitcounts.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QHash>
#include <QString>
#include <deque>
#include <functional>

namespace Shortd
{

// Tells a person's first visit to a link within the hour from a repeat. A client is its address
// and user agent, kept only as a keyed hash (HMAC-SHA256, 64 bits of it) under a secret drawn at
// random each day (UTC) and never written anywhere: yesterday's keys cannot be recomputed, and
// the set is emptied when the secret changes. At most capacity keys are held; when full, the
// oldest goes first, and that client's next visit within its hour counts as new once more.
class RepeatFilter
{
public:
    using SecretSource = std::function<QByteArray()>;

    explicit RepeatFilter(qsizetype capacity, SecretSource newSecret = {});

    // Notes the visit; true when it is new, false for a repeat within the hour of the first.
    bool isNewVisitor(QStringView code, QStringView client, QByteArrayView userAgent, qint64 nowSecs);
    qsizetype size() const { return m_firstSeen.size(); }

private:
    quint64 keyOf(QStringView code, QStringView client, QByteArrayView userAgent) const;

    qsizetype m_capacity;
    SecretSource m_newSecret;
    QByteArray m_secret;
    qint64 m_secretDay = -1;
    QHash<quint64, qint64> m_firstSeen;
    std::deque<std::pair<quint64, qint64>> m_order; // keys in the order first seen
};

// The host a Referer header names, lower-cased: "direct" when there is none, "other" when it is
// not an address with a host.
QString referrerHost(QByteArrayView referer);

// Counted visits waiting for the store, bounded: a visit that would need a new entry beyond
// maxEntries in any of the batch's tables is not counted (uncounted() says how many).
class VisitTally
{
public:
    explicit VisitTally(qsizetype maxEntries);

    void add(const QString& code, VisitClass kind, bool newVisitor, const QString& host, qint64 nowSecs);
    // At most maxEntries entries of each table, taken out.
    VisitBatch take(qsizetype maxEntries);
    // Gives back a batch the store did not take.
    void putBack(const VisitBatch& batch) { m_pending.merge(batch); }
    const VisitBatch& pending() const { return m_pending; }
    bool isEmpty() const { return m_pending.isEmpty(); }
    // Visits left uncounted since the last call.
    qint64 takeUncounted() { return std::exchange(m_uncounted, 0); }

private:
    qsizetype m_maxEntries;
    VisitBatch m_pending;
    qint64 m_uncounted = 0;
};

} // namespace Shortd
