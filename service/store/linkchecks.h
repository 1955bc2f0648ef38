#pragma once

#include "store/linkstore.h"
#include "store/storestatus.h"

#include <QList>
#include <QString>
#include <QtGlobal>
#include <optional>

namespace Shortd
{

// Failures of the dead kind in a row after which a link is flagged dead.
inline constexpr int DeadAfterFailures = 3;

// What a check's outcome does to the count of failures in a row.
enum class CheckEffect : quint8 {
    Keep, // says nothing of the destination (the lookup failed, a timeout, a list)
    Fail, // the destination looks gone: one more in a row
    Clear, // the destination answered: the count and the dead flag go
};

// A link due for a check.
struct DueLink {
    QString code;
    QString target;
};

// Which active links are due: those checked at or before otherDueSecs, and those visited since
// visitedSinceSecs and checked at or before visitedDueSecs. Oldest check first.
struct DueQuery {
    qint64 nowSecs = 0; // a link past its end is left alone
    qint64 visitedSinceSecs = 0;
    qint64 visitedDueSecs = 0;
    qint64 otherDueSecs = 0;
    int limit = 100;
};

// How many links the checks have to cover.
struct CheckLoad {
    qint64 active = 0; // active and not past their end
    qint64 visited = 0; // of them, visited since the query's moment
    qint64 dead = 0; // links flagged dead, of any state but deleted
};

struct CheckRecorded {
    StoreStatus status = StoreStatus::Failed; // Missing: no such link
    LinkCheck check; // the link's check as it now is
};

// The last check of each link's destination and the count of dead-kind failures in a row. Writing
// a check changes nothing other instances serve, so it is not announced through the change log.
class LinkChecks
{
public:
    LinkChecks(const LinkChecks&) = delete;
    LinkChecks& operator=(const LinkChecks&) = delete;

    virtual std::optional<CheckLoad> checkLoad(qint64 visitedSinceSecs, qint64 nowSecs) = 0;
    virtual std::optional<QList<DueLink>> dueLinks(const DueQuery& query) = 0;
    // Keeps check as the link's last one and applies effect in the same statement: deadAfter
    // failures in a row flag the link dead, a Clear unflags it.
    virtual CheckRecorded recordCheck(const QString& code, const LinkCheck& check, CheckEffect effect, int deadAfter)
        = 0;

protected:
    LinkChecks() = default;
    ~LinkChecks() = default;
};

} // namespace Shortd
