#pragma once

#include "store/linkstore.h"
#include "store/storestatus.h"

#include <QString>
#include <QtGlobal>

namespace Shortd
{

// Links stopped because a blocklist names their destination, and put back by an operator. Both
// changes are one UPDATE of the link's row, so the change log announces them to every instance.
class LinkQuarantine
{
public:
    LinkQuarantine(const LinkQuarantine&) = delete;
    LinkQuarantine& operator=(const LinkQuarantine&) = delete;

    // Quarantines an active link, keeping the list and the entry that matched and the moment.
    // Missing when there is no such code, the link is not active, or it was released from this
    // very entry of this list before (an exemption); decided by the statement that writes.
    virtual StoreStatus quarantine(const QString& code, const QString& list, const QString& entry, qint64 nowSecs) = 0;
    // Puts a quarantined link back to active, exempts it from the entry that had matched and
    // clears the evidence. Missing when the link is not quarantined.
    virtual StoreStatus release(const QString& code, const LinkActor& actor, qint64 nowSecs) = 0;

protected:
    LinkQuarantine() = default;
    ~LinkQuarantine() = default;
};

} // namespace Shortd
