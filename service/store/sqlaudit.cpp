// The audit log in SqlLinkStore: one table, a record a change, chained by hash. Records are
// written by the store's own writes, inside the transaction that makes the change.
#include "store/sqllinkstore.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSqlError>
#include <QSqlQuery>
#include <QStringBuilder>
#include <QVariant>

namespace Shortd
{
namespace
{
// Any fixed number, other than the migrations'; held until the writer's transaction ends.
constexpr qint64 AuditLockKey = 0x4e6f6c7665780002;

QString compact(const QJsonObject& object)
{
    return object.isEmpty() ? QString() : QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact));
}

AuditRecord auditFrom(const QSqlQuery& query)
{
    return {query.value(0).toLongLong(), query.value(1).toLongLong(), query.value(2).toString(),
        query.value(3).toString(), query.value(4).toString(), query.value(5).toString(), query.value(6).toString(),
        query.value(7).toString(), query.value(8).toString()};
}
} // namespace

QString auditActorName(const LinkActor& actor)
{
    return actor.console && actor.name.startsWith(u"key:") ? u"console:" % actor.name.mid(4) : actor.name;
}

std::pair<QString, QString> linkChangeFields(const StoredLink& before, const StoredLink& after)
{
    QJsonObject was;
    QJsonObject now;
    const auto note = [&](const QString& field, const QJsonValue& from, const QJsonValue& to) {
        if (from != to) {
            was.insert(field, from);
            now.insert(field, to);
        }
    };
    note(QStringLiteral("state"), stateName(before.state), stateName(after.state));
    note(QStringLiteral("reason"), before.reason, after.reason);
    note(QStringLiteral("expiresAt"), before.expiresSecs, after.expiresSecs);
    note(QStringLiteral("maxVisits"), before.maxVisits, after.maxVisits);
    note(QStringLiteral("title"), before.title, after.title);
    note(QStringLiteral("tags"), QJsonArray::fromStringList(before.tags), QJsonArray::fromStringList(after.tags));
    note(QStringLiteral("quarantine"), before.quarantine.list, after.quarantine.list);
    return {compact(was), compact(now)};
}

bool SqlLinkStore::writeAudit(const AuditEntry& entry, qint64 nowSecs)
{
    // Inside the change's transaction. On PostgreSQL two instances appending at once would read
    // the same last record and fork the chain: the lock orders them until each commits.
    QSqlQuery query(connection());
    if (m_dialect == SqlDialect::Postgres
        && !query.exec(QStringLiteral("SELECT pg_advisory_xact_lock(%1)").arg(AuditLockKey))) {
        noteError(query.lastError());
        return false;
    }
    AuditRecord record {0, nowSecs, entry.actor, entry.action, entry.subject, entry.before, entry.after, {}, {}};
    query.setForwardOnly(true);
    if (!query.exec(QStringLiteral("SELECT id, hash FROM audit_log ORDER BY id DESC LIMIT 1"))) {
        noteError(query.lastError());
        return false;
    }
    if (query.next()) {
        record.id = query.value(0).toLongLong();
        record.prevHash = query.value(1).toString();
    }
    query.finish();
    ++record.id;
    record.hash = auditHash(record);
    QSqlQuery insert(connection());
    insert.prepare(
        QStringLiteral("INSERT INTO audit_log(id, at, actor, action, subject, before, after, prev_hash, hash) "
                       "VALUES(?, ?, coalesce(?, ''), ?, coalesce(?, ''), coalesce(?, ''), coalesce(?, ''), "
                       "coalesce(?, ''), ?)"));
    insert.addBindValue(record.id);
    insert.addBindValue(record.atSecs);
    insert.addBindValue(record.actor);
    insert.addBindValue(record.action);
    insert.addBindValue(record.subject);
    insert.addBindValue(record.before);
    insert.addBindValue(record.after);
    insert.addBindValue(record.prevHash);
    insert.addBindValue(record.hash);
    return run(insert);
}

StoreStatus SqlLinkStore::runAudited(QSqlQuery& query, const AuditEntry& entry, qint64 nowSecs, StoreStatus none)
{
    if (!beginGroup()) {
        return StoreStatus::Failed;
    }
    if (!run(query)) {
        abandonGroup();
        return StoreStatus::Failed;
    }
    if (query.numRowsAffected() != 1) {
        abandonGroup();
        return none;
    }
    if (!writeAudit(entry, nowSecs)) {
        abandonGroup();
        return StoreStatus::Failed;
    }
    return commitGroup() ? StoreStatus::Ok : StoreStatus::Failed;
}

StoreStatus SqlLinkStore::appendAudit(const AuditEntry& entry, qint64 nowSecs)
{
    if (!beginGroup()) {
        return StoreStatus::Failed;
    }
    if (!writeAudit(entry, nowSecs)) {
        abandonGroup();
        return StoreStatus::Failed;
    }
    return commitGroup() ? StoreStatus::Ok : StoreStatus::Failed;
}

StoreStatus SqlLinkStore::listAudit(const AuditQuery& filter, const std::function<bool(const AuditRecord&)>& visit)
{
    QString where = QStringLiteral("id > ? AND at >= ?");
    QVariantList bindings {filter.afterId, filter.sinceSecs};
    if (!filter.subject.isEmpty()) {
        where += QStringLiteral(" AND subject = ?");
        bindings.append(filter.subject);
    }
    if (!filter.actor.isEmpty()) {
        where += QStringLiteral(" AND actor = ?");
        bindings.append(filter.actor);
    }
    QSqlQuery query(connection());
    query.setForwardOnly(true);
    query.prepare(u"SELECT id, at, actor, action, subject, before, after, prev_hash, hash FROM audit_log WHERE " % where
        % u" ORDER BY id" % (filter.limit >= 0 ? u" LIMIT " % QString::number(filter.limit) : QString()));
    for (const QVariant& value : std::as_const(bindings)) {
        query.addBindValue(value);
    }
    if (!run(query)) {
        return StoreStatus::Failed;
    }
    while (query.next()) {
        if (!visit(auditFrom(query))) {
            break;
        }
    }
    return StoreStatus::Ok;
}

StoreStatus SqlLinkStore::pruneAudit(qint64 beforeSecs)
{
    // Whole records from the front only: one written late with an early time (a clock set back)
    // stops the pruning there, so the kept records stay one unbroken chain.
    QSqlQuery query(connection());
    query.prepare(QStringLiteral("DELETE FROM audit_log WHERE id < coalesce((SELECT min(id) FROM audit_log WHERE at "
                                 ">= ?), (SELECT max(id) FROM audit_log))"));
    query.addBindValue(beforeSecs);
    return run(query) ? StoreStatus::Ok : StoreStatus::Failed;
}

} // namespace Shortd
