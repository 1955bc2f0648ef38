// The visit counters of SqlLinkStore: every write adds to what is there, so any number of
// instances writing to one PostgreSQL database add up.
#include "store/sqldialect.h"
#include "store/sqllinkstore.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>
#include <algorithm>
#include <tuple>

namespace Shortd
{
namespace
{
QString counterUpdates(QLatin1StringView table)
{
    return u"humans = " % table % u".humans + excluded.humans, visitors = " % table
        % u".visitors + excluded.visitors, bots = " % table % u".bots + excluded.bots, previews = " % table
        % u".previews + excluded.previews, blocked = " % table % u".blocked + excluded.blocked";
}

VisitCounts countsFrom(const QSqlQuery& query, int first)
{
    return {query.value(first).toLongLong(), query.value(first + 1).toLongLong(), query.value(first + 2).toLongLong(),
        query.value(first + 3).toLongLong(), query.value(first + 4).toLongLong()};
}

template<typename Key, typename Value, typename Less>
QList<Key> sortedKeys(const QHash<Key, Value>& map, Less less)
{
    QList<Key> keys = map.keys();
    std::sort(keys.begin(), keys.end(), less);
    return keys;
}
} // namespace

StoreStatus SqlLinkStore::addVisitCounts(const VisitBatch& batch)
{
    if (!m_statements) {
        return StoreStatus::Failed;
    }
    if (batch.isEmpty()) {
        return StoreStatus::Ok;
    }
    if (!beginGroup()) {
        return StoreStatus::Failed;
    }
    if (!addLinkCounts(batch.links) || !addHourCounts(batch.hours) || !addReferrerCounts(batch.referrers)) {
        return StoreStatus::Failed;
    }
    return commitGroup() ? StoreStatus::Ok : StoreStatus::Failed;
}

bool SqlLinkStore::addRows(const QString& batch, const QString& perRow, const QList<QVariantList>& rows)
{
    QSqlQuery query(connection());
    const auto failed = [&] {
        noteError(query.lastError());
        abandonGroup();
        return false;
    };
    if (m_dialect == SqlDialect::Postgres && !batch.isEmpty()) {
        // One statement for the batch, planned for the arrays it is given (see addVisits).
        QList<QStringList> columns(rows.isEmpty() ? 0 : rows.first().size());
        for (const QVariantList& row : rows) {
            for (qsizetype i = 0; i < columns.size(); ++i) {
                columns[i].append(row.at(i).toString());
            }
        }
        query.prepare(batch);
        for (const QStringList& column : std::as_const(columns)) {
            query.addBindValue(arrayLiteral(column));
        }
        return query.exec() || failed();
    }
    query.prepare(perRow);
    for (const QVariantList& row : rows) {
        for (qsizetype i = 0; i < row.size(); ++i) {
            query.bindValue(static_cast<int>(i), row.at(i));
        }
        if (!query.exec()) {
            return failed();
        }
    }
    return true;
}

bool SqlLinkStore::addLinkCounts(const QHash<QString, VisitCounts>& links)
{
    if (links.isEmpty()) {
        return true;
    }
    // Rows are changed in one order everywhere, so two instances adding at once wait for each
    // other instead of deadlocking.
    QList<QVariantList> rows;
    for (const QString& code : sortedKeys(links, std::less<>())) {
        const VisitCounts& counts = links[code];
        rows.append({counts.humans, counts.visitors, counts.bots, counts.previews, counts.blocked, code});
    }
    return addRows(QStringLiteral("UPDATE links SET visits = links.visits + v.h, visitors = links.visitors + v.n, "
                                  "bots = links.bots + v.b, previews = links.previews + v.p, blocked = links.blocked "
                                  "+ v.x FROM (SELECT * FROM unnest(?::bigint[], ?::bigint[], ?::bigint[], "
                                  "?::bigint[], ?::bigint[], ?::text[]) AS u(h, n, b, p, x, code) ORDER BY code) AS v "
                                  "WHERE links.code = v.code"),
        QStringLiteral("UPDATE links SET visits = visits + ?, visitors = visitors + ?, bots = bots + ?, "
                       "previews = previews + ?, blocked = blocked + ? WHERE code = ?"),
        rows);
}

bool SqlLinkStore::addHourCounts(const QHash<HourKey, VisitCounts>& hours)
{
    if (hours.isEmpty()) {
        return true;
    }
    QList<QVariantList> rows;
    const auto byCodeAndHour = [](const HourKey& a, const HourKey& b) {
        return a.code != b.code ? a.code < b.code : a.hourSecs < b.hourSecs;
    };
    for (const HourKey& key : sortedKeys(hours, byCodeAndHour)) {
        const VisitCounts& counts = hours[key];
        rows.append(
            {key.code, key.hourSecs, counts.humans, counts.visitors, counts.bots, counts.previews, counts.blocked});
    }
    const QString conflict
        = u" ON CONFLICT (code, hour) DO UPDATE SET " % counterUpdates(QLatin1StringView("visit_hours"));
    return addRows(u"INSERT INTO visit_hours(code, hour, humans, visitors, bots, previews, blocked) "
                   u"SELECT * FROM unnest(?::text[], ?::bigint[], ?::bigint[], ?::bigint[], ?::bigint[], "
                   u"?::bigint[], ?::bigint[]) AS u(code, hour, humans, visitors, bots, previews, blocked) "
                   u"ORDER BY code, hour"
            % conflict,
        u"INSERT INTO visit_hours(code, hour, humans, visitors, bots, previews, blocked) VALUES(?, ?, ?, ?, ?, ?, ?)"
            % conflict,
        rows);
}

bool SqlLinkStore::addReferrerCounts(const QHash<ReferrerKey, qint64>& referrers)
{
    if (referrers.isEmpty()) {
        return true;
    }
    QList<QVariantList> rows;
    const auto byCodeDayAndHost = [](const ReferrerKey& a, const ReferrerKey& b) {
        return std::tie(a.code, a.daySecs, a.host) < std::tie(b.code, b.daySecs, b.host);
    };
    for (const ReferrerKey& key : sortedKeys(referrers, byCodeDayAndHost)) {
        rows.append(
            {key.code, key.daySecs, key.code, key.daySecs, key.host, key.code, key.daySecs, key.host, referrers[key]});
    }
    // A host the link already has that day adds to its row; a new one takes a row while the day
    // has fewer than StoredReferrersPerDay, else it is counted as "other". So a link's day holds a
    // bounded number of rows, and the hosts that come early (the frequent ones, mostly) are named.
    return addRows({},
        QStringLiteral("INSERT INTO visit_referrers(code, day, host, visits) "
                       "SELECT ?, ?, CASE WHEN EXISTS (SELECT 1 FROM visit_referrers "
                       "WHERE code = ? AND day = ? AND host = ?) OR (SELECT count(*) FROM visit_referrers "
                       "WHERE code = ? AND day = ?) < %1 THEN ? ELSE '%2' END, ? WHERE true "
                       "ON CONFLICT (code, day, host) DO UPDATE SET visits = visit_referrers.visits + "
                       "excluded.visits")
            .arg(StoredReferrersPerDay)
            .arg(OtherReferrer),
        rows);
}

StoreStatus SqlLinkStore::visitReport(
    const QString& code, qint64 fromSecs, qint64 toSecs, VisitBucket bucket, VisitReport* report)
{
    *report = {};
    const QString ofLink = code.isEmpty() ? QString() : QStringLiteral("code = ? AND ");
    const auto bindSpan = [&code](QSqlQuery& query, qint64 from, qint64 to) {
        if (!code.isEmpty()) {
            query.addBindValue(code);
        }
        query.addBindValue(from);
        query.addBindValue(to);
    };
    const QString bucketStart
        = bucket == VisitBucket::Day ? QStringLiteral("hour - hour % %1").arg(SecondsPerDay) : QStringLiteral("hour");
    QSqlQuery series(connection());
    series.setForwardOnly(true);
    series.prepare(u"SELECT " % bucketStart % u" AS b, sum(humans), sum(visitors), sum(bots), sum(previews), "
        % u"sum(blocked) FROM visit_hours WHERE " % ofLink % u"hour >= ? AND hour < ? GROUP BY b ORDER BY b");
    bindSpan(series, fromSecs, toSecs);
    if (!run(series)) {
        return StoreStatus::Failed;
    }
    while (series.next()) {
        const VisitPoint point {series.value(0).toLongLong(), countsFrom(series, 1)};
        report->totals += point.counts;
        report->series.append(point);
    }
    // Referrers are kept by day: every day the span touches.
    const qint64 firstDay = fromSecs - ((fromSecs % SecondsPerDay) + SecondsPerDay) % SecondsPerDay;
    QSqlQuery hosts(connection());
    hosts.setForwardOnly(true);
    hosts.prepare(u"SELECT host, sum(visits) AS n FROM visit_referrers WHERE " % ofLink
        % u"day >= ? AND day < ? GROUP BY host ORDER BY n DESC, host");
    bindSpan(hosts, firstDay, toSecs);
    if (!run(hosts)) {
        return StoreStatus::Failed;
    }
    qint64 other = 0;
    while (hosts.next()) {
        const QString host = hosts.value(0).toString();
        const qint64 visits = hosts.value(1).toLongLong();
        if (host == OtherReferrer || report->referrers.size() >= ShownReferrers) {
            other += visits;
        } else {
            report->referrers.append({host, visits});
        }
    }
    if (other > 0) {
        report->referrers.append({OtherReferrer, other});
    }
    return StoreStatus::Ok;
}

StoreStatus SqlLinkStore::linkVisitCounts(const QStringList& codes, QHash<QString, VisitCounts>* counts)
{
    counts->clear();
    QSqlQuery query(connection());
    query.setForwardOnly(true);
    if (codes.isEmpty()) {
        query.prepare(QStringLiteral("SELECT '', coalesce(sum(visits), 0), coalesce(sum(visitors), 0), "
                                     "coalesce(sum(bots), 0), coalesce(sum(previews), 0), coalesce(sum(blocked), 0) "
                                     "FROM links"));
    } else {
        QStringList marks(codes.size(), QStringLiteral("?"));
        query.prepare(u"SELECT code, visits, visitors, bots, previews, blocked FROM links WHERE code IN ("
            % marks.join(u',') % u')');
        for (const QString& code : codes) {
            query.addBindValue(code);
        }
    }
    if (!run(query)) {
        return StoreStatus::Failed;
    }
    while (query.next()) {
        counts->insert(query.value(0).toString(), countsFrom(query, 1));
    }
    return StoreStatus::Ok;
}

StoreStatus SqlLinkStore::pruneVisits(qint64 beforeSecs)
{
    QSqlQuery hours(connection());
    hours.prepare(QStringLiteral("DELETE FROM visit_hours WHERE hour < ?"));
    hours.addBindValue(beforeSecs);
    QSqlQuery days(connection());
    days.prepare(QStringLiteral("DELETE FROM visit_referrers WHERE day < ?"));
    days.addBindValue(beforeSecs);
    return run(hours) && run(days) ? StoreStatus::Ok : StoreStatus::Failed;
}

} // namespace Shortd
