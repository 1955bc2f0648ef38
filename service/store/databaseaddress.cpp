#include "store/databaseaddress.h"

#include <QUrl>
#include <QUrlQuery>

namespace Shortd
{
namespace
{
// The libpq parameters an address may carry besides host; the rest of the address says the others.
constexpr QLatin1StringView PassedOptions[] = {
    QLatin1StringView("sslmode"),
    QLatin1StringView("sslrootcert"),
    QLatin1StringView("sslcert"),
    QLatin1StringView("sslkey"),
    QLatin1StringView("sslcrl"),
    QLatin1StringView("connect_timeout"),
    QLatin1StringView("application_name"),
    QLatin1StringView("target_session_attrs"),
    QLatin1StringView("keepalives_idle"),
    QLatin1StringView("keepalives_interval"),
    QLatin1StringView("keepalives_count"),
};

// A server that does not answer must not hold a worker for libpq's default of forever.
constexpr auto DefaultConnectTimeout = QLatin1StringView("connect_timeout=5");

bool plainOptionValue(const QString& value)
{
    // The driver joins the options into one connection string; quoting stays out of it.
    return !value.isEmpty() && std::none_of(value.begin(), value.end(), [](QChar c) {
        return c.isSpace() || c == u'\'' || c == u'\\' || c == u';';
    });
}
} // namespace

DatabaseAddress DatabaseAddress::sqliteFile(QString path)
{
    DatabaseAddress address;
    address.sqlitePath = std::move(path);
    return address;
}

QString DatabaseAddress::display() const
{
    if (kind == Kind::Sqlite) {
        return QStringLiteral("sqlite:") + sqlitePath;
    }
    QString text = QStringLiteral("postgresql://");
    if (!user.isEmpty()) {
        text += QString::fromUtf8(QUrl::toPercentEncoding(user)) + u'@';
    }
    if (!host.startsWith(u'/')) {
        text += host.contains(u':') ? u'[' + host + u']' : host;
        if (port > 0) {
            text += u':' + QString::number(port);
        }
    }
    text += u'/' + database;
    if (host.startsWith(u'/')) {
        text += QStringLiteral("?host=") + host;
    }
    return text;
}

std::optional<DatabaseAddress> parseDatabaseAddress(QStringView text, QString* error)
{
    DatabaseAddress address;
    if (text.isEmpty()) {
        return address;
    }
    if (text.startsWith(u"sqlite:")) {
        address.sqlitePath = text.sliced(7).toString();
        if (address.sqlitePath.isEmpty()) {
            *error = QStringLiteral("sqlite: needs a file path");
            return std::nullopt;
        }
        return address;
    }
    if (!text.startsWith(u"postgresql://") && !text.startsWith(u"postgres://")) {
        *error = QStringLiteral("a database address starts with sqlite: or postgresql://");
        return std::nullopt;
    }
    const QUrl url(text.toString(), QUrl::StrictMode);
    // QUrl's own message would quote the address, password and all.
    if (!url.isValid()) {
        *error = QStringLiteral("the PostgreSQL address is not a valid URL");
        return std::nullopt;
    }
    address.kind = DatabaseAddress::Kind::Postgres;
    address.user = url.userName(QUrl::FullyDecoded);
    address.password = url.password(QUrl::FullyDecoded);
    address.host = url.host(QUrl::FullyDecoded);
    address.port = url.port(-1);
    address.database = url.path(QUrl::FullyDecoded).sliced(std::min<qsizetype>(1, url.path().size()));
    if (address.database.isEmpty() || address.database.contains(u'/')) {
        *error = QStringLiteral("the PostgreSQL address names no database (postgresql://host/dbname)");
        return std::nullopt;
    }
    QStringList options;
    bool timeoutGiven = false;
    const QUrlQuery query(url);
    for (const auto& [key, value] : query.queryItems(QUrl::FullyDecoded)) {
        if (key == u"host") {
            if (!address.host.isEmpty()) {
                *error = QStringLiteral("the PostgreSQL address gives its host twice");
                return std::nullopt;
            }
            address.host = value;
            continue;
        }
        if (std::find(std::begin(PassedOptions), std::end(PassedOptions), key) == std::end(PassedOptions)) {
            *error = QStringLiteral("unknown parameter in the PostgreSQL address: %1").arg(key);
            return std::nullopt;
        }
        if (!plainOptionValue(value)) {
            *error = QStringLiteral("the parameter %1 of the PostgreSQL address has an unusable value").arg(key);
            return std::nullopt;
        }
        timeoutGiven = timeoutGiven || key == u"connect_timeout";
        options.append(key + u'=' + value);
    }
    if (!timeoutGiven) {
        options.append(DefaultConnectTimeout);
    }
    address.connectOptions = options.join(u';');
    return address;
}

} // namespace Shortd
