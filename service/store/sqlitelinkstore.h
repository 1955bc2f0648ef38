#pragma once

#include "store/sqllinkstore.h"

namespace Shortd
{

// The embedded store: one SQLite file in WAL mode. Every insert is its own transaction and is
// committed before insert() returns, so an acknowledged link is in the file even if the process is
// killed right after. With syncEachCommit the commit also waits for the disk (power-loss safety at
// the price of an fsync per link); without it a commit survives the process, not the machine.
class SqliteLinkStore final : public SqlLinkStore
{
public:
    SqliteLinkStore(QString filePath, bool syncEachCommit);
    ~SqliteLinkStore() override;

protected:
    bool connectDatabase(QSqlDatabase& db) override;
    StatementTexts statementTexts() const override;
    QVariantList targetKey(int type, const QString& target) const override;

private:
    QString m_filePath;
    bool m_syncEachCommit;
};

} // namespace Shortd
