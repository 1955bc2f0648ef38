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

StorePool::StorePool(LinkStore& store, QObject* parent)
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
        job(m_borrowed);
        return true;
    }
    if (m_options.threads == 0) {
        if (!m_inlineStore && !m_inlineTried) {
            m_inlineTried = true;
            m_inlineStore = connectStore();
        }
        job(m_inlineStore.get());
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

std::unique_ptr<LinkStore> StorePool::connectStore()
{
    std::unique_ptr<LinkStore> store = m_factory();
    if (!store->open()) {
        Metrics::service().databaseErrors.add();
        qWarning("nolvex-shortd: no database connection: %s", qPrintable(store->lastError()));
        return nullptr;
    }
    return store;
}

void StorePool::work()
{
    std::unique_ptr<LinkStore> store = connectStore();
    QDeadlineTimer nextAttempt(store ? 0 : m_options.reconnectInterval.count());
    bool lost = !store;
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
        if (!store && nextAttempt.hasExpired()) {
            store = connectStore();
            nextAttempt.setRemainingTime(m_options.reconnectInterval.count());
            if (store && lost) {
                qWarning("nolvex-shortd: database connection restored");
                Metrics::service().databaseReconnects.add();
                lost = false;
            }
        }
        job(store.get());
        if (store && store->isBroken()) {
            // Dropped at once; the next call tries a fresh connection straight away, and only a
            // failed attempt makes calls wait for the interval.
            qWarning("nolvex-shortd: lost the database connection: %s", qPrintable(store->lastError()));
            Metrics::service().databaseErrors.add();
            store.reset();
            lost = true;
            nextAttempt.setRemainingTime(0);
        }
    }
}

} // namespace Shortd
