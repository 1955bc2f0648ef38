#pragma once

#include "http/limits.h"
#include "links/blocklistsources.h"
#include "links/reports.h"
#include "protocol.h"
#include "store/databaseaddress.h"

#include <QHostAddress>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <array>
#include <chrono>

namespace Shortd
{

struct ServiceConfig {
    QHostAddress listenAddress = QHostAddress::LocalHost;
    quint16 port = 8420;
    QString dataDir;
    // The public base of the links of each type; an empty one means the service's own address.
    std::array<QUrl, Nolvex::Protocol::LinkTypeCount> linkBases;
    QString releaseVersion;
    QString releaseSid = QStringLiteral("1");
    QString releaseMust = QStringLiteral("0");
    int rateLimit = 60;
    // New anonymous links a destination site may get an hour, across the cluster (0: no limit).
    int hostCreateLimit = 100;
    // Different addresses whose reports of a link within a day quarantine it (0: never).
    int reportThreshold = DefaultReportThreshold;
    // Threads serving HTTP, each with its own event loop; 0 picks one per core (see httpThreadCount()).
    int httpThreads = 0;
    // Whether anyone may create links through the client's protocol; off, it refuses every creation.
    bool openShorten = true;
    QString tlsCertificate;
    QString tlsKey;
    FrontEndLimits limits;
    QString accessLog = QStringLiteral("-");
    bool syncEachCommit = false;
    qsizetype qrCacheBytes = qsizetype(8) << 20; // drawn QR images kept, by size in bytes
    // Where the links are; the embedded SQLite file unless --database says otherwise.
    DatabaseAddress database;
    // Store connections, one per worker thread; 0 picks the store's default (see storeConnections()).
    int databaseConnections = 0;
    int databaseWaitSeconds = 30; // how long start-up waits for the database
    std::chrono::milliseconds databaseRetry {1000}; // the longest pause between attempts to reach it
    int cacheSize = 100'000;
    std::chrono::milliseconds cacheTtl {5000};
    int maxPendingVisits = 100'000; // links whose counted visits wait for the database
    int recentVisitors = 200'000; // clients remembered to tell a person's repeat visit within the hour
    // Where /metrics is served, apart from the public listener; port 0: not at all.
    QHostAddress metricsAddress = QHostAddress::LocalHost;
    quint16 metricsPort = 0;
    // How long a stop waits for the requests in flight before it ends them.
    std::chrono::milliseconds shutdownTimeout {10'000};
    int visitRetentionDays = 400; // hourly and daily visit counters kept; 0 for ever
    int auditRetentionDays = 0; // audit records kept; 0 for ever
    // Whether visits are told apart as people, bots and link previews; off, every GET is a person.
    bool classifyVisits = true;
    // Peers whose X-Forwarded-For is believed: address and prefix length.
    QList<std::pair<QHostAddress, int>> trustedProxies;
    // The operator's lists of destinations never shortened, in the order they are asked; and the
    // file of hosts none of them stops (empty: none).
    QList<BlocklistSource> blocklists;
    QString allowlist;
    int blocklistRefreshMinutes = 30; // how often a list at an http(s) address is fetched again
    // Whether a check of a destination may reach private, loopback and link-local addresses: for a
    // lab, whose test servers live there; never for a service on a network of its own.
    bool checkPrivate = false;
    // How often destinations are checked again (a link not visited in the last day every four
    // periods), and how many checks a second at most; either 0 turns the checks off.
    std::chrono::milliseconds checkPeriod {std::chrono::hours(6)};
    double checkRate = 5;

    bool usesTls() const { return !tlsCertificate.isEmpty(); }
    // httpThreads, else one per core.
    int httpThreadCount() const;
    // databaseConnections, else the store's own choice: several for PostgreSQL, one for SQLite.
    int storeConnections() const;
    // How this service is reached when no base is configured, e.g. "http://127.0.0.1:8420".
    QUrl ownOrigin() const;
    // Every base under which an address leads back to this service whatever Host a request
    // names: the configured link bases, the own origin, and on a loopback or wildcard listener
    // its localhost aliases. An address under any of them would be a link to a link.
    QList<QUrl> ownBases() const;
};

struct ConfigResult {
    ServiceConfig config;
    QString error; // empty when the configuration is usable
    bool helpRequested = false; // --help or --version: print helpText, exit 0
    QString helpText;
};

// Options come from the command line, then from NOLVEX_SHORTD_* variables for those not given; the
// rest keep ServiceConfig's defaults, which --help states.
ConfigResult parseConfig(const QStringList& arguments, const QProcessEnvironment& environment);

// "127.0.0.1:8420", "[::1]:8420", "0.0.0.0:80", or ":8420" for every address.
bool parseListen(QStringView text, QHostAddress* address, quint16* port);
// "http://127.0.0.1:8420", "http://[::1]:8420": where a listener is, for a person to read.
QString listenUrl(const QHostAddress& address, quint16 port);
// "3=https://s.example/x" gives type 3 and its base; the base must be an absolute http(s) address
// with a host and without query or fragment.
bool parseLinkBase(QStringView text, int* type, QUrl* base);

} // namespace Shortd
