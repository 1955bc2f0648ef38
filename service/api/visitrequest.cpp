#include "api/visitrequest.h"

#include "api/linkjson.h"
#include "links/fields.h"

namespace Shortd
{

std::optional<VisitQuery> parseVisitRequest(QByteArrayView query, qint64 nowSecs, QList<FieldError>* errors)
{
    const DecodedFields fields = decodeForm(query);
    if (fields.error != DecodeError::None) {
        errors->append({QString(), QStringLiteral("查询参数的编码不正确")});
        return std::nullopt;
    }
    if (!checkQueryNames(fields, {QStringLiteral("from"), QStringLiteral("to"), QStringLiteral("bucket")}, errors)
        || !errors->isEmpty()) {
        return std::nullopt;
    }
    const auto value = [&fields](const QString& name) { return findField(fields.fields, name).value; };
    const VisitQuery parsed = parseVisitQuery(
        value(QStringLiteral("from")), value(QStringLiteral("to")), value(QStringLiteral("bucket")), nowSecs);
    switch (parsed.problem) {
    case VisitQuery::Problem::None:
        return parsed;
    case VisitQuery::Problem::Bucket:
        errors->append({parsed.errorField, QStringLiteral("应为 hour 或 day")});
        break;
    case VisitQuery::Problem::Moment:
        errors->append(
            {parsed.errorField, QStringLiteral("应为日期（2026-12-07）或带时区的时间（2026-12-07T10:00:00Z）")});
        break;
    case VisitQuery::Problem::Span:
        errors->append({parsed.errorField, QStringLiteral("from 应早于 to；按小时最多 31 天，按天最多 3660 天")});
        break;
    }
    return std::nullopt;
}

} // namespace Shortd
