#include "config.h"

#include "links/validation.h"
#include "version.h"

#include <QCommandLineParser>
#include <QStandardPaths>

namespace Shortd
{
namespace
{
constexpr auto EnvPrefix = QLatin1StringView("NOLVEX_SHORTD_");

struct OptionText {
    const char* name;
    const char* valueName;
    const char* description;
};

constexpr OptionText Options[] = {
    {"listen", "ADDR:PORT", "Address and port to listen on (default 127.0.0.1:8420; :PORT for all addresses)."},
    {"data-dir", "DIR", "Directory of the link database (default: the user's data folder/nolvex-shortd)."},
    {"link-base", "TYPE=URL",
        "Public base of the short links of type TYPE (0-5); may repeat. Default: the service's own address. "
        "In the environment: several separated by blanks."},
    {"release-version", "VERSION", "Release version the version check reports (default: this build's)."},
    {"release-sid", "SID", "Release page id the version check reports (default 1)."},
    {"release-must", "0|1", "Whether the reported release is a required update (default 0)."},
    {"rate-limit", "N", "Links a client may create a minute (default 60; 0 for no limit)."},
    {"max-connections", "N", "Connections served at once; more are refused with 503 (default 512)."},
    {"tls-cert", "FILE", "PEM certificate; with --tls-key, serve HTTPS."},
    {"tls-key", "FILE", "PEM private key for --tls-cert."},
    {"access-log", "FILE", "Where the access log goes: a file, - for standard output (default), off for none."},
    {"sync", "normal|full",
        "normal (default): a created link survives a crash of the service; full: also a power loss "
        "(an fsync per link)."},
};

QString envName(const char* option)
{
    return EnvPrefix % QString::fromLatin1(option).toUpper().replace(u'-', u'_');
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

ConfigResult parseConfig(const QStringList& arguments, const QProcessEnvironment& environment)
{
    ConfigResult result;
    ServiceConfig& config = result.config;
    config.releaseVersion = Nolvex::Protocol::CurrentVersion.toString();

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("nolvex-shortd: the link shortening service of Nolvex.\n"
                       "Every option can also be given as an environment variable NOLVEX_SHORTD_<OPTION>, e.g. "
                       "NOLVEX_SHORTD_RATE_LIMIT=0; the command line wins."));
    const QCommandLineOption help = parser.addHelpOption();
    for (const OptionText& text : Options) {
        parser.addOption(QCommandLineOption(QString::fromLatin1(text.name), QString::fromLatin1(text.description),
            QString::fromLatin1(text.valueName)));
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
    if (!parser.positionalArguments().isEmpty()) {
        result.error = QStringLiteral("unexpected argument: %1").arg(parser.positionalArguments().constFirst());
        return result;
    }

    const auto values = [&](const char* name) -> QStringList {
        const QString option = QString::fromLatin1(name);
        if (parser.isSet(option)) {
            return parser.values(option);
        }
        const QString fromEnv = environment.value(envName(name));
        if (fromEnv.isEmpty()) {
            return {};
        }
        if (option == QLatin1StringView("link-base")) {
            return fromEnv.split(u' ', Qt::SkipEmptyParts);
        }
        return {fromEnv};
    };
    const auto value = [&](const char* name) -> QString {
        const QStringList all = values(name);
        return all.isEmpty() ? QString() : all.constLast();
    };
    const auto bad = [&](const char* name, const QString& text) {
        result.error = QStringLiteral("invalid --%1: %2").arg(QString::fromLatin1(name), text);
        return result;
    };

    if (const QString listen = value("listen");
        !listen.isEmpty() && !parseListen(listen, &config.listenAddress, &config.port)) {
        return bad("listen", listen);
    }
    config.dataDir = value("data-dir");
    if (config.dataDir.isEmpty()) {
        config.dataDir
            = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + QStringLiteral("/nolvex-shortd");
    }
    for (const QString& text : values("link-base")) {
        int type = 0;
        QUrl base;
        if (!parseLinkBase(text, &type, &base)) {
            return bad("link-base", text);
        }
        config.linkBases[static_cast<size_t>(type)] = base;
    }
    if (const QString version = value("release-version"); !version.isEmpty()) {
        if (version.size() > 32 || std::any_of(version.begin(), version.end(), [](QChar c) { return !c.isPrint(); })) {
            return bad("release-version", version);
        }
        config.releaseVersion = version;
    }
    if (const QString sid = value("release-sid"); !sid.isEmpty()) {
        // The sid becomes a path segment of the release page address.
        const bool plain = sid.size() <= 32 && std::all_of(sid.begin(), sid.end(), [](QChar c) {
            return (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || c == u'-'
                || c == u'_';
        });
        if (!plain) {
            return bad("release-sid", sid);
        }
        config.releaseSid = sid;
    }
    if (const QString must = value("release-must"); !must.isEmpty()) {
        if (must != u"0" && must != u"1") {
            return bad("release-must", must);
        }
        config.releaseMust = must;
    }
    if (const QString limit = value("rate-limit"); !limit.isEmpty() && !parseCount(limit, &config.rateLimit)) {
        return bad("rate-limit", limit);
    }
    if (const QString limit = value("max-connections");
        !limit.isEmpty() && (!parseCount(limit, &config.maxConnections) || config.maxConnections == 0)) {
        return bad("max-connections", limit);
    }
    config.tlsCertificate = value("tls-cert");
    config.tlsKey = value("tls-key");
    if (config.tlsCertificate.isEmpty() != config.tlsKey.isEmpty()) {
        result.error = QStringLiteral("--tls-cert and --tls-key go together");
        return result;
    }
    if (const QString log = value("access-log"); !log.isEmpty()) {
        config.accessLog = log;
    }
    if (const QString sync = value("sync"); !sync.isEmpty()) {
        if (sync != u"normal" && sync != u"full") {
            return bad("sync", sync);
        }
        config.syncEachCommit = sync == u"full";
    }
    return result;
}

} // namespace Shortd
