// The service's own blocklist in SqlLinkStore: one table, a row an entry.
#include "store/sqllinkstore.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QSqlQuery>
#include <QVariant>

namespace Shortd
{

QString localBlockKindName(LocalBlock::Kind kind)
{
    return kind == LocalBlock::Kind::Host ? QStringLiteral("host") : QStringLiteral("address");
}

QByteArray localBlocksFeed(const QList<LocalBlock>& blocks)
{
    QByteArray feed;
    for (const LocalBlock& block : blocks) {
        feed += block.entry.toUtf8() + '\n';
    }
    return feed;
}

StoreStatus SqlLinkStore::addBlock(const LocalBlock& block)
{
    QSqlQuery query(connection());
    query.prepare(QStringLiteral("INSERT INTO local_blocks(entry, kind, added_by, reason, added_at) "
                                 "VALUES(?, ?, coalesce(?, ''), coalesce(?, ''), ?) ON CONFLICT DO NOTHING"));
    query.addBindValue(block.entry);
    query.addBindValue(localBlockKindName(block.kind));
    query.addBindValue(block.addedBy);
    query.addBindValue(block.reason);
    query.addBindValue(block.addedSecs);
    const QJsonObject added {
        {QStringLiteral("kind"), localBlockKindName(block.kind)}, {QStringLiteral("reason"), block.reason}};
    return runAudited(query,
        {block.addedBy, QStringLiteral("block.added"), block.entry, {},
            QString::fromUtf8(QJsonDocument(added).toJson(QJsonDocument::Compact))},
        block.addedSecs, StoreStatus::CodeTaken);
}

StoreStatus SqlLinkStore::removeBlock(const QString& entry, const QString& by, qint64 nowSecs)
{
    QSqlQuery query(connection());
    query.prepare(QStringLiteral("DELETE FROM local_blocks WHERE entry = ?"));
    query.addBindValue(entry);
    return runAudited(query, {by, QStringLiteral("block.removed"), entry, {}, {}}, nowSecs, StoreStatus::Missing);
}

std::optional<QList<LocalBlock>> SqlLinkStore::listBlocks()
{
    QSqlQuery query(connection());
    query.setForwardOnly(true);
    query.prepare(
        QStringLiteral("SELECT entry, kind, added_by, reason, added_at FROM local_blocks ORDER BY added_at, entry"));
    if (!run(query)) {
        return std::nullopt;
    }
    QList<LocalBlock> blocks;
    while (query.next()) {
        blocks.append({query.value(0).toString(),
            query.value(1).toString() == u"host" ? LocalBlock::Kind::Host : LocalBlock::Kind::Address,
            query.value(2).toString(), query.value(3).toString(), query.value(4).toLongLong()});
    }
    return blocks;
}

std::optional<LocalBlocksVersion> SqlLinkStore::blocksVersion()
{
    QSqlQuery query(connection());
    query.prepare(QStringLiteral("SELECT count(*), coalesce(max(added_at), 0) FROM local_blocks"));
    if (!run(query) || !query.next()) {
        return std::nullopt;
    }
    return LocalBlocksVersion {query.value(0).toLongLong(), query.value(1).toLongLong()};
}

} // namespace Shortd
