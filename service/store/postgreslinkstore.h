#pragma once

#include "store/databaseaddress.h"
#include "store/sqllinkstore.h"

namespace Shortd
{

// Links in a PostgreSQL database shared by any number of instances. Every statement commits on
// its own with synchronous_commit on, so an acknowledged link has reached the server's log before
// the answer goes out. Two instances inserting the same (type, target) at the same instant both
// end with the one row: the unique index decides, the loser reads the winner's code.
class PostgresLinkStore final : public SqlLinkStore
{
public:
    explicit PostgresLinkStore(DatabaseAddress address);
    ~PostgresLinkStore() override;

protected:
    bool connectDatabase(QSqlDatabase& db) override;
    StatementTexts statementTexts() const override;
    QVariantList targetKey(int type, const QString& target) const override;

private:
    DatabaseAddress m_address;
};

} // namespace Shortd
