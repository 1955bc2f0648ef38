#include "access/keys.h"
#include "config.h"
#include "displaytext.h"
#include "ops/commands/commands.h"
#include "ops/linkrecords.h"
#include "ops/operatorcommands.h"
#include "store/storeopening.h"

#include <QCommandLineParser>
#include <QDateTime>
#include <QIODevice>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringBuilder>

namespace Shortd
{
namespace
{
QString keyState(const StoredKey& key, qint64 nowSecs)
{
    if (key.revokedSecs != 0) {
        return QStringLiteral("revoked");
    }
    if (key.expiresSecs != 0 && nowSecs >= key.expiresSecs) {
        return QStringLiteral("expired");
    }
    return QStringLiteral("active");
}

QString roleOf(const StoredKey& key)
{
    const std::optional<Role> role = roleFromStored(key.role);
    return role ? roleName(*role) : QStringLiteral("unknown");
}

// A time for the table: minutes are enough to read; "-" for never.
QString tableTime(qint64 secs)
{
    if (secs == 0) {
        return QStringLiteral("-");
    }
    QString time = isoTime(secs);
    time.replace(u'T', u' ');
    time.chop(4);
    return time;
}

QJsonValue jsonTime(qint64 secs)
{
    return secs == 0 ? QJsonValue(QJsonValue::Null) : QJsonValue(isoTime(secs));
}

// database: where the key went, as the service's options name it, so a key made for the wrong
// database is noticed at once.
int createKey(Store& store, const StoredKey& key, const QByteArray& secret, const QString& database, Session& session)
{
    const StoreStatus created = store.keys()->createKey(key, operatorName());
    if (created == StoreStatus::Failed) {
        return session.fail(OpsRefused, store.lastError());
    }
    if (created != StoreStatus::Ok) {
        return session.fail(
            OpsRefused, QStringLiteral("a key named %1 exists (revoked keys keep their names)").arg(key.name));
    }
    if (session.out().write(secret + '\n') != secret.size() + 1) {
        return session.fail(
            OpsRefused, QStringLiteral("cannot write the key; revoke %1 and make another").arg(key.name));
    }
    session.say(QStringLiteral("key %1 (%2) created in %3; it is shown this once and cannot be read back")
                    .arg(key.name, roleOf(key), forTerminal(database)));
    return OpsDone;
}

CheckedCommand checkCreate(const QCommandLineParser& parser, const QString&, Session& session)
{
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    StoredKey key;
    const Result<QString> name = checkKeyName(parser.value(QStringLiteral("name")), QStringLiteral("--name"));
    if (!name) {
        return refusedWith(session.fail(name.fault()));
    }
    key.name = *name;
    const Result<Role> role = parseRole(parser.value(QStringLiteral("role")), QStringLiteral("--role"));
    if (!role) {
        return refusedWith(session.fail(role.fault()));
    }
    key.role = static_cast<int>(*role);
    if (parser.isSet(QStringLiteral("expires"))) {
        const std::optional<qint64> expires = parseIsoTime(parser.value(QStringLiteral("expires")));
        if (!expires) {
            return refusedWith(session.fail(OpsBadUsage, QStringLiteral("--expires is a date such as 2027-12-01")));
        }
        if (*expires <= now) {
            return refusedWith(session.fail(OpsBadUsage, QStringLiteral("--expires is in the past")));
        }
        key.expiresSecs = *expires;
    }
    const QByteArray secret = generateKey();
    key.prefix = keyPrefix(secret);
    key.hash = keyHash(secret);
    key.createdSecs = now;
    return {OpsDone, [key, secret, &session](Store& store, const ServiceConfig& config) {
                return createKey(store, key, secret, databaseDescription(config.database, config.dataDir), session);
            }};
}

int listKeys(Store& store, bool json, Session& session)
{
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    QIODevice& out = session.out();
    bool written = true;
    QJsonArray all;
    if (!json) {
        written
            = out.write(QStringLiteral("NAME                 ROLE     PREFIX       CREATED (UTC)    LAST USED        "
                                       "EXPIRES          STATE\n")
                            .toUtf8())
            > 0;
    }
    const StoreStatus listed = store.keys()->listKeys([&](const StoredKey& key) {
        if (json) {
            all.append(QJsonObject {{QStringLiteral("name"), key.name}, {QStringLiteral("role"), roleOf(key)},
                {QStringLiteral("prefix"), key.prefix}, {QStringLiteral("created"), isoTime(key.createdSecs)},
                {QStringLiteral("lastUsed"), jsonTime(key.lastUsedSecs)},
                {QStringLiteral("expires"), jsonTime(key.expiresSecs)}, {QStringLiteral("state"), keyState(key, now)}});
            return true;
        }
        const QString row = forTerminal(key.name).leftJustified(20) % u' ' % roleOf(key).leftJustified(8) % u' '
            % forTerminal(key.prefix).leftJustified(12) % u' ' % tableTime(key.createdSecs).leftJustified(16) % u' '
            % tableTime(key.lastUsedSecs).leftJustified(16) % u' ' % tableTime(key.expiresSecs).leftJustified(16) % u' '
            % keyState(key, now) % u'\n';
        return written = out.write(row.toUtf8()) > 0;
    });
    if (listed != StoreStatus::Ok) {
        return session.fail(OpsRefused, store.lastError());
    }
    if (json) {
        written = out.write(QJsonDocument(all).toJson(QJsonDocument::Indented)) > 0;
    }
    return written ? OpsDone : session.fail(OpsRefused, QStringLiteral("cannot write the output"));
}

CheckedCommand checkList(const QCommandLineParser& parser, const QString&, Session& session)
{
    const QString format = parser.value(QStringLiteral("format"));
    if (format != u"table" && format != u"json") {
        return refusedWith(session.fail(OpsBadUsage, QStringLiteral("--format is table or json")));
    }
    const bool json = format == u"json";
    return {OpsDone, [json, &session](Store& store, const ServiceConfig&) { return listKeys(store, json, session); }};
}

int revokeKey(Store& store, const QString& name, Session& session)
{
    const StoreStatus revoked = store.keys()->revokeKey(name, operatorName(), QDateTime::currentSecsSinceEpoch());
    if (revoked == StoreStatus::Failed) {
        return session.fail(OpsRefused, store.lastError());
    }
    if (revoked != StoreStatus::Ok) {
        return session.fail(OpsRefused, QStringLiteral("no key %1").arg(forTerminal(name)));
    }
    session.say(QStringLiteral("key %1 revoked").arg(name));
    return OpsDone;
}

CheckedCommand checkRevoke(const QCommandLineParser&, const QString& name, Session& session)
{
    if (!isKeyName(name)) {
        return refusedWith(session.fail(OpsRefused, QStringLiteral("no key %1").arg(forTerminal(name))));
    }
    return {OpsDone, [name, &session](Store& store, const ServiceConfig&) { return revokeKey(store, name, session); }};
}
} // namespace

QList<OperatorCommand> keyCommands()
{
    return {
        {QStringLiteral("keys create"), {}, {},
            QStringLiteral("Make an API key: printed once on standard output, only its hash is stored."),
            {{QStringLiteral("name"),
                 QStringLiteral("The key's name, unique (1 to %1 of A-Z a-z 0-9 . _ -).").arg(MaximumKeyNameLength),
                 QStringLiteral("NAME")},
                {QStringLiteral("role"),
                    QStringLiteral("reader (reads links and visits), creator (also creates, and changes the links "
                                   "it created) or admin (everything)."),
                    QStringLiteral("ROLE")},
                {QStringLiteral("expires"),
                    QStringLiteral("The key stops working at DATE (2027-12-01, or an ISO 8601 time, UTC unless it "
                                   "says)."),
                    QStringLiteral("DATE")}},
            // Into the database the service uses: one a mistyped --data-dir would make is refused.
            StoreAccess::Change, checkCreate},
        {QStringLiteral("keys list"), {}, {},
            QStringLiteral("List the API keys: name, role, prefix, dates and state; never the keys."),
            {{QStringLiteral("format"), QStringLiteral("table (default) or json."), QStringLiteral("FORMAT"),
                QStringLiteral("table")}},
            StoreAccess::Read, checkList},
        {QStringLiteral("keys revoke"), QStringLiteral("NAME"), QStringLiteral("The key's name."),
            QStringLiteral("Revoke an API key at once; its name stays taken."), {}, StoreAccess::Change, checkRevoke},
    };
}

} // namespace Shortd
