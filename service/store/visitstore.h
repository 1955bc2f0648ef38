#pragma once

#include "store/storestatus.h"
#include "store/visitcounts.h"

#include <QHash>
#include <QString>
#include <QStringList>

namespace Shortd
{

// The visit counters: per link, per hour and per referring site. addVisitCounts adds a batch in
// one transaction, links.visits included (the humans). visitReport: one link's, or with an empty
// code the whole service's, hours in [fromSecs, toSecs). linkVisitCounts: the totals of the links
// named, as kept since the link was made. pruneVisits drops hours and days before beforeSecs.
class VisitStore
{
public:
    VisitStore(const VisitStore&) = delete;
    VisitStore& operator=(const VisitStore&) = delete;

    virtual StoreStatus addVisitCounts(const VisitBatch& batch) = 0;
    virtual StoreStatus visitReport(
        const QString& code, qint64 fromSecs, qint64 toSecs, VisitBucket bucket, VisitReport* report)
        = 0;
    virtual StoreStatus linkVisitCounts(const QStringList& codes, QHash<QString, VisitCounts>* counts) = 0;
    virtual StoreStatus pruneVisits(qint64 beforeSecs) = 0;

protected:
    VisitStore() = default;
    ~VisitStore() = default;
};

} // namespace Shortd
