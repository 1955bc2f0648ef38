#include "store/sqldialect.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStringBuilder>
#include <QUrl>
#include <QVariant>

namespace Shortd
{
namespace
{
bool exec(const QSqlDatabase& db, const QString& sql, QString* error)
{
    QSqlQuery query(db);
    if (!query.exec(sql)) {
        *error = query.lastError().text();
        return false;
    }
    return true;
}

bool connectSqlite(QSqlDatabase& db, const QString& filePath, bool syncEachCommit, QString* error)
{
    db.setDatabaseName(filePath);
    db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=5000"));
    if (!db.open()) {
        *error = db.lastError().text();
        return false;
    }
    // Small pages: every link is its own commit, and a commit writes each page it touches whole
    // to the log. Only takes effect when the file is new.
    if (!exec(db, QStringLiteral("PRAGMA page_size=1024"), error)) {
        return false;
    }
    QSqlQuery mode(db);
    if (!mode.exec(QStringLiteral("PRAGMA journal_mode=WAL")) || !mode.next()
        || mode.value(0).toString().compare(QLatin1StringView("wal"), Qt::CaseInsensitive) != 0) {
        *error = QStringLiteral("cannot switch %1 to write-ahead logging").arg(filePath);
        return false;
    }
    return exec(db,
        syncEachCommit ? QStringLiteral("PRAGMA synchronous=FULL") : QStringLiteral("PRAGMA synchronous=NORMAL"),
        error);
}

bool connectSqliteReadOnly(QSqlDatabase& db, const QString& filePath, QString* error)
{
    // A file in write-ahead logging is read through its -shm file. In a folder that cannot be
    // written and with neither file beside it (no writer has it open), the file is read as it
    // stands, which SQLite calls immutable.
    const QFileInfo file(filePath);
    const bool standing = !QFileInfo(file.absolutePath()).isWritable() && !QFile::exists(filePath + u"-wal")
        && !QFile::exists(filePath + u"-shm");
    if (standing) {
        db.setDatabaseName(
            QUrl::fromLocalFile(file.absoluteFilePath()).toString(QUrl::FullyEncoded) + QStringLiteral("?immutable=1"));
        db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=5000;QSQLITE_OPEN_READONLY;QSQLITE_OPEN_URI"));
    } else {
        db.setDatabaseName(filePath);
        db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=5000;QSQLITE_OPEN_READONLY"));
    }
    if (!db.open()) {
        *error = db.lastError().text();
        return false;
    }
    return true;
}

bool connectPostgres(QSqlDatabase& db, const DatabaseAddress& address, QString* error)
{
    db.setHostName(address.host);
    if (address.port > 0) {
        db.setPort(address.port);
    }
    db.setUserName(address.user);
    db.setPassword(address.password);
    db.setDatabaseName(address.database);
    db.setConnectOptions(address.connectOptions);
    if (!db.open()) {
        *error = db.lastError().text();
        return false;
    }
    // The server's default may have been relaxed; an acknowledged link must not depend on it.
    // Notices such as "already exists, skipping" from the schema check are no news.
    return exec(db, QStringLiteral("SET synchronous_commit = on"), error)
        && exec(db, QStringLiteral("SET client_min_messages = warning"), error);
}
} // namespace

QString arrayLiteral(const QStringList& texts)
{
    QString literal;
    literal.reserve(texts.size() * 16 + 2);
    literal += u'{';
    for (qsizetype i = 0; i < texts.size(); ++i) {
        if (i > 0) {
            literal += u',';
        }
        literal += u'"';
        for (const QChar c : texts.at(i)) {
            if (c == u'"' || c == u'\\') {
                literal += u'\\';
            }
            literal += c;
        }
        literal += u'"';
    }
    literal += u'}';
    return literal;
}

SqlDialect dialectOf(const DatabaseAddress& address)
{
    return address.isPostgres() ? SqlDialect::Postgres : SqlDialect::Sqlite;
}

QLatin1StringView driverName(SqlDialect dialect)
{
    return dialect == SqlDialect::Postgres ? QLatin1StringView("QPSQL") : QLatin1StringView("QSQLITE");
}

bool connectDatabase(QSqlDatabase& db, const DatabaseAddress& address, ConnectOptions options, QString* error)
{
    if (address.isPostgres()) {
        return connectPostgres(db, address, error);
    }
    return options.readOnly ? connectSqliteReadOnly(db, address.sqlitePath, error)
                            : connectSqlite(db, address.sqlitePath, options.syncEachCommit, error);
}

StatementTexts statementTexts(SqlDialect dialect)
{
    const QString columns = u"SELECT " % StoredLinkColumns % u" FROM links ";
    // The same in both: the hash binds as a BLOB or a bytea by itself.
    const QString keyByHash = u"SELECT " % StoredKeyColumns % u" FROM api_keys WHERE key_hash = ?";
    const QString markKeyUsed
        = QStringLiteral("UPDATE api_keys SET last_used_at = ? WHERE name = ? AND coalesce(last_used_at, 0) <= ? - 60");
    if (dialect == SqlDialect::Sqlite) {
        return {
            columns + QStringLiteral("WHERE code = ?"),
            // A deleted link gives its address up: the address may be shortened again; a chosen
            // code never held it.
            columns + QStringLiteral("WHERE type = ? AND target = ? AND state <> 2 AND chosen = 0"),
            QStringLiteral(
                "INSERT INTO links(code, type, target, created_at, chosen, expires_at, max_visits, title, "
                "tags, owner) VALUES(?, ?, ?, ?, ?, ?, ?, coalesce(?, ''), ?, coalesce(?, '')) ON CONFLICT DO NOTHING"),
            QStringLiteral("UPDATE links SET visits = visits + ? WHERE code = ?"),
            {},
            false,
            keyByHash,
            markKeyUsed,
        };
    }
    return {
        columns + QStringLiteral("WHERE code = ?"),
        columns + QStringLiteral("WHERE type = ? AND target_digest = ? AND target = ? AND state <> 2 AND chosen = 0"),
        QStringLiteral("INSERT INTO links(code, type, target_digest, target, created_at, chosen, expires_at, "
                       "max_visits, title, tags, owner) VALUES(?, ?, ?, ?, ?, ?, ?, ?, coalesce(?, ''), CAST(? AS "
                       "jsonb), coalesce(?, '')) "
                       "ON CONFLICT DO NOTHING"),
        // Sorted, so that two instances adding to the same links take the row locks in one order.
        QStringLiteral("UPDATE links SET visits = links.visits + v.n "
                       "FROM (SELECT code, n FROM unnest(?::bigint[], ?::text[]) AS u(n, code) ORDER BY code) AS v "
                       "WHERE links.code = v.code"),
        // In the order given, which is the address order (see shortenAllIn).
        QStringLiteral("INSERT INTO links(code, type, target_digest, target, created_at) "
                       "SELECT u.code, u.type, sha256(convert_to(u.target, 'UTF8')), u.target, u.created_at "
                       "FROM unnest(?::text[], ?::smallint[], ?::text[], ?::bigint[]) WITH ORDINALITY "
                       "AS u(code, type, target, created_at, n) ORDER BY u.n "
                       "ON CONFLICT DO NOTHING RETURNING code"),
        true,
        keyByHash,
        markKeyUsed,
    };
}

QVariantList linkOptions(const StoredLink& link)
{
    // None is NULL, which the checks in the statements read as no end and no limit.
    const auto positive
        = [](qint64 value) { return value > 0 ? QVariant(value) : QVariant(QMetaType::fromType<qint64>()); };
    return {link.chosen ? 1 : 0, positive(link.expiresSecs), positive(link.maxVisits), link.title,
        tagsToJson(link.tags), link.owner};
}

QLatin1StringView tagsPlaceholder(SqlDialect dialect)
{
    return dialect == SqlDialect::Postgres ? QLatin1StringView("CAST(? AS jsonb)") : QLatin1StringView("?");
}

QString tagsToJson(const QStringList& tags)
{
    return QString::fromUtf8(QJsonDocument(QJsonArray::fromStringList(tags)).toJson(QJsonDocument::Compact));
}

QStringList tagsFromJson(const QString& json)
{
    QStringList tags;
    const QJsonArray array = QJsonDocument::fromJson(json.toUtf8()).array();
    tags.reserve(array.size());
    for (const QJsonValue& tag : array) {
        tags.append(tag.toString());
    }
    return tags;
}

QVariantList targetKey(SqlDialect dialect, int type, const QString& target)
{
    if (dialect == SqlDialect::Sqlite) {
        return {type, target};
    }
    return {type, QCryptographicHash::hash(target.toUtf8(), QCryptographicHash::Sha256), target};
}

} // namespace Shortd
