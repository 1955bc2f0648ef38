#include "store/sqllinkstore.h"

#include <QAtomicInt>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>
#include <algorithm>

namespace Shortd
{
namespace
{
QAtomicInt connectionCounter;
} // namespace

struct SqlLinkStore::Statements {
    explicit Statements(const QSqlDatabase& db)
        : byCode(db)
        , byTarget(db)
        , insert(db)
        , addVisits(db)
    {
        for (QSqlQuery* query : {&byCode, &byTarget, &insert, &addVisits}) {
            query->setForwardOnly(true);
        }
    }
    QSqlQuery byCode;
    QSqlQuery byTarget;
    QSqlQuery insert;
    QSqlQuery addVisits;
};

SqlLinkStore::SqlLinkStore(SqlDialect dialect, QLatin1StringView driver)
    : m_dialect(dialect)
    , m_driver(driver)
    , m_connectionName(QStringLiteral("shortd-links-%1").arg(connectionCounter.fetchAndAddRelaxed(1)))
{
}

SqlLinkStore::~SqlLinkStore()
{
    m_statements.reset();
    if (QSqlDatabase::contains(m_connectionName)) {
        QSqlDatabase::database(m_connectionName, false).close();
        QSqlDatabase::removeDatabase(m_connectionName);
    }
}

QSqlDatabase SqlLinkStore::connection() const
{
    return QSqlDatabase::database(m_connectionName, false);
}

bool SqlLinkStore::exec(const QString& sql)
{
    QSqlQuery query(connection());
    if (!query.exec(sql)) {
        m_lastError = query.lastError().text();
        return false;
    }
    return true;
}

bool SqlLinkStore::open()
{
    if (!QSqlDatabase::isDriverAvailable(m_driver)) {
        m_lastError = m_dialect == SqlDialect::Postgres
            ? QStringLiteral("the Qt PostgreSQL driver is not installed (Debian: libqt6sql6-psql)")
            : QStringLiteral("the Qt SQLite driver is not installed (Debian: libqt6sql6-sqlite)");
        return false;
    }
    QSqlDatabase db = QSqlDatabase::addDatabase(m_driver, m_connectionName);
    // Unreachable is worth another try later; a schema this program cannot use is not.
    m_broken = !connectDatabase(db);
    if (m_broken) {
        return false;
    }
    if (!applyMigrations(db, m_dialect, &m_lastError)) {
        return false;
    }
    m_statements = std::make_unique<Statements>(db);
    Statements& s = *m_statements;
    const StatementTexts texts = statementTexts();
    if (!s.byCode.prepare(texts.byCode) || !s.byTarget.prepare(texts.byTarget) || !s.insert.prepare(texts.insert)
        || !s.addVisits.prepare(texts.addVisits)) {
        m_lastError = db.lastError().text();
        m_statements.reset();
        return false;
    }
    return true;
}

void SqlLinkStore::checkConnection()
{
    QSqlQuery probe(connection());
    m_broken = !probe.exec(QStringLiteral("SELECT 1")) || !probe.next();
}

LookupResult SqlLinkStore::fetchOne(QSqlQuery& query)
{
    LookupResult result;
    if (!query.exec()) {
        m_lastError = query.lastError().text();
        checkConnection();
        result.status = StoreStatus::Failed;
        return result;
    }
    if (query.next()) {
        result.status = StoreStatus::Ok;
        result.link.code = query.value(0).toString();
        result.link.type = query.value(1).toInt();
        result.link.target = query.value(2).toString();
        result.link.createdSecs = query.value(3).toLongLong();
        result.link.visits = query.value(4).toLongLong();
    }
    query.finish();
    return result;
}

LookupResult SqlLinkStore::findByCode(const QString& code)
{
    if (!m_statements) {
        return {StoreStatus::Failed, {}};
    }
    QSqlQuery& query = m_statements->byCode;
    query.bindValue(0, code);
    return fetchOne(query);
}

LookupResult SqlLinkStore::findByTarget(int type, const QString& target)
{
    if (!m_statements) {
        return {StoreStatus::Failed, {}};
    }
    QSqlQuery& query = m_statements->byTarget;
    const QVariantList key = targetKey(type, target);
    for (int i = 0; i < key.size(); ++i) {
        query.bindValue(i, key.at(i));
    }
    return fetchOne(query);
}

StoreStatus SqlLinkStore::insert(const StoredLink& link)
{
    if (!m_statements) {
        return StoreStatus::Failed;
    }
    QSqlQuery& query = m_statements->insert;
    int position = 0;
    query.bindValue(position++, link.code);
    for (const QVariant& part : targetKey(link.type, link.target)) {
        query.bindValue(position++, part);
    }
    query.bindValue(position, link.createdSecs);
    if (!query.exec()) {
        m_lastError = query.lastError().text();
        checkConnection();
        return StoreStatus::Failed;
    }
    const int inserted = query.numRowsAffected();
    query.finish();
    if (inserted == 1) {
        return StoreStatus::Ok;
    }
    // A conflict changes nothing. Another writer's conflicting row is committed by now (the
    // statement waits for it), so a lookup tells which key it was.
    const LookupResult existing = findByTarget(link.type, link.target);
    if (existing.status == StoreStatus::Failed) {
        return StoreStatus::Failed;
    }
    return existing.status == StoreStatus::Ok ? StoreStatus::TargetTaken : StoreStatus::CodeTaken;
}

StoreStatus SqlLinkStore::addVisits(const QHash<QString, qint64>& visits)
{
    if (!m_statements) {
        return StoreStatus::Failed;
    }
    // Rows are updated in one order everywhere, so two instances adding to the same links at once
    // wait for each other instead of deadlocking.
    QStringList codes = visits.keys();
    std::sort(codes.begin(), codes.end());
    QSqlDatabase db = connection();
    if (!db.transaction()) {
        m_lastError = db.lastError().text();
        checkConnection();
        return StoreStatus::Failed;
    }
    QSqlQuery& query = m_statements->addVisits;
    for (const QString& code : std::as_const(codes)) {
        query.bindValue(0, visits.value(code));
        query.bindValue(1, code);
        if (!query.exec()) {
            m_lastError = query.lastError().text();
            db.rollback();
            checkConnection();
            return StoreStatus::Failed;
        }
    }
    query.finish();
    if (!db.commit()) {
        m_lastError = db.lastError().text();
        db.rollback();
        checkConnection();
        return StoreStatus::Failed;
    }
    return StoreStatus::Ok;
}

bool SqlLinkStore::isHealthy()
{
    if (!m_statements) {
        return false;
    }
    checkConnection();
    return !m_broken;
}

} // namespace Shortd
