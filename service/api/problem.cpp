#include "api/problem.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace Shortd
{
namespace
{
constexpr auto ProblemType = QByteArrayView("application/problem+json; charset=utf-8");

QString statusTitle(int status)
{
    switch (status) {
    case 400:
        return QStringLiteral("Bad Request");
    case 401:
        return QStringLiteral("Unauthorized");
    case 403:
        return QStringLiteral("Forbidden");
    case 404:
        return QStringLiteral("Not Found");
    case 405:
        return QStringLiteral("Method Not Allowed");
    case 409:
        return QStringLiteral("Conflict");
    case 413:
        return QStringLiteral("Content Too Large");
    case 415:
        return QStringLiteral("Unsupported Media Type");
    case 417:
        return QStringLiteral("Expectation Failed");
    case 422:
        return QStringLiteral("Unprocessable Content");
    case 429:
        return QStringLiteral("Too Many Requests");
    case 431:
        return QStringLiteral("Request Header Fields Too Large");
    case 503:
        return QStringLiteral("Service Unavailable");
    default:
        return QStringLiteral("Internal Server Error");
    }
}
} // namespace

HttpReply problemReply(int status, const QString& detail, const QList<FieldError>& errors)
{
    QJsonObject problem {{QStringLiteral("type"), QStringLiteral("about:blank")},
        {QStringLiteral("title"), statusTitle(status)}, {QStringLiteral("status"), status},
        {QStringLiteral("detail"), detail}};
    if (!errors.isEmpty()) {
        QJsonArray list;
        for (const FieldError& error : errors) {
            list.append(
                QJsonObject {{QStringLiteral("field"), error.field}, {QStringLiteral("message"), error.message}});
        }
        problem.insert(QStringLiteral("errors"), list);
    }
    HttpReply reply {status, ProblemType.toByteArray(), QJsonDocument(problem).toJson(QJsonDocument::Compact), {}};
    reply.addHeader("Cache-Control", "no-store");
    return reply;
}

HttpReply unauthorizedReply(const QString& detail)
{
    HttpReply reply = problemReply(401, detail);
    reply.addHeader("WWW-Authenticate", "Bearer");
    return reply;
}

HttpReply retryLaterReply(int status, const QString& detail, int retryAfterSeconds)
{
    HttpReply reply = problemReply(status, detail);
    reply.addHeader("Retry-After", QByteArray::number(retryAfterSeconds));
    return reply;
}

HttpReply methodNotAllowedReply(const QByteArray& allowed)
{
    HttpReply reply = problemReply(405, QStringLiteral("此地址不接受该请求方法，可用的方法见 Allow"));
    reply.addHeader("Allow", allowed);
    return reply;
}

QList<FieldError> fieldErrors(const Fault& fault)
{
    QList<FieldError> errors;
    for (const FieldFault& member : fault.fields) {
        errors.append({member.field, member.chinese});
    }
    if (errors.isEmpty() && !fault.field.isEmpty()) {
        errors.append({fault.field, fault.chinese});
    }
    return errors;
}

Fault invalidMembers(QList<FieldFault> members)
{
    return {FaultKind::Invalid, QStringLiteral("请求中有不正确的内容，详见 errors"),
        QStringLiteral("the request has values that cannot be used"), {}, std::move(members)};
}

HttpReply faultReply(const Fault& fault)
{
    // As long as a worker of the store pool takes to reconnect, about.
    constexpr int RetryAfterSeconds = 2;
    switch (fault.kind) {
    case FaultKind::Invalid:
        return problemReply(422, fault.chinese, fieldErrors(fault));
    case FaultKind::Missing:
        return problemReply(404, fault.chinese);
    case FaultKind::Gone:
        return problemReply(410, fault.chinese);
    case FaultKind::Refused:
    case FaultKind::TakenDown:
        return problemReply(403, fault.chinese);
    case FaultKind::Conflict:
        return problemReply(409, fault.chinese);
    case FaultKind::Unavailable:
        break;
    }
    return retryLaterReply(503, fault.chinese, RetryAfterSeconds);
}

} // namespace Shortd
