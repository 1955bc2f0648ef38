#pragma once

#include "api/problem.h"
#include "links/visitreport.h"

#include <QByteArrayView>
#include <QList>
#include <optional>

namespace Shortd
{

// The query of a visits request (from, to, bucket, each at most once); nullopt with the errors.
std::optional<VisitQuery> parseVisitRequest(QByteArrayView query, qint64 nowSecs, QList<FieldError>* errors);

} // namespace Shortd
