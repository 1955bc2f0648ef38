#include "store/postgreslinkstore.h"

#include <QCryptographicHash>
#include <QSqlError>

namespace Shortd
{

PostgresLinkStore::PostgresLinkStore(DatabaseAddress address)
    : SqlLinkStore(SqlDialect::Postgres, QLatin1StringView("QPSQL"))
    , m_address(std::move(address))
{
}

PostgresLinkStore::~PostgresLinkStore() = default;

bool PostgresLinkStore::connectDatabase(QSqlDatabase& db)
{
    db.setHostName(m_address.host);
    if (m_address.port > 0) {
        db.setPort(m_address.port);
    }
    db.setUserName(m_address.user);
    db.setPassword(m_address.password);
    db.setDatabaseName(m_address.database);
    db.setConnectOptions(m_address.connectOptions);
    if (!db.open()) {
        setError(db.lastError().text());
        return false;
    }
    // The server's default may have been relaxed; an acknowledged link must not depend on it.
    // Notices such as "already exists, skipping" from the schema check are no news.
    return exec(QStringLiteral("SET synchronous_commit = on"))
        && exec(QStringLiteral("SET client_min_messages = warning"));
}

SqlLinkStore::StatementTexts PostgresLinkStore::statementTexts() const
{
    const QString columns = u"SELECT " % StoredLinkColumns % u" FROM links ";
    return {
        columns + QStringLiteral("WHERE code = ?"),
        // A deleted link gives its address up: the address may be shortened again.
        columns + QStringLiteral("WHERE type = ? AND target_digest = ? AND target = ? AND state <> 2"),
        QStringLiteral("INSERT INTO links(code, type, target_digest, target, created_at) VALUES(?, ?, ?, ?, ?) "
                       "ON CONFLICT DO NOTHING"),
        // Sorted, so that two instances adding to the same links take the row locks in one order.
        QStringLiteral("UPDATE links SET visits = links.visits + v.n "
                       "FROM (SELECT code, n FROM unnest(?::bigint[], ?::text[]) AS u(n, code) ORDER BY code) AS v "
                       "WHERE links.code = v.code"),
        true,
    };
}

QVariantList PostgresLinkStore::targetKey(int type, const QString& target) const
{
    return {type, QCryptographicHash::hash(target.toUtf8(), QCryptographicHash::Sha256), target};
}

} // namespace Shortd
