#include "ops/operatorcommands.h"

#include "config.h"
#include "displaytext.h"
#include "links/codes.h"
#include "links/fields.h"
#include "ops/importer.h"
#include "ops/linkrecords.h"
#include "ops/storeopener.h"

#include <QCommandLineParser>
#include <QDateTime>
#include <QFile>
#include <QIODevice>
#include <memory>

namespace Shortd
{
namespace
{
constexpr auto Program = QLatin1StringView("nolvex-shortd");

struct Command {
    const char* name; // "links list", "stats"
    const char* arguments; // shown in the usage line
    const char* description;
};

constexpr Command Commands[] = {
    {"links list", "", "List links, newest first."},
    {"links show", "CODE", "Show one link."},
    {"links disable", "CODE", "Take a link down: it answers 410 and its address cannot be shortened again."},
    {"links enable", "CODE", "Put a disabled link back."},
    {"links delete", "CODE",
        "Delete a link made by mistake: it answers 410, its code is never used again, and its address can be "
        "shortened anew."},
    {"links export", "", "Write every link to standard output."},
    {"links import", "FILE|-", "Read links written by export; links already there are left as they are."},
    {"stats", "", "Count links and visits, and show the most visited."},
};

// The session of one command: where it writes, and the parser of its options.
class Session
{
public:
    Session(QIODevice& out, QIODevice& err, const Command& command)
        : m_out(out)
        , m_err(err)
        , m_command(command)
    {
    }

    QIODevice& out() { return m_out; }
    void say(const QString& message) { m_err.write((message + u'\n').toUtf8()); }
    int fail(int status, const QString& message)
    {
        say(Program % u' ' % QString::fromLatin1(m_command.name) % u": " % message);
        if (status == OpsBadUsage) {
            say(QStringLiteral("(--help lists the options)"));
        }
        return status;
    }

private:
    QIODevice& m_out;
    QIODevice& m_err;
    const Command& m_command;
};

std::unique_ptr<LinkStore> openStore(const QCommandLineParser& parser, const QProcessEnvironment& environment,
    bool create, Session& session, int* status, ServiceConfig* used)
{
    // The service's own options and environment name the database, so both always agree.
    QStringList serviceArguments {QString(Program)};
    for (const char* option : {"database", "data-dir"}) {
        const QString name = QString::fromLatin1(option);
        if (parser.isSet(name)) {
            serviceArguments << QStringLiteral("--") + name << parser.value(name);
        }
    }
    const ConfigResult config = parseConfig(serviceArguments, environment);
    if (!config.error.isEmpty()) {
        *status = session.fail(OpsBadUsage, config.error);
        return nullptr;
    }
    *used = config.config;
    QString error;
    std::unique_ptr<LinkStore> store = openLinkStore(config.config, create, &error);
    if (!store) {
        *status = session.fail(OpsRefused, error);
    }
    return store;
}

// The command the arguments name ("links list"), how many arguments name it, and the name as given.
const Command* findCommand(const QStringList& arguments, qsizetype* consumed, QString* name)
{
    *name = arguments.value(1);
    *consumed = 2;
    if (*name == u"links") {
        *name += u' ' + arguments.value(2);
        *consumed = 3;
    }
    for (const Command& candidate : Commands) {
        if (*name == QLatin1StringView(candidate.name)) {
            return &candidate;
        }
    }
    return nullptr;
}

QString commandList()
{
    QString list;
    for (const Command& candidate : Commands) {
        list += u"\n  "
            % QStringLiteral("%1 %2 %3")
                  .arg(Program, QString::fromLatin1(candidate.name), QString::fromLatin1(candidate.arguments))
                  .trimmed();
    }
    return list;
}

void addOptions(QCommandLineParser& parser, const QString& commandName, const QString& argument)
{
    parser.addOption({QStringLiteral("database"),
        QStringLiteral("The links' database, as for the service: sqlite:PATH or postgresql://..."),
        QStringLiteral("URL")});
    parser.addOption({QStringLiteral("data-dir"), QStringLiteral("The service's data directory (as for the service)."),
        QStringLiteral("DIR")});
    if (commandName == u"links list") {
        parser.addOption(
            {QStringLiteral("type"), QStringLiteral("Only links of this type (0-5)."), QStringLiteral("N")});
        parser.addOption({QStringLiteral("search"), QStringLiteral("Only links whose code or address contains TEXT."),
            QStringLiteral("TEXT")});
        parser.addOption({QStringLiteral("since"),
            QStringLiteral("Only links made on or after DATE (2026-12-01, or "
                           "an ISO 8601 time, UTC unless it says)."),
            QStringLiteral("DATE")});
        parser.addOption({QStringLiteral("limit"), QStringLiteral("At most N links."), QStringLiteral("N")});
        parser.addOption({QStringLiteral("format"), QStringLiteral("table (default), json or csv."),
            QStringLiteral("FORMAT"), QStringLiteral("table")});
    }
    if (commandName == u"links export") {
        parser.addOption({QStringLiteral("format"), QStringLiteral("jsonl (default, one object a line) or csv."),
            QStringLiteral("FORMAT"), QStringLiteral("jsonl")});
    }
    if (commandName == u"links disable") {
        parser.addOption(
            {QStringLiteral("reason"), QStringLiteral("Why, shown on the link's page."), QStringLiteral("TEXT")});
    }
    if (commandName == u"stats") {
        parser.addOption({QStringLiteral("top"), QStringLiteral("How many of the most visited links (default 10)."),
            QStringLiteral("N"), QStringLiteral("10")});
    }
    if (!argument.isEmpty()) {
        parser.addPositionalArgument(argument,
            QStringLiteral("The link's code, or the file to read (- for standard "
                           "input)."));
    }
}

// The checked values of one command's options.
struct CommandOptions {
    LinkQuery query;
    RecordFormat format = RecordFormat::Table;
    int top = 10;
    QString subject; // the code, or the file to import
    QString reason;
};

int readListOptions(const QCommandLineParser& parser, Session& session, CommandOptions* options)
{
    LinkQuery& query = options->query;
    if (parser.isSet(QStringLiteral("type"))) {
        const std::optional<int> type = parseLinkType(parser.value(QStringLiteral("type")));
        if (!type) {
            return session.fail(OpsBadUsage, QStringLiteral("--type is a digit from 0 to 5"));
        }
        query.type = *type;
    }
    query.search = parser.value(QStringLiteral("search"));
    if (parser.isSet(QStringLiteral("since"))) {
        const std::optional<qint64> since = parseIsoTime(parser.value(QStringLiteral("since")));
        if (!since) {
            return session.fail(OpsBadUsage, QStringLiteral("--since is a date such as 2026-12-01"));
        }
        query.sinceSecs = *since;
    }
    if (parser.isSet(QStringLiteral("limit"))) {
        bool ok = false;
        query.limit = parser.value(QStringLiteral("limit")).toLongLong(&ok);
        if (!ok || query.limit < 0) {
            return session.fail(OpsBadUsage, QStringLiteral("--limit is a number of links"));
        }
    }
    const QString formatName = parser.value(QStringLiteral("format"));
    if (formatName == u"table") {
        options->format = RecordFormat::Table;
    } else if (formatName == u"json") {
        options->format = RecordFormat::Json;
    } else if (formatName == u"csv") {
        options->format = RecordFormat::Csv;
    } else {
        return session.fail(OpsBadUsage, QStringLiteral("--format is table, json or csv"));
    }
    return OpsDone;
}

int readOptions(const QCommandLineParser& parser, const QString& commandName, const QString& argument, Session& session,
    CommandOptions* options)
{
    const QStringList positional = parser.positionalArguments();
    if (positional.size() != (argument.isEmpty() ? 0 : 1)) {
        return session.fail(OpsBadUsage,
            argument.isEmpty() ? QStringLiteral("unexpected argument %1").arg(positional.value(0))
                               : QStringLiteral("expects exactly one %1").arg(argument));
    }
    options->subject = positional.value(0);
    if (commandName == u"links list") {
        return readListOptions(parser, session, options);
    }
    if (commandName == u"links export") {
        const QString formatName = parser.value(QStringLiteral("format"));
        if (formatName != u"jsonl" && formatName != u"csv") {
            return session.fail(OpsBadUsage, QStringLiteral("--format is jsonl or csv"));
        }
        options->format = formatName == u"csv" ? RecordFormat::Csv : RecordFormat::JsonLines;
    }
    if (commandName == u"stats") {
        bool ok = false;
        options->top = parser.value(QStringLiteral("top")).toInt(&ok);
        if (!ok || options->top < 0 || options->top > 1000) {
            return session.fail(OpsBadUsage, QStringLiteral("--top is a number from 0 to 1000"));
        }
    }
    if (commandName == u"links disable") {
        options->reason = parser.value(QStringLiteral("reason"));
    }
    if (argument == u"CODE" && !isCodeShaped(options->subject)) {
        return session.fail(OpsRefused, QStringLiteral("no link %1").arg(options->subject));
    }
    return OpsDone;
}

int writeLinks(LinkStore& store, bool exporting, const CommandOptions& options, Session& session)
{
    RecordWriter writer(session.out(), options.format);
    bool written = writer.begin();
    const auto visit = [&](const StoredLink& link) { return written = writer.write(link); };
    const StoreStatus listed = exporting ? store.exportLinks(visit) : store.listLinks(options.query, visit);
    if (listed != StoreStatus::Ok && written) {
        return session.fail(OpsRefused, store.lastError());
    }
    if (!written || !writer.end()) {
        return session.fail(OpsRefused, QStringLiteral("cannot write the output"));
    }
    return OpsDone;
}

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
        RecordWriter writer(session.out(), RecordFormat::Table);
        writer.begin();
        for (const StoredLink& link : std::as_const(mostVisited)) {
            writer.write(link);
        }
    }
    return OpsDone;
}

void showLink(const StoredLink& link, Session& session)
{
    // What an operator reads is shown as the preview page shows it: nothing invisible, nothing reordered.
    QString text = u"code:    " % link.code % u"\ntype:    " % QString::number(link.type) % u"\nstate:   "
        % stateName(link.state) % u"\naddress: " % withVisibleControls(link.target) % u"\ncreated: "
        % isoTime(link.createdSecs) % u"\nvisits:  " % QString::number(link.visits) % u'\n';
    if (!link.reason.isEmpty()) {
        text += u"reason:  " % withVisibleControls(link.reason) % u'\n';
    }
    if (link.changedSecs != 0) {
        text += QStringLiteral("changed: %1\n").arg(isoTime(link.changedSecs));
    }
    session.out().write(text.toUtf8());
}

// show, disable, enable and delete: one link, by its code.
int onOneLink(LinkStore& store, const QString& commandName, const CommandOptions& options, Session& session)
{
    const QString& code = options.subject;
    const LookupResult found = store.findByCode(code);
    if (found.status == StoreStatus::Failed) {
        return session.fail(OpsRefused, store.lastError());
    }
    if (found.status != StoreStatus::Ok) {
        return session.fail(OpsRefused, QStringLiteral("no link %1").arg(code));
    }
    const StoredLink& link = found.link;
    if (commandName == u"links show") {
        showLink(link, session);
        return OpsDone;
    }
    if (link.state == LinkState::Deleted) {
        return session.fail(OpsRefused, QStringLiteral("%1 is deleted; a deleted link stays deleted").arg(code));
    }
    LinkState wanted = LinkState::Active;
    if (commandName == u"links disable") {
        wanted = LinkState::Disabled;
    } else if (commandName == u"links delete") {
        wanted = LinkState::Deleted;
    } else if (link.state == LinkState::Active) {
        session.say(QStringLiteral("%1 is active already").arg(code));
        return OpsDone;
    }
    const StoreStatus changed = store.setState(code, wanted, options.reason, QDateTime::currentSecsSinceEpoch());
    if (changed == StoreStatus::Failed) {
        return session.fail(OpsRefused, store.lastError());
    }
    if (changed != StoreStatus::Ok) {
        return session.fail(OpsRefused, QStringLiteral("no link %1").arg(code));
    }
    session.say(QStringLiteral("%1: %2 (%3)").arg(code, stateName(wanted), withVisibleControls(link.target)));
    return OpsDone;
}
} // namespace

bool isOperatorCommand(const QStringList& arguments)
{
    return arguments.size() > 1 && (arguments.at(1) == u"links" || arguments.at(1) == u"stats");
}

int runOperatorCommand(
    const QStringList& arguments, const QProcessEnvironment& environment, QIODevice& out, QIODevice& err)
{
    qsizetype consumed = 0;
    QString name;
    const Command* command = findCommand(arguments, &consumed, &name);
    if (!command) {
        err.write(QStringLiteral("%1: unknown command \"%2\"; the commands are:%3\n(each with --help)\n")
                      .arg(Program, name.trimmed(), commandList())
                      .toUtf8());
        return OpsBadUsage;
    }
    Session session(out, err, *command);
    const QString commandName = QString::fromLatin1(command->name);
    const QString argument = QString::fromLatin1(command->arguments);

    QCommandLineParser parser;
    parser.setApplicationDescription(QString::fromLatin1(command->description));
    const QCommandLineOption help = parser.addHelpOption();
    addOptions(parser, commandName, argument);
    if (!parser.parse(QStringList {Program % u' ' % commandName} + arguments.mid(consumed))) {
        return session.fail(OpsBadUsage, parser.errorText());
    }
    if (parser.isSet(help)) {
        QString text = parser.helpText();
        text = QStringLiteral("Usage: %1 %2 [options] %3").arg(Program, commandName, argument).trimmed()
            + text.mid(text.indexOf(u'\n'));
        out.write(text.toUtf8());
        return OpsDone;
    }

    // Every value is checked before the database is touched.
    CommandOptions options;
    if (const int status = readOptions(parser, commandName, argument, session, &options); status != OpsDone) {
        return status;
    }
    std::unique_ptr<QFile> input;
    if (commandName == u"links import") {
        input = std::make_unique<QFile>();
        const QString& file = options.subject;
        const bool opened = file == u"-" ? input->open(stdin, QIODevice::ReadOnly)
                                         : (input->setFileName(file), input->open(QIODevice::ReadOnly));
        if (!opened) {
            return session.fail(OpsRefused, QStringLiteral("cannot read %1: %2").arg(file, input->errorString()));
        }
    }

    int status = OpsDone;
    ServiceConfig config;
    const std::unique_ptr<LinkStore> store
        = openStore(parser, environment, input != nullptr, session, &status, &config);
    if (!store) {
        return status;
    }
    if (commandName == u"links list" || commandName == u"links export") {
        return writeLinks(*store, commandName == u"links export", options, session);
    }
    if (commandName == u"stats") {
        return writeStats(*store, options.top, session);
    }
    if (input) {
        // The front door's rules, with this service's own addresses as its options name them.
        const ImportResult imported
            = importLinks(*input, *store, {config.ownBases(), config.port, QDateTime::currentSecsSinceEpoch()},
                [&session](const QString& line) { session.say(line); });
        if (!imported.failure.isEmpty()) {
            return session.fail(OpsRefused, imported.failure);
        }
        session.say(imported.summary());
        return imported.refused == 0 ? OpsDone : OpsRefused;
    }
    return onOneLink(*store, commandName, options, session);
}

} // namespace Shortd
