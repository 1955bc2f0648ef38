#pragma once

#include "store/linkstore.h"
#include "store/migrations.h"

#include <QSqlDatabase>
#include <QVariantList>
#include <memory>

class QSqlQuery;

namespace Shortd
{

// What every lookup selects, in the order the store reads it back.
inline constexpr QLatin1StringView StoredLinkColumns(
    "code, type, target, created_at, visits, state, reason, changed_at");

// What the SQL stores share: one connection of their own, the schema brought up to date on
// open(), prepared statements, and the same answers to the same calls. Each store object is used
// by one thread only, the one that opened it; the worker pool gives every thread its own.
class SqlLinkStore : public LinkStore
{
public:
    ~SqlLinkStore() override;

    bool open() final;
    LookupResult findByCode(const QString& code) final;
    LookupResult findByTarget(int type, const QString& target) final;
    StoreStatus insert(const StoredLink& link) final;
    StoreStatus addVisits(const QHash<QString, qint64>& visits) final;
    bool isHealthy() final;
    StoreStatus setState(const QString& code, LinkState state, const QString& reason, qint64 nowSecs) final;
    StoreStatus listLinks(const LinkQuery& filter, const std::function<bool(const StoredLink&)>& visit) final;
    StoreStatus exportLinks(const std::function<bool(const StoredLink&)>& visit) final;
    StoreStatus restoreLink(const StoredLink& link) final;
    StoreStatus stats(int top, LinkStats* totals, QList<StoredLink>* mostVisited) final;
    bool isBroken() const final { return m_broken; }
    QString lastError() const final { return m_lastError; }
    // This store's own connection, for the thread that opened it.
    QSqlDatabase connection() const;

protected:
    struct Statements;
    struct StatementTexts {
        QString byCode; // binds the code
        QString byTarget; // binds targetKey()
        QString insert; // binds the code, targetKey(), created_at; changes no row on a conflict
        QString addVisits; // binds the count, then the code; or with visitsAsArrays both as arrays
        // One statement for the whole batch, codes and counts as array literals ('{…}'): a round
        // trip per code would fall behind a busy instance's visits.
        bool visitsAsArrays = false;
    };

    SqlLinkStore(SqlDialect dialect, QLatin1StringView driver);

    // Sets up and opens the connection, with the session settings the store needs.
    virtual bool connectDatabase(QSqlDatabase& db) = 0;
    virtual StatementTexts statementTexts() const = 0;
    // How a (type, target) pair is bound where the statements look it up.
    virtual QVariantList targetKey(int type, const QString& target) const = 0;

    bool exec(const QString& sql);
    void setError(QString error) { m_lastError = std::move(error); }

private:
    LookupResult fetchOne(QSqlQuery& query);
    // Runs a prepared statement; on failure keeps the error and checks the connection.
    bool run(QSqlQuery& query);

    // After a failed call: when the connection itself is gone, the store says so, and its owner
    // replaces it.
    void checkConnection();

    SqlDialect m_dialect;
    QLatin1StringView m_driver;
    QString m_connectionName;
    QString m_lastError;
    bool m_broken = false;
    bool m_visitsAsArrays = false;
    std::unique_ptr<Statements> m_statements;
};

} // namespace Shortd
