#include "config.h"
#include "links/blocklistsources.h"
#include "ops/commands/commands.h"
#include "ops/importer.h"
#include "ops/operatorcommands.h"
#include "ops/serviceblocklists.h"

#include <QCommandLineParser>
#include <QDateTime>
#include <QFile>
#include <memory>

namespace Shortd
{
namespace
{
int importInto(Store& store, QIODevice& input, const ServiceConfig& config, Session& session)
{
    // The service's own list stops what it lists here as well.
    LocalBlocks* local = store.localBlocks();
    const std::optional<QList<LocalBlock>> blocked = local ? local->listBlocks() : QList<LocalBlock> {};
    if (!blocked) {
        return session.fail(OpsRefused, QStringLiteral("nothing imported: %1").arg(store.lastError()));
    }
    const Result<std::unique_ptr<BlocklistSet>> lists = serviceBlocklists(config, !blocked->isEmpty());
    if (!lists) {
        return session.fail(OpsRefused, QStringLiteral("nothing imported: %1").arg(lists.fault().english));
    }
    if (!blocked->isEmpty()) {
        lists->get()->replace(QStringLiteral("local"), localBlocksFeed(*blocked));
    }
    // The front door's rules, with this service's own addresses as its options name them.
    ImportRules rules {config.ownBases(), config.port, QDateTime::currentSecsSinceEpoch()};
    rules.blocklists = lists->get();
    const ImportResult imported
        = importLinks(input, store, rules, [&session](const RowFault& row) { session.say(row.said()); });
    if (!imported.failure.isEmpty()) {
        return session.fail(OpsRefused, imported.failure);
    }
    session.say(imported.summary());
    return imported.refused == 0 ? OpsDone : OpsRefused;
}

CheckedCommand checkImport(const QCommandLineParser&, const QString& file, Session& session)
{
    // The file is opened before the store, so that a wrong name changes nothing.
    const auto input = std::make_shared<QFile>();
    const bool opened = file == u"-" ? input->open(stdin, QIODevice::ReadOnly)
                                     : (input->setFileName(file), input->open(QIODevice::ReadOnly));
    if (!opened) {
        return refusedWith(
            session.fail(OpsRefused, QStringLiteral("cannot read %1: %2").arg(file, input->errorString())));
    }
    return {OpsDone, [input, &session](Store& store, const ServiceConfig& config) {
                return importInto(store, *input, config, session);
            }};
}
} // namespace

QList<OperatorCommand> importCommands()
{
    return {
        {QStringLiteral("links import"), QStringLiteral("FILE|-"),
            QStringLiteral("The file to read, as links export wrote it (- for standard input)."),
            QStringLiteral("Read links written by export; links already there are left as they are."), {},
            StoreAccess::Create, checkImport},
    };
}

} // namespace Shortd
