#include "store/storeopening.h"

#include "store/datafolder.h"
#include "store/sqllinkstore.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace Shortd
{
namespace
{
constexpr QFileDevice::Permissions OwnerOnlyFile = QFileDevice::ReadOwner | QFileDevice::WriteOwner;

// Whether SQLite can write the file: the file itself, and the -wal and -shm files beside it, which
// it makes in the folder when they are not there.
bool isWritable(const QString& path)
{
    const QFileInfo file(path);
    return file.isWritable()
        && (QFileInfo(file.absolutePath()).isWritable()
            || (QFileInfo(path + u"-wal").isWritable() && QFileInfo(path + u"-shm").isWritable()));
}
} // namespace

QString databaseDescription(const DatabaseAddress& address, const QString& dataDir)
{
    if (address.isPostgres()) {
        return address.display();
    }
    return address.sqlitePath.isEmpty() ? QDir(dataDir).filePath(QStringLiteral("links.sqlite")) : address.sqlitePath;
}

std::unique_ptr<Store> makeLinkStore(const DatabaseAddress& address, const QString& dataDir, bool syncEachCommit)
{
    if (address.isPostgres()) {
        return std::make_unique<SqlLinkStore>(address);
    }
    return std::make_unique<SqlLinkStore>(
        DatabaseAddress::sqliteFile(databaseDescription(address, dataDir)), syncEachCommit);
}

bool prepareEmbeddedFile(const QString& path, QString* error)
{
    if (!makeDataFolder(QFileInfo(path).absolutePath(), error)) {
        return false;
    }
    // An empty file is an empty database to SQLite. Another command may make it at the same moment.
    QFile file(path);
    if (!file.exists() && !file.open(QIODevice::WriteOnly | QIODevice::NewOnly, OwnerOnlyFile) && !file.exists()) {
        *error = QStringLiteral("cannot create %1: %2").arg(path, file.errorString());
        return false;
    }
    return true;
}

std::unique_ptr<SqlLinkStore> openLinkStore(
    const DatabaseAddress& address, const QString& dataDir, bool syncEachCommit, StoreAccess access, QString* error)
{
    const QString where = databaseDescription(address, dataDir);
    ConnectOptions options {syncEachCommit, false};
    if (!address.isPostgres()) {
        if (access == StoreAccess::Create) {
            if (!prepareEmbeddedFile(where, error)) {
                return nullptr;
            }
        } else if (!QFile::exists(where)) {
            // A mistyped --data-dir must not end in a new, empty database that nothing else reads.
            *error = QStringLiteral("no database at %1: check --data-dir or --database (the service makes its "
                                    "database when it first starts)")
                         .arg(where);
            return nullptr;
        }
        if (!isWritable(where)) {
            if (access != StoreAccess::Read) {
                *error = QStringLiteral("%1 cannot be written here (a read-only file or folder); it can only be read")
                             .arg(where);
                return nullptr;
            }
            options.readOnly = true;
        }
    }
    auto store
        = std::make_unique<SqlLinkStore>(address.isPostgres() ? address : DatabaseAddress::sqliteFile(where), options);
    if (!store->open()) {
        *error = QStringLiteral("cannot open %1: %2").arg(where, store->lastError());
        return nullptr;
    }
    return store;
}

} // namespace Shortd
