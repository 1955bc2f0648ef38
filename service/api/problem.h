#pragma once

#include "http/message.h"
#include "links/result.h"

#include <QList>
#include <QString>

namespace Shortd
{

// One member of a request that was refused, and why (in the service's language).
struct FieldError {
    QString field;
    QString message;
};

// Every refusal of the JSON API: application/problem+json with type, title (the status's English
// name, as the problem format's registry has them), status, detail (Chinese, for people) and, for
// refused members, errors. Never cached.
HttpReply problemReply(int status, const QString& detail, const QList<FieldError>& errors = {});

// The ones that carry a header beside the body.
HttpReply unauthorizedReply(const QString& detail);
HttpReply retryLaterReply(int status, const QString& detail, int retryAfterSeconds);
HttpReply methodNotAllowedReply(const QByteArray& allowed);

// A fault of links/ as the API answers it: Invalid 422 (naming its members, or its one field),
// Missing 404, Gone 410, Refused and TakenDown 403, Conflict 409, Unavailable 503 with Retry-After.
HttpReply faultReply(const Fault& fault);
// The members an Invalid fault names, as a problem body lists them.
QList<FieldError> fieldErrors(const Fault& fault);
// A request refused for what some of its members hold, each with why.
Fault invalidMembers(QList<FieldFault> members);

} // namespace Shortd
