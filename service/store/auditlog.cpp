#include "store/auditlog.h"

#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>

namespace Shortd
{

QString auditHash(const AuditRecord& record)
{
    // A JSON array spells every field unambiguously, whatever its text holds.
    const QJsonArray content {QString::number(record.id), QString::number(record.atSecs), record.actor, record.action,
        record.subject, record.before, record.after, record.prevHash};
    return QString::fromLatin1(
        QCryptographicHash::hash(QJsonDocument(content).toJson(QJsonDocument::Compact), QCryptographicHash::Sha256)
            .toHex());
}

std::optional<AuditBreak> firstAuditBreak(const QList<AuditRecord>& records)
{
    const AuditRecord* previous = nullptr;
    for (const AuditRecord& record : records) {
        if (previous && record.id != previous->id + 1) {
            return AuditBreak {
                record.id, QStringLiteral("其前的记录 %1 至 %2 被删除").arg(previous->id + 1).arg(record.id - 1)};
        }
        if (previous && record.prevHash != previous->hash) {
            // A record slipped in can carry the hash of the one before it, but the record after it
            // still names the one that stood there when it was written.
            return AuditBreak {
                record.id, QStringLiteral("与前一条记录 %1 不相接：其间插入了记录，或前一条被改写").arg(previous->id)};
        }
        if (auditHash(record) != record.hash) {
            return AuditBreak {record.id, QStringLiteral("内容被改动")};
        }
        previous = &record;
    }
    return std::nullopt;
}

} // namespace Shortd
