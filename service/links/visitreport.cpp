#include "links/visitreport.h"

#include <QDateTime>
#include <QJsonArray>
#include <QStringBuilder>
#include <optional>

namespace Shortd
{
namespace
{
constexpr qint64 DefaultDays = 30;
constexpr qint64 DefaultHours = 48;
constexpr qint64 LongestHourly = 31 * SecondsPerDay;
constexpr qint64 LongestDaily = 3660 * SecondsPerDay;

std::optional<qint64> parseMoment(const QString& text)
{
    if (const QDate date = QDate::fromString(text, Qt::ISODate); date.isValid() && text.size() == 10) {
        return date.startOfDay(Qt::UTC).toSecsSinceEpoch();
    }
    const QDateTime moment = QDateTime::fromString(text, Qt::ISODate);
    // Without Z or an offset the time would be the server's local time: refused, not guessed.
    if (!moment.isValid() || moment.timeSpec() == Qt::LocalTime) {
        return std::nullopt;
    }
    return moment.toSecsSinceEpoch();
}

QString utcTime(qint64 secs)
{
    return QDateTime::fromSecsSinceEpoch(secs, Qt::UTC).toString(Qt::ISODate);
}
} // namespace

Result<VisitQuery> parseVisitQuery(
    const QString& from, const QString& to, const QString& bucket, qint64 nowSecs, const VisitQueryNames& names)
{
    VisitQuery query;
    if (bucket == u"hour") {
        query.bucket = VisitBucket::Hour;
    } else if (!bucket.isEmpty() && bucket != u"day") {
        return Fault {
            FaultKind::Invalid, QStringLiteral("应为 hour 或 day"), names.bucket % u" is hour or day", names.bucket};
    }
    const bool hourly = query.bucket == VisitBucket::Hour;
    const auto notAMoment = [](const QString& field) {
        return Fault {FaultKind::Invalid,
            QStringLiteral("应为日期（2026-12-07）或带时区的时间（2026-12-07T10:00:00Z）"),
            field % u" is a date (2026-12-07) or a time with its zone (2026-12-07T10:00:00Z)", field};
    };
    query.toSecs = nowSecs;
    if (!to.isEmpty()) {
        const std::optional<qint64> moment = parseMoment(to);
        if (!moment) {
            return notAMoment(names.to);
        }
        query.toSecs = *moment;
    }
    query.fromSecs = query.toSecs - (hourly ? DefaultHours * SecondsPerHour : DefaultDays * SecondsPerDay);
    if (!from.isEmpty()) {
        const std::optional<qint64> moment = parseMoment(from);
        if (!moment) {
            return notAMoment(names.from);
        }
        query.fromSecs = *moment;
    }
    const auto badSpan = [&names](const QString& english) {
        return Fault {FaultKind::Invalid, QStringLiteral("from 应早于 to；按小时最多 31 天，按天最多 3660 天"), english,
            names.from};
    };
    if (query.fromSecs >= query.toSecs) {
        return badSpan(names.from % u" must come before " % names.to);
    }
    if (query.toSecs - query.fromSecs > (hourly ? LongestHourly : LongestDaily)) {
        return badSpan(hourly ? QStringLiteral("an hourly series spans 31 days at most; ask by day")
                              : QStringLiteral("a daily series spans 3660 days at most"));
    }
    return query;
}

QJsonObject visitCountsJson(const VisitCounts& counts)
{
    return {{QStringLiteral("visits"), counts.humans}, {QStringLiteral("visitors"), counts.visitors},
        {QStringLiteral("bots"), counts.bots}, {QStringLiteral("previews"), counts.previews},
        {QStringLiteral("blocked"), counts.blocked}};
}

QJsonObject visitReportJson(const QString& code, const VisitQuery& query, const VisitReport& report)
{
    QJsonArray series;
    for (const VisitPoint& point : report.series) {
        QJsonObject entry = visitCountsJson(point.counts);
        entry.insert(QStringLiteral("start"), utcTime(point.startSecs));
        series.append(entry);
    }
    QJsonArray referrers;
    for (const ReferrerCount& referrer : report.referrers) {
        referrers.append(
            QJsonObject {{QStringLiteral("host"), referrer.host}, {QStringLiteral("visits"), referrer.visits}});
    }
    QJsonObject answer {{QStringLiteral("from"), utcTime(query.fromSecs)},
        {QStringLiteral("to"), utcTime(query.toSecs)},
        {QStringLiteral("bucket"), query.bucket == VisitBucket::Hour ? QStringLiteral("hour") : QStringLiteral("day")},
        {QStringLiteral("totals"), visitCountsJson(report.totals)}, {QStringLiteral("series"), series},
        {QStringLiteral("referrers"), referrers}};
    if (!code.isEmpty()) {
        answer.insert(QStringLiteral("code"), code);
    }
    return answer;
}

QJsonObject serviceStatsJson(
    const LinkStats& links, const VisitCounts& allTime, const VisitQuery& query, const VisitReport& report)
{
    return {{QStringLiteral("links"),
                QJsonObject {{QStringLiteral("active"), links.active}, {QStringLiteral("disabled"), links.disabled},
                    {QStringLiteral("deleted"), links.deleted}}},
        {QStringLiteral("allTime"), visitCountsJson(allTime)},
        {QStringLiteral("period"), visitReportJson({}, query, report)}};
}

} // namespace Shortd
