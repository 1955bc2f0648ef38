#pragma once

#include "store/storestatus.h"
#include "store/visitcounts.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>
#include <functional>
#include <optional>

namespace Shortd
{

// A link taken down by an operator. A disabled link keeps its address: a new request for it is
// refused, and it can be enabled again. A deleted one is a tombstone: its code is never handed out
// again, and its address may be shortened anew, to a new code. A quarantined link is stopped
// because a blocklist names its destination; only an operator or an admin puts it back.
enum class LinkState {
    Active,
    Disabled,
    Deleted,
    Quarantined,
};

// Why a link is quarantined: the list and its entry that matched the destination, and since when.
// Empty (atSecs 0) when the link is not quarantined.
struct QuarantineEvidence {
    QString list;
    QString entry;
    qint64 atSecs = 0;
};

// The last check of a link's destination; atSecs 0 when it was never checked.
struct LinkCheck {
    qint64 atSecs = 0;
    QString outcome; // "ok", "listed", "no-such-host", … as the checks name them
    int status = 0; // the last answer's HTTP status; 0 when none came
    QString finalUrl;
    QString hops; // a compact JSON array of {"url", "status"}, first hop first
    int failures = 0; // checks in a row that found the destination gone
    bool dead = false; // flagged for its owner and the admins; never taken down for it
};

// "active", "disabled", "deleted" or "quarantined", as listings, exports and the API name a state.
QString stateName(LinkState state);

struct StoredLink {
    QString code;
    int type = 0;
    QString target;
    qint64 createdSecs = 0; // seconds since the epoch, UTC
    qint64 visits = 0;
    LinkState state = LinkState::Active;
    QString reason {}; // why it was disabled, as the operator put it
    qint64 changedSecs = 0; // when it was last disabled, enabled or deleted; 0 never
    // A code a person chose (through the API or an import) rather than one drawn: such a link
    // never holds its address, so the automatic link for the same address stays its own.
    bool chosen = false;
    qint64 expiresSecs = 0; // the link answers 410 from this moment on; 0 never
    qint64 maxVisits = 0; // the link answers 410 once visits reach this; 0 no limit
    QString title {};
    QStringList tags {};
    QString owner {}; // the name of the API key that created it; empty: anonymous or an operator
    // Beside visits (people's): the people's visits that were not repeats, bots', previews', and
    // the requests turned away while it was quarantined.
    qint64 visitors = 0;
    qint64 bots = 0;
    qint64 previews = 0;
    qint64 blocked = 0;
    // Who last disabled it or wrote its reason: "key:NAME" (an API key) or "shell:USER" (an
    // operator's command, with the system user); empty when enabled, or disabled before this was
    // kept. takedown: that one was an admin key or an operator, so only such a one may enable it
    // or change its reason, and its reason is shown to the public.
    QString disabledBy {};
    bool takedown = false;
    QuarantineEvidence quarantine {};
    LinkCheck check {};
};

// Who changes a link's state or reason, as disabledBy keeps it.
struct LinkActor {
    QString name; // "key:NAME" or "shell:USER"
    bool admin = false; // an admin key or an operator
    bool console = false; // a key used from the console; the audit log names it `console:NAME`
};
inline LinkActor keyActor(const QString& keyName, bool admin)
{
    return {u"key:" + keyName, admin};
}
inline LinkActor shellActor(const QString& user)
{
    return {u"shell:" + user, true};
}

// Whether a link has run out: past its end, or its visits used up. A taken-down link is not
// "expired", it is disabled or deleted.
inline bool isExpired(const StoredLink& link, qint64 nowSecs)
{
    return (link.expiresSecs > 0 && nowSecs >= link.expiresSecs)
        || (link.maxVisits > 0 && link.visits >= link.maxVisits);
}

// What an edit changes: each member that holds a value is set; an empty optional leaves the field
// alone. expiresSecs and maxVisits of 0 clear the end or the limit.
struct LinkPatch {
    std::optional<qint64> expiresSecs;
    std::optional<qint64> maxVisits;
    std::optional<QString> title;
    std::optional<QStringList> tags;
    std::optional<LinkState> state; // Active or Disabled; deleting is setState's
    std::optional<QString> reason;
    // Who sets state or reason: kept as disabledBy when the link ends disabled.
    LinkActor actor;
    // When set, a state or reason is changed only on a link that is active or that this one
    // disabled itself (disabledBy equal to it, not a take-down); otherwise the edit changes nothing
    // and answers Missing. Decided by the statement that writes, so a take-down made meanwhile is
    // never undone.
    std::optional<QString> onlyOwnDisable;
};

// Where a page of a listing ends: the next page starts after this link in the listing's order
// (newest first: created_at descending, then code descending).
struct ListCursor {
    qint64 createdSecs = 0;
    QString code;
};

// Which links a listing shows, beyond LinkQuery's type, search and age.
enum class StateFilter {
    Any,
    Active, // active and not expired
    Disabled,
    Deleted,
    Expired, // active, but past its end or its visits used up
    Quarantined,
};

// The outcome of one visit to a link that has a visit limit, decided by the database so that
// several instances together serve the last allowed visit exactly once.
enum class VisitGrant {
    Granted, // counted; the visit may be served
    Exhausted, // no visit left, or past its end, or no longer active: answer 410
    Missing,
    Failed,
};

// Which links a listing shows.
struct LinkQuery {
    int type = -1; // -1: every type
    QString search; // part of the code or the address, as typed; empty: any
    qint64 sinceSecs = 0; // created at or after
    qint64 limit = -1; // -1: all
    StateFilter state = StateFilter::Any;
    QString tag; // links carrying this tag exactly; empty: any
    QString owner; // links created by this key; empty: anyone's
    std::optional<ListCursor> after; // the page after this link; none: from the newest
    qint64 nowSecs = 0; // the moment that decides "expired"
};

struct LinkStats {
    qint64 active = 0;
    qint64 disabled = 0;
    qint64 deleted = 0;
    qint64 visits = 0;
};

struct LookupResult {
    StoreStatus status = StoreStatus::Missing;
    StoredLink link;
};

struct InsertResult {
    StoreStatus status = StoreStatus::Failed;
    StoredLink holder; // with TargetTaken: the link that holds the address
};

// The links as the service serves them: found by code and created. Every store keeps them; the
// routes and the shortener see only this, so another database can take the place of the embedded
// one. An insert reports Ok only once the link is committed.
class LinkStore
{
public:
    LinkStore(const LinkStore&) = delete;
    LinkStore& operator=(const LinkStore&) = delete;

    virtual LookupResult findByCode(const QString& code) = 0;
    // Stores a new link, unless its code is in use (CodeTaken) or its address is held by a link
    // that is not deleted (TargetTaken, with that link): one call for the whole decision, so a
    // create costs one round trip when the address is new.
    virtual InsertResult insert(const StoredLink& link) = 0;
    // Stores the links in one transaction, so that they share one commit (one wait for the disk):
    // true for each link stored, false for one left out because its code or its address was
    // taken (the caller settles those one at a time); nullopt when the transaction failed, and
    // then none is stored. A store without transactions inserts them one by one.
    virtual std::optional<QList<bool>> insertTogether(const QList<StoredLink>& links);

protected:
    LinkStore() = default;
    ~LinkStore() = default;
};

// The visits counted on the links themselves (a link's visits, which its visit limit is held to).
class LinkVisits
{
public:
    LinkVisits(const LinkVisits&) = delete;
    LinkVisits& operator=(const LinkVisits&) = delete;

    // Adds counted visits, code by code, in one transaction.
    virtual StoreStatus addVisits(const QHash<QString, qint64>& visits) = 0;
    // Counts one visit to a link with a visit limit, in one statement that also checks the limit,
    // the end and the state, so the last allowed visit is granted once however many instances ask.
    virtual VisitGrant takeVisit(const QString& code, qint64 nowSecs) = 0;

protected:
    LinkVisits() = default;
    ~LinkVisits() = default;
};

// What the API's keys and the operators do to links beyond serving them: edit, disable or delete
// one, list and count them. Missing when there is no such code, or (for a change) when the link is
// deleted: a deleted link never changes again.
class LinkAdmin
{
public:
    LinkAdmin(const LinkAdmin&) = delete;
    LinkAdmin& operator=(const LinkAdmin&) = delete;

    // Changes what an edit may change, and answers the link as it now is. Missing when there is
    // no such code, the link is deleted, or the patch's onlyOwnDisable does not hold.
    virtual LookupResult updateLink(const QString& code, const LinkPatch& patch, qint64 nowSecs) = 0;
    // Disabling keeps the actor as disabledBy, enabling clears it with the reason, deleting keeps both.
    // An actor that is not an admin changes only an active link or one it disabled itself (not a
    // take-down), as the statement decides: otherwise Missing.
    virtual StoreStatus setState(
        const QString& code, LinkState state, const QString& reason, const LinkActor& actor, qint64 nowSecs)
        = 0;
    // Newest first, each link handed to visit as it is read; visit returns false to stop.
    virtual StoreStatus listLinks(const LinkQuery& query, const std::function<bool(const StoredLink&)>& visit) = 0;
    // Counts, and the most visited links (not deleted), most first.
    virtual StoreStatus stats(int top, LinkStats* totals, QList<StoredLink>* mostVisited) = 0;

protected:
    LinkAdmin() = default;
    ~LinkAdmin() = default;
};

// Links moved whole, out and back in: an export, and an import that restores each link as it was.
class LinkArchive
{
public:
    LinkArchive(const LinkArchive&) = delete;
    LinkArchive& operator=(const LinkArchive&) = delete;

    // Every link in code order, read a bounded batch at a time, so any number takes the same memory.
    virtual StoreStatus exportLinks(const std::function<bool(const StoredLink&)>& visit) = 0;
    // Stores a link as it is, with its code, dates, visits and state. CodeTaken or TargetTaken
    // (an address held by another link that is not deleted) change nothing.
    virtual StoreStatus restoreLink(const StoredLink& link) = 0;
    // The link that holds an address, as a refused restore names it.
    virtual LookupResult findByTarget(int type, const QString& target) = 0;

protected:
    LinkArchive() = default;
    ~LinkArchive() = default;
};

} // namespace Shortd
