#include "store/storepool.h"

#include "metrics/servicemetrics.h"

#include <QDeadlineTimer>
#include <QThread>
#include <QtDebug>

namespace Shortd
{

StorePool::StorePool(Factory factory, StorePoolOptions options, QObject* parent)
    : QObject(parent)
    , m_factory(std::move(factory))
    , m_options(options)
{
    for (int i = 0; i < m_options.threads; ++i) {
        QThread* worker = QThread::create([this] { work(); });
        worker->setObjectName(QStringLiteral("store-%1").arg(i));
        m_workers.push_back(worker);
        worker->start();
    }
}

StorePool::StorePool(Store& store, QObject* parent)
    : QObject(parent)
    , m_options {0, 0, {}}
    , m_borrowed(&store)
{
}

StorePool::~StorePool()
{
    {
        const std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_all();
    for (QThread* worker : m_workers) {
        worker->wait();
        delete worker;
    }
}

qsizetype StorePool::queued() const
{
    const std::lock_guard lock(m_mutex);
    return static_cast<qsizetype>(m_queue.size());
}

bool StorePool::submit(Job job)
{
    if (m_borrowed) {
        job(m_borrowed, false);
        return true;
    }
    if (m_options.threads == 0) {
        if (!m_inlineStore && !m_inlineTried) {
            m_inlineTried = true;
            m_inlineStore = connectStore();
        }
        if (!job(m_inlineStore.get(), m_inlineStore != nullptr)) {
            m_inlineStore = connectStore();
            // As after any broken connection, the next call tries again when this one could not.
            m_inlineTried = m_inlineStore != nullptr;
            job(m_inlineStore.get(), false);
        }
        if (m_inlineStore && m_inlineStore->isBroken()) {
            m_inlineStore.reset();
            m_inlineTried = false;
        }
        return true;
    }
    {
        const std::lock_guard lock(m_mutex);
        if (m_stopping || std::cmp_greater_equal(m_queue.size(), m_options.maxQueued)) {
            return false;
        }
        m_queue.push_back({std::move(job), std::chrono::steady_clock::now()});
    }
    m_wake.notify_one();
    return true;
}

void StorePool::deliver(std::function<void()> result)
{
    if (m_options.threads == 0) {
        result();
        return;
    }
    QMetaObject::invokeMethod(this, std::move(result), Qt::QueuedConnection);
}

std::unique_ptr<Store> StorePool::connectStore()
{
    std::unique_ptr<Store> store = m_factory();
    if (!store->open()) {
        Metrics::service().databaseErrors.add();
        qWarning("nolvex-shortd: no database connection: %s", qPrintable(store->lastError()));
        return nullptr;
    }
    return store;
}

// One worker's connection, and what it knows of the others'.
struct StorePool::Connection {
    std::unique_ptr<Store> store;
    quint64 checkedAt = 0; // m_breaks when the connection was opened or last checked
    quint64 reconnectsSeen = 0; // m_reconnects at the last attempt to open one
    QDeadlineTimer nextAttempt {0};
    bool lost = false; // the last connection broke, or none could be opened
};

void StorePool::open(Connection& connection)
{
    connection.checkedAt = m_breaks.load();
    connection.reconnectsSeen = m_reconnects.load();
    connection.store = connectStore();
    connection.nextAttempt.setRemainingTime(connection.store ? 0 : m_options.reconnectInterval.count());
    if (!connection.store) {
        connection.lost = true;
        return;
    }
    if (connection.lost) {
        connection.lost = false;
        Metrics::service().databaseReconnects.add();
        if (m_down.exchange(false)) {
            qWarning("nolvex-shortd: database connection restored");
        }
        // The others may be waiting out their pause after a failed attempt: the database answers now.
        connection.reconnectsSeen = ++m_reconnects;
    }
}

void StorePool::noteIfBroken(const Store* store)
{
    if (!store || !store->isBroken() || m_borrowed) {
        return;
    }
    Metrics::service().databaseErrors.add();
    if (!m_down.exchange(true)) {
        qWarning("nolvex-shortd: lost the database connection: %s", qPrintable(store->lastError()));
    }
    // Every other connection went with it, most likely: each is checked before its next use.
    ++m_breaks;
}

void StorePool::drop(Connection& connection)
{
    connection.store.reset();
    connection.lost = true;
    // The next call tries a fresh connection straight away; only a failed attempt makes calls
    // wait for the interval.
    connection.nextAttempt.setRemainingTime(0);
}

void StorePool::prepare(Connection& connection)
{
    if (connection.store && connection.checkedAt != m_breaks.load()) {
        connection.checkedAt = m_breaks.load();
        if (!connection.store->isHealthy()) {
            drop(connection);
        }
    }
    if (!connection.store
        && (connection.nextAttempt.hasExpired() || connection.reconnectsSeen != m_reconnects.load())) {
        open(connection);
    }
}

void StorePool::runJob(const Job& job, Connection& connection)
{
    prepare(connection);
    const bool delivered = job(connection.store.get(), connection.store != nullptr);
    if (!connection.store || !connection.store->isBroken()) {
        return;
    }
    drop(connection);
    if (!delivered) {
        open(connection);
        job(connection.store.get(), false);
        if (connection.store && connection.store->isBroken()) {
            drop(connection);
        }
    }
}

void StorePool::work()
{
    Connection connection;
    open(connection);
    for (;;) {
        Job job;
        {
            std::unique_lock lock(m_mutex);
            m_wake.wait(lock, [this] { return m_stopping || !m_queue.empty(); });
            if (m_queue.empty()) {
                break;
            }
            job = std::move(m_queue.front().job);
            Metrics::service().storeWait.observe(std::chrono::steady_clock::now() - m_queue.front().since);
            m_queue.pop_front();
        }
        runJob(job, connection);
    }
}

} // namespace Shortd
