#include "ops/operatorcommands.h"

#include "config.h"
#include "ops/command.h"
#include "ops/commands/commands.h"
#include "ops/storeopener.h"

#include <QCommandLineParser>
#include <QIODevice>
#include <QStringBuilder>
#include <memory>

namespace Shortd
{
namespace
{
// Every command, in the order help lists them.
const QList<OperatorCommand>& operatorCommands()
{
    static const QList<OperatorCommand> commands = linkCommands() + importCommands() + statsCommands() + keyCommands()
        + blockCommands() + reportCommands() + auditCommands();
    return commands;
}

// "links" for "links list"; empty for a command outside any group.
QStringView groupOf(const OperatorCommand& command)
{
    const qsizetype space = command.name.indexOf(u' ');
    return space < 0 ? QStringView() : QStringView(command.name).first(space);
}

bool isGroup(const QString& word)
{
    return !word.isEmpty()
        && std::any_of(operatorCommands().cbegin(), operatorCommands().cend(),
            [&](const OperatorCommand& command) { return groupOf(command) == word; });
}

bool asksForHelp(const QString& word)
{
    return word == u"--help" || word == u"-h" || word == u"-?" || word == u"--help-all" || word == u"help";
}

// The command the arguments name ("links list"), how many arguments name it, and the name as given.
const OperatorCommand* findCommand(const QStringList& arguments, qsizetype* consumed, QString* name)
{
    *name = arguments.value(1);
    *consumed = 2;
    if (isGroup(*name)) {
        *name += u' ' + arguments.value(2);
        *consumed = 3;
    }
    for (const OperatorCommand& candidate : operatorCommands()) {
        if (*name == candidate.name) {
            return &candidate;
        }
    }
    return nullptr;
}

QString commandList()
{
    QString list;
    for (const OperatorCommand& command : operatorCommands()) {
        list += u"\n  " % QStringLiteral("%1 %2 %3").arg(OpsProgram, command.name, command.argument).trimmed();
    }
    return list;
}

// "nolvex-shortd links --help": the group's commands, each with what it does.
QString groupHelp(const QString& group)
{
    QString text = QStringLiteral("Usage: %1 %2 COMMAND [options]\n\nCommands:\n").arg(OpsProgram, group);
    for (const OperatorCommand& command : operatorCommands()) {
        if (groupOf(command) == group) {
            const QString usage = command.name.sliced(group.size() + 1) % u' ' % command.argument;
            text += u"  " % usage.leftJustified(16) % u' ' % command.description % u'\n';
        }
    }
    return text
        + QStringLiteral("\nEach command has --help. Every one takes --database URL and --data-dir DIR, as the service "
                         "does.\n");
}

// A store the options name, with the configuration that named it.
struct OpenedStore {
    std::unique_ptr<Store> store;
    ServiceConfig config;
};

Result<OpenedStore> openStore(
    const QCommandLineParser& parser, const QProcessEnvironment& environment, StoreAccess access)
{
    // The service's own options and environment name the database, so both always agree.
    QStringList serviceArguments {QString(OpsProgram)};
    for (const char* option : {"database", "data-dir"}) {
        const QString name = QString::fromLatin1(option);
        if (parser.isSet(name)) {
            serviceArguments << QStringLiteral("--") + name << parser.value(name);
        }
    }
    const ConfigResult config = parseConfig(serviceArguments, environment);
    if (!config.error.isEmpty()) {
        return Fault {FaultKind::Invalid, {}, config.error};
    }
    Result<std::unique_ptr<Store>> store = openLinkStore(config.config, access);
    if (!store) {
        return store.fault();
    }
    if (!(*store)->linkAdmin() || !(*store)->linkArchive() || !(*store)->keys() || !(*store)->visits()) {
        // The commands work on the links, the keys and the visit counters alike.
        return Fault {
            FaultKind::Refused, {}, QStringLiteral("the database keeps links only; it cannot serve this command")};
    }
    return OpenedStore {std::move(store).value(), config.config};
}
} // namespace

bool isOperatorCommand(const QStringList& arguments)
{
    if (arguments.size() < 2) {
        return false;
    }
    const QString& first = arguments.at(1);
    return isGroup(first)
        || std::any_of(operatorCommands().cbegin(), operatorCommands().cend(),
            [&](const OperatorCommand& command) { return command.name == first; });
}

int runOperatorCommand(
    const QStringList& arguments, const QProcessEnvironment& environment, QIODevice& out, QIODevice& err)
{
    qsizetype consumed = 0;
    QString name;
    const OperatorCommand* command = findCommand(arguments, &consumed, &name);
    if (!command) {
        if (isGroup(arguments.value(1)) && asksForHelp(arguments.value(2))) {
            out.write(groupHelp(arguments.value(1)).toUtf8());
            return OpsDone;
        }
        err.write(QStringLiteral("%1: unknown command \"%2\"; the commands are:%3\n(each with --help)\n")
                      .arg(OpsProgram, name.trimmed(), commandList())
                      .toUtf8());
        return OpsBadUsage;
    }
    Session session(out, err, command->name);

    QCommandLineParser parser;
    parser.setApplicationDescription(command->description);
    const QCommandLineOption help = parser.addHelpOption();
    parser.addOption({QStringLiteral("database"),
        QStringLiteral("The links' database, as for the service: sqlite:PATH or postgresql://..."),
        QStringLiteral("URL")});
    parser.addOption({QStringLiteral("data-dir"), QStringLiteral("The service's data directory (as for the service)."),
        QStringLiteral("DIR")});
    parser.addOptions(command->options);
    if (!command->argument.isEmpty()) {
        parser.addPositionalArgument(command->argument, command->argumentHelp);
    }
    if (!parser.parse(QStringList {OpsProgram % u' ' % command->name} + arguments.mid(consumed))) {
        return session.fail(OpsBadUsage, parser.errorText());
    }
    if (parser.isSet(help) || parser.isSet(QStringLiteral("help-all"))) {
        QString text = parser.helpText();
        text = QStringLiteral("Usage: %1 %2 [options] %3").arg(OpsProgram, command->name, command->argument).trimmed()
            + text.mid(text.indexOf(u'\n'));
        out.write(text.toUtf8());
        return OpsDone;
    }

    // Every value is checked before the database is touched.
    const QStringList positional = parser.positionalArguments();
    // An argument in brackets may be left out.
    const bool optional = command->argument.startsWith(u'[');
    if (positional.size() > (command->argument.isEmpty() ? 0 : 1)
        || (positional.isEmpty() && !command->argument.isEmpty() && !optional)) {
        return session.fail(OpsBadUsage,
            command->argument.isEmpty() ? QStringLiteral("unexpected argument %1").arg(positional.value(0))
                                        : QStringLiteral("expects exactly one %1").arg(command->argument));
    }
    const CheckedCommand checked = command->check(parser, positional.value(0), session);
    if (!checked.run) {
        return checked.status;
    }
    const Result<OpenedStore> opened = openStore(parser, environment, command->access);
    if (!opened) {
        return session.fail(opened.fault());
    }
    return checked.run(*opened->store, opened->config);
}

} // namespace Shortd
