#include "cluster/clusterfeed.h"

#include "store/sqldialect.h"

#include <QSqlDatabase>
#include <QSqlQuery>
#include <QVariant>

namespace Shortd::ClusterFeed
{
namespace
{
std::optional<qint64> singleNumber(QSqlQuery& query)
{
    query.setForwardOnly(true);
    if (!query.exec() || !query.next()) {
        return std::nullopt;
    }
    return query.value(0).toLongLong();
}

bool runOne(const QSqlDatabase& db, const QString& sql, const QVariantList& values)
{
    QSqlQuery query(db);
    if (!query.prepare(sql)) {
        return false;
    }
    for (const QVariant& value : values) {
        query.addBindValue(value);
    }
    return query.exec();
}
} // namespace

std::optional<qint64> newestChange(const QSqlDatabase& db)
{
    QSqlQuery query(db);
    query.prepare(QStringLiteral("SELECT coalesce(max(id), 0) FROM link_changes"));
    return singleNumber(query);
}

std::optional<QList<LinkChange>> changesAfter(const QSqlDatabase& db, qint64 id, int limit)
{
    QSqlQuery query(db);
    query.setForwardOnly(true);
    query.prepare(u"SELECT id, code FROM link_changes WHERE id > ? ORDER BY id LIMIT " % QString::number(limit));
    query.addBindValue(id);
    if (!query.exec()) {
        return std::nullopt;
    }
    QList<LinkChange> changes;
    while (query.next()) {
        changes.append({query.value(0).toLongLong(), query.value(1).toString()});
    }
    return changes;
}

bool registerInstance(const QSqlDatabase& db, SqlDialect dialect, const InstanceRecord& instance, qint64 nowMs)
{
    // The same statement in both: an instance that lost its row (pruned during an outage) takes
    // it back with the same id.
    Q_UNUSED(dialect)
    return runOne(db,
        QStringLiteral("INSERT INTO instances(id, host, pid, started_at, heartbeat_at) VALUES (?, ?, ?, ?, ?) "
                       "ON CONFLICT (id) DO UPDATE SET heartbeat_at = excluded.heartbeat_at"),
        {instance.id, instance.host, instance.pid, instance.startedMs, nowMs});
}

bool heartbeat(const QSqlDatabase& db, const QString& instance, qint64 ackedChange, qint64 nowMs)
{
    QSqlQuery query(db);
    query.prepare(QStringLiteral("UPDATE instances SET heartbeat_at = ?, acked_change = ? WHERE id = ?"));
    query.addBindValue(nowMs);
    query.addBindValue(ackedChange);
    query.addBindValue(instance);
    return query.exec() && query.numRowsAffected() == 1;
}

bool unregisterInstance(const QSqlDatabase& db, const QString& instance)
{
    return runOne(db, QStringLiteral("DELETE FROM instances WHERE id = ?"), {instance});
}

std::optional<int> liveInstances(const QSqlDatabase& db, qint64 nowMs)
{
    QSqlQuery query(db);
    query.prepare(QStringLiteral("SELECT count(*) FROM instances WHERE heartbeat_at > ?"));
    query.addBindValue(nowMs - InstanceLiveMs);
    const std::optional<qint64> live = singleNumber(query);
    return live ? std::optional(static_cast<int>(*live)) : std::nullopt;
}

bool prune(const QSqlDatabase& db, qint64 nowMs, qint64 keepMs)
{
    const qint64 before = nowMs - keepMs;
    const bool postgres = db.driverName() == driverName(SqlDialect::Postgres);
    return runOne(db, QStringLiteral("DELETE FROM link_changes WHERE changed_at < ?"), {before})
        && runOne(db, QStringLiteral("DELETE FROM instances WHERE heartbeat_at < ?"), {before})
        && (!postgres
            || runOne(db,
                QStringLiteral("DELETE FROM client_counts WHERE slot < ? AND (slot < ? OR client NOT LIKE ?)"),
                {(nowMs - qint64 {120'000}) / ClientCountSlotMs, (nowMs - HourCountsKeptMs) / ClientCountSlotMs,
                    QString(QLatin1StringView(HourCountPrefix) + u'%')}));
}

std::optional<QList<ClientCount>> exchangeCounts(const QSqlDatabase& db, const QString& instance,
    const QList<ClientCount>& mine, const QStringList& clients, qint64 oldestSlot)
{
    QStringList sentClients;
    QStringList sentSlots;
    QStringList sentCounts;
    for (const ClientCount& count : mine) {
        sentClients.append(count.client);
        sentSlots.append(QString::number(count.slot));
        sentCounts.append(QString::number(count.count));
    }
    // Rows are keyed by instance too, so instances adding at once never wait for each other. The
    // insert runs whether or not the select reads it.
    QSqlQuery query(db);
    query.setForwardOnly(true);
    query.prepare(QStringLiteral("WITH sent AS (INSERT INTO client_counts(client, slot, instance, n) "
                                 "SELECT c, m, ?, n FROM unnest(?::text[], ?::bigint[], ?::bigint[]) AS u(c, m, n) "
                                 "ON CONFLICT (client, slot, instance) DO UPDATE SET n = client_counts.n + excluded.n) "
                                 "SELECT client, slot, sum(n)::bigint FROM client_counts "
                                 "WHERE client = ANY(?::text[]) AND slot >= ? "
                                 "GROUP BY client, slot"));
    query.addBindValue(instance);
    query.addBindValue(arrayLiteral(sentClients));
    query.addBindValue(arrayLiteral(sentSlots));
    query.addBindValue(arrayLiteral(sentCounts));
    query.addBindValue(arrayLiteral(clients));
    query.addBindValue(oldestSlot);
    if (!query.exec()) {
        return std::nullopt;
    }
    QList<ClientCount> sums;
    while (query.next()) {
        sums.append({query.value(0).toString(), query.value(1).toLongLong(), query.value(2).toLongLong()});
    }
    return sums;
}

} // namespace Shortd::ClusterFeed
