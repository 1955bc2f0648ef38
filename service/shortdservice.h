#pragma once

#include "config.h"
#include "http/accesslog.h"
#include "http/message.h"
#include "store/localblocks.h"

#include <QDeadlineTimer>
#include <QString>
#include <QTimer>
#include <functional>
#include <memory>
#include <optional>

namespace Shortd
{

class BlocklistFeeds;
class BlocklistSet;
class CheckLease;
class CheckScheduler;
class ClusterAgent;
class QuarantineSweep;
class ConnectionGate;
class HttpFrontEnd;
class HttpThreads;
class Store;
class HostCreationLimit;
class RateLimiter;
class SharedLimit;
class FastLane;
class Routes;
class Shortener;
class StorePool;

// The whole service, wired: store, shortener, routes, access log and the listening front end.
class ShortdService
{
public:
    explicit ShortdService(ServiceConfig config);
    ~ShortdService();
    ShortdService(const ShortdService&) = delete;
    ShortdService& operator=(const ShortdService&) = delete;

    // Opens the store and starts listening; on failure the error says what went wrong.
    bool start(QString* error);
    quint16 serverPort() const;
    // Where /metrics is served; 0 when it is not.
    quint16 metricsPort() const;
    // Stops in order: /readyz turns 503, no new connection is taken, the requests in flight are
    // answered (each closing its connection), the counted visits are written; then stopped runs.
    // Past --shutdown-timeout it runs whatever is left. Asked again while stopping, it runs at once.
    void stop(std::function<void()> stopped);
    // The SQLite file, or the PostgreSQL address without its password.
    QString databasePath() const;

private:
    std::unique_ptr<Store> makeStore() const;
    bool waitForDatabase(QString* error) const;
    // Joins the cluster: changes to links heard of, the instance registered, limits shared.
    void joinCluster();
    // Sends what limit counted here and settles it with the cluster's sums; one exchange at a time.
    void exchangeCounts(SharedLimit& limit, bool& inFlight);
    // The operator's lists, read before the first request and kept fresh from then on.
    bool startBlocklists(QString* error);
    // The limit of new anonymous links a site an hour, when one is set.
    void startHostLimit();
    // Quarantines the active links a list starts stopping, at start and at every reload.
    void startQuarantineSweep();
    // Reads the service's own blocklist from the store now and every few seconds, and puts each
    // new copy in use as the list `local`.
    void startLocalBlocks();
    void readLocalBlocks();
    // Checks the links' destinations again over time, while this instance holds the lease.
    void startChecks();
    bool startMetrics(QString* error);
    void serveMetrics(const Respond& respond);
    void continueStop();

    ServiceConfig m_config;
    std::unique_ptr<StorePool> m_pool;
    std::unique_ptr<HostCreationLimit> m_hostLimit; // none when --host-create-limit is 0
    bool m_hostCountsInFlight = false;
    std::unique_ptr<RateLimiter> m_rateLimiter;
    std::unique_ptr<BlocklistSet> m_blocklists; // none without the Public Suffix List
    std::unique_ptr<BlocklistFeeds> m_blocklistFeeds;
    std::unique_ptr<QuarantineSweep> m_quarantineSweep; // with the lists
    QTimer m_localBlocksTimer;
    bool m_localBlocksInFlight = false;
    int m_localBlocksLooks = 0;
    std::optional<LocalBlocksVersion> m_localBlocksVersion; // none until the first read
    QByteArray m_localBlocksFeed;
    std::unique_ptr<Shortener> m_shortener;
    std::unique_ptr<Routes> m_routes;
    std::unique_ptr<FastLane> m_fastLane; // the cached redirect on each serving thread, the rest to m_routes
    std::unique_ptr<SharedLimit> m_sharedLimit;
    QTimer m_countsTimer;
    bool m_countsInFlight = false;
    std::unique_ptr<SharedLimit> m_sharedKeyFailures; // failed API keys, counted across the cluster
    bool m_keyFailuresInFlight = false;
    std::unique_ptr<ClusterAgent> m_cluster;
    std::unique_ptr<CheckLease> m_checkLease; // none while checks are off or without the lists
    std::unique_ptr<CheckScheduler> m_checks;
    AccessLog m_log;
    std::unique_ptr<HttpThreads> m_http;
    ConnectionGate* m_gate = nullptr; // owned by m_http
    AccessLog m_metricsLog; // off: a scrape a second is not worth a line
    std::unique_ptr<HttpFrontEnd> m_metricsFrontEnd;
    ConnectionGate* m_metricsGate = nullptr; // owned by m_metricsFrontEnd
    QTimer m_stopTimer;
    QDeadlineTimer m_stopDeadline;
    std::function<void()> m_stopped;
};

} // namespace Shortd
