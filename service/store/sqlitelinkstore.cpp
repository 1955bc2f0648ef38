#include "store/sqlitelinkstore.h"

#include <QAtomicInt>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlError>
#include <QVariant>

namespace Shortd
{
namespace
{
QAtomicInt connectionCounter;

constexpr auto Driver = QLatin1StringView("QSQLITE");
} // namespace

struct SqliteLinkStore::Statements {
    explicit Statements(const QSqlDatabase& db)
        : byCode(db)
        , byTarget(db)
        , insert(db)
        , addVisits(db)
    {
    }
    QSqlQuery byCode;
    QSqlQuery byTarget;
    QSqlQuery insert;
    QSqlQuery addVisits;
};

SqliteLinkStore::SqliteLinkStore(QString filePath, bool syncEachCommit)
    : m_filePath(std::move(filePath))
    , m_syncEachCommit(syncEachCommit)
    , m_connectionName(QStringLiteral("shortd-links-%1").arg(connectionCounter.fetchAndAddRelaxed(1)))
{
}

SqliteLinkStore::~SqliteLinkStore()
{
    m_statements.reset();
    if (QSqlDatabase::contains(m_connectionName)) {
        QSqlDatabase::database(m_connectionName, false).close();
        QSqlDatabase::removeDatabase(m_connectionName);
    }
}

bool SqliteLinkStore::open()
{
    if (!QSqlDatabase::isDriverAvailable(Driver)) {
        m_lastError = QStringLiteral("the Qt SQLite driver is not installed (Debian: libqt6sql6-sqlite)");
        return false;
    }
    QSqlDatabase db = QSqlDatabase::addDatabase(Driver, m_connectionName);
    db.setDatabaseName(m_filePath);
    db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=5000"));
    if (!db.open()) {
        m_lastError = db.lastError().text();
        return false;
    }
    // Small pages: every link is its own commit, and a commit writes each page it touches whole
    // to the log. Only takes effect when the file is new.
    if (!exec(QStringLiteral("PRAGMA page_size=1024"))) {
        return false;
    }
    {
        QSqlQuery mode(db);
        if (!mode.exec(QStringLiteral("PRAGMA journal_mode=WAL")) || !mode.next()
            || mode.value(0).toString().compare(QLatin1StringView("wal"), Qt::CaseInsensitive) != 0) {
            m_lastError = QStringLiteral("cannot switch %1 to write-ahead logging").arg(m_filePath);
            return false;
        }
    }
    const bool ready = exec(m_syncEachCommit ? QStringLiteral("PRAGMA synchronous=FULL")
                                             : QStringLiteral("PRAGMA synchronous=NORMAL"))
        && exec(QStringLiteral("CREATE TABLE IF NOT EXISTS links ("
                               "code TEXT PRIMARY KEY NOT NULL, "
                               "type INTEGER NOT NULL, "
                               "target TEXT NOT NULL, "
                               "created_at INTEGER NOT NULL, "
                               "visits INTEGER NOT NULL DEFAULT 0) WITHOUT ROWID"))
        && exec(QStringLiteral("CREATE UNIQUE INDEX IF NOT EXISTS links_by_target ON links(type, target)"));
    if (!ready) {
        return false;
    }

    m_statements = std::make_unique<Statements>(db);
    Statements& s = *m_statements;
    for (QSqlQuery* query : {&s.byCode, &s.byTarget, &s.insert, &s.addVisits}) {
        query->setForwardOnly(true);
    }
    const bool prepared
        = s.byCode.prepare(QStringLiteral("SELECT code, type, target, created_at, visits FROM links WHERE code = ?"))
        && s.byTarget.prepare(
            QStringLiteral("SELECT code, type, target, created_at, visits FROM links WHERE type = ? AND target = ?"))
        && s.insert.prepare(QStringLiteral("INSERT INTO links(code, type, target, created_at) VALUES(?, ?, ?, ?)"))
        && s.addVisits.prepare(QStringLiteral("UPDATE links SET visits = visits + ? WHERE code = ?"));
    if (!prepared) {
        m_lastError = db.lastError().text();
        return false;
    }
    return true;
}

bool SqliteLinkStore::exec(const QString& sql)
{
    QSqlQuery query(QSqlDatabase::database(m_connectionName, false));
    if (!query.exec(sql)) {
        m_lastError = query.lastError().text();
        return false;
    }
    return true;
}

bool SqliteLinkStore::fail(const QSqlQuery& query)
{
    m_lastError = query.lastError().text();
    return false;
}

LookupResult SqliteLinkStore::fetchOne(QSqlQuery& query)
{
    LookupResult result;
    if (!query.exec()) {
        fail(query);
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

LookupResult SqliteLinkStore::findByCode(const QString& code)
{
    if (!m_statements) {
        return {StoreStatus::Failed, {}};
    }
    QSqlQuery& query = m_statements->byCode;
    query.bindValue(0, code);
    return fetchOne(query);
}

LookupResult SqliteLinkStore::findByTarget(int type, const QString& target)
{
    if (!m_statements) {
        return {StoreStatus::Failed, {}};
    }
    QSqlQuery& query = m_statements->byTarget;
    query.bindValue(0, type);
    query.bindValue(1, target);
    return fetchOne(query);
}

StoreStatus SqliteLinkStore::insert(const StoredLink& link)
{
    if (!m_statements) {
        return StoreStatus::Failed;
    }
    QSqlQuery& query = m_statements->insert;
    query.bindValue(0, link.code);
    query.bindValue(1, link.type);
    query.bindValue(2, link.target);
    query.bindValue(3, link.createdSecs);
    if (query.exec()) {
        query.finish();
        return StoreStatus::Ok;
    }
    fail(query);
    const QString error = m_lastError;
    query.finish();
    // The driver reports every constraint the same way; ask which one it was.
    if (findByCode(link.code).status == StoreStatus::Ok) {
        return StoreStatus::CodeTaken;
    }
    if (findByTarget(link.type, link.target).status == StoreStatus::Ok) {
        return StoreStatus::TargetTaken;
    }
    m_lastError = error;
    return StoreStatus::Failed;
}

StoreStatus SqliteLinkStore::addVisits(const QHash<QString, qint64>& visits)
{
    if (!m_statements) {
        return StoreStatus::Failed;
    }
    QSqlDatabase db = QSqlDatabase::database(m_connectionName, false);
    if (!db.transaction()) {
        m_lastError = db.lastError().text();
        return StoreStatus::Failed;
    }
    QSqlQuery& query = m_statements->addVisits;
    for (auto it = visits.cbegin(); it != visits.cend(); ++it) {
        query.bindValue(0, it.value());
        query.bindValue(1, it.key());
        if (!query.exec()) {
            fail(query);
            db.rollback();
            return StoreStatus::Failed;
        }
    }
    query.finish();
    if (!db.commit()) {
        m_lastError = db.lastError().text();
        db.rollback();
        return StoreStatus::Failed;
    }
    return StoreStatus::Ok;
}

bool SqliteLinkStore::isHealthy()
{
    QSqlQuery query(QSqlDatabase::database(m_connectionName, false));
    return m_statements && query.exec(QStringLiteral("SELECT 1")) && query.next();
}

} // namespace Shortd
