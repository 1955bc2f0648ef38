#pragma once

#include "store/migrations.h"

#include <QList>
#include <QString>
#include <optional>

class QSqlDatabase;

namespace Shortd
{

// The channel PostgreSQL announces link changes on; the payload is the code.
inline constexpr QLatin1StringView LinkChangesChannel("link_changes");
// An instance whose heartbeat is older than this counts as gone.
inline constexpr qint64 InstanceLiveMs = 5000;

// One row of the change log: a link changed (state, fields, deleted) and every instance must drop
// what it holds of it.
struct LinkChange {
    qint64 id = 0;
    QString code;
};

// Who this instance is, as the instances table records it.
struct InstanceRecord {
    QString id;
    QString host;
    qint64 pid = 0;
    qint64 startedMs = 0;
};

// Creations of one client in one slot of time (milliseconds since the epoch / ClientCountSlotMs).
inline constexpr qint64 ClientCountSlotMs = 6000;
// Counts whose key begins with this are kept long enough for an hour's window (the last hour's
// slots, a tenth of an hour each, and one more); the others for a minute's.
inline constexpr char HourCountPrefix[] = "host:";
inline constexpr qint64 HourCountsKeptMs = qint64 {70} * 60'000;
struct ClientCount {
    QString client;
    qint64 slot = 0;
    qint64 count = 0;
};

// The statements instances share through the database: the change log, the instances and their
// heartbeats, and the creations counted per client (what an operator asks of the log, the store
// answers through its ChangeLog). Each takes the connection of the thread that calls it and
// answers nullopt or false when the database fails (the connection's lastError() says why).
namespace ClusterFeed
{
// The newest change logged, 0 when none; where an instance that starts begins to read.
std::optional<qint64> newestChange(const QSqlDatabase& db);
// Changes after id, oldest first, at most limit of them.
std::optional<QList<LinkChange>> changesAfter(const QSqlDatabase& db, qint64 id, int limit);

bool registerInstance(const QSqlDatabase& db, SqlDialect dialect, const InstanceRecord& instance, qint64 nowMs);
// Writes the heartbeat and the last change acted on; false also when the row has gone (pruned as
// dead by another instance after a long outage): registerInstance then writes it again.
bool heartbeat(const QSqlDatabase& db, const QString& instance, qint64 ackedChange, qint64 nowMs);
bool unregisterInstance(const QSqlDatabase& db, const QString& instance);
std::optional<int> liveInstances(const QSqlDatabase& db, qint64 nowMs);
// Drops change log rows and instances older than keepMs, and counts of slots more than a minute old.
bool prune(const QSqlDatabase& db, qint64 nowMs, qint64 keepMs);

// PostgreSQL only: adds this instance's counts and answers the cluster's sums, for the clients
// given, of the slots from oldestSlot on. One statement: the sums read are those committed
// before it, so the counts just sent are not among them (the caller adds them).
std::optional<QList<ClientCount>> exchangeCounts(const QSqlDatabase& db, const QString& instance,
    const QList<ClientCount>& mine, const QStringList& clients, qint64 oldestSlot);
} // namespace ClusterFeed

} // namespace Shortd
