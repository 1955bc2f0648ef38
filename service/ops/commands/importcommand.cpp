#include "links/addresspolicy.h"
#include "links/codes.h"
#include "links/fields.h"
#include "ops/commands/commands.h"
#include "ops/linkrecords.h"
#include "ops/operatorcommands.h"

#include <QCommandLineParser>
#include <QFile>
#include <QIODevice>
#include <functional>
#include <memory>

namespace Shortd
{
namespace
{
enum class ImportStep {
    Imported,
    Present, // the same link is there already
    Refused, // refuse() was told why
    Failed, // the store failed; its error says why
};

// One link read from the file: checked, then stored unless it or a clash is there already.
ImportStep importOne(const StoredLink& link, LinkStore& store, const std::function<void(const QString&)>& refuse)
{
    if (!isCodeShaped(link.code) || link.type < 0 || link.type >= LinkTypeCount || link.target.isEmpty()
        || link.target.size() > MaximumAddressLength) {
        refuse(QStringLiteral("not a link: code %1, type %2").arg(link.code).arg(link.type));
        return ImportStep::Refused;
    }
    const LookupResult existing = store.findByCode(link.code);
    if (existing.status == StoreStatus::Failed) {
        return ImportStep::Failed;
    }
    if (existing.status == StoreStatus::Ok) {
        if (existing.link.type == link.type && existing.link.target == link.target) {
            return ImportStep::Present;
        }
        refuse(
            QStringLiteral("the code %1 is taken by another address (type %2): ").arg(link.code).arg(existing.link.type)
            + existing.link.target);
        return ImportStep::Refused;
    }
    switch (store.restoreLink(link)) {
    case StoreStatus::Ok:
        return ImportStep::Imported;
    case StoreStatus::TargetTaken: {
        const LookupResult holder = store.findByTarget(link.type, link.target);
        refuse(QStringLiteral("the address already has the code %1, not %2 (type %3): ")
                   .arg(holder.link.code, link.code)
                   .arg(link.type)
            + link.target);
        return ImportStep::Refused;
    }
    case StoreStatus::CodeTaken:
        refuse(QStringLiteral("the code %1 was taken meanwhile").arg(link.code));
        return ImportStep::Refused;
    default:
        return ImportStep::Failed;
    }
}

int importLinks(QIODevice& input, LinkStore& store, Session& session)
{
    // A commit per link made a million links take minutes; a thousand share one. Re-running an
    // import that failed half-way takes up where the last commit left it.
    constexpr qint64 LinksPerCommit = 1000;
    if (!store.beginGroup()) {
        return session.fail(OpsRefused, store.lastError());
    }
    RecordReader reader(input);
    qint64 imported = 0;
    qint64 present = 0;
    qint64 refused = 0;
    StoredLink link;
    const std::function<void(const QString&)> refuse = [&](const QString& why) {
        ++refused;
        session.say(QStringLiteral("line %1: %2").arg(reader.line()).arg(why));
    };
    for (;;) {
        const RecordReader::Status status = reader.next(&link);
        if (status == RecordReader::Status::End) {
            if (!reader.error().isEmpty()) {
                refuse(reader.error());
            }
            break;
        }
        if (status == RecordReader::Status::Bad) {
            refuse(reader.error());
            continue;
        }
        switch (importOne(link, store, refuse)) {
        case ImportStep::Imported:
            ++imported;
            if (imported % LinksPerCommit == 0 && (!store.commitGroup() || !store.beginGroup())) {
                return session.fail(OpsRefused, store.lastError());
            }
            break;
        case ImportStep::Present:
            ++present;
            break;
        case ImportStep::Refused:
            break;
        case ImportStep::Failed:
            return session.fail(OpsRefused, store.lastError());
        }
    }
    if (!store.commitGroup()) {
        return session.fail(OpsRefused, store.lastError());
    }
    session.say(QStringLiteral("imported %1, already there %2, refused %3").arg(imported).arg(present).arg(refused));
    return refused == 0 ? OpsDone : OpsRefused;
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
    return {OpsDone,
        [input, &session](LinkStore& store, const ServiceConfig&) { return importLinks(*input, store, session); }};
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
