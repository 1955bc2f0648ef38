#include "shortdservice.h"

#include "http/connectiongate.h"
#include "http/frontend.h"
#include "links/ratelimiter.h"
#include "links/shortener.h"
#include "routes.h"
#include "store/sqlitelinkstore.h"

#include <QDir>
#include <QFile>
#include <QSslCertificate>
#include <QSslKey>

namespace Shortd
{
namespace
{
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
    // Stop taking requests before the parts they use go away; the shortener writes pending visits.
    m_frontEnd.reset();
    m_routes.reset();
    m_shortener.reset();
    m_store.reset();
}

QString ShortdService::databasePath() const
{
    return QDir(m_config.dataDir).filePath(QStringLiteral("links.sqlite"));
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
    if (!QDir().mkpath(m_config.dataDir)) {
        *error = QStringLiteral("cannot create the data directory %1").arg(m_config.dataDir);
        return false;
    }
    QFile::setPermissions(m_config.dataDir, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);

    m_store = std::make_unique<SqliteLinkStore>(databasePath(), m_config.syncEachCommit);
    if (!m_store->open()) {
        *error = QStringLiteral("cannot open %1: %2").arg(databasePath(), m_store->lastError());
        return false;
    }
    if (!m_log.open(m_config.accessLog)) {
        *error = QStringLiteral("cannot open the access log %1").arg(m_config.accessLog);
        return false;
    }
    m_rateLimiter = std::make_unique<RateLimiter>(m_config.rateLimit);
    m_shortener = std::make_unique<Shortener>(*m_store);
    m_routes = std::make_unique<Routes>(m_config, *m_shortener, *m_store, *m_rateLimiter);
    m_frontEnd = std::make_unique<HttpFrontEnd>(
        [routes = m_routes.get()](const HttpRequest& request, qint64 nowMs) { return routes->handle(request, nowMs); },
        m_log);
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
