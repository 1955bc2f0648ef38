// Reports from anyone in SqlLinkStore: one table, a row a report.
#include "store/sqllinkstore.h"

#include <QSqlQuery>
#include <QVariant>

namespace Shortd
{
namespace
{
constexpr qint64 HourSecs = 3600;
} // namespace

ReportAdmission SqlLinkStore::addReport(const LinkReport& report, const ReportLimits& limits)
{
    ReportAdmission admission;
    if (!beginGroup()) {
        return admission;
    }
    const auto failed = [this, &admission] {
        abandonGroup();
        admission.outcome = ReportAdmission::Outcome::Failed;
        return admission;
    };
    QSqlQuery query(connection());
    if (m_dialect == SqlDialect::Postgres) {
        // Two instances taking reports from one address queue here until the first commits, so both
        // count what the other added. SQLite's BEGIN IMMEDIATE already lets one writer in at a time.
        query.prepare(QStringLiteral("SELECT pg_advisory_xact_lock(hashtext(CAST(? AS text)))"));
        query.addBindValue(QString(u"reports:" + report.reporter));
        if (!run(query)) {
            return failed();
        }
    }
    query.prepare(QStringLiteral("SELECT coalesce(sum(CASE WHEN created_at > ? THEN 1 ELSE 0 END), 0), "
                                 "coalesce(sum(CASE WHEN code = ? THEN 1 ELSE 0 END), 0) "
                                 "FROM reports WHERE reporter = ? AND (created_at > ? OR code = ?)"));
    const qint64 hourAgo = report.createdSecs - HourSecs;
    query.addBindValue(hourAgo);
    query.addBindValue(report.code);
    query.addBindValue(report.reporter);
    query.addBindValue(hourAgo);
    query.addBindValue(report.code);
    if (!run(query) || !query.next()) {
        return failed();
    }
    const qint64 lastHour = query.value(0).toLongLong();
    const qint64 ofLink = query.value(1).toLongLong();
    query.finish();
    if (ofLink > 0 || lastHour >= limits.perHour) {
        abandonGroup();
        admission.outcome
            = ofLink > 0 ? ReportAdmission::Outcome::AlreadyReported : ReportAdmission::Outcome::HourlyLimit;
        return admission;
    }
    const bool postgres = m_dialect == SqlDialect::Postgres;
    query.prepare(
        QStringLiteral(
            "INSERT INTO reports(code, reason, text, reporter, created_at) VALUES(?, ?, coalesce(?, ''), ?, ?)")
        + (postgres ? QStringLiteral(" RETURNING id") : QString()));
    query.addBindValue(report.code);
    query.addBindValue(report.reason);
    query.addBindValue(report.text);
    query.addBindValue(report.reporter);
    query.addBindValue(report.createdSecs);
    if (!run(query)) {
        return failed();
    }
    admission.id = postgres ? (query.next() ? query.value(0).toLongLong() : 0) : query.lastInsertId().toLongLong();
    query.finish();
    query.prepare(QStringLiteral("SELECT count(DISTINCT reporter) FROM reports "
                                 "WHERE code = ? AND dismissed_at IS NULL AND created_at > ?"));
    query.addBindValue(report.code);
    query.addBindValue(report.createdSecs - limits.windowSecs);
    if (!run(query) || !query.next()) {
        return failed();
    }
    admission.reporters = query.value(0).toLongLong();
    query.finish();
    if (!commitGroup()) {
        return admission;
    }
    admission.outcome = ReportAdmission::Outcome::Added;
    return admission;
}

std::optional<ReportGroupPage> SqlLinkStore::openReports(const QString& after, int links)
{
    // One link more than asked, to know whether another page follows.
    QSqlQuery query(connection());
    query.setForwardOnly(true);
    query.prepare(QStringLiteral(
        "SELECT id, code, reason, text, reporter, created_at, total FROM (SELECT id, code, reason, text, reporter, "
        "created_at, row_number() OVER (PARTITION BY code ORDER BY id) AS n, count(*) OVER (PARTITION BY code) AS "
        "total FROM reports WHERE dismissed_at IS NULL AND code IN (SELECT code FROM reports "
        "WHERE dismissed_at IS NULL AND code > coalesce(?, '') GROUP BY code ORDER BY code LIMIT ?)) AS r "
        "WHERE n <= ? ORDER BY code, id"));
    query.addBindValue(after);
    query.addBindValue(links + 1);
    query.addBindValue(ReportsShownALink);
    if (!run(query)) {
        return std::nullopt;
    }
    ReportGroupPage page;
    int seen = 0;
    while (query.next()) {
        LinkReport report {query.value(0).toLongLong(), query.value(1).toString(), query.value(2).toString(),
            query.value(3).toString(), query.value(4).toString(), query.value(5).toLongLong()};
        if (page.reports.isEmpty() || page.reports.constLast().code != report.code) {
            if (++seen > links) {
                page.nextAfter = page.reports.constLast().code;
                break;
            }
        }
        page.open.insert(report.code, query.value(6).toLongLong());
        page.reports.append(std::move(report));
    }
    return page;
}

std::optional<ReportDismissal> SqlLinkStore::dismissReports(const QString& target, const QString& by, qint64 nowSecs)
{
    if (!beginGroup()) {
        return std::nullopt;
    }
    ReportDismissal dismissal;
    QSqlQuery query(connection());
    query.prepare(QStringLiteral(
        "UPDATE reports SET dismissed_at = ?, dismissed_by = coalesce(?, '') WHERE code = ? AND dismissed_at IS NULL"));
    query.addBindValue(nowSecs);
    query.addBindValue(by);
    query.addBindValue(target);
    if (!run(query)) {
        abandonGroup();
        return std::nullopt;
    }
    dismissal.dismissed = query.numRowsAffected();
    dismissal.code = target;
    bool number = false;
    const qint64 id = target.toLongLong(&number);
    if (dismissal.dismissed == 0 && number && id > 0) {
        query.prepare(QStringLiteral("SELECT code FROM reports WHERE id = ? AND dismissed_at IS NULL"));
        query.addBindValue(id);
        if (!run(query)) {
            abandonGroup();
            return std::nullopt;
        }
        if (query.next()) {
            dismissal.code = query.value(0).toString();
            query.finish();
            query.prepare(QStringLiteral("UPDATE reports SET dismissed_at = ?, dismissed_by = coalesce(?, '') "
                                         "WHERE id = ? AND dismissed_at IS NULL"));
            query.addBindValue(nowSecs);
            query.addBindValue(by);
            query.addBindValue(id);
            if (!run(query)) {
                abandonGroup();
                return std::nullopt;
            }
            dismissal.dismissed = query.numRowsAffected();
        }
    }
    if (dismissal.dismissed > 0) {
        query.prepare(QStringLiteral(
            "UPDATE links SET state = 0, quarantine_list = '', quarantine_entry = '', quarantined_at = 0, "
            "changed_at = ? WHERE code = ? AND state = 3 AND quarantine_list = ? AND NOT EXISTS "
            "(SELECT 1 FROM reports AS r WHERE r.code = links.code AND r.dismissed_at IS NULL)"));
        query.addBindValue(nowSecs);
        query.addBindValue(dismissal.code);
        query.addBindValue(ReportsList.toString());
        if (!run(query)) {
            abandonGroup();
            return std::nullopt;
        }
        dismissal.released = query.numRowsAffected() == 1;
        const QString after = QStringLiteral(R"({"dismissed":%1,"released":%2})")
                                  .arg(dismissal.dismissed)
                                  .arg(dismissal.released ? QLatin1StringView("true") : QLatin1StringView("false"));
        if (!writeAudit({by, QStringLiteral("report.dismissed"), dismissal.code, {}, after}, nowSecs)) {
            abandonGroup();
            return std::nullopt;
        }
    }
    if (!commitGroup()) {
        return std::nullopt;
    }
    return dismissal;
}

} // namespace Shortd
