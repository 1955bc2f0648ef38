// The destination checks in SqlLinkStore: columns of the links' own rows.
#include "store/sqllinkstore.h"

#include <QSqlQuery>
#include <QVariant>

namespace Shortd
{

namespace
{
// Active and not past its end: what the checks cover.
constexpr QLatin1StringView Live("state = 0 AND (expires_at IS NULL OR expires_at > ?) "
                                 "AND (max_visits IS NULL OR visits < max_visits)");
// A visit in an hour that ends after the moment bound.
constexpr QLatin1StringView VisitedSince(
    "EXISTS (SELECT 1 FROM visit_hours AS v WHERE v.code = links.code AND v.hour > ?)");
constexpr qint64 HourSecs = 3600;
} // namespace

std::optional<CheckLoad> SqlLinkStore::checkLoad(qint64 visitedSinceSecs, qint64 nowSecs)
{
    QSqlQuery query(connection());
    query.setForwardOnly(true);
    query.prepare(u"SELECT count(*), coalesce(sum(CASE WHEN " % VisitedSince % u" THEN 1 ELSE 0 END), 0), "
        % u"(SELECT count(*) FROM links WHERE dead = 1 AND state <> 2) FROM links WHERE " % Live);
    query.addBindValue(visitedSinceSecs - HourSecs);
    query.addBindValue(nowSecs);
    if (!run(query) || !query.next()) {
        return std::nullopt;
    }
    return CheckLoad {query.value(0).toLongLong(), query.value(1).toLongLong(), query.value(2).toLongLong()};
}

std::optional<QList<DueLink>> SqlLinkStore::dueLinks(const DueQuery& query)
{
    QSqlQuery select(connection());
    select.setForwardOnly(true);
    select.prepare(u"SELECT code, target FROM links WHERE " % Live % u" AND (checked_at <= ? OR (checked_at <= ? AND "
        % VisitedSince % u")) ORDER BY checked_at, code LIMIT " % QString::number(query.limit));
    select.addBindValue(query.nowSecs);
    select.addBindValue(query.otherDueSecs);
    select.addBindValue(query.visitedDueSecs);
    select.addBindValue(query.visitedSinceSecs - HourSecs);
    if (!run(select)) {
        return std::nullopt;
    }
    QList<DueLink> links;
    while (select.next()) {
        links.append({select.value(0).toString(), select.value(1).toString()});
    }
    return links;
}

CheckRecorded SqlLinkStore::recordCheck(const QString& code, const LinkCheck& check, CheckEffect effect, int deadAfter)
{
    // One statement reads the count it raises, so two checks of one link never lose a failure. The
    // numbers are cast, for PostgreSQL takes a bare parameter compared with a number as text.
    QSqlQuery update(connection());
    update.prepare(
        QStringLiteral("UPDATE links SET checked_at = ?, check_outcome = coalesce(?, ''), check_status = ?, "
                       "check_final_url = coalesce(?, ''), check_hops = coalesce(?, ''), "
                       "check_failures = CASE CAST(? AS INTEGER) WHEN 1 THEN check_failures + 1 WHEN 2 THEN 0 "
                       "ELSE check_failures END, "
                       "dead = CASE WHEN CAST(? AS INTEGER) = 1 AND check_failures + 1 >= CAST(? AS INTEGER) THEN 1 "
                       "WHEN CAST(? AS INTEGER) = 2 THEN 0 ELSE dead END "
                       "WHERE code = ?"));
    const int effectCode = effect == CheckEffect::Fail ? 1 : effect == CheckEffect::Clear ? 2 : 0;
    update.addBindValue(check.atSecs);
    update.addBindValue(check.outcome);
    update.addBindValue(check.status);
    update.addBindValue(check.finalUrl);
    update.addBindValue(check.hops);
    update.addBindValue(effectCode);
    update.addBindValue(effectCode);
    update.addBindValue(deadAfter);
    update.addBindValue(effectCode);
    update.addBindValue(code);
    if (!run(update)) {
        return {};
    }
    if (update.numRowsAffected() != 1) {
        return {StoreStatus::Missing, {}};
    }
    const LookupResult now = findByCode(code);
    return {now.status, now.link.check};
}

} // namespace Shortd
