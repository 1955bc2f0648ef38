#pragma once

#include "metrics/servicemetrics.h"

#include <QStringView>

namespace Shortd
{

// Which of the routes a request is counted under, by its path as the routes read it (and whether
// it is a POST, for the API's creation and a limited link's button).
Metrics::Route routeLabel(QStringView path, bool post);

} // namespace Shortd
