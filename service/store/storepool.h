#pragma once

#include "store/store.h"

#include <QObject>
#include <QString>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>

class QThread;

namespace Shortd
{

struct StorePoolOptions {
    // Worker threads, each with its own connection. 0 runs every call at once on the caller's
    // thread (tests and fuzzers, where nothing may happen later).
    int threads = 1;
    // Calls waiting for a worker; beyond this a call is refused at once.
    qsizetype maxQueued = 10'000;
    // A worker without a connection tries again at most this often; calls in between fail at once.
    std::chrono::milliseconds reconnectInterval {1000};
};

// Runs store calls off the event loop. Every worker opens its own store from the factory, on its
// own thread, and uses it for nothing else; a store that reports its connection broken is dropped
// and a new one opened, so the service reconnects by itself when the database comes back.
//
// A database that restarts cuts every connection at once, while each worker learns of it only
// when its own connection fails. So the first broken connection makes every other one suspect:
// each worker checks its connection (and opens a new one when it is gone) before its next call,
// and a worker that opens a connection lets the others, waiting out their pause, try at once. A
// read that failed on a broken connection is tried once more on a fresh one; a write never is, as
// it may have committed before the connection went.
class StorePool final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(StorePool)

public:
    using Factory = std::function<std::unique_ptr<Store>()>;
    // The store is null while the worker has no connection; the call must then report a failure.
    // mayRepeat: the pool will run the job again on a fresh connection when this one breaks. The
    // job answers whether it delivered its result (false only when it leaves that to the repeat).
    using Job = std::function<bool(Store*, bool mayRepeat)>;

    StorePool(Factory factory, StorePoolOptions options, QObject* parent = nullptr);
    // Runs every call at once on the caller's thread against a store owned elsewhere.
    explicit StorePool(Store& store, QObject* parent = nullptr);
    // Runs the calls still queued (the last visits, say), then ends the workers.
    ~StorePool() override;

    // Runs work on a worker, then done with its result on this object's thread. False, and
    // nothing runs, when the queue is full.
    template<typename Result>
    bool run(std::function<Result(Store*)> work, std::function<void(Result)> done)
    {
        return submit([this, work = std::move(work), done = std::move(done)](Store* store, bool) {
            Result result = work(store);
            noteIfBroken(store);
            deliver([done, result = std::move(result)] { done(result); });
            return true;
        });
    }

    // As run(), for work that only reads and so may run twice: when it fails because its
    // connection broke, it runs once more on a new connection, and only that result is delivered.
    template<typename Result>
    bool read(std::function<Result(Store*)> work, std::function<void(Result)> done)
    {
        return submit([this, work = std::move(work), done = std::move(done)](Store* store, bool mayRepeat) {
            Result result = work(store);
            noteIfBroken(store);
            if (mayRepeat && store && store->isBroken()) {
                return false;
            }
            deliver([done, result = std::move(result)] { done(result); });
            return true;
        });
    }

    int threads() const { return m_options.threads; }
    qsizetype queued() const;

private:
    bool submit(Job job);
    void deliver(std::function<void()> result);
    struct Connection;

    void work();
    std::unique_ptr<Store> connectStore();
    void open(Connection& connection);
    // After a call, before its answer goes out: a broken connection makes every other suspect, so
    // the calls its answer sets off already find them checked.
    void noteIfBroken(const Store* store);
    void drop(Connection& connection);
    // Before a call: a suspect connection is checked, and a missing one opened when it may be.
    void prepare(Connection& connection);
    // Runs the job; when the connection broke under it, drops the store, marks every other
    // connection suspect and opens a new one, on which a job that did not deliver runs again.
    void runJob(const Job& job, Connection& connection);

    Factory m_factory;
    StorePoolOptions m_options;
    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    struct Queued {
        Job job;
        std::chrono::steady_clock::time_point since;
    };
    std::deque<Queued> m_queue;
    bool m_stopping = false;
    // Raised when a connection is found broken: a connection opened or checked before the last
    // raise is suspect.
    std::atomic<quint64> m_breaks {0};
    // Raised when a worker opens a connection after one was lost: the database answers again.
    std::atomic<quint64> m_reconnects {0};
    std::atomic<bool> m_down {false}; // a connection was lost, and none opened since
    std::vector<QThread*> m_workers;
    std::unique_ptr<Store> m_inlineStore;
    Store* m_borrowed = nullptr;
    bool m_inlineTried = false;
};

} // namespace Shortd
