#pragma once

#include "store/storestatus.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QtGlobal>
#include <functional>
#include <optional>

namespace Shortd
{

// One change as the audit log keeps it. Records are only ever appended; each carries the SHA-256
// of its own content and of the record before it, so a record edited, removed or slipped in
// afterwards breaks the chain from there on.
struct AuditRecord {
    qint64 id = 0; // 1, 2, 3 … in the order written
    qint64 atSecs = 0;
    QString actor; // `key:NAME`, `console:NAME`, `shell:USER`, `system:…`
    QString action; // `link.disabled`, `key.created` …
    QString subject; // the link's code or the key's name
    QString before; // the changed fields as compact JSON, "" for none
    QString after;
    QString prevHash; // hex; "" for the first record ever written
    QString hash;
};

// The fields a writer fills in; the store numbers, times and chains the record.
struct AuditEntry {
    QString actor;
    QString action;
    QString subject;
    QString before;
    QString after;
};

struct AuditQuery {
    qint64 afterId = 0; // keyset: records with a greater id
    qint64 sinceSecs = 0;
    QString subject;
    QString actor;
    qint64 limit = -1; // -1: all
};

// The hash a record must carry: over a canonical serialisation of its content and prevHash.
QString auditHash(const AuditRecord& record);

// Where a chain read in id order first fails to hold: the id of the first record whose hash or
// link to the one before is wrong, or that follows a gap. The first record's prevHash is trusted,
// since retention removes whole records from the front.
struct AuditBreak {
    qint64 id = 0;
    QString why; // for the operator
};
// Checks a chain one record at a time, in id order, keeping only the record before: a log of any
// length is verified in constant memory.
class AuditChain
{
public:
    // The break the record makes, if any; after one, the chain is not to be fed further.
    std::optional<AuditBreak> follow(const AuditRecord& record);

private:
    std::optional<AuditRecord> m_previous;
};
std::optional<AuditBreak> firstAuditBreak(const QList<AuditRecord>& records);

class AuditLog
{
public:
    AuditLog(const AuditLog&) = delete;
    AuditLog& operator=(const AuditLog&) = delete;

    // Appends one record in a transaction of its own, for a change that has none in the store.
    virtual StoreStatus appendAudit(const AuditEntry& entry, qint64 nowSecs) = 0;
    // Records in id order, as many as the query asks for.
    virtual StoreStatus listAudit(const AuditQuery& query, const std::function<bool(const AuditRecord&)>& visit) = 0;
    // Removes whole records older than beforeSecs from the front of the chain.
    virtual StoreStatus pruneAudit(qint64 beforeSecs) = 0;

protected:
    AuditLog() = default;
    ~AuditLog() = default;
};

} // namespace Shortd
