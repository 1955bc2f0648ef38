#pragma once

#include "store/linkstore.h"

#include <QSqlQuery>
#include <memory>

namespace Shortd
{

// The embedded store: one SQLite file in WAL mode. Every insert is its own transaction and is
// committed before insert() returns, so an acknowledged link is in the file even if the process is
// killed right after. With syncEachCommit the commit also waits for the disk (power-loss safety at
// the price of an fsync per link); without it a commit survives the process, not the machine.
class SqliteLinkStore final : public LinkStore
{
public:
    SqliteLinkStore(QString filePath, bool syncEachCommit);
    ~SqliteLinkStore() override;

    bool open() override;
    LookupResult findByCode(const QString& code) override;
    LookupResult findByTarget(int type, const QString& target) override;
    StoreStatus insert(const StoredLink& link) override;
    StoreStatus addVisits(const QHash<QString, qint64>& visits) override;
    bool isHealthy() override;
    QString lastError() const override { return m_lastError; }

private:
    struct Statements;

    bool exec(const QString& sql);
    LookupResult fetchOne(QSqlQuery& query);
    bool fail(const QSqlQuery& query);

    QString m_filePath;
    bool m_syncEachCommit;
    QString m_connectionName;
    QString m_lastError;
    std::unique_ptr<Statements> m_statements;
};

} // namespace Shortd
