#include "shortdservice.h"

#include "api/apirouter.h"
#include "cluster/checklease.h"
#include "cluster/checkschedule.h"
#include "cluster/clusteragent.h"
#include "cluster/sharedlimit.h"
#include "http/connectiongate.h"
#include "http/frontend.h"
#include "http/httpthreads.h"
#include "links/anonymouscreation.h"
#include "links/blocklistsources.h"
#include "links/checkresult.h"
#include "links/ownaddresses.h"
#include "links/quarantinesweep.h"
#include "links/ratelimiter.h"
#include "links/shortener.h"
#include "links/visitclass.h"
#include "metrics/servicemetrics.h"
#include "routes/fastlane.h"
#include "routes/routes.h"
#include "routes/routetable.h"
#include "store/storeopening.h"
#include "store/storepool.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QSslCertificate>
#include <QSslKey>
#include <QThread>

namespace Shortd
{
namespace
{
// Store calls waiting for a worker; beyond this a request is answered 503 at once.
constexpr qsizetype StoreQueueLimit = 10'000;
constexpr std::chrono::milliseconds VisitFlushInterval {1000};
// How often the instances exchange their creation counts, at most.
constexpr std::chrono::milliseconds CountsInterval {250};
// How often a stop looks whether what it waits for is done.
constexpr std::chrono::milliseconds StopPollInterval {10};
// How often the service's own blocklist is looked at in the store, and after how many looks it is
// read whole even when its count and newest entry are what they were.
constexpr std::chrono::milliseconds LocalBlocksInterval {5000};
constexpr int LocalBlocksFullReadEvery = 12;
// Scrapers are few: a handful of connections is plenty, and bounds what the listener may hold.
constexpr int MetricsConnections = 16;
// A scrape is one short line and a few headers.
constexpr std::chrono::milliseconds MetricsHeaderTimeout {2000};

bool loadTls(const ServiceConfig& config, QSslConfiguration* tls, QString* error)
{
    QFile certFile(config.tlsCertificate);
    QFile keyFile(config.tlsKey);
    if (!certFile.open(QIODevice::ReadOnly) || !keyFile.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read the TLS certificate or key");
        return false;
    }
    const QList<QSslCertificate> chain = QSslCertificate::fromData(certFile.readAll(), QSsl::Pem);
    const QByteArray keyData = keyFile.readAll();
    QSslKey key(keyData, QSsl::Rsa, QSsl::Pem);
    if (key.isNull()) {
        key = QSslKey(keyData, QSsl::Ec, QSsl::Pem);
    }
    if (chain.isEmpty() || key.isNull()) {
        *error = QStringLiteral("the TLS certificate or key is not valid PEM");
        return false;
    }
    *tls = QSslConfiguration::defaultConfiguration();
    tls->setLocalCertificate(chain.constFirst());
    tls->setLocalCertificateChain(chain);
    tls->setPrivateKey(key);
    tls->setPeerVerifyMode(QSslSocket::VerifyNone);
    return true;
}
} // namespace

ShortdService::ShortdService(ServiceConfig config)
    : m_config(std::move(config))
{
}

ShortdService::~ShortdService()
{
    // Stop taking requests before the parts they use go away. The shortener hands the counted
    // visits to the pool, and the pool runs what is queued before its workers end.
    m_metricsFrontEnd.reset();
    m_http.reset();
    m_fastLane.reset(); // after the threads that call it
    m_countsTimer.stop();
    m_localBlocksTimer.stop();
    m_blocklistFeeds.reset();
    m_quarantineSweep.reset();
    m_checkLease.reset();
    m_checks.reset();
    m_cluster.reset();
    m_shortener.reset();
    m_pool.reset();
    m_routes.reset();
    m_blocklists.reset(); // looked up by the shortener and the routes
}

QString ShortdService::databasePath() const
{
    return databaseDescription(m_config.database, m_config.dataDir);
}

std::unique_ptr<Store> ShortdService::makeStore() const
{
    return makeLinkStore(m_config.database, m_config.dataDir, m_config.syncEachCommit);
}

bool ShortdService::waitForDatabase(QString* error) const
{
    // Services often start together with their database: keep trying for a while, pausing a
    // little longer each time. An embedded file that cannot be opened will not get better.
    QElapsedTimer waited;
    waited.start();
    const qint64 limitMs = qint64(m_config.databaseWaitSeconds) * 1000;
    const qint64 retryMs = m_config.databaseRetry.count();
    qint64 pauseMs = std::min<qint64>(100, retryMs);
    for (;;) {
        const std::unique_ptr<Store> store = makeStore();
        if (store->open()) {
            return true;
        }
        const qint64 leftMs = limitMs - waited.elapsed();
        if (!m_config.database.isPostgres() || !store->isBroken() || leftMs <= 0) {
            *error = store->isBroken() && m_config.database.isPostgres()
                ? QStringLiteral("cannot reach the database %1 within %2 s: %3")
                      .arg(databasePath())
                      .arg(m_config.databaseWaitSeconds)
                      .arg(store->lastError())
                : QStringLiteral("cannot open %1: %2").arg(databasePath(), store->lastError());
            return false;
        }
        QThread::msleep(static_cast<unsigned long>(std::min(pauseMs, leftMs)));
        pauseMs = std::min(pauseMs * 2, retryMs);
    }
}

void ShortdService::startHostLimit()
{
    if (m_config.hostCreateLimit <= 0) {
        return;
    }
    // Sites are registrable domains, so a wave rotating subdomains counts as one; without the
    // suffix list each full host counts apart.
    std::optional<PublicSuffixList> suffixes;
    if (m_blocklists) {
        suffixes = m_blocklists->suffixes();
    } else if (Result<PublicSuffixList> loaded = PublicSuffixList::load()) {
        suffixes = std::move(loaded).value();
    } else {
        qWarning(
            "nolvex-shortd: --host-create-limit counts each host apart: %s", qUtf8Printable(loaded.fault().english));
    }
    m_hostLimit = std::make_unique<HostCreationLimit>(
        m_config.hostCreateLimit, std::move(suffixes), [] { return QDateTime::currentMSecsSinceEpoch(); });
    m_rateLimiter->limitHosts(m_hostLimit.get());
}

bool ShortdService::start(QString* error)
{
    std::optional<QSslConfiguration> tls;
    if (m_config.usesTls()) {
        QSslConfiguration loaded;
        if (!loadTls(m_config, &loaded, error)) {
            return false;
        }
        tls = loaded;
    }
    if (!m_config.database.isPostgres() && !prepareEmbeddedFile(databasePath(), error)) {
        return false;
    }
    // Reached once, with the schema brought up to date, before any request is taken.
    if (!waitForDatabase(error)) {
        return false;
    }
    if (!m_log.open(m_config.accessLog)) {
        *error = QStringLiteral("cannot open the access log %1").arg(m_config.accessLog);
        return false;
    }
    if (m_config.classifyVisits) {
        // Compiled here, not on the first visit, which would wait a tenth of a second for it.
        builtInClassifier();
    }
    if (!startBlocklists(error)) {
        return false;
    }
    m_rateLimiter = std::make_unique<RateLimiter>(m_config.rateLimit);
    startHostLimit();
    m_pool = std::make_unique<StorePool>([this] { return makeStore(); },
        StorePoolOptions {m_config.storeConnections(), StoreQueueLimit, m_config.databaseRetry});
    m_shortener = std::make_unique<Shortener>(*m_pool,
        ShortenerOptions {m_config.cacheSize, m_config.cacheTtl, VisitFlushInterval, m_config.maxPendingVisits,
            m_config.recentVisitors, m_config.visitRetentionDays, m_config.httpThreadCount(),
            m_config.auditRetentionDays});
    m_shortener->setBlocklists(m_blocklists.get());
    startQuarantineSweep();
    m_routes = std::make_unique<Routes>(m_config, *m_shortener, *m_rateLimiter);
    m_routes->setMetricsPage([this](const Respond& respond) { serveMetrics(respond); });
    m_fastLane = std::make_unique<FastLane>(*m_routes, *m_shortener, m_config.classifyVisits);
    joinCluster();
    startChecks();
    m_http = std::make_unique<HttpThreads>(
        m_config.httpThreadCount(), m_config.limits, tls,
        [fastLane = m_fastLane.get()](int thread) { return fastLane->handlerFor(thread); }, m_log,
        m_config.trustedProxies);
    m_gate = m_http->gate();
    m_http->setRefusalReplies(&edgeRefusal);
    if (!m_gate->listen(m_config.listenAddress, m_config.port)) {
        *error = QStringLiteral("cannot listen on %1:%2: %3")
                     .arg(m_config.listenAddress.toString())
                     .arg(m_config.port)
                     .arg(m_gate->errorString());
        m_http.reset();
        m_gate = nullptr;
        return false;
    }
    // Addresses the machine gains or loses while the service runs lead back to it as well.
    watchMachineAddresses(m_gate);
    m_http->setRequestMetrics(m_config.metricsPort != 0 ? &routeLabel : nullptr);
    return m_config.metricsPort == 0 || startMetrics(error);
}

bool ShortdService::startBlocklists(QString* error)
{
    // Without the suffix list, a listed name could not be kept from its public suffix: a line
    // naming co.uk would stop everything under it.
    Result<PublicSuffixList> suffixes = PublicSuffixList::load();
    if (m_config.blocklists.isEmpty()) {
        // The service's own list (take-downs that blocked their destination) needs no option.
        if (suffixes) {
            m_blocklists = std::make_unique<BlocklistSet>(std::move(suffixes).value());
        } else {
            qWarning("nolvex-shortd: the local blocklist is not used: %s", qUtf8Printable(suffixes.fault().english));
        }
        return true;
    }
    if (!suffixes) {
        *error = QStringLiteral("the blocklists need the Public Suffix List: %1").arg(suffixes.fault().english);
        return false;
    }
    m_blocklists = std::make_unique<BlocklistSet>(std::move(suffixes).value());
    BlocklistFeedTiming timing;
    timing.refresh = std::chrono::minutes(m_config.blocklistRefreshMinutes);
    m_blocklistFeeds = std::make_unique<BlocklistFeeds>(
        *m_blocklists, m_config.blocklists, m_config.allowlist, savedBlocklistsFolder(m_config.dataDir), timing);
    m_blocklistFeeds->start();
    return true;
}

void ShortdService::startQuarantineSweep()
{
    if (!m_blocklists) {
        return;
    }
    m_quarantineSweep = std::make_unique<QuarantineSweep>(*m_pool, *m_blocklists);
    // Here at once; the other instances hear of it through the change log.
    QObject::connect(m_quarantineSweep.get(), &QuarantineSweep::quarantined, m_shortener.get(),
        [shortener = m_shortener.get()](const QStringList& codes) { shortener->forget(codes); });
    startLocalBlocks();
    if (!m_blocklistFeeds) {
        return;
    }
    QObject::connect(m_blocklistFeeds.get(), &BlocklistFeeds::reloaded, m_quarantineSweep.get(),
        [sweep = m_quarantineSweep.get()](const QString& name) {
            sweep->request(name.isEmpty() ? QStringLiteral("allowlist") : QStringLiteral("blocklist ") + name);
        });
    // The lists may have changed while the service was down.
    m_quarantineSweep->request(QStringLiteral("start"));
}

void ShortdService::startChecks()
{
    const CheckPace pace {m_config.checkPeriod, m_config.checkRate};
    if (!pace.enabled()) {
        return;
    }
    if (!m_blocklists) {
        qWarning("nolvex-shortd: destinations are not checked: the lists they are checked against are not loaded");
        return;
    }
    m_checks = std::make_unique<CheckScheduler>(*m_pool, pace,
        [lists = m_blocklists.get(), guard = AddressGuard(m_config.checkPrivate)](
            const DueLink& link, QObject* context, const CheckScheduler::Done& done) {
            auto* probe = new DestinationProbe(*lists, guard, {}, context);
            QObject::connect(probe, &DestinationProbe::finished, context, [probe, done](const ProbeAnswer& answer) {
                probe->deleteLater();
                done(checkResult(answer, QDateTime::currentSecsSinceEpoch()));
            });
            probe->start(link.target);
        });
    // Here at once; the other instances hear of it through the change log.
    QObject::connect(m_checks.get(), &CheckScheduler::quarantined, m_shortener.get(),
        [shortener = m_shortener.get()](const QStringList& codes) { shortener->forget(codes); });
    m_checkLease = std::make_unique<CheckLease>(m_config.database);
    QObject::connect(m_checkLease.get(), &CheckLease::changed, m_checks.get(),
        [checks = m_checks.get()](bool held) { checks->setRunning(held); });
    m_checkLease->start();
}

void ShortdService::startLocalBlocks()
{
    QObject::connect(&m_localBlocksTimer, &QTimer::timeout, &m_localBlocksTimer, [this] { readLocalBlocks(); });
    m_localBlocksTimer.start(LocalBlocksInterval);
    readLocalBlocks();
}

void ShortdService::readLocalBlocks()
{
    if (m_localBlocksInFlight) {
        return;
    }
    // The entries are read whole when their count or newest entry moved, and now and then anyway
    // (a removal and an addition within one second leave both as they were).
    const bool whole = !m_localBlocksVersion || ++m_localBlocksLooks >= LocalBlocksFullReadEvery;
    const std::optional<LocalBlocksVersion> known = m_localBlocksVersion;
    struct Read {
        std::optional<LocalBlocksVersion> version;
        std::optional<QList<LocalBlock>> blocks;
    };
    m_localBlocksInFlight = true; // before: a pool without workers answers at once
    const bool queued = m_pool->read<Read>(
        [whole, known](Store* store) {
            Read read;
            LocalBlocks* part = store ? store->localBlocks() : nullptr;
            if (!part) {
                return read;
            }
            read.version = part->blocksVersion();
            if (read.version && (whole || read.version != known)) {
                read.blocks = part->listBlocks();
            }
            return read;
        },
        [this](const Read& read) {
            m_localBlocksInFlight = false;
            if (!read.blocks || !m_quarantineSweep) {
                return; // unchanged, or the store failed: the copy in use stays until the next look
            }
            const QByteArray feed = localBlocksFeed(*read.blocks);
            m_localBlocksLooks = 0;
            m_localBlocksVersion = read.version;
            if (feed == m_localBlocksFeed) {
                return;
            }
            const bool listsSome = !read.blocks->isEmpty();
            m_localBlocksFeed = feed;
            m_blocklists->replace(QStringLiteral("local"), feed);
            if (listsSome) {
                m_quarantineSweep->request(QStringLiteral("blocklist local"));
            }
        });
    if (!queued) {
        m_localBlocksInFlight = false;
    }
}

bool ShortdService::startMetrics(QString* error)
{
    m_metricsLog.open(QStringLiteral("off"));
    m_metricsFrontEnd
        = std::make_unique<HttpFrontEnd>([this](const HttpRequest& request, qint64,
                                             const Respond& respond) { m_routes->handleMetrics(request, respond); },
            m_metricsLog);
    // A budget of its own: idle connections, however many, never keep a scrape out.
    FrontEndLimits limits;
    limits.maxConnections = MetricsConnections;
    limits.maxConnectionsPerClient = MetricsConnections;
    limits.headerTimeout = MetricsHeaderTimeout;
    limits.replaceIdleWhenFull = true;
    m_metricsGate = new ConnectionGate(limits, std::nullopt);
    m_metricsGate->setRefusalReplies([](int status, QByteArrayView) {
        return HttpReply {status, "text/plain; charset=utf-8", reasonPhrase(status).toByteArray() + '\n', {}};
    });
    if (!m_metricsGate->listen(m_config.metricsAddress, m_config.metricsPort)) {
        *error = QStringLiteral("cannot listen for metrics on %1:%2: %3")
                     .arg(m_config.metricsAddress.toString())
                     .arg(m_config.metricsPort)
                     .arg(m_metricsGate->errorString());
        delete m_metricsGate;
        m_metricsGate = nullptr;
        return false;
    }
    m_metricsFrontEnd->bind(m_metricsGate);
    return true;
}

void ShortdService::joinCluster()
{
    const DatabaseAddress address = m_config.database.isPostgres()
        ? m_config.database
        : DatabaseAddress::sqliteFile(databaseDescription(m_config.database, m_config.dataDir));
    m_cluster = std::make_unique<ClusterAgent>(address, ClusterAgentOptions {});
    Shortener* shortener = m_shortener.get();
    ClusterAgent* cluster = m_cluster.get();
    QObject::connect(cluster, &ClusterAgent::linksChanged, shortener,
        [shortener, cluster](const QStringList& codes, bool everything, qint64 upTo) {
            if (everything) {
                shortener->forgetAll();
            } else {
                shortener->forget(codes);
            }
            if (upTo > 0) {
                cluster->acknowledge(upTo);
            }
        });
    // One instance on the embedded file has no one to share its limits with.
    if (m_config.database.isPostgres()) {
        const auto wallClock = [] { return QDateTime::currentMSecsSinceEpoch(); };
        if (m_config.rateLimit > 0) {
            m_sharedLimit = std::make_unique<SharedLimit>(m_config.rateLimit);
            m_rateLimiter->shareWith(m_sharedLimit.get(), wallClock);
        }
        // Failed keys, as many a minute across the cluster as one instance allows.
        m_sharedKeyFailures = std::make_unique<SharedLimit>(AuthLimiter::FailuresAllowed);
        m_routes->api().authLimiter().shareWith(m_sharedKeyFailures.get(), wallClock);
        QObject::connect(cluster, &ClusterAgent::instancesCounted, &m_countsTimer, [this](int live) {
            for (SharedLimit* shared :
                {m_sharedLimit.get(), m_sharedKeyFailures.get(), m_hostLimit ? &m_hostLimit->shared() : nullptr}) {
                if (shared) {
                    shared->setInstances(live);
                }
            }
        });
        QObject::connect(&m_countsTimer, &QTimer::timeout, &m_countsTimer, [this] {
            if (m_sharedLimit) {
                exchangeCounts(*m_sharedLimit, m_countsInFlight);
            }
            exchangeCounts(*m_sharedKeyFailures, m_keyFailuresInFlight);
            if (m_hostLimit) {
                exchangeCounts(m_hostLimit->shared(), m_hostCountsInFlight);
            }
        });
        m_countsTimer.start(CountsInterval);
    }
    QObject::connect(
        cluster, &ClusterAgent::notificationReceived, shortener, [] { Metrics::countNotificationReceived(); });
    m_cluster->start();
}

void ShortdService::exchangeCounts(SharedLimit& limit, bool& inFlight)
{
    if (inFlight) {
        return;
    }
    const SharedLimit::Batch batch = limit.takeBatch(QDateTime::currentMSecsSinceEpoch());
    if (batch.clients.isEmpty()) {
        return;
    }
    inFlight = true;
    // Both live as long as the cluster agent, which drops its answers when it goes.
    m_cluster->exchangeCounts(batch.counts, batch.clients, batch.oldestSlot,
        [&limit, &inFlight, batch](const std::optional<QList<ClientCount>>& sums, int liveInstances) {
            inFlight = false;
            limit.settle(batch, sums, liveInstances);
        });
}

void ShortdService::serveMetrics(const Respond& respond)
{
    m_routes->checkReady([this, respond](const HttpReply& ready) {
        Metrics::Gauges gauges {m_shortener->cache().size(), m_pool->queued(), m_gate ? m_gate->liveConnections() : 0,
            m_shortener->pendingVisitCount(), ready.status == 200,
            m_blocklistFeeds ? m_blocklistFeeds->gauges() : QList<Metrics::BlocklistGauge> {}};
        if (m_checks) {
            for (auto it = m_checks->checksByOutcome().cbegin(); it != m_checks->checksByOutcome().cend(); ++it) {
                gauges.checks.append({it.key().toUtf8(), it.value()});
            }
            gauges.deadLinks = m_checks->deadLinks();
        }
        for (Metrics::BlocklistGauge& list : gauges.blocklists) {
            list.quarantined = m_quarantineSweep->quarantinedByList().value(QString::fromUtf8(list.name));
        }
        HttpReply reply {200, "text/plain; version=0.0.4; charset=utf-8",
            Metrics::service().render(gauges, m_config.releaseVersion), {}};
        reply.addHeader("Cache-Control", "no-store");
        respond(std::move(reply));
    });
}

void ShortdService::stop(std::function<void()> stopped)
{
    if (m_stopped || !m_http) {
        // Asked twice (a second Ctrl-C), or never started: no more waiting.
        m_stopTimer.stop();
        stopped();
        return;
    }
    m_stopped = std::move(stopped);
    m_stopDeadline.setRemainingTime(m_config.shutdownTimeout);
    m_routes->setStopping();
    m_http->stopAccepting();
    QObject::connect(&m_stopTimer, &QTimer::timeout, &m_stopTimer, [this] { continueStop(); });
    m_stopTimer.start(StopPollInterval);
    continueStop();
}

void ShortdService::continueStop()
{
    const bool late = m_stopDeadline.hasExpired();
    if (!late && (m_http->inFlight() > 0 || m_http->liveConnections() > 0)) {
        return;
    }
    // Every answer is out: the visits they counted are the last ones.
    m_shortener->flushVisits();
    if (!late && m_shortener->hasPendingVisits()) {
        return;
    }
    if (late) {
        qWarning("nolvex-shortd: stopping after %lld ms with %d requests unanswered and %lld visits unwritten",
            qint64(m_config.shutdownTimeout.count()), m_http->inFlight(), m_shortener->pendingVisitCount());
    }
    m_stopTimer.stop();
    m_stopped();
}

quint16 ShortdService::metricsPort() const
{
    return m_metricsGate ? m_metricsGate->serverPort() : 0;
}

quint16 ShortdService::serverPort() const
{
    return m_gate ? m_gate->serverPort() : 0;
}

} // namespace Shortd
