#include "config.h"

#include "links/addresspolicy.h"
#include "links/fields.h"
#include "version.h"

#include <QCommandLineParser>
#include <QStandardPaths>
#include <QThread>

namespace Shortd
{
namespace
{
int defaultHttpThreads()
{
    return std::max(1, QThread::idealThreadCount());
}

bool parseCount(const QString& text, int* value)
{
    bool ok = false;
    const int parsed = text.toInt(&ok);
    if (!ok || parsed < 0) {
        return false;
    }
    *value = parsed;
    return true;
}

// Seconds, with a fraction if wanted ("0.3"), from a millisecond up to an hour.
bool parseSeconds(const QString& text, std::chrono::milliseconds* value)
{
    bool ok = false;
    const double seconds = text.toDouble(&ok);
    if (!ok || !(seconds >= 0.001 && seconds <= 3600)) {
        return false;
    }
    *value = std::chrono::milliseconds(qRound64(seconds * 1000));
    return true;
}

// A span of time as a person writes it: "6h", "30m", "90s", "1.5d", or bare seconds; "0" for none.
// At most 30 days.
bool parseDuration(const QString& text, std::chrono::milliseconds* value)
{
    static constexpr std::pair<QChar, double> Units[] {{u's', 1}, {u'm', 60}, {u'h', 3600}, {u'd', 86400}};
    double scale = 1;
    QStringView number(text);
    for (const auto& [suffix, seconds] : Units) {
        if (number.endsWith(suffix)) {
            scale = seconds;
            number.chop(1);
            break;
        }
    }
    bool ok = false;
    const double total = number.toDouble(&ok) * scale;
    if (!ok || !(total >= 0 && total <= 30.0 * 86400)) {
        return false;
    }
    *value = std::chrono::milliseconds(qRound64(total * 1000));
    return true;
}

// "6h", "30m", "90s": the largest unit that states the value exactly.
QString durationText(std::chrono::milliseconds value)
{
    const qint64 ms = value.count();
    for (const auto& [unit, size] : {std::pair {u'd', 86'400'000LL}, {u'h', 3'600'000LL}, {u'm', 60'000LL}}) {
        if (ms > 0 && ms % size == 0) {
            return QString::number(ms / size) + unit;
        }
    }
    return QString::number(double(ms) / 1000) + u's';
}

bool isPrintable(const QString& text)
{
    return std::all_of(text.begin(), text.end(), [](QChar c) { return c.isPrint(); });
}

// The sid becomes a path segment of the release page address.
bool isPlainSid(const QString& sid)
{
    return sid.size() <= 32 && std::all_of(sid.begin(), sid.end(), [](QChar c) {
        return (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || c == u'-'
            || c == u'_';
    });
}

// Store connections when --database-connections leaves the choice to the store.
constexpr int PostgresConnections = 8;
// SQLite's writers take turns, but in WAL mode its readers never wait for them: with one connection a
// lookup of a link not in the cache waited behind the second's flush of visit counts.
constexpr int SqliteConnections = 4;

// The text --listen takes for an address and port: "127.0.0.1:8420", "[::1]:8420", ":8420".
QString listenText(const QHostAddress& address, quint16 port)
{
    QString host = address.toString();
    if (address == QHostAddress::Any) {
        host.clear();
    } else if (address.protocol() == QAbstractSocket::IPv6Protocol) {
        host = u'[' + host + u']';
    }
    return host + u':' + QString::number(port);
}

// The seconds an option of time takes ("10", "0.3").
QString secondsText(std::chrono::milliseconds value)
{
    return QString::number(double(value.count()) / 1000);
}

QString onOff(bool on)
{
    return on ? QStringLiteral("on") : QStringLiteral("off");
}

using Apply = bool (*)(const QString& text, ServiceConfig& config);
using Show = QString (*)(const ServiceConfig& config);
// Why a value is invalid, for options whose text must not be repeated (it may hold a password).
using Explain = QString (*)(const QString& text);

struct ServiceOption {
    const char* name; // the command-line option
    const char* environment;
    // The default's text as the option takes it, read from a default-constructed ServiceConfig (the
    // one place a default is set); nullptr for a default no value can name.
    Show shown;
    const char* valueName;
    // "%1" stands for the default; for choices, "CHOICE:" of the default is marked "(default)".
    const char* description;
    Apply apply; // false: the text is not a valid value
    bool repeats = false; // may be given more than once; blank-separated in the environment
    Explain explain = nullptr; // set: an invalid value is described, never shown
};

bool parseTrustedProxy(const QString& text, ServiceConfig& config)
{
    // A bare address is a subnet of one.
    const QString cidr
        = text.contains(u'/') ? text : text + (text.contains(u':') ? QStringLiteral("/128") : QStringLiteral("/32"));
    const std::pair<QHostAddress, int> subnet = QHostAddress::parseSubnet(cidr);
    if (subnet.second < 0) {
        return false;
    }
    config.trustedProxies.append(subnet);
    return true;
}

// A repeated name would leave one of the two lists unread; the service's own names are kept.
bool addBlocklist(const QString& text, ServiceConfig& config)
{
    const std::optional<BlocklistSource> source = parseBlocklistSource(text);
    if (!source || std::any_of(config.blocklists.cbegin(), config.blocklists.cend(), [&](const BlocklistSource& s) {
            return s.name == source->name;
        })) {
        return false;
    }
    config.blocklists.append(*source);
    return true;
}

// Every option of the service, in the order --help lists them.
constexpr ServiceOption Options[] = {
    {"listen", "NOLVEX_SHORTD_LISTEN",
        [](const ServiceConfig& config) { return listenText(config.listenAddress, config.port); }, "ADDR:PORT",
        "Address and port to listen on (default %1; :PORT for all addresses).",
        [](const QString& text, ServiceConfig& config) {
            return parseListen(text, &config.listenAddress, &config.port);
        }},
    {"data-dir", "NOLVEX_SHORTD_DATA_DIR", nullptr, "DIR",
        "Directory of the link database (default: the user's data folder/nolvex-shortd).",
        [](const QString& text, ServiceConfig& config) {
            config.dataDir = text;
            return true;
        }},
    {"link-base", "NOLVEX_SHORTD_LINK_BASE", nullptr, "TYPE=URL",
        "Public base of the short links of type TYPE (0-5); may repeat. Default: the service's own address; "
        "listening on every address, the Host a client used when it names this machine, else its first "
        "address that is not loopback. In the environment: several separated by blanks.",
        [](const QString& text, ServiceConfig& config) {
            int type = 0;
            QUrl base;
            if (!parseLinkBase(text, &type, &base)) {
                return false;
            }
            config.linkBases[static_cast<size_t>(type)] = base;
            return true;
        },
        true},
    {"release-version", "NOLVEX_SHORTD_RELEASE_VERSION", nullptr, "VERSION",
        "Release version the version check reports (default: this build's).",
        [](const QString& text, ServiceConfig& config) {
            config.releaseVersion = text;
            return text.size() <= 32 && isPrintable(text);
        }},
    {"release-sid", "NOLVEX_SHORTD_RELEASE_SID", [](const ServiceConfig& config) { return config.releaseSid; }, "SID",
        "Release page id the version check reports (default %1).",
        [](const QString& text, ServiceConfig& config) {
            config.releaseSid = text;
            return isPlainSid(text);
        }},
    {"release-must", "NOLVEX_SHORTD_RELEASE_MUST", [](const ServiceConfig& config) { return config.releaseMust; },
        "0|1", "Whether the reported release is a required update (default %1).",
        [](const QString& text, ServiceConfig& config) {
            config.releaseMust = text;
            return text == u"0" || text == u"1";
        }},
    {"rate-limit", "NOLVEX_SHORTD_RATE_LIMIT",
        [](const ServiceConfig& config) { return QString::number(config.rateLimit); }, "N",
        "Links a client may create a minute (default %1; 0 for no limit).",
        [](const QString& text, ServiceConfig& config) { return parseCount(text, &config.rateLimit); }},
    {"host-create-limit", "NOLVEX_SHORTD_HOST_CREATE_LIMIT",
        [](const ServiceConfig& config) { return QString::number(config.hostCreateLimit); }, "N",
        "New links one destination site may get an hour from anonymous creations, across the cluster "
        "(default %1; 0 for no limit; links made with a key are not counted).",
        [](const QString& text, ServiceConfig& config) { return parseCount(text, &config.hostCreateLimit); }},
    {"report-threshold", "NOLVEX_SHORTD_REPORT_THRESHOLD",
        [](const ServiceConfig& config) { return QString::number(config.reportThreshold); }, "N",
        "Different addresses whose reports of a link within a day quarantine it pending review "
        "(default %1; 0: reports never quarantine).",
        [](const QString& text, ServiceConfig& config) { return parseCount(text, &config.reportThreshold); }},
    {"open-shorten", "NOLVEX_SHORTD_OPEN_SHORTEN",
        [](const ServiceConfig& config) { return onOff(config.openShorten); }, "on|off",
        "on: anyone may create links with the client's protocol; off: it refuses every creation "
        "(lookups, redirects and the version check go on).",
        [](const QString& text, ServiceConfig& config) {
            config.openShorten = text == u"on";
            return text == u"on" || text == u"off";
        }},
    {"http-threads", "NOLVEX_SHORTD_HTTP_THREADS",
        [](const ServiceConfig&) { return QStringLiteral("the number of cores, here %1").arg(defaultHttpThreads()); },
        "N", "Threads that accept and serve connections, each with its own event loop (default %1).",
        [](const QString& text, ServiceConfig& config) {
            return parseCount(text, &config.httpThreads) && config.httpThreads > 0 && config.httpThreads <= 256;
        }},
    {"max-connections", "NOLVEX_SHORTD_MAX_CONNECTIONS",
        [](const ServiceConfig& config) { return QString::number(config.limits.maxConnections); }, "N",
        "Connections served at once; more are refused with 503 (default %1).",
        [](const QString& text, ServiceConfig& config) {
            return parseCount(text, &config.limits.maxConnections) && config.limits.maxConnections > 0;
        }},
    {"max-connections-per-client", "NOLVEX_SHORTD_MAX_CONNECTIONS_PER_CLIENT",
        [](const ServiceConfig& config) { return QString::number(config.limits.maxConnectionsPerClient); }, "N",
        "Connections one client address may hold at once; more are refused with 503 (default %1).",
        [](const QString& text, ServiceConfig& config) {
            return parseCount(text, &config.limits.maxConnectionsPerClient)
                && config.limits.maxConnectionsPerClient > 0;
        }},
    {"header-timeout", "NOLVEX_SHORTD_HEADER_TIMEOUT",
        [](const ServiceConfig& config) { return secondsText(config.limits.headerTimeout); }, "SECONDS",
        "A request whose line and headers are not all in this long after it began is dropped with its "
        "connection (default %1).",
        [](const QString& text, ServiceConfig& config) { return parseSeconds(text, &config.limits.headerTimeout); }},
    {"idle-timeout", "NOLVEX_SHORTD_IDLE_TIMEOUT",
        [](const ServiceConfig& config) { return secondsText(config.limits.idleTimeout); }, "SECONDS",
        "A connection that completes no request for this long is closed (default %1).",
        [](const QString& text, ServiceConfig& config) { return parseSeconds(text, &config.limits.idleTimeout); }},
    {"tls-cert", "NOLVEX_SHORTD_TLS_CERT", nullptr, "FILE", "PEM certificate; with --tls-key, serve HTTPS.",
        [](const QString& text, ServiceConfig& config) {
            config.tlsCertificate = text;
            return true;
        }},
    {"tls-key", "NOLVEX_SHORTD_TLS_KEY", nullptr, "FILE", "PEM private key for --tls-cert.",
        [](const QString& text, ServiceConfig& config) {
            config.tlsKey = text;
            return true;
        }},
    {"access-log", "NOLVEX_SHORTD_ACCESS_LOG", [](const ServiceConfig& config) { return config.accessLog; }, "FILE",
        "Where the access log goes: a file, - for standard output, off for none (default %1).",
        [](const QString& text, ServiceConfig& config) {
            config.accessLog = text;
            return true;
        }},
    {"qr-cache", "NOLVEX_SHORTD_QR_CACHE",
        [](const ServiceConfig& config) { return QString::number(config.qrCacheBytes >> 20); }, "MIB",
        "Memory kept for drawn QR images, in MiB (default %1; 0 draws every image anew).",
        [](const QString& text, ServiceConfig& config) {
            int mebibytes = 0;
            if (!parseCount(text, &mebibytes) || mebibytes > 1024) {
                return false;
            }
            config.qrCacheBytes = qsizetype(mebibytes) << 20;
            return true;
        }},
    {"sync", "NOLVEX_SHORTD_SYNC",
        [](const ServiceConfig& config) {
            return config.syncEachCommit ? QStringLiteral("full") : QStringLiteral("normal");
        },
        "normal|full",
        "normal: a created link survives a crash of the service; full: also a power loss "
        "(an fsync per link).",
        [](const QString& text, ServiceConfig& config) {
            config.syncEachCommit = text == u"full";
            return text == u"normal" || text == u"full";
        }},
    {"database", "NOLVEX_SHORTD_DATABASE", nullptr, "URL",
        "Where the links are: sqlite:PATH (default: links.sqlite in the data directory) or "
        "postgresql://[user[:password]@]host[:port]/dbname[?sslmode=...]; libpq's PGPASSWORD, ~/.pgpass and "
        "PGSSLMODE apply.",
        [](const QString& text, ServiceConfig& config) {
            QString error;
            const auto address = parseDatabaseAddress(text, &error);
            if (address) {
                config.database = *address;
            }
            return address.has_value();
        },
        false,
        [](const QString& text) {
            QString error;
            parseDatabaseAddress(text, &error);
            return error;
        }},
    {"database-connections", "NOLVEX_SHORTD_DATABASE_CONNECTIONS",
        [](const ServiceConfig&) {
            return QStringLiteral("%1 for PostgreSQL, %2 for SQLite").arg(PostgresConnections).arg(SqliteConnections);
        },
        "N", "Store connections, one per worker thread (default %1).",
        [](const QString& text, ServiceConfig& config) {
            return parseCount(text, &config.databaseConnections) && config.databaseConnections <= 256;
        }},
    {"database-wait", "NOLVEX_SHORTD_DATABASE_WAIT",
        [](const ServiceConfig& config) { return QString::number(config.databaseWaitSeconds); }, "SECONDS",
        "How long start-up waits for an unreachable database before giving up (default %1).",
        [](const QString& text, ServiceConfig& config) { return parseCount(text, &config.databaseWaitSeconds); }},
    {"database-retry", "NOLVEX_SHORTD_DATABASE_RETRY",
        [](const ServiceConfig& config) { return secondsText(config.databaseRetry); }, "SECONDS",
        "Longest pause between attempts to reach the database (default %1).",
        [](const QString& text, ServiceConfig& config) { return parseSeconds(text, &config.databaseRetry); }},
    {"cache-size", "NOLVEX_SHORTD_CACHE_SIZE",
        [](const ServiceConfig& config) { return QString::number(config.cacheSize); }, "N",
        "Links kept in memory; a full cache drops the least recently used (default %1; 0: none).",
        [](const QString& text, ServiceConfig& config) { return parseCount(text, &config.cacheSize); }},
    {"cache-ttl", "NOLVEX_SHORTD_CACHE_TTL", [](const ServiceConfig& config) { return secondsText(config.cacheTtl); },
        "SECONDS", "Age after which a cached link is read again from the database (default %1).",
        [](const QString& text, ServiceConfig& config) { return parseSeconds(text, &config.cacheTtl); }},
    {"max-pending-visits", "NOLVEX_SHORTD_MAX_PENDING_VISITS",
        [](const ServiceConfig& config) { return QString::number(config.maxPendingVisits); }, "N",
        "Links whose counted visits may wait for the database; while it is behind, visits to others "
        "are not counted (default %1).",
        [](const QString& text, ServiceConfig& config) {
            return parseCount(text, &config.maxPendingVisits) && config.maxPendingVisits > 0;
        }},
    {"recent-visitors", "NOLVEX_SHORTD_RECENT_VISITORS",
        [](const ServiceConfig& config) { return QString::number(config.recentVisitors); }, "N",
        "Clients remembered to tell a person's repeat visit within the hour from a new one; when full, the "
        "oldest is forgotten (default %1).",
        [](const QString& text, ServiceConfig& config) {
            return parseCount(text, &config.recentVisitors) && config.recentVisitors > 0;
        }},
    {"metrics-listen", "NOLVEX_SHORTD_METRICS_LISTEN", nullptr, "ADDR:PORT",
        "Serve Prometheus metrics at /metrics on this address and port, apart from --listen (default: off; "
        ":PORT for every address).",
        [](const QString& text, ServiceConfig& config) {
            return parseListen(text, &config.metricsAddress, &config.metricsPort);
        }},
    {"shutdown-timeout", "NOLVEX_SHORTD_SHUTDOWN_TIMEOUT",
        [](const ServiceConfig& config) { return secondsText(config.shutdownTimeout); }, "SECONDS",
        "On SIGTERM or SIGINT, how long requests in flight may take before the service ends (default %1).",
        [](const QString& text, ServiceConfig& config) { return parseSeconds(text, &config.shutdownTimeout); }},
    {"visit-retention", "NOLVEX_SHORTD_VISIT_RETENTION",
        [](const ServiceConfig& config) { return QString::number(config.visitRetentionDays); }, "DAYS",
        "Days the hourly and daily visit counters are kept (default %1; 0 for ever).",
        [](const QString& text, ServiceConfig& config) { return parseCount(text, &config.visitRetentionDays); }},
    {"audit-retention", "NOLVEX_SHORTD_AUDIT_RETENTION",
        [](const ServiceConfig& config) { return QString::number(config.auditRetentionDays); }, "DAYS",
        "Days the audit log keeps its records, older ones removed from the front once a day (default %1; 0 "
        "for ever).",
        [](const QString& text, ServiceConfig& config) { return parseCount(text, &config.auditRetentionDays); }},
    {"visit-classes", "NOLVEX_SHORTD_VISIT_CLASSES",
        [](const ServiceConfig& config) { return onOff(config.classifyVisits); }, "on|off",
        "on: visits are told apart as people, bots and link previews by their user agent, and only "
        "people's use up a visit limit; off: every GET counts as a person's.",
        [](const QString& text, ServiceConfig& config) {
            config.classifyVisits = text == u"on";
            return text == u"on" || text == u"off";
        }},
    {"trusted-proxy", "NOLVEX_SHORTD_TRUSTED_PROXY", nullptr, "CIDR",
        "A reverse proxy whose X-Forwarded-For names the client (e.g. 10.0.0.0/8); may repeat. "
        "In the environment: several separated by blanks.",
        parseTrustedProxy, true},
    {"blocklist", "NOLVEX_SHORTD_BLOCKLIST", nullptr, "NAME=SOURCE",
        "A list of destinations never shortened: a file, read again when it changes, or an http(s) address, "
        "fetched every --blocklist-refresh; NAME is letters, digits, - and _ (not local or reports); may repeat. "
        "In the environment: several separated by blanks.",
        addBlocklist, true},
    {"allowlist", "NOLVEX_SHORTD_ALLOWLIST", nullptr, "FILE",
        "A file of hosts (and the names under them) that no --blocklist stops.",
        [](const QString& text, ServiceConfig& config) {
            config.allowlist = text;
            return true;
        }},
    {"blocklist-refresh", "NOLVEX_SHORTD_BLOCKLIST_REFRESH",
        [](const ServiceConfig& config) { return QString::number(config.blocklistRefreshMinutes); }, "MINUTES",
        "How often a --blocklist at an http(s) address is fetched again (default %1).",
        [](const QString& text, ServiceConfig& config) {
            return parseCount(text, &config.blocklistRefreshMinutes) && config.blocklistRefreshMinutes > 0
                && config.blocklistRefreshMinutes <= 7 * 24 * 60;
        }},
    {"check-private", "NOLVEX_SHORTD_CHECK_PRIVATE",
        [](const ServiceConfig& config) { return onOff(config.checkPrivate); }, "on|off",
        "For a lab only. on: checks of destinations may reach private, loopback and link-local addresses; "
        "off: they are refused.",
        [](const QString& text, ServiceConfig& config) {
            config.checkPrivate = text == u"on";
            return text == u"on" || text == u"off";
        }},
    {"check-period", "NOLVEX_SHORTD_CHECK_PERIOD",
        [](const ServiceConfig& config) { return durationText(config.checkPeriod); }, "DURATION",
        "How often the destination of a link visited in the last day is checked again, e.g. 6h, 30m, 90s; "
        "other links every four periods, and the checks spread evenly over the period (default %1; 0: no checks).",
        [](const QString& text, ServiceConfig& config) { return parseDuration(text, &config.checkPeriod); }},
    {"check-rate", "NOLVEX_SHORTD_CHECK_RATE",
        [](const ServiceConfig& config) { return QString::number(config.checkRate); }, "N",
        "Destination checks a second at most, across the cluster, and never more than one a host per 10 s "
        "(default %1; 0: no checks).",
        [](const QString& text, ServiceConfig& config) {
            bool ok = false;
            config.checkRate = text.toDouble(&ok);
            return ok && config.checkRate >= 0 && config.checkRate <= 1000;
        }},
};

// The option's help, stating the default that a default-constructed ServiceConfig holds.
QString describe(const ServiceOption& option, const ServiceConfig& defaults)
{
    QString description = QString::fromLatin1(option.description);
    if (!option.shown) {
        return description;
    }
    const QString shown = option.shown(defaults);
    if (description.contains(u"%1")) {
        return description.arg(shown);
    }
    // Among choices ("on: ...; off: ..."), the default's own clause says so.
    const QString clause = shown + u':';
    const qsizetype at = description.startsWith(clause) ? 0 : description.indexOf(u"; " + clause);
    if (at < 0) {
        return description;
    }
    const qsizetype end = description.indexOf(u':', at);
    return description.first(end) + QStringLiteral(" (default)") + description.sliced(end);
}

// The values an option takes: from the command line, else the environment; none leaves the
// ServiceConfig default.
QStringList valuesOf(
    const ServiceOption& option, const QCommandLineParser& parser, const QProcessEnvironment& environment)
{
    const QString name = QString::fromLatin1(option.name);
    if (parser.isSet(name)) {
        return parser.values(name);
    }
    if (const QString fromEnvironment = environment.value(QString::fromLatin1(option.environment));
        !fromEnvironment.isEmpty()) {
        return option.repeats ? fromEnvironment.split(u' ', Qt::SkipEmptyParts) : QStringList {fromEnvironment};
    }
    return {};
}
// Applies every option's values in table order; the error names the first bad one.
QString applyOptions(const QCommandLineParser& parser, const QProcessEnvironment& environment, ServiceConfig& config)
{
    for (const ServiceOption& option : Options) {
        QStringList values = valuesOf(option, parser, environment);
        if (!option.repeats && values.size() > 1) {
            values = QStringList {values.constLast()};
        }
        for (const QString& text : std::as_const(values)) {
            // An empty value is no value: the default stays.
            if (!text.isEmpty() && !option.apply(text, config)) {
                return QStringLiteral("invalid --%1: %2")
                    .arg(QString::fromLatin1(option.name), option.explain ? option.explain(text) : text);
            }
        }
    }
    return {};
}
} // namespace

QUrl ServiceConfig::ownOrigin() const
{
    QUrl origin;
    origin.setScheme(usesTls() ? QStringLiteral("https") : QStringLiteral("http"));
    QHostAddress host = listenAddress;
    if (host == QHostAddress::Any || host == QHostAddress::AnyIPv4) {
        host = QHostAddress::LocalHost;
    } else if (host == QHostAddress::AnyIPv6) {
        host = QHostAddress::LocalHostIPv6;
    }
    origin.setHost(host.toString());
    origin.setPort(port);
    return origin;
}

QList<QUrl> ServiceConfig::ownBases() const
{
    QList<QUrl> bases;
    for (const QUrl& base : linkBases) {
        if (!base.isEmpty()) {
            bases.append(base);
        }
    }
    const QUrl origin = ownOrigin();
    bases.append(origin);
    if (listenAddress.isLoopback() || listenAddress == QHostAddress::Any || listenAddress == QHostAddress::AnyIPv4
        || listenAddress == QHostAddress::AnyIPv6) {
        for (const char* alias : {"localhost", "127.0.0.1", "::1"}) {
            QUrl aliased = origin;
            aliased.setHost(QString::fromLatin1(alias));
            bases.append(aliased);
        }
    }
    return bases;
}

bool parseListen(QStringView text, QHostAddress* address, quint16* port)
{
    const qsizetype colon = text.lastIndexOf(u':');
    if (colon < 0) {
        return false;
    }
    QStringView host = text.first(colon);
    bool ok = false;
    const uint number = text.sliced(colon + 1).toUInt(&ok);
    if (!ok || number == 0 || number > 65535) {
        return false;
    }
    QHostAddress parsed = QHostAddress::Any;
    if (!host.isEmpty()) {
        if (host.startsWith(u'[') && host.endsWith(u']')) {
            host = host.sliced(1, host.size() - 2);
        }
        if (host == u"localhost") {
            parsed = QHostAddress::LocalHost;
        } else if (!parsed.setAddress(host.toString())) {
            return false;
        }
    }
    *address = parsed;
    *port = static_cast<quint16>(number);
    return true;
}

QString listenUrl(const QHostAddress& address, quint16 port)
{
    QUrl url;
    url.setScheme(QStringLiteral("http"));
    url.setHost(address.toString()); // an IPv6 address gets its brackets here
    url.setPort(port);
    return url.toString();
}

bool parseLinkBase(QStringView text, int* type, QUrl* base)
{
    const qsizetype equals = text.indexOf(u'=');
    if (equals < 0) {
        return false;
    }
    const auto parsedType = parseLinkType(text.first(equals));
    const QStringView address = text.sliced(equals + 1);
    if (!parsedType || checkAddress(address, {}) != AddressProblem::None) {
        return false;
    }
    QUrl url(address.toString(), QUrl::StrictMode);
    if (!url.isValid() || url.hasQuery() || url.hasFragment() || !url.userInfo().isEmpty()) {
        return false;
    }
    QString path = url.path();
    while (path.endsWith(u'/')) {
        path.chop(1);
    }
    url.setPath(path);
    *type = *parsedType;
    *base = url;
    return true;
}

int ServiceConfig::httpThreadCount() const
{
    return httpThreads > 0 ? httpThreads : defaultHttpThreads();
}

int ServiceConfig::storeConnections() const
{
    if (databaseConnections > 0) {
        return databaseConnections;
    }
    return database.isPostgres() ? PostgresConnections : SqliteConnections;
}

ConfigResult parseConfig(const QStringList& arguments, const QProcessEnvironment& environment)
{
    ConfigResult result;
    ServiceConfig& config = result.config;
    config.releaseVersion = Nolvex::Protocol::CurrentVersion.toString();
    config.dataDir
        = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + QStringLiteral("/nolvex-shortd");

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("nolvex-shortd: the link shortening service of Nolvex.\n"
                       "Every option can also be given as an environment variable NOLVEX_SHORTD_<OPTION>, e.g. "
                       "NOLVEX_SHORTD_RATE_LIMIT=0; the command line wins.\n"
                       "Operator commands on the same database: nolvex-shortd links COMMAND, nolvex-shortd keys "
                       "COMMAND, nolvex-shortd blocks COMMAND, nolvex-shortd reports COMMAND, nolvex-shortd audit "
                       "COMMAND and nolvex-shortd stats; nolvex-shortd links --help, keys --help, blocks --help, "
                       "reports --help and audit --help list the commands."));
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption versionOption(QStringList {QStringLiteral("v"), QStringLiteral("version")},
        QStringLiteral("Displays the version of this build."));
    parser.addOption(versionOption);
    const ServiceConfig defaults;
    for (const ServiceOption& option : Options) {
        parser.addOption(QCommandLineOption(
            QString::fromLatin1(option.name), describe(option, defaults), QString::fromLatin1(option.valueName)));
    }
    if (!parser.parse(arguments)) {
        result.error = parser.errorText();
        return result;
    }
    if (parser.isSet(help) || parser.isSet(QStringLiteral("help-all"))) {
        result.helpRequested = true;
        result.helpText = parser.helpText();
        return result;
    }
    if (parser.isSet(versionOption)) {
        result.helpRequested = true;
        result.helpText = QStringLiteral("nolvex-shortd ") % Nolvex::Protocol::CurrentVersion.toString() % u'\n';
        return result;
    }
    if (!parser.positionalArguments().isEmpty()) {
        result.error = QStringLiteral("unexpected argument: %1").arg(parser.positionalArguments().constFirst());
        return result;
    }

    if (const QString error = applyOptions(parser, environment, config); !error.isEmpty()) {
        result.error = error;
        return result;
    }
    if (config.tlsCertificate.isEmpty() != config.tlsKey.isEmpty()) {
        result.error = QStringLiteral("--tls-cert and --tls-key go together");
    }
    if (config.metricsPort != 0 && config.metricsPort == config.port
        && (config.metricsAddress == config.listenAddress || config.metricsAddress == QHostAddress::Any
            || config.listenAddress == QHostAddress::Any)) {
        result.error = QStringLiteral("--metrics-listen must differ from --listen: metrics are never public");
    }
    return result;
}

} // namespace Shortd
