#include "store/sqlitelinkstore.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

namespace Shortd
{

SqliteLinkStore::SqliteLinkStore(QString filePath, bool syncEachCommit)
    : SqlLinkStore(SqlDialect::Sqlite, QLatin1StringView("QSQLITE"))
    , m_filePath(std::move(filePath))
    , m_syncEachCommit(syncEachCommit)
{
}

SqliteLinkStore::~SqliteLinkStore() = default;

bool SqliteLinkStore::connectDatabase(QSqlDatabase& db)
{
    db.setDatabaseName(m_filePath);
    db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=5000"));
    if (!db.open()) {
        setError(db.lastError().text());
        return false;
    }
    // Small pages: every link is its own commit, and a commit writes each page it touches whole
    // to the log. Only takes effect when the file is new.
    if (!exec(QStringLiteral("PRAGMA page_size=1024"))) {
        return false;
    }
    QSqlQuery mode(db);
    if (!mode.exec(QStringLiteral("PRAGMA journal_mode=WAL")) || !mode.next()
        || mode.value(0).toString().compare(QLatin1StringView("wal"), Qt::CaseInsensitive) != 0) {
        setError(QStringLiteral("cannot switch %1 to write-ahead logging").arg(m_filePath));
        return false;
    }
    return exec(
        m_syncEachCommit ? QStringLiteral("PRAGMA synchronous=FULL") : QStringLiteral("PRAGMA synchronous=NORMAL"));
}

SqlLinkStore::StatementTexts SqliteLinkStore::statementTexts() const
{
    const QString columns = u"SELECT " % StoredLinkColumns % u" FROM links ";
    return {
        columns + QStringLiteral("WHERE code = ?"),
        // A deleted link gives its address up: the address may be shortened again.
        columns + QStringLiteral("WHERE type = ? AND target = ? AND state <> 2"),
        QStringLiteral("INSERT INTO links(code, type, target, created_at) VALUES(?, ?, ?, ?) ON CONFLICT DO NOTHING"),
        QStringLiteral("UPDATE links SET visits = visits + ? WHERE code = ?"),
    };
}

QVariantList SqliteLinkStore::targetKey(int type, const QString& target) const
{
    return {type, target};
}

} // namespace Shortd
