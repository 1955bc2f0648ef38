#pragma once

#include "store/databaseaddress.h"
#include "store/linkstore.h"
#include "store/migrations.h"

#include <QLatin1StringView>
#include <QString>
#include <QVariantList>

class QSqlDatabase;

namespace Shortd
{

// What every lookup selects, in the order the store reads it back: the same text in both
// dialects (tags come back as JSON text, an end or a limit never set as 0).
inline constexpr QLatin1StringView StoredLinkColumns(
    "code, type, target, created_at, visits, state, reason, changed_at, chosen, coalesce(expires_at, 0), "
    "coalesce(max_visits, 0), title, CAST(tags AS TEXT), owner, visitors, bots, previews, disabled_by, takedown, "
    "quarantine_list, quarantine_entry, quarantined_at, blocked, checked_at, check_outcome, check_status, "
    "check_final_url, check_hops, check_failures, dead");

// What every key lookup selects, in the order the store reads it back; 0 for a time never set.
inline constexpr QLatin1StringView StoredKeyColumns(
    "name, role, prefix, key_hash, created_at, coalesce(last_used_at, 0), coalesce(expires_at, 0), "
    "coalesce(revoked_at, 0)");

// The statements the store prepares once per connection.
struct StatementTexts {
    QString byCode; // binds the code
    QString byTarget; // binds targetKey()
    // binds the code, targetKey(), created_at, then linkOptions(); changes no row on a conflict
    QString insert;
    QString addVisits; // binds the count, then the code; or with visitsAsArrays both as arrays
    // Many links in one statement, returning the codes stored: binds arrays of codes, types,
    // targets and creation times. Empty: the links go one statement each, in one transaction.
    QString insertMany;
    // One statement for the whole batch, codes and counts as array literals ('{…}'): a round
    // trip per code would fall behind a busy instance's visits.
    bool visitsAsArrays = false;
    QString keyByHash; // binds the hash
    // binds the time, the name and the time again: writes only when the last use is a minute older
    QString markKeyUsed;
};

// An array literal ('{"a","b"}') of the texts, each quoted, for a statement that takes an array.
QString arrayLiteral(const QStringList& texts);

// How the store connects.
struct ConnectOptions {
    bool syncEachCommit = false; // every SQLite commit waits for the disk (PostgreSQL's always do)
    // Only reading an SQLite file that cannot be written (a read-only folder, file or medium):
    // opened read-only, neither switched to write-ahead logging nor migrated.
    bool readOnly = false;
};

// What the databases the store runs on do differently: the driver, how a connection is set up,
// the statements, and how an address is keyed.
SqlDialect dialectOf(const DatabaseAddress& address);
QLatin1StringView driverName(SqlDialect dialect);
// Opens db at the address with the session settings the store needs; false with *error otherwise.
bool connectDatabase(QSqlDatabase& db, const DatabaseAddress& address, ConnectOptions options, QString* error);
StatementTexts statementTexts(SqlDialect dialect);
// How a (type, target) pair is bound where the statements look it up.
QVariantList targetKey(SqlDialect dialect, int type, const QString& target);
// What a stored link has beyond its code, address and creation, bound in this order after them:
// chosen, expires_at, max_visits, title, tags, owner.
QVariantList linkOptions(const StoredLink& link);
// The placeholder that takes tags as JSON text.
QLatin1StringView tagsPlaceholder(SqlDialect dialect);
// Tags as stored (a JSON array of texts), and back.
QString tagsToJson(const QStringList& tags);
QStringList tagsFromJson(const QString& json);

} // namespace Shortd
