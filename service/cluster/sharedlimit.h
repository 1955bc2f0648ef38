#pragma once

#include "cluster/clusterfeed.h"

#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>
#include <algorithm>
#include <optional>
#include <utility>

namespace Shortd
{

// Creations a minute per client (or an hour, or another window), counted across the instances of a
// cluster without asking the database per request. Each instance counts its own creations in slots
// of wall-clock time, a tenth of the window each (six seconds for a minute), and, a few times a second, sends what it
// counted and reads back the cluster's sums (takeBatch, settle). It decides alone from the last sums it read plus what
// it granted since.
//
// What a client used is the sum of the slots the last window touches, the oldest counted whole
// until it has left: a burst is never forgotten early, so no window holds more than the limit, and
// a steady client gets at least 10/11 of it. The database counts in six-second slots whatever the
// window: a batch's and the sums' slots are in those units.
// Between two exchanges an instance grants a client at most its share of what the cluster has
// left (divided by the live instances), and at least one while anything is left. What the others
// granted since their last exchange is not in the sums yet; each is taken to have granted as many
// as this instance did in its last round, so a client spread evenly gets no more than the limit
// plus one per instance, and a client on one instance reaches the limit in a few rounds. Time
// comes in from outside, as milliseconds since the epoch, the same on every instance.
class SharedLimit
{
public:
    // windowMs: a whole number of minutes, or a minute.
    explicit SharedLimit(int perWindow, qint64 windowMs = 60'000);

    struct Decision {
        bool allowed = true;
        int retryAfterSeconds = 0;
    };

    struct Batch {
        QList<ClientCount> counts; // granted here since the last batch
        QStringList clients; // whose sums to read back
        qint64 oldestSlot = 0;
    };

    Decision take(const QString& client, qint64 nowMs);
    // For events that happen whatever is decided (a key refused, say): note() counts one, and
    // blockedForSeconds() says how long the client is refused because the cluster counted the limit
    // in the last window (0: not refused). Asking makes the client's sums read at the next exchange,
    // so a client counted on other instances is refused here too.
    void note(const QString& client, qint64 nowMs);
    // One granted by take() that was not used after all: counted off again (from the slot of now;
    // once sent, as a count of minus one).
    void giveBack(const QString& client, qint64 nowMs);
    int blockedForSeconds(const QString& client, qint64 nowMs);
    // What to send; it counts as in flight until settle.
    Batch takeBatch(qint64 nowMs);
    // The exchange of batch ended: with the cluster's sums, read before the batch was added, or
    // nullopt when it failed (the batch is sent again with the next).
    void settle(const Batch& batch, const std::optional<QList<ClientCount>>& sums, int liveInstances);

    // The live instances, from their heartbeats; the exchanges say it too.
    void setInstances(int live) { m_instances = std::max(live, 1); }
    qsizetype trackedClients() const { return m_lastSeen.size(); }

private:
    using Key = std::pair<QString, qint64>; // client, slot

    // The client's count in each slot the last minute touches, oldest first.
    QList<qint64> window(const QHash<Key, qint64>& counts, const QString& client, qint64 slot) const;
    // The client's count in each slot of the last minute, the cluster's and this instance's.
    QList<qint64> everything(const QString& client, qint64 slot) const;
    // The seconds until enough of the oldest slots leave the minute for one more.
    int secondsUntilRoom(const QList<qint64>& counts, qint64 slot, qint64 nowMs) const;
    void forgetOld(qint64 nowMs);
    // The database's slots in one of this limit's.
    qint64 scale() const { return m_slotMs / ClientCountSlotMs; }

    int m_limit; // the limit, whatever the window
    qint64 m_slotMs;
    int m_instances = 1;
    QHash<Key, qint64> m_known; // the cluster's sums at the last exchange, this instance's sent included
    QHash<Key, qint64> m_inFlight; // sent, not yet among m_known
    QHash<Key, qint64> m_unsent;
    QHash<QString, qint64> m_lastSeen; // when each client last asked
    QHash<QString, qint64> m_lastRound; // granted here in the last batch that reached the cluster
    qint64 m_nextSweepMs = 0;
};

} // namespace Shortd
