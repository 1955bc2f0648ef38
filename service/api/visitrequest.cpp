#include "api/visitrequest.h"

#include "api/linkjson.h"
#include "api/problem.h"
#include "links/fields.h"

namespace Shortd
{

Result<VisitQuery> parseVisitRequest(QByteArrayView query, qint64 nowSecs)
{
    const DecodedFields fields = decodeForm(query);
    if (fields.error != DecodeError::None) {
        return invalidMembers({{QString(), QStringLiteral("查询参数的编码不正确")}});
    }
    QList<FieldFault> errors;
    if (!checkQueryNames(fields, {QStringLiteral("from"), QStringLiteral("to"), QStringLiteral("bucket")}, &errors)
        || !errors.isEmpty()) {
        return invalidMembers(errors);
    }
    const auto value = [&fields](const QString& name) { return findField(fields.fields, name).value; };
    Result<VisitQuery> parsed = parseVisitQuery(
        value(QStringLiteral("from")), value(QStringLiteral("to")), value(QStringLiteral("bucket")), nowSecs);
    if (!parsed) {
        // The problem body's detail says that members are wrong; the member says how.
        const Fault& fault = parsed.fault();
        return invalidMembers({{fault.field, fault.chinese, fault.english}});
    }
    return parsed;
}

} // namespace Shortd
