#pragma once

#include "config.h"
#include "http/accesslog.h"

#include <QString>
#include <QTimer>
#include <memory>

namespace Shortd
{

class ClusterAgent;
class ConnectionGate;
class HttpFrontEnd;
class LinkStore;
class RateLimiter;
class SharedLimit;
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
    // The SQLite file, or the PostgreSQL address without its password.
    QString databasePath() const;

private:
    std::unique_ptr<LinkStore> makeStore() const;
    bool waitForDatabase(QString* error) const;
    // Joins the cluster: changes to links heard of, the instance registered, limits shared.
    void joinCluster();
    void exchangeCounts();

    ServiceConfig m_config;
    std::unique_ptr<StorePool> m_pool;
    std::unique_ptr<RateLimiter> m_rateLimiter;
    std::unique_ptr<Shortener> m_shortener;
    std::unique_ptr<Routes> m_routes;
    std::unique_ptr<SharedLimit> m_sharedLimit;
    QTimer m_countsTimer;
    bool m_countsInFlight = false;
    std::unique_ptr<ClusterAgent> m_cluster;
    AccessLog m_log;
    std::unique_ptr<HttpFrontEnd> m_frontEnd;
    ConnectionGate* m_gate = nullptr; // owned by m_frontEnd
};

} // namespace Shortd
