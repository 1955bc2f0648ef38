#pragma once

#include "config.h"
#include "http/accesslog.h"

#include <QString>
#include <memory>

namespace Shortd
{

class ConnectionGate;
class HttpFrontEnd;
class LinkStore;
class RateLimiter;
class Routes;
class Shortener;

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
    QString databasePath() const;

private:
    ServiceConfig m_config;
    std::unique_ptr<LinkStore> m_store;
    std::unique_ptr<RateLimiter> m_rateLimiter;
    std::unique_ptr<Shortener> m_shortener;
    std::unique_ptr<Routes> m_routes;
    AccessLog m_log;
    std::unique_ptr<HttpFrontEnd> m_frontEnd;
    ConnectionGate* m_gate = nullptr; // owned by m_frontEnd
};

} // namespace Shortd
