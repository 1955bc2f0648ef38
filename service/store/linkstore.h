#pragma once

#include <QHash>
#include <QString>

namespace Shortd
{

struct StoredLink {
    QString code;
    int type = 0;
    QString target;
    qint64 createdSecs = 0; // seconds since the epoch, UTC
    qint64 visits = 0;
};

enum class StoreStatus {
    Ok,
    Missing, // a lookup found nothing
    CodeTaken, // an insert hit an existing code
    TargetTaken, // an insert hit an existing (type, target) pair
    Failed, // the store itself failed; the error text says why
};

struct LookupResult {
    StoreStatus status = StoreStatus::Missing;
    StoredLink link;
};

// Where links live. The routes and the shortener see only this, so another database can take the
// place of the embedded one. An insert reports Ok only once the link is committed. A store object
// belongs to one thread: the worker pool opens one per worker, on that worker.
class LinkStore
{
public:
    LinkStore() = default;
    virtual ~LinkStore();
    LinkStore(const LinkStore&) = delete;
    LinkStore& operator=(const LinkStore&) = delete;

    // Connects and brings the schema up to date.
    virtual bool open() = 0;
    virtual LookupResult findByCode(const QString& code) = 0;
    virtual LookupResult findByTarget(int type, const QString& target) = 0;
    virtual StoreStatus insert(const StoredLink& link) = 0;
    // Adds counted visits, code by code, in one transaction.
    virtual StoreStatus addVisits(const QHash<QString, qint64>& visits) = 0;
    virtual bool isHealthy() = 0;
    // True once a call has failed because the connection itself is gone; the owner then replaces
    // the store with a freshly opened one.
    virtual bool isBroken() const { return false; }
    virtual QString lastError() const = 0;
};

} // namespace Shortd
