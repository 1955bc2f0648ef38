#include "ops/storeopener.h"

#include "config.h"
#include "shortdservice.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace Shortd
{

std::unique_ptr<LinkStore> openLinkStore(const ServiceConfig& config, bool create, QString* error)
{
    const QString where = databaseDescription(config);
    if (!config.database.isPostgres()) {
        if (!create && !QFile::exists(where)) {
            *error = QStringLiteral("no database at %1").arg(where);
            return nullptr;
        }
        if (create && !QDir().mkpath(QFileInfo(where).absolutePath())) {
            *error = QStringLiteral("cannot make the folder of %1").arg(where);
            return nullptr;
        }
    }
    std::unique_ptr<LinkStore> store = makeLinkStore(config);
    if (!store->open()) {
        *error = QStringLiteral("cannot open %1: %2").arg(where, store->lastError());
        return nullptr;
    }
    return store;
}

} // namespace Shortd
