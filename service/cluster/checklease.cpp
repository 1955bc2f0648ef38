#include "cluster/checklease.h"

#include "store/sqldialect.h"

#include <QAtomicInt>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTimer>
#include <QtDebug>

namespace Shortd
{
namespace
{
QAtomicInt leaseCounter;
// Any fixed number, apart from the migrations' lock; every instance takes the same one.
constexpr qint64 CheckLockKey = 0x4e6f6c7665780002;
} // namespace

// The lease's half on its own thread, with the connection that holds the lock.
class CheckLeaseWorker final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CheckLeaseWorker)

public:
    CheckLeaseWorker(DatabaseAddress address, std::chrono::milliseconds retry)
        : m_address(std::move(address))
        , m_connectionName(QStringLiteral("shortd-lease-%1").arg(leaseCounter.fetchAndAddRelaxed(1)))
        , m_timer(this)
    {
        m_timer.setInterval(retry);
        connect(&m_timer, &QTimer::timeout, this, &CheckLeaseWorker::look);
    }
    ~CheckLeaseWorker() override = default;

    void start()
    {
        m_timer.start();
        look();
    }

    void stop()
    {
        m_timer.stop();
        drop();
    }

    // NOLINTBEGIN(readability-inconsistent-declaration-parameter-name)
signals:
    void changed(bool held);
    // NOLINTEND(readability-inconsistent-declaration-parameter-name)

private:
    QSqlDatabase db() const { return QSqlDatabase::database(m_connectionName, false); }

    // Tries for the lock while it is not held; while it is, makes sure its connection still is.
    void look()
    {
        if (!QSqlDatabase::contains(m_connectionName)) {
            QSqlDatabase connection = QSqlDatabase::addDatabase(driverName(SqlDialect::Postgres), m_connectionName);
            QString error;
            if (!connectDatabase(connection, m_address, {}, &error)) {
                connection = {};
                drop();
                return;
            }
        }
        QSqlQuery query(db());
        const bool answered = m_held
            ? query.exec(QStringLiteral("SELECT 1")) && query.next()
            : query.exec(QStringLiteral("SELECT pg_try_advisory_lock(%1)").arg(CheckLockKey)) && query.next();
        if (!answered) {
            qWarning().noquote() << "checks: the connection that holds the checks' lock failed:"
                                 << query.lastError().text();
            query = QSqlQuery();
            drop();
            return;
        }
        if (!m_held && query.value(0).toBool()) {
            m_held = true;
            emit changed(true);
        }
    }

    void drop()
    {
        if (QSqlDatabase::contains(m_connectionName)) {
            QSqlDatabase::database(m_connectionName, false).close();
            QSqlDatabase::removeDatabase(m_connectionName);
        }
        if (m_held) {
            m_held = false;
            emit changed(false);
        }
    }

    DatabaseAddress m_address;
    QString m_connectionName;
    QTimer m_timer;
    bool m_held = false;
};

CheckLease::CheckLease(DatabaseAddress address, std::chrono::milliseconds retry, QObject* parent)
    : QObject(parent)
    , m_embedded(!address.isPostgres())
{
    if (m_embedded) {
        return;
    }
    m_worker = new CheckLeaseWorker(std::move(address), retry);
    m_thread.setObjectName(QStringLiteral("check-lease"));
    m_worker->moveToThread(&m_thread);
    connect(m_worker, &CheckLeaseWorker::changed, this, &CheckLease::setHeld);
    m_thread.start();
}

CheckLease::~CheckLease()
{
    if (!m_worker) {
        return;
    }
    QMetaObject::invokeMethod(m_worker, &CheckLeaseWorker::stop, Qt::BlockingQueuedConnection);
    m_thread.quit();
    m_thread.wait();
    delete m_worker;
}

void CheckLease::start()
{
    if (m_embedded) {
        setHeld(true);
        return;
    }
    QMetaObject::invokeMethod(m_worker, &CheckLeaseWorker::start);
}

void CheckLease::setHeld(bool held)
{
    if (held == m_held) {
        return;
    }
    m_held = held;
    qInfo("checks: %s", held ? "this instance checks destinations" : "this instance no longer checks destinations");
    emit changed(held);
}

} // namespace Shortd

#include "checklease.moc"
