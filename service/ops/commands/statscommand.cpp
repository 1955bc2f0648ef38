#include "links/visitreport.h"
#include "ops/commands/commands.h"
#include "ops/linkrecords.h"
#include "ops/operatorcommands.h"

#include <QCommandLineParser>
#include <QDateTime>
#include <QIODevice>
#include <QJsonDocument>

namespace Shortd
{
namespace
{
constexpr int MostTop = 1000;

int writeStats(Store& store, int top, Session& session)
{
    LinkStats totals;
    QList<StoredLink> mostVisited;
    if (store.linkAdmin()->stats(top, &totals, &mostVisited) != StoreStatus::Ok) {
        return session.fail(OpsRefused, store.lastError());
    }
    QHash<QString, VisitCounts> service;
    if (store.visits()->linkVisitCounts({}, &service) != StoreStatus::Ok) {
        return session.fail(OpsRefused, store.lastError());
    }
    const VisitCounts counts = service.value(QString());
    const QString text = QStringLiteral("links: %1 (active %2, disabled %3, deleted %4)\nvisits: %5 by people (%6 new "
                                        "visitors)\nbots: %7\npreviews: %8\nblocked: %9\n")
                             .arg(totals.active + totals.disabled + totals.deleted)
                             .arg(totals.active)
                             .arg(totals.disabled)
                             .arg(totals.deleted)
                             .arg(totals.visits)
                             .arg(counts.visitors)
                             .arg(counts.bots)
                             .arg(counts.previews)
                             .arg(counts.blocked);
    session.out().write(text.toUtf8());
    if (!mostVisited.isEmpty()) {
        session.out().write("most visited:\n");
        RecordWriter writer(session.out(), RecordFormat::Table, QDateTime::currentSecsSinceEpoch());
        writer.begin();
        for (const StoredLink& link : std::as_const(mostVisited)) {
            writer.write(link);
        }
    }
    return OpsDone;
}

enum class ReportFormat {
    Table,
    Json,
    Csv,
};

int writeReport(Store& store, const QString& code, const VisitQuery& query, ReportFormat format, Session& session)
{
    if (!code.isEmpty()) {
        const LookupResult found = store.links().findByCode(code);
        if (found.status != StoreStatus::Ok) {
            return session.fail(OpsRefused,
                found.status == StoreStatus::Missing ? QStringLiteral("no link has the code %1").arg(code)
                                                     : store.lastError());
        }
    }
    VisitReport report;
    if (store.visits()->visitReport(code, query.fromSecs, query.toSecs, query.bucket, &report) != StoreStatus::Ok) {
        return session.fail(OpsRefused, store.lastError());
    }
    QIODevice& out = session.out();
    if (format == ReportFormat::Json) {
        out.write(QJsonDocument(visitReportJson(code, query, report)).toJson(QJsonDocument::Indented));
        return OpsDone;
    }
    if (format == ReportFormat::Csv) {
        out.write("start,visits,visitors,bots,previews,blocked\r\n");
        for (const VisitPoint& point : std::as_const(report.series)) {
            out.write(QStringLiteral("%1,%2,%3,%4,%5,%6\r\n")
                          .arg(isoTime(point.startSecs))
                          .arg(point.counts.humans)
                          .arg(point.counts.visitors)
                          .arg(point.counts.bots)
                          .arg(point.counts.previews)
                          .arg(point.counts.blocked)
                          .toUtf8());
        }
        return OpsDone;
    }
    const auto row = [](const QString& start, const VisitCounts& counts) {
        return QStringLiteral("%1  %2  %3  %4  %5  %6\n")
            .arg(start, -20)
            .arg(counts.humans, 8)
            .arg(counts.visitors, 8)
            .arg(counts.bots, 8)
            .arg(counts.previews, 8)
            .arg(counts.blocked, 8)
            .toUtf8();
    };
    out.write(
        QStringLiteral("%1 from %2 to %3\n")
            .arg(code.isEmpty() ? QStringLiteral("all links") : code, isoTime(query.fromSecs), isoTime(query.toSecs))
            .toUtf8());
    out.write(QStringLiteral("%1  %2  %3  %4  %5  %6\n")
                  .arg(query.bucket == VisitBucket::Hour ? QStringLiteral("hour") : QStringLiteral("day"), -20)
                  .arg(QStringLiteral("people"), 8)
                  .arg(QStringLiteral("new"), 8)
                  .arg(QStringLiteral("bots"), 8)
                  .arg(QStringLiteral("previews"), 8)
                  .arg(QStringLiteral("blocked"), 8)
                  .toUtf8());
    for (const VisitPoint& point : std::as_const(report.series)) {
        out.write(row(isoTime(point.startSecs), point.counts));
    }
    out.write(row(QStringLiteral("total"), report.totals));
    if (!report.referrers.isEmpty()) {
        out.write("referrers (people):\n");
        for (const ReferrerCount& referrer : std::as_const(report.referrers)) {
            // A host is as the browser sent it: nothing in it may steer the terminal.
            StoredLink shown;
            shown.target = referrer.host;
            out.write(QStringLiteral("  %1  %2\n").arg(referrer.visits, 8).arg(shownOnTerminal(shown).target).toUtf8());
        }
    }
    return OpsDone;
}

CheckedCommand checkStats(const QCommandLineParser& parser, const QString& code, Session& session)
{
    const bool report = !code.isEmpty() || parser.isSet(QStringLiteral("by")) || parser.isSet(QStringLiteral("since"))
        || parser.isSet(QStringLiteral("format"));
    if (report) {
        const QString formatName = parser.value(QStringLiteral("format"));
        const ReportFormat format = formatName == u"json" ? ReportFormat::Json
            : formatName == u"csv"                        ? ReportFormat::Csv
                                                          : ReportFormat::Table;
        if (formatName != u"table" && formatName != u"json" && formatName != u"csv") {
            return refusedWith(session.fail(OpsBadUsage, QStringLiteral("--format is table, json or csv")));
        }
        const Result<VisitQuery> query = parseVisitQuery(parser.value(QStringLiteral("since")), {},
            parser.value(QStringLiteral("by")), QDateTime::currentSecsSinceEpoch(),
            {QStringLiteral("--since"), QStringLiteral("now"), QStringLiteral("--by")});
        if (!query) {
            return refusedWith(session.fail(OpsBadUsage, query.fault().english));
        }
        return {OpsDone, [code, query = *query, format, &session](Store& store, const ServiceConfig&) {
                    return writeReport(store, code, query, format, session);
                }};
    }

    bool ok = false;
    const int top = parser.value(QStringLiteral("top")).toInt(&ok);
    if (!ok || top < 0 || top > MostTop) {
        return refusedWith(session.fail(OpsBadUsage, QStringLiteral("--top is a number from 0 to %1").arg(MostTop)));
    }
    return {OpsDone, [top, &session](Store& store, const ServiceConfig&) { return writeStats(store, top, session); }};
}
} // namespace

QList<OperatorCommand> statsCommands()
{
    return {
        {QStringLiteral("stats"), QStringLiteral("[CODE]"),
            QStringLiteral("A link whose visits to show by hour or day; none: all links."),
            QStringLiteral("Count links and visits (people apart from bots and link previews), and show the most "
                           "visited; with a code, --by, --since or --format, a link's or all links' visits over time."),
            {{QStringLiteral("top"), QStringLiteral("How many of the most visited links (default 10)."),
                 QStringLiteral("N"), QStringLiteral("10")},
                {QStringLiteral("by"), QStringLiteral("Visits by hour or by day (default day)."),
                    QStringLiteral("hour|day"), QStringLiteral("day")},
                {QStringLiteral("since"),
                    QStringLiteral("From this date (2026-12-07) or time (2026-12-07T10:00:00Z), UTC "
                                   "(default 30 days ago by day, 48 hours ago by hour)."),
                    QStringLiteral("DATE")},
                {QStringLiteral("format"), QStringLiteral("table (default), json or csv."),
                    QStringLiteral("table|json|csv"), QStringLiteral("table")}},
            StoreAccess::Read, checkStats},
    };
}

} // namespace Shortd
