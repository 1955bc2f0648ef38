#include "displaytext.h"
#include "links/codes.h"
#include "links/fields.h"
#include "ops/commands/commands.h"
#include "ops/linkrecords.h"
#include "ops/operatorcommands.h"
#include "store/clusterfeed.h"
#include "store/sqllinkstore.h"

#include <QCommandLineParser>
#include <QDateTime>
#include <QDeadlineTimer>
#include <QIODevice>
#include <QStringBuilder>
#include <QThread>
#include <optional>

namespace Shortd
{
namespace
{
int writeLinks(LinkStore& store, RecordFormat format, const std::optional<LinkQuery>& query, Session& session)
{
    RecordWriter writer(session.out(), format);
    bool written = writer.begin();
    const auto visit = [&](const StoredLink& link) {
        return written = writer.write(format == RecordFormat::Table ? shownOnTerminal(link) : link);
    };
    const StoreStatus listed = query ? store.listLinks(*query, visit) : store.exportLinks(visit);
    if (listed != StoreStatus::Ok && written) {
        return session.fail(OpsRefused, store.lastError());
    }
    if (!written || !writer.end()) {
        return session.fail(OpsRefused, QStringLiteral("cannot write the output"));
    }
    return OpsDone;
}

CheckedCommand checkList(const QCommandLineParser& parser, const QString&, Session& session)
{
    LinkQuery query;
    if (parser.isSet(QStringLiteral("type"))) {
        const std::optional<int> type = parseLinkType(parser.value(QStringLiteral("type")));
        if (!type) {
            return refusedWith(session.fail(OpsBadUsage, QStringLiteral("--type is a digit from 0 to 5")));
        }
        query.type = *type;
    }
    query.search = parser.value(QStringLiteral("search"));
    if (parser.isSet(QStringLiteral("since"))) {
        const std::optional<qint64> since = parseIsoTime(parser.value(QStringLiteral("since")));
        if (!since) {
            return refusedWith(session.fail(OpsBadUsage, QStringLiteral("--since is a date such as 2026-12-01")));
        }
        query.sinceSecs = *since;
    }
    if (parser.isSet(QStringLiteral("limit"))) {
        bool ok = false;
        query.limit = parser.value(QStringLiteral("limit")).toLongLong(&ok);
        if (!ok || query.limit < 0) {
            return refusedWith(session.fail(OpsBadUsage, QStringLiteral("--limit is a number of links")));
        }
    }
    const QString formatName = parser.value(QStringLiteral("format"));
    RecordFormat format = RecordFormat::Table;
    if (formatName == u"json") {
        format = RecordFormat::Json;
    } else if (formatName == u"csv") {
        format = RecordFormat::Csv;
    } else if (formatName != u"table") {
        return refusedWith(session.fail(OpsBadUsage, QStringLiteral("--format is table, json or csv")));
    }
    return {OpsDone, [query, format, &session](LinkStore& store, const ServiceConfig&) {
                return writeLinks(store, format, query, session);
            }};
}

CheckedCommand checkExport(const QCommandLineParser& parser, const QString&, Session& session)
{
    const QString formatName = parser.value(QStringLiteral("format"));
    if (formatName != u"jsonl" && formatName != u"csv") {
        return refusedWith(session.fail(OpsBadUsage, QStringLiteral("--format is jsonl or csv")));
    }
    const RecordFormat format = formatName == u"csv" ? RecordFormat::Csv : RecordFormat::JsonLines;
    return {OpsDone,
        [format, &session](LinkStore& store, const ServiceConfig&) { return writeLinks(store, format, {}, session); }};
}

// The link a command names by its code; nullopt when there is none (the message given).
std::optional<StoredLink> findLink(LinkStore& store, const QString& code, Session& session, int* status)
{
    const LookupResult found = store.findByCode(code);
    if (found.status == StoreStatus::Ok) {
        return found.link;
    }
    *status = session.fail(
        OpsRefused, found.status == StoreStatus::Failed ? store.lastError() : QStringLiteral("no link %1").arg(code));
    return std::nullopt;
}

// A code that cannot be one is refused without asking the store.
bool checkCode(const QString& code, Session& session)
{
    if (isCodeShaped(code)) {
        return true;
    }
    session.fail(OpsRefused, QStringLiteral("no link %1").arg(code));
    return false;
}

int showLink(LinkStore& store, const QString& code, Session& session)
{
    int status = OpsDone;
    const std::optional<StoredLink> found = findLink(store, code, session, &status);
    if (!found) {
        return status;
    }
    // Nothing stored reaches the terminal as a control character, nor invisible or reordering.
    const StoredLink link = shownOnTerminal(*found);
    QString text = u"code:    " % link.code % u"\ntype:    " % QString::number(link.type) % u"\nstate:   "
        % stateName(link.state) % u"\naddress: " % link.target % u"\ncreated: " % isoTime(link.createdSecs)
        % u"\nvisits:  " % QString::number(link.visits) % u'\n';
    if (!link.reason.isEmpty()) {
        text += u"reason:  " % link.reason % u'\n';
    }
    if (link.changedSecs != 0) {
        text += QStringLiteral("changed: %1\n").arg(isoTime(link.changedSecs));
    }
    session.out().write(text.toUtf8());
    return OpsDone;
}

CheckedCommand checkShow(const QCommandLineParser&, const QString& code, Session& session)
{
    if (!checkCode(code, session)) {
        return refusedWith(OpsRefused);
    }
    return {
        OpsDone, [code, &session](LinkStore& store, const ServiceConfig&) { return showLink(store, code, session); }};
}

// Waits, for a short while, until the running instances say they have dropped the link they held:
// how many did, of how many run.
QString acknowledgedBy(LinkStore& store, const QString& code)
{
    const auto* sql = dynamic_cast<SqlLinkStore*>(&store);
    if (!sql) {
        return {};
    }
    constexpr int WaitMs = 2000;
    constexpr int PauseMs = 20;
    const QSqlDatabase db = sql->connection();
    const std::optional<qint64> change = ClusterFeed::newestChangeOf(db, code);
    if (!change || *change == 0) {
        return {};
    }
    const QDeadlineTimer deadline(WaitMs);
    std::optional<Acknowledgements> acks;
    for (;;) {
        acks = ClusterFeed::acknowledgements(db, *change, QDateTime::currentMSecsSinceEpoch());
        if (!acks || acks->acknowledged >= acks->live || deadline.hasExpired()) {
            break;
        }
        QThread::msleep(PauseMs);
    }
    if (!acks) {
        return QStringLiteral("cannot tell which running instances have seen the change");
    }
    if (acks->live == 0) {
        return QStringLiteral("no instance of the service is running");
    }
    QString text = QStringLiteral("acknowledged by %1 of %2 running instances").arg(acks->acknowledged).arg(acks->live);
    if (acks->acknowledged < acks->live) {
        text += QStringLiteral(" within %1 s; the others drop it when their cache entry expires").arg(WaitMs / 1000);
    }
    return text;
}

// disable, enable and delete. A reason left out (nullopt) keeps the one the link has.
int changeState(
    LinkStore& store, const QString& code, LinkState wanted, const std::optional<QString>& reason, Session& session)
{
    int status = OpsDone;
    const std::optional<StoredLink> link = findLink(store, code, session, &status);
    if (!link) {
        return status;
    }
    if (link->state == LinkState::Deleted) {
        return session.fail(OpsRefused, QStringLiteral("%1 is deleted; a deleted link stays deleted").arg(code));
    }
    if (wanted == LinkState::Active && link->state == LinkState::Active) {
        session.say(QStringLiteral("%1 is active already").arg(code));
        return OpsDone;
    }
    const StoreStatus changed
        = store.setState(code, wanted, reason.value_or(link->reason), QDateTime::currentSecsSinceEpoch());
    if (changed == StoreStatus::Failed) {
        return session.fail(OpsRefused, store.lastError());
    }
    if (changed != StoreStatus::Ok) {
        return session.fail(OpsRefused, QStringLiteral("no link %1").arg(code));
    }
    session.say(QStringLiteral("%1: %2 (%3)").arg(code, stateName(wanted), forTerminal(link->target)));
    if (const QString acknowledged = acknowledgedBy(store, code); !acknowledged.isEmpty()) {
        session.say(acknowledged);
    }
    return OpsDone;
}

CheckedCommand checkDisable(const QCommandLineParser& parser, const QString& code, Session& session)
{
    std::optional<QString> reason;
    if (parser.isSet(QStringLiteral("reason"))) {
        reason = parser.value(QStringLiteral("reason"));
        if (reason->size() > MaximumReasonLength) {
            return refusedWith(session.fail(OpsBadUsage,
                QStringLiteral("--reason is at most %1 characters; this one has %2")
                    .arg(MaximumReasonLength)
                    .arg(reason->size())));
        }
    }
    if (!checkCode(code, session)) {
        return refusedWith(OpsRefused);
    }
    return {OpsDone, [code, reason, &session](LinkStore& store, const ServiceConfig&) {
                return changeState(store, code, LinkState::Disabled, reason, session);
            }};
}

// enable and delete, which take no reason: the store keeps one only on a disabled link.
std::function<CheckedCommand(const QCommandLineParser&, const QString&, Session&)> checkStateChange(LinkState wanted)
{
    return [wanted](const QCommandLineParser&, const QString& code, Session& session) -> CheckedCommand {
        if (!checkCode(code, session)) {
            return refusedWith(OpsRefused);
        }
        return {OpsDone, [code, wanted, &session](LinkStore& store, const ServiceConfig&) {
                    return changeState(store, code, wanted, QString(), session);
                }};
    };
}
} // namespace

QList<OperatorCommand> linkCommands()
{
    const QString code = QStringLiteral("CODE");
    const QString codeHelp = QStringLiteral("The link's code.");
    return {
        {QStringLiteral("links list"), {}, {}, QStringLiteral("List links, newest first."),
            {{QStringLiteral("type"), QStringLiteral("Only links of this type (0-5)."), QStringLiteral("N")},
                {QStringLiteral("search"), QStringLiteral("Only links whose code or address contains TEXT."),
                    QStringLiteral("TEXT")},
                {QStringLiteral("since"),
                    QStringLiteral("Only links made on or after DATE (2026-12-01, or an ISO 8601 time, UTC unless "
                                   "it says)."),
                    QStringLiteral("DATE")},
                {QStringLiteral("limit"), QStringLiteral("At most N links."), QStringLiteral("N")},
                {QStringLiteral("format"), QStringLiteral("table (default), json or csv."), QStringLiteral("FORMAT"),
                    QStringLiteral("table")}},
            StoreAccess::Read, checkList},
        {QStringLiteral("links show"), code, codeHelp, QStringLiteral("Show one link."), {}, StoreAccess::Read,
            checkShow},
        {QStringLiteral("links disable"), code, codeHelp,
            QStringLiteral("Take a link down: it answers 410 and its address cannot be shortened again."),
            {{QStringLiteral("reason"),
                QStringLiteral("Why, shown on the link's page (at most %1 characters). Left out, a reason given "
                               "before is kept.")
                    .arg(MaximumReasonLength),
                QStringLiteral("TEXT")}},
            StoreAccess::Change, checkDisable},
        {QStringLiteral("links enable"), code, codeHelp, QStringLiteral("Put a disabled link back."), {},
            StoreAccess::Change, checkStateChange(LinkState::Active)},
        {QStringLiteral("links delete"), code, codeHelp,
            QStringLiteral("Delete a link made by mistake: it answers 410, its code is never used again, and its "
                           "address can be shortened anew."),
            {}, StoreAccess::Change, checkStateChange(LinkState::Deleted)},
        {QStringLiteral("links export"), {}, {}, QStringLiteral("Write every link to standard output."),
            {{QStringLiteral("format"), QStringLiteral("jsonl (default, one object a line) or csv."),
                QStringLiteral("FORMAT"), QStringLiteral("jsonl")}},
            StoreAccess::Read, checkExport},
    };
}

} // namespace Shortd
