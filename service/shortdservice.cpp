#include "shortdservice.h"

#include "http/connectiongate.h"
#include "http/frontend.h"
#include "links/ratelimiter.h"
#include "links/shortener.h"
#include "routes.h"
#include "store/storeopening.h"
#include "store/storepool.h"

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
    m_frontEnd.reset();
    m_shortener.reset();
    m_pool.reset();
    m_routes.reset();
}

QString ShortdService::databasePath() const
{
    return databaseDescription(m_config.database, m_config.dataDir);
}

std::unique_ptr<LinkStore> ShortdService::makeStore() const
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
        const std::unique_ptr<LinkStore> store = makeStore();
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
    m_rateLimiter = std::make_unique<RateLimiter>(m_config.rateLimit);
    m_pool = std::make_unique<StorePool>([this] { return makeStore(); },
        StorePoolOptions {m_config.storeConnections(), StoreQueueLimit, m_config.databaseRetry});
    m_shortener = std::make_unique<Shortener>(*m_pool,
        ShortenerOptions {m_config.cacheSize, m_config.cacheTtl, VisitFlushInterval, m_config.maxPendingVisits,
            ShortenerOptions {}.maxRecentVisitors, m_config.visitRetentionDays});
    m_routes = std::make_unique<Routes>(m_config, *m_shortener, *m_rateLimiter);
    m_frontEnd
        = std::make_unique<HttpFrontEnd>([routes = m_routes.get()](const HttpRequest& request, qint64 nowMs,
                                             const Respond& respond) { routes->handle(request, nowMs, respond); },
            m_log, m_config.trustedProxies);
    m_gate = new ConnectionGate(m_config.limits, tls);
    if (!m_gate->listen(m_config.listenAddress, m_config.port)) {
        *error = QStringLiteral("cannot listen on %1:%2: %3")
                     .arg(m_config.listenAddress.toString())
                     .arg(m_config.port)
                     .arg(m_gate->errorString());
        delete m_gate;
        m_gate = nullptr;
        return false;
    }
    m_frontEnd->bind(m_gate);
    return true;
}

quint16 ShortdService::serverPort() const
{
    return m_gate ? m_gate->serverPort() : 0;
}

} // namespace Shortd
