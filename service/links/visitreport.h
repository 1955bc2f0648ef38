#pragma once

#include "links/result.h"
#include "store/linkstore.h"
#include "store/visitcounts.h"

#include <QJsonObject>
#include <QString>

namespace Shortd
{

// The span and the bucket a visits request asks for.
struct VisitQuery {
    qint64 fromSecs = 0;
    qint64 toSecs = 0; // excluded
    VisitBucket bucket = VisitBucket::Day;
};

// What the caller calls from, to and bucket, for the fault's field and its English: a request's
// members, or a command's options.
struct VisitQueryNames {
    QString from = QStringLiteral("from");
    QString to = QStringLiteral("to");
    QString bucket = QStringLiteral("bucket");
};

// Reads from, to and bucket as a request or a command gives them: a date (2026-12-07, UTC) or a
// date and time (2026-12-07T10:00:00Z, with an offset or Z); bucket "hour" or "day". Missing
// values: to is now, from is 30 days (bucket day) or 48 hours (bucket hour) before it. An hourly
// series spans 31 days at most, a daily one 3,660. A value that cannot be used is an Invalid fault
// naming it.
Result<VisitQuery> parseVisitQuery(
    const QString& from, const QString& to, const QString& bucket, qint64 nowSecs, const VisitQueryNames& names = {});

// {"visits", "visitors", "bots", "previews", "blocked"}: visits are people's, as a link's visits are;
// blocked, the requests its quarantine turned away.
QJsonObject visitCountsJson(const VisitCounts& counts);
// The answer to a visits request: {"code" (absent for the whole service), "from", "to", "bucket",
// "totals", "series": [{"start", counts…}], "referrers": [{"host", "visits"}]}; times in ISO 8601 UTC.
QJsonObject visitReportJson(const QString& code, const VisitQuery& query, const VisitReport& report);
// The whole service: {"links": {"active", "disabled", "deleted"}, "allTime": counts, "period": report}.
QJsonObject serviceStatsJson(
    const LinkStats& links, const VisitCounts& allTime, const VisitQuery& query, const VisitReport& report);

} // namespace Shortd
