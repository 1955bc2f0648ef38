#pragma once

#include "store/linkstore.h"

#include <QObject>
#include <QString>
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
class StorePool final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(StorePool)

public:
    using Factory = std::function<std::unique_ptr<LinkStore>()>;
    // The store is null while the worker has no connection; the call must then report a failure.
    using Job = std::function<void(LinkStore*)>;

    StorePool(Factory factory, StorePoolOptions options, QObject* parent = nullptr);
    // Runs every call at once on the caller's thread against a store owned elsewhere.
    explicit StorePool(LinkStore& store, QObject* parent = nullptr);
    // Runs the calls still queued (the last visits, say), then ends the workers.
    ~StorePool() override;

    // Runs work on a worker, then done with its result on this object's thread. False, and
    // nothing runs, when the queue is full.
    template<typename Result>
    bool run(std::function<Result(LinkStore*)> work, std::function<void(Result)> done)
    {
        return submit([this, work = std::move(work), done = std::move(done)](
                          LinkStore* store) { deliver([done, result = work(store)] { done(result); }); });
    }

    int threads() const { return m_options.threads; }
    qsizetype queued() const;

private:
    bool submit(Job job);
    void deliver(std::function<void()> result);
    void work();
    std::unique_ptr<LinkStore> connectStore();

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
    std::vector<QThread*> m_workers;
    std::unique_ptr<LinkStore> m_inlineStore;
    LinkStore* m_borrowed = nullptr;
    bool m_inlineTried = false;
};

} // namespace Shortd
