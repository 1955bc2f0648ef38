#pragma once

#include "metrics/metrics.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <array>
#include <chrono>
#include <optional>
#include <utility>

namespace Shortd::Metrics
{

// What a request asked for, as the requests are counted: a small fixed set, never the path itself,
// so that no client can make the series grow.
enum class Route : quint8 {
    Shorten,
    Version,
    Release,
    Home,
    Health,
    Ready,
    Redirect,
    Continue, // a person's POST from a limited link's page
    Preview,
    Qr,
    ApiCreate,
    Api,
    Other,
};
inline constexpr size_t RouteCount = static_cast<size_t>(Route::Other) + 1;
QByteArrayView routeName(Route route);

// Why the gate turned a connection away.
enum class Refusal : quint8 { MaxConnections, PerClient };
inline constexpr size_t RefusalCount = 2;

// One of the operator's blocklists as a scrape finds it.
struct BlocklistGauge {
    QByteArray name;
    qint64 entries = 0; // in the copy in use
    qint64 lastSuccess = 0; // seconds since the epoch the list was last read or found current; 0: never
    quint64 failedReloads = 0;
    quint64 quarantined = 0; // links this instance quarantined because the list stopped them
};

// Values read when a scrape comes, from the parts that own them, on the event loop.
struct Gauges {
    qint64 cacheEntries = 0;
    qint64 storeQueued = 0;
    qint64 connectionsOpen = 0;
    qint64 visitsPending = 0;
    bool ready = false;
    QList<BlocklistGauge> blocklists {};
    // Destination checks this instance made, by outcome; links flagged dead (none: not known here).
    QList<std::pair<QByteArray, quint64>> checks {};
    std::optional<qint64> deadLinks {};
};

// The service's series. Everything here is safe to bump from any thread, without a lock.
class ServiceMetrics
{
public:
    ServiceMetrics();

    // One answered request; its duration goes to the redirect or create histogram when it is one.
    void countRequest(Route route, int status, std::chrono::nanoseconds duration) noexcept;
    void countRefusal(Refusal reason) noexcept { m_refused.at(static_cast<size_t>(reason)).add(); }

    Counter cacheHits;
    Counter cacheMisses;
    Counter databaseErrors;
    Counter databaseReconnects;
    Counter visitsDropped;
    Counter visitsBlocked; // requests a quarantined link turned away
    Counter notificationsReceived;
    Histogram storeWait;

    // The whole exposition, build information included.
    QByteArray render(const Gauges& gauges, const QString& version) const;

private:
    static constexpr int FirstStatus = 100;
    static constexpr int StatusCount = 500; // 100 to 599
    std::array<std::array<Counter, StatusCount>, RouteCount> m_requests;
    std::array<Counter, RefusalCount> m_refused;
    Histogram m_redirectDuration;
    Histogram m_createDuration;
};

// The process's one set.
ServiceMetrics& service();

// For the parts that learn of changes from other instances: one notification taken in.
inline void countNotificationReceived()
{
    service().notificationsReceived.add();
}

} // namespace Shortd::Metrics
