#pragma once

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
    enum class Problem { None, Bucket, Moment, Span };
    Problem problem = Problem::None; // what is wrong, for callers that word it themselves
    QString error; // empty when usable; says which value is wrong
    QString errorField; // "from", "to" or "bucket"
};

// Reads from, to and bucket as a request or a command gives them: a date (2026-12-07, UTC) or a
// date and time (2026-12-07T10:00:00Z, with an offset or Z); bucket "hour" or "day". Missing
// values: to is now, from is 30 days (bucket day) or 48 hours (bucket hour) before it. An hourly
// series spans 31 days at most, a daily one 3,660.
VisitQuery parseVisitQuery(const QString& from, const QString& to, const QString& bucket, qint64 nowSecs);

// {"visits", "visitors", "bots", "previews"}: visits are people's, as a link's visits are.
QJsonObject visitCountsJson(const VisitCounts& counts);
// The answer to a visits request: {"code" (absent for the whole service), "from", "to", "bucket",
// "totals", "series": [{"start", counts…}], "referrers": [{"host", "visits"}]}; times in ISO 8601 UTC.
QJsonObject visitReportJson(const QString& code, const VisitQuery& query, const VisitReport& report);
// The whole service: {"links": {"active", "disabled", "deleted"}, "allTime": counts, "period": report}.
QJsonObject serviceStatsJson(
    const LinkStats& links, const VisitCounts& allTime, const VisitQuery& query, const VisitReport& report);

} // namespace Shortd
