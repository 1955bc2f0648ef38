#pragma once

#include "store/databaseaddress.h"
#include "store/sqllinkstore.h"

#include <QString>
#include <memory>

namespace Shortd
{

// What the one opening a store means to do with it.
enum class StoreAccess {
    Read, // only reads: an embedded file that cannot be written is opened read-only, untouched
    Change, // writes; the embedded file must exist (an API key, say, belongs in the one the service uses)
    Create, // writes, making the embedded file where there is none (an import may start a database)
};

// The embedded file (address.sqlitePath, or links.sqlite in dataDir), or the PostgreSQL address
// without its password: where the links are, as messages name it.
QString databaseDescription(const DatabaseAddress& address, const QString& dataDir);

// The store at the address, not yet opened, as the service's workers use it.
std::unique_ptr<Store> makeLinkStore(const DatabaseAddress& address, const QString& dataDir, bool syncEachCommit);

// Makes the folders the embedded file at path needs (0700) and the file itself (0600, which
// SQLite gives its -wal and -shm files too): the links are the owner's alone. What exists keeps
// the modes its owner gave it. False with *error saying which could not be made.
bool prepareEmbeddedFile(const QString& path, QString* error);

// The store opened for access; null with *error saying why.
std::unique_ptr<SqlLinkStore> openLinkStore(
    const DatabaseAddress& address, const QString& dataDir, bool syncEachCommit, StoreAccess access, QString* error);

} // namespace Shortd
