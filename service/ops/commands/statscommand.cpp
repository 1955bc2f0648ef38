#include "ops/commands/commands.h"
#include "ops/linkrecords.h"
#include "ops/operatorcommands.h"

#include <QCommandLineParser>
#include <QDateTime>
#include <QIODevice>

namespace Shortd
{
namespace
{
constexpr int MostTop = 1000;

int writeStats(LinkStore& store, int top, Session& session)
{
    LinkStats totals;
    QList<StoredLink> mostVisited;
    if (store.stats(top, &totals, &mostVisited) != StoreStatus::Ok) {
        return session.fail(OpsRefused, store.lastError());
    }
    const QString text = QStringLiteral("links: %1 (active %2, disabled %3, deleted %4)\nvisits: %5\n")
                             .arg(totals.active + totals.disabled + totals.deleted)
                             .arg(totals.active)
                             .arg(totals.disabled)
                             .arg(totals.deleted)
                             .arg(totals.visits);
    session.out().write(text.toUtf8());
    if (!mostVisited.isEmpty()) {
        session.out().write("most visited:\n");
        RecordWriter writer(session.out(), RecordFormat::Table, QDateTime::currentSecsSinceEpoch());
        writer.begin();
        for (const StoredLink& link : std::as_const(mostVisited)) {
            writer.write(link);
        }
    }
    return OpsDone;
}

CheckedCommand checkStats(const QCommandLineParser& parser, const QString&, Session& session)
{
    bool ok = false;
    const int top = parser.value(QStringLiteral("top")).toInt(&ok);
    if (!ok || top < 0 || top > MostTop) {
        return refusedWith(session.fail(OpsBadUsage, QStringLiteral("--top is a number from 0 to %1").arg(MostTop)));
    }
    return {
        OpsDone, [top, &session](LinkStore& store, const ServiceConfig&) { return writeStats(store, top, session); }};
}
} // namespace

QList<OperatorCommand> statsCommands()
{
    return {
        {QStringLiteral("stats"), {}, {}, QStringLiteral("Count links and visits, and show the most visited."),
            {{QStringLiteral("top"), QStringLiteral("How many of the most visited links (default 10)."),
                QStringLiteral("N"), QStringLiteral("10")}},
            StoreAccess::Read, checkStats},
    };
}

} // namespace Shortd
