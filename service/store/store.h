#pragma once

#include "store/auditlog.h"
#include "store/changelog.h"
#include "store/keystore.h"
#include "store/linkchecks.h"
#include "store/linkquarantine.h"
#include "store/linkstore.h"
#include "store/localblocks.h"
#include "store/reportstore.h"
#include "store/visitstore.h"

#include <QString>

namespace Shortd
{

// One connection to where the service keeps what it keeps, and the parts it keeps: the links
// always, the rest when it has them. A part a store does not keep is null, and a caller answers
// as it would for a failed store: a limited link is not served, visits wait to be counted. A store object belongs to
// one thread: the worker pool opens one per worker, on that worker.
class Store
{
public:
    Store() = default;
    virtual ~Store();
    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;

    // Connects and brings the schema up to date.
    virtual bool open() = 0;
    virtual bool isHealthy() = 0;
    // True once a call has failed because the connection itself is gone; the owner then replaces
    // the store with a freshly opened one.
    virtual bool isBroken() const { return false; }
    virtual QString lastError() const = 0;
    // Whether the last failure came from another writer holding the database (SQLite busy or
    // locked, a PostgreSQL serialization failure or deadlock): the same calls may succeed when
    // tried again a little later.
    virtual bool lastFailureIsTransient() const { return false; }

    // Groups the calls that follow into one transaction, until commitGroup(): an import commits a
    // thousand links at a time rather than one. False when the store cannot; a store without
    // transactions takes the calls one by one.
    virtual bool beginGroup() { return true; }
    virtual bool commitGroup() { return true; }
    // Undoes what the group did so far, after a call in it failed.
    virtual void abandonGroup() { }

    virtual LinkStore& links() = 0;
    virtual LinkVisits* linkVisits() { return nullptr; }
    virtual LinkAdmin* linkAdmin() { return nullptr; }
    virtual LinkArchive* linkArchive() { return nullptr; }
    virtual LinkQuarantine* linkQuarantine() { return nullptr; }
    virtual LinkChecks* linkChecks() { return nullptr; }
    virtual LocalBlocks* localBlocks() { return nullptr; }
    virtual ReportStore* reports() { return nullptr; }
    virtual KeyStore* keys() { return nullptr; }
    // Without visit counters, a batch of visits adds only the humans to the links' visits
    // (addVisitCounts).
    virtual VisitStore* visits() { return nullptr; }
    virtual ChangeLog* changeLog() { return nullptr; }
    virtual AuditLog* auditLog() { return nullptr; }
};

// Adds a batch of visits: to the counters, or where the store keeps none, the humans to the links'
// visits; Failed when it keeps neither.
StoreStatus addVisitCounts(Store& store, const VisitBatch& batch);

} // namespace Shortd
