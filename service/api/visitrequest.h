#pragma once

#include "links/result.h"
#include "links/visitreport.h"

#include <QByteArrayView>

namespace Shortd
{

// The query of a visits request (from, to, bucket, each at most once), or an Invalid fault naming
// each member that cannot be used.
Result<VisitQuery> parseVisitRequest(QByteArrayView query, qint64 nowSecs);

} // namespace Shortd
