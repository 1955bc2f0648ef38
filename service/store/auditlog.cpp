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

std::optional<AuditBreak> AuditChain::follow(const AuditRecord& record)
{
    if (m_previous && record.id != m_previous->id + 1) {
        return AuditBreak {record.id,
            QStringLiteral("records %1 to %2 before it were removed").arg(m_previous->id + 1).arg(record.id - 1)};
    }
    if (m_previous && record.prevHash != m_previous->hash) {
        // A record slipped in can carry the hash of the one before it, but the record after it
        // still names the one that stood there when it was written.
        return AuditBreak {record.id,
            QStringLiteral("it does not follow record %1: a record was inserted, or that one rewritten")
                .arg(m_previous->id)};
    }
    if (auditHash(record) != record.hash) {
        return AuditBreak {record.id, QStringLiteral("its content was changed")};
    }
    m_previous = record;
    return std::nullopt;
}

std::optional<AuditBreak> firstAuditBreak(const QList<AuditRecord>& records)
{
    AuditChain chain;
    for (const AuditRecord& record : records) {
        if (std::optional<AuditBreak> broken = chain.follow(record)) {
            return broken;
        }
    }
    return std::nullopt;
}

} // namespace Shortd
