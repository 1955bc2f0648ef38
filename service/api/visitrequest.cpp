#include "api/visitrequest.h"

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
    const QStringList names {QStringLiteral("from"), QStringLiteral("to"), QStringLiteral("bucket")};
    for (const Field& field : fields.fields) {
        if (!names.contains(field.name)) {
            errors->append({field.name, QStringLiteral("不认识的查询参数")});
        } else if (findField(fields.fields, field.name).count > 1) {
            errors->append({field.name, QStringLiteral("查询参数重复")});
            return std::nullopt;
        }
    }
    if (!errors->isEmpty()) {
        return std::nullopt;
    }
    const auto value = [&fields](const QString& name) { return findField(fields.fields, name).value; };
    const VisitQuery parsed = parseVisitQuery(
        value(QStringLiteral("from")), value(QStringLiteral("to")), value(QStringLiteral("bucket")), nowSecs);
    if (parsed.errorField.isEmpty()) {
        return parsed;
    }
    if (parsed.errorField == u"bucket") {
        errors->append({parsed.errorField, QStringLiteral("应为 hour 或 day")});
    } else if (parsed.error.contains(QLatin1StringView("a date"))) {
        errors->append(
            {parsed.errorField, QStringLiteral("应为日期（2026-12-07）或带时区的时间（2026-12-07T10:00:00Z）")});
    } else {
        errors->append({parsed.errorField, QStringLiteral("from 应早于 to；按小时最多 31 天，按天最多 3660 天")});
    }
    return std::nullopt;
}

} // namespace Shortd
