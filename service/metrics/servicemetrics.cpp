#include "metrics/servicemetrics.h"

namespace Shortd::Metrics
{
namespace
{
// From a cached redirect (tens of microseconds) to a database that is struggling (seconds).
constexpr std::array<double, 14> LatencyBounds {
    0.0001, 0.00025, 0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 5};
constexpr std::array<QByteArrayView, RouteCount> RouteNames {"shorten", "version", "release", "home", "healthz",
    "readyz", "redirect", "continue", "preview", "qr", "api_create", "api", "other"};
constexpr std::array<QByteArrayView, RefusalCount> RefusalNames {"max_connections", "per_client"};
constexpr auto Prefix = QByteArrayView("nolvex_shortd_");

QByteArray named(QByteArrayView name)
{
    return Prefix.toByteArray() + name.toByteArray();
}
} // namespace

QByteArrayView routeName(Route route)
{
    return RouteNames.at(static_cast<size_t>(route));
}

ServiceMetrics::ServiceMetrics()
    : storeWait(LatencyBounds)
    , m_redirectDuration(LatencyBounds)
    , m_createDuration(LatencyBounds)
{
}

void ServiceMetrics::countRequest(Route route, int status, std::chrono::nanoseconds duration) noexcept
{
    if (status >= FirstStatus && status < FirstStatus + StatusCount) {
        m_requests.at(static_cast<size_t>(route)).at(static_cast<size_t>(status - FirstStatus)).add();
    }
    if (route == Route::Redirect || route == Route::Continue) {
        m_redirectDuration.observe(duration);
    } else if (route == Route::Shorten || route == Route::ApiCreate) {
        m_createDuration.observe(duration);
    }
}

namespace
{
// The blocklists' families, one sample a list; none when no list is configured.
void renderBlocklists(Exposition& out, const QList<BlocklistGauge>& lists)
{
    using Type = Exposition::Type;
    const auto perList = [&out, &lists](QByteArrayView name, QByteArrayView help, Exposition::Type type,
                             double (*value)(const BlocklistGauge&)) {
        if (lists.isEmpty()) {
            return; // no list configured: no family to announce
        }
        out.family(named(name), help, type);
        for (const BlocklistGauge& list : lists) {
            out.sample(named(name), {{"list", list.name}}, value(list));
        }
    };
    perList("blocklist_entries", "Entries of each blocklist's copy in use.", Type::Gauge,
        [](const BlocklistGauge& list) { return static_cast<double>(list.entries); });
    perList("blocklist_last_success_timestamp_seconds",
        "When each blocklist was last read or found current (0: never).", Type::Gauge,
        [](const BlocklistGauge& list) { return static_cast<double>(list.lastSuccess); });
    perList("blocklist_reload_failures_total",
        "Reloads of each blocklist that failed or held no entry; the last good copy stayed in use.", Type::Counter,
        [](const BlocklistGauge& list) { return static_cast<double>(list.failedReloads); });
    perList("blocklist_links_quarantined_total",
        "Active links this instance quarantined because the list stopped them.", Type::Counter,
        [](const BlocklistGauge& list) { return static_cast<double>(list.quarantined); });
}
} // namespace

QByteArray ServiceMetrics::render(const Gauges& gauges, const QString& version) const
{
    using Type = Exposition::Type;
    Exposition out;
    const auto counter = [&out](QByteArrayView name, QByteArrayView help, const Counter& value) {
        out.family(named(name), help, Type::Counter);
        out.sample(named(name), {}, static_cast<double>(value.value()));
    };
    const auto gauge = [&out](QByteArrayView name, QByteArrayView help, qint64 value) {
        out.family(named(name), help, Type::Gauge);
        out.sample(named(name), {}, static_cast<double>(value));
    };

    out.family(named("build_info"), "Version of this build; the value is always 1.", Type::Gauge);
    out.sample(named("build_info"), {{"version", version.toUtf8()}}, 1);
    gauge("ready", "1 while the service takes traffic (what /readyz answers), else 0.", gauges.ready ? 1 : 0);

    out.family(named("requests_total"), "Requests answered, by route and status.", Type::Counter);
    for (size_t route = 0; route < RouteCount; ++route) {
        for (size_t status = 0; status < StatusCount; ++status) {
            if (const quint64 count = m_requests.at(route).at(status).value(); count > 0) {
                out.sample(named("requests_total"),
                    {{"route", RouteNames.at(route).toByteArray()},
                        {"status", QByteArray::number(static_cast<int>(status) + FirstStatus)}},
                    static_cast<double>(count));
            }
        }
    }
    out.family(named("redirect_duration_seconds"), "Time from a redirect's request to its answer.", Type::Histogram);
    out.histogram(named("redirect_duration_seconds"), {}, m_redirectDuration.snapshot());
    out.family(named("create_duration_seconds"), "Time from a link creation's request to its answer.", Type::Histogram);
    out.histogram(named("create_duration_seconds"), {}, m_createDuration.snapshot());

    counter("cache_hits_total", "Link lookups answered from memory.", cacheHits);
    counter("cache_misses_total", "Link lookups that went to the database.", cacheMisses);
    gauge("cache_entries", "Links held in memory.", gauges.cacheEntries);

    gauge("store_queued_calls", "Database calls waiting for a worker.", gauges.storeQueued);
    out.family(named("store_wait_seconds"), "Time a database call waited for a worker.", Type::Histogram);
    out.histogram(named("store_wait_seconds"), {}, storeWait.snapshot());
    counter("database_errors_total", "Failed attempts to reach the database, lost connections and refused writes.",
        databaseErrors);
    counter("database_reconnects_total", "Database connections made again after one was lost.", databaseReconnects);

    gauge("connections_open", "Client connections open on the public listener.", gauges.connectionsOpen);
    out.family(named("connections_refused_total"), "Connections turned away at once, by reason.", Type::Counter);
    for (size_t reason = 0; reason < RefusalCount; ++reason) {
        out.sample(named("connections_refused_total"), {{"reason", RefusalNames.at(reason).toByteArray()}},
            static_cast<double>(m_refused.at(reason).value()));
    }

    gauge("visits_pending", "Counted visits not yet written to the database.", gauges.visitsPending);
    counter(
        "visits_dropped_total", "Visits not counted because too many were waiting for the database.", visitsDropped);
    counter("visits_blocked_total",
        "Requests answered with a quarantined link's warning (its page, preview or QR image).", visitsBlocked);
    counter(
        "notifications_received_total", "Change notifications received from other instances.", notificationsReceived);

    renderBlocklists(out, gauges.blocklists);
    if (!gauges.checks.isEmpty()) {
        out.family(
            named("destination_checks_total"), "Destination checks this instance made, by outcome.", Type::Counter);
        for (const auto& [outcome, count] : gauges.checks) {
            out.sample(named("destination_checks_total"), {{"outcome", outcome}}, static_cast<double>(count));
        }
    }
    if (gauges.deadLinks) {
        gauge("links_dead", "Links whose destination failed three checks in a row (as the checks last read).",
            *gauges.deadLinks);
    }
    return out.text();
}

ServiceMetrics& service()
{
    static ServiceMetrics metrics;
    return metrics;
}

} // namespace Shortd::Metrics
