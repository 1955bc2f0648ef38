#pragma once

#include <QString>

namespace Shortd
{

// An address as a warning shows it: readable, but something no browser, mail reader or chat turns
// back into a link. The scheme's "http" becomes "hxxp" and every dot of the host "[.]"; the rest is
// left as it was.
QString defanged(const QString& address);

} // namespace Shortd
