#pragma once

#include "cluster/checkschedule.h"
#include "links/destinationcheck.h"

namespace Shortd
{

// What a check's answer does to the failures in a row: the dead kinds count one more, an answer
// below 400 clears them, and the rest (a lookup that failed, a timeout, a list, …) say nothing
// either way.
CheckEffect checkEffect(const ProbeAnswer& answer);

// A probe's answer as a link keeps it: its outcome, status, last address and hops (compact JSON),
// and the list and entry when one holds a hop.
CheckResult checkResult(const ProbeAnswer& answer, qint64 nowSecs);

} // namespace Shortd
