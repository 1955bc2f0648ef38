#pragma once

#include "links/result.h"
#include "store/store.h"

#include <QList>
#include <QString>
#include <QUrl>
#include <chrono>
#include <functional>

class QIODevice;

namespace Shortd
{

class BlocklistSet;

// What a link read from a file must be to be stored: an address the front door would take for a
// new link, and in every other field a value the service itself could have written.
struct ImportRules {
    QList<QUrl> ownBases; // as ServiceConfig::ownBases(): an address under one would loop
    int ownPort = -1; // the service's port on this machine, under any name
    qint64 nowSecs = 0; // a time later than this (give or take a day of clock skew) is refused
    // The operator's lists, as the service loads them; an active link to an address they hold is
    // refused as a creation would be. Null: none.
    const BlocklistSet* blocklists = nullptr;
};

// Whether link can be stored as it is; if not, an Invalid fault says why (in English: only the
// operator's import reads it; a listed address as `listed by NAME (ENTRY)`).
Result<Done> checkImportable(const StoredLink& link, const ImportRules& rules);

// How often a batch the database was too busy for is tried, and the first pause between tries
// (each pause twice the one before).
struct ImportRetries {
    int attempts = 6;
    std::chrono::milliseconds firstPause {250};
};

struct ImportResult {
    qint64 imported = 0;
    qint64 present = 0; // already there with the same address
    qint64 refused = 0;
    // Empty unless the store failed for good: then why, how far the import got and how to go on.
    QString failure;

    QString summary() const; // "imported 3, already there 1, refused 0"
};

// A row that was not imported: its line and why, an Invalid fault when it cannot be read or breaks
// a rule, a Conflict when a stored link holds its code or its address.
struct RowFault {
    qint64 line = 0;
    Fault fault;

    QString said() const; // "line 3: the visits are negative"
};

// Reads what export wrote (JSON lines or CSV) into store, a thousand links to a transaction. A row
// that cannot be read, breaks a rule or clashes with a stored link is refused: refused() is told
// of it, in line order, and the other rows still go in. A batch the database was too busy
// for (another process writing) is rolled back and tried again. Links already there are left
// alone, so running the same import again after a failure goes on where it stopped.
ImportResult importLinks(QIODevice& input, Store& store, const ImportRules& rules,
    const std::function<void(const RowFault&)>& refused, ImportRetries retries = {});

} // namespace Shortd
