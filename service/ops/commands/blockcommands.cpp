#include "displaytext.h"
#include "links/blocklist.h"
#include "ops/commands/commands.h"
#include "ops/linkrecords.h"
#include "ops/operatorcommands.h"

#include <QCommandLineParser>
#include <QDateTime>
#include <QIODevice>
#include <QStringBuilder>

namespace Shortd
{
namespace
{
// A time for the table: minutes are enough to read.
QString tableTime(qint64 secs)
{
    QString time = isoTime(secs);
    time.replace(u'T', u' ');
    time.chop(4);
    return time;
}

int listBlocks(Store& store, Session& session)
{
    LocalBlocks* blocks = store.localBlocks();
    const std::optional<QList<LocalBlock>> listed = blocks ? blocks->listBlocks() : std::nullopt;
    if (!listed) {
        return session.fail(OpsRefused, blocks ? store.lastError() : QStringLiteral("this store keeps no blocklist"));
    }
    QString text = QStringLiteral("KIND     ADDED (UTC)      BY                   ENTRY  REASON\n");
    for (const LocalBlock& block : *listed) {
        text += localBlockKindName(block.kind).leftJustified(8) % u' ' % tableTime(block.addedSecs).leftJustified(16)
            % u' ' % forTerminal(block.addedBy).leftJustified(20) % u' ' % forTerminal(block.entry) % u"  "
            % forTerminal(block.reason) % u'\n';
    }
    const QByteArray bytes = text.toUtf8();
    return session.out().write(bytes) == bytes.size()
        ? OpsDone
        : session.fail(OpsRefused, QStringLiteral("cannot write the output"));
}

CheckedCommand checkList(const QCommandLineParser&, const QString&, Session& session)
{
    return {OpsDone, [&session](Store& store, const ServiceConfig&) { return listBlocks(store, session); }};
}

// The entry as listed, or as the list would have kept what the operator typed: an address
// normalised, a host in lower case.
int removeBlock(Store& store, const QString& entry, Session& session)
{
    LocalBlocks* blocks = store.localBlocks();
    if (!blocks) {
        return session.fail(OpsRefused, QStringLiteral("this store keeps no blocklist"));
    }
    QStringList candidates {entry};
    for (const QString& candidate : {localBlockEntry(entry, false), entry.toLower()}) {
        if (!candidate.isEmpty() && !candidates.contains(candidate)) {
            candidates.append(candidate);
        }
    }
    for (const QString& candidate : candidates) {
        const StoreStatus removed = blocks->removeBlock(candidate, operatorName(), QDateTime::currentSecsSinceEpoch());
        if (removed == StoreStatus::Failed) {
            return session.fail(OpsRefused, store.lastError());
        }
        if (removed == StoreStatus::Ok) {
            session.say(
                QStringLiteral("%1 removed; links it quarantined stay so until released").arg(forTerminal(candidate)));
            return OpsDone;
        }
    }
    return session.fail(OpsRefused, QStringLiteral("%1 is not on the list").arg(forTerminal(entry)));
}

CheckedCommand checkRemove(const QCommandLineParser&, const QString& entry, Session& session)
{
    if (entry.isEmpty()) {
        return refusedWith(session.fail(OpsBadUsage, QStringLiteral("name the entry to remove")));
    }
    return {
        OpsDone, [entry, &session](Store& store, const ServiceConfig&) { return removeBlock(store, entry, session); }};
}
} // namespace

QList<OperatorCommand> blockCommands()
{
    return {
        {QStringLiteral("blocks list"), {}, {},
            QStringLiteral("List the service's own blocklist (the list local): each address or host, who added it, "
                           "when and why."),
            {}, StoreAccess::Read, checkList},
        {QStringLiteral("blocks remove"), QStringLiteral("ENTRY"),
            QStringLiteral("An address or a host as blocks list shows it."),
            QStringLiteral("Take an entry off the service's own blocklist: its destination may be shortened again."),
            {}, StoreAccess::Change, checkRemove},
    };
}

} // namespace Shortd
