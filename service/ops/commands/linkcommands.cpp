#include "cluster/clusterfeed.h"
#include "displaytext.h"
#include "links/checkresult.h"
#include "links/codes.h"
#include "links/destinationcheck.h"
#include "links/fields.h"
#include "ops/commands/commands.h"
#include "ops/linkrecords.h"
#include "ops/operatorcommands.h"
#include "ops/serviceblocklists.h"

#include <QCommandLineParser>
#include <QDateTime>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QIODevice>
#include <QStringBuilder>
#include <QThread>
#include <algorithm>
#include <optional>
#include <pwd.h>
#include <unistd.h>
#include <utility>

namespace Shortd
{
namespace
{
constexpr std::pair<QLatin1StringView, StateFilter> StateFilters[] {
    {QLatin1StringView("active"), StateFilter::Active},
    {QLatin1StringView("disabled"), StateFilter::Disabled},
    {QLatin1StringView("deleted"), StateFilter::Deleted},
    {QLatin1StringView("expired"), StateFilter::Expired},
    {QLatin1StringView("quarantined"), StateFilter::Quarantined},
};

int writeLinks(Store& store, RecordFormat format, const std::optional<LinkQuery>& query, Session& session)
{
    RecordWriter writer(session.out(), format, QDateTime::currentSecsSinceEpoch());
    bool written = writer.begin();
    const auto visit = [&](const StoredLink& link) { return written = writer.write(link); };
    const StoreStatus listed
        = query ? store.linkAdmin()->listLinks(*query, visit) : store.linkArchive()->exportLinks(visit);
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
    if (parser.isSet(QStringLiteral("state"))) {
        const QString name = parser.value(QStringLiteral("state"));
        const auto* const found = std::find_if(std::begin(StateFilters), std::end(StateFilters),
            [&name](const std::pair<QLatin1StringView, StateFilter>& filter) { return filter.first == name; });
        if (found == std::end(StateFilters)) {
            return refusedWith(
                session.fail(OpsBadUsage, QStringLiteral("--state is active, disabled, deleted or expired")));
        }
        query.state = found->second;
    }
    query.tag = parser.value(QStringLiteral("tag"));
    const QString formatName = parser.value(QStringLiteral("format"));
    RecordFormat format = RecordFormat::Table;
    if (formatName == u"json") {
        format = RecordFormat::Json;
    } else if (formatName == u"csv") {
        format = RecordFormat::Csv;
    } else if (formatName != u"table") {
        return refusedWith(session.fail(OpsBadUsage, QStringLiteral("--format is table, json or csv")));
    }
    return {OpsDone, [query, format, &session](Store& store, const ServiceConfig&) {
                LinkQuery now = query;
                now.nowSecs = QDateTime::currentSecsSinceEpoch();
                return writeLinks(store, format, now, session);
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
        [format, &session](Store& store, const ServiceConfig&) { return writeLinks(store, format, {}, session); }};
}

Fault noLink(const QString& code)
{
    return {FaultKind::Missing, {}, QStringLiteral("no link %1").arg(code)};
}

// The link a command names by its code, or why there is none to be had.
Result<StoredLink> findLink(Store& store, const QString& code)
{
    const LookupResult found = store.links().findByCode(code);
    if (found.status == StoreStatus::Ok) {
        return found.link;
    }
    return found.status == StoreStatus::Failed ? Fault {FaultKind::Unavailable, {}, store.lastError()} : noLink(code);
}

// A code that cannot be one, drawn or chosen, is refused without asking the store.
Result<Done> checkCode(const QString& code)
{
    if (mayBeStoredCode(code)) {
        return Done {};
    }
    return noLink(code);
}

// One link, a field a line; the fields a link may lack only when it has them.
QString linkText(const StoredLink& stored)
{
    // Nothing stored reaches the terminal as a control character, nor invisible or reordering.
    const StoredLink link = shownOnTerminal(stored);
    const bool expired = link.state == LinkState::Active && isExpired(link, QDateTime::currentSecsSinceEpoch());
    QString text = u"code:    " % link.code % (link.chosen ? QStringLiteral(" (chosen)") : QString()) % u"\ntype:    "
        % QString::number(link.type) % u"\nstate:   " % stateName(link.state)
        % (expired ? QStringLiteral(" (expired)") : QString()) % u"\naddress: " % link.target % u"\ncreated: "
        % isoTime(link.createdSecs) % u"\nvisits:  " % QString::number(link.visits)
        % (link.maxVisits > 0 ? QStringLiteral(" of at most %1").arg(link.maxVisits) : QString()) % u'\n';
    if (link.expiresSecs > 0) {
        text += u"ends:    " % isoTime(link.expiresSecs) % u'\n';
    }
    if (!link.title.isEmpty()) {
        text += u"title:   " % link.title % u'\n';
    }
    if (!link.tags.isEmpty()) {
        text += u"tags:    " % link.tags.join(QLatin1StringView(", ")) % u'\n';
    }
    if (!link.owner.isEmpty()) {
        text += u"owner:   " % link.owner % u'\n';
    }
    if (!link.reason.isEmpty()) {
        text += u"reason:  " % link.reason % u'\n';
    }
    if (!link.disabledBy.isEmpty()) {
        text += u"by:      " % link.disabledBy
            % (link.takedown ? QStringLiteral(" (an admin or an operator)") : QStringLiteral(" (its creator)")) % u'\n';
    }
    if (link.changedSecs != 0) {
        text += QStringLiteral("changed: %1\n").arg(isoTime(link.changedSecs));
    }
    if (link.state == LinkState::Quarantined) {
        text += u"quarantined: " % isoTime(link.quarantine.atSecs) % u", list " % forTerminal(link.quarantine.list)
            % u", entry " % forTerminal(link.quarantine.entry) % u'\n';
    }
    if (link.blocked > 0) {
        text += QStringLiteral("blocked: %1 requests turned away\n").arg(link.blocked);
    }
    if (link.check.atSecs > 0) {
        text += u"checked: " % isoTime(link.check.atSecs) % u", " % forTerminal(link.check.outcome)
            % (link.check.status > 0 ? u' ' + QString::number(link.check.status) : QString()) % u", final "
            % forTerminal(link.check.finalUrl) % u'\n';
    }
    if (link.check.dead) {
        text += QStringLiteral("dead:    yes, its destination failed %1 checks in a row\n").arg(link.check.failures);
    }
    return text;
}

int showLink(Store& store, const QString& code, Session& session)
{
    const Result<StoredLink> found = findLink(store, code);
    if (!found) {
        return session.fail(found.fault());
    }
    session.out().write(linkText(*found).toUtf8());
    return OpsDone;
}

CheckedCommand checkShow(const QCommandLineParser&, const QString& code, Session& session)
{
    if (const Result<Done> known = checkCode(code); !known) {
        return refusedWith(session.fail(known.fault()));
    }
    return {OpsDone, [code, &session](Store& store, const ServiceConfig&) { return showLink(store, code, session); }};
}

// Waits, for a short while, until the running instances say they have dropped the link they held:
// how many did, of how many run.
QString acknowledgedBy(Store& store, const QString& code)
{
    constexpr int WaitMs = 2000;
    constexpr int PauseMs = 20;
    ChangeLog* log = store.changeLog();
    if (!log) {
        return {};
    }
    const std::optional<qint64> change = log->newestChangeOf(code);
    if (!change || *change == 0) {
        return {};
    }
    const QDeadlineTimer deadline(WaitMs);
    std::optional<Acknowledgements> acks;
    for (;;) {
        acks = log->acknowledgements(*change, QDateTime::currentMSecsSinceEpoch() - InstanceLiveMs);
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

// The system user who runs the command, as a take-down keeps it.
QString systemUser()
{
    if (const passwd* entry = getpwuid(geteuid()); entry && entry->pw_name) {
        return QString::fromLocal8Bit(entry->pw_name);
    }
    return QString::number(geteuid());
}

// disable, enable and delete. A reason left out (nullopt) keeps the one the link has.
int changeState(
    Store& store, const QString& code, LinkState wanted, const std::optional<QString>& reason, Session& session)
{
    const Result<StoredLink> link = findLink(store, code);
    if (!link) {
        return session.fail(link.fault());
    }
    if (link->state == LinkState::Deleted) {
        return session.fail(OpsRefused, QStringLiteral("%1 is deleted; a deleted link stays deleted").arg(code));
    }
    if (wanted == LinkState::Active && link->state == LinkState::Active) {
        session.say(QStringLiteral("%1 is active already").arg(code));
        return OpsDone;
    }
    // Enabling would leave the entry that stopped it to stop it again at the next reload.
    if (wanted == LinkState::Active && link->state == LinkState::Quarantined) {
        return session.fail(OpsRefused, QStringLiteral("%1 is quarantined; links release %1 puts it back").arg(code));
    }
    // A reason its creator wrote is not made the operator's own, which the 410 page would show.
    const QString keptReason = link->takedown ? link->reason : QString();
    const StoreStatus changed = store.linkAdmin()->setState(
        code, wanted, reason.value_or(keptReason), shellActor(systemUser()), QDateTime::currentSecsSinceEpoch());
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

// Puts the destination of a link just taken down on the service's own list, so no instance lets
// it be shortened again.
int blockDestination(
    Store& store, const QString& code, bool wholeHost, const std::optional<QString>& reason, Session& session)
{
    const Result<StoredLink> link = findLink(store, code);
    if (!link) {
        return session.fail(link.fault());
    }
    LocalBlocks* blocks = store.localBlocks();
    if (!blocks) {
        return session.fail(OpsRefused, QStringLiteral("this store keeps no local blocklist"));
    }
    const QString entry = localBlockEntry(link->target, wholeHost);
    if (entry.isEmpty()) {
        return session.fail(OpsRefused, QStringLiteral("%1's destination has no host to block").arg(code));
    }
    const StoreStatus added = blocks->addBlock({entry, wholeHost ? LocalBlock::Kind::Host : LocalBlock::Kind::Address,
        shellActor(systemUser()).name, reason.value_or(link->reason), QDateTime::currentSecsSinceEpoch()});
    if (added == StoreStatus::Failed) {
        return session.fail(OpsRefused, store.lastError());
    }
    session.say(added == StoreStatus::Ok ? QStringLiteral("blocked: %1").arg(forTerminal(entry))
                                         : QStringLiteral("%1 is blocked already").arg(forTerminal(entry)));
    return OpsDone;
}

CheckedCommand checkDisable(const QCommandLineParser& parser, const QString& code, Session& session)
{
    std::optional<bool> blockHost; // none: the destination is not blocked
    if (parser.isSet(QStringLiteral("block"))) {
        const QString block = parser.value(QStringLiteral("block"));
        if (block != u"address" && block != u"host") {
            return refusedWith(session.fail(OpsBadUsage, QStringLiteral("--block is address or host")));
        }
        blockHost = block == u"host";
    }
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
    if (const Result<Done> known = checkCode(code); !known) {
        return refusedWith(session.fail(known.fault()));
    }
    return {OpsDone, [code, reason, blockHost, &session](Store& store, const ServiceConfig&) {
                const int disabled = changeState(store, code, LinkState::Disabled, reason, session);
                if (disabled != OpsDone || !blockHost) {
                    return disabled;
                }
                return blockDestination(store, code, *blockHost, reason, session);
            }};
}

// Puts a quarantined link back and exempts it from the entry that stopped it.
int releaseLink(Store& store, const QString& code, Session& session)
{
    const Result<StoredLink> link = findLink(store, code);
    if (!link) {
        return session.fail(link.fault());
    }
    LinkQuarantine* quarantine = store.linkQuarantine();
    if (!quarantine) {
        return session.fail(OpsRefused, QStringLiteral("this store keeps no quarantine"));
    }
    const StoreStatus released
        = quarantine->release(code, shellActor(systemUser()), QDateTime::currentSecsSinceEpoch());
    if (released == StoreStatus::Failed) {
        return session.fail(OpsRefused, store.lastError());
    }
    if (released != StoreStatus::Ok) {
        return session.fail(
            OpsRefused, QStringLiteral("%1 is not quarantined; it is %2").arg(code, stateName(link->state)));
    }
    session.say(QStringLiteral("%1: active, no longer stopped by %2 %3 (%4)")
                    .arg(code, forTerminal(link->quarantine.list), forTerminal(link->quarantine.entry),
                        forTerminal(link->target)));
    if (const QString acknowledged = acknowledgedBy(store, code); !acknowledged.isEmpty()) {
        session.say(acknowledged);
    }
    return OpsDone;
}

CheckedCommand checkRelease(const QCommandLineParser&, const QString& code, Session& session)
{
    if (const Result<Done> known = checkCode(code); !known) {
        return refusedWith(session.fail(known.fault()));
    }
    return {
        OpsDone, [code, &session](Store& store, const ServiceConfig&) { return releaseLink(store, code, session); }};
}

// enable and delete, which take no reason: the store keeps one only on a disabled link.
std::function<CheckedCommand(const QCommandLineParser&, const QString&, Session&)> checkStateChange(LinkState wanted)
{
    return [wanted](const QCommandLineParser&, const QString& code, Session& session) -> CheckedCommand {
        if (const Result<Done> known = checkCode(code); !known) {
            return refusedWith(session.fail(known.fault()));
        }
        return {OpsDone, [code, wanted, &session](Store& store, const ServiceConfig&) {
                    return changeState(store, code, wanted, QString(), session);
                }};
    };
}
int setFields(Store& store, const QString& code, const LinkPatch& patch, Session& session)
{
    const LookupResult updated = store.linkAdmin()->updateLink(code, patch, QDateTime::currentSecsSinceEpoch());
    if (updated.status == StoreStatus::Failed) {
        return session.fail(OpsRefused, store.lastError());
    }
    if (updated.status != StoreStatus::Ok) {
        // Missing: no such code, or a deleted link; which one, the operator is told.
        const LookupResult found = store.links().findByCode(code);
        return session.fail(OpsRefused,
            found.status == StoreStatus::Ok ? QStringLiteral("%1 is deleted; a deleted link stays deleted").arg(code)
                                            : QStringLiteral("no link %1").arg(code));
    }
    session.out().write(linkText(updated.link).toUtf8());
    session.say(QStringLiteral("%1: changed").arg(code));
    return OpsDone;
}

CheckedCommand checkSet(const QCommandLineParser& parser, const QString& code, Session& session)
{
    LinkPatch patch;
    if (parser.isSet(QStringLiteral("expires"))) {
        const QString text = parser.value(QStringLiteral("expires"));
        const std::optional<qint64> secs = text == u"never" ? std::optional<qint64>(0) : parseIsoTime(text);
        if (!secs || *secs < 0 || (*secs == 0 && text != u"never")) {
            return refusedWith(session.fail(OpsBadUsage,
                QStringLiteral("--expires is a date such as 2027-01-31, an ISO 8601 time (UTC unless it says), or "
                               "never")));
        }
        patch.expiresSecs = *secs;
    }
    if (parser.isSet(QStringLiteral("max-visits"))) {
        const QString text = parser.value(QStringLiteral("max-visits"));
        bool ok = text == u"none";
        const qint64 limit = ok ? 0 : text.toLongLong(&ok);
        if (!ok || limit < 0 || limit > MaximumVisitLimit || (limit == 0 && text != u"none")) {
            return refusedWith(session.fail(
                OpsBadUsage, QStringLiteral("--max-visits is a number from 1 to %1, or none").arg(MaximumVisitLimit)));
        }
        patch.maxVisits = limit;
    }
    if (parser.isSet(QStringLiteral("title"))) {
        patch.title = parser.value(QStringLiteral("title"));
    }
    if (parser.isSet(QStringLiteral("tag")) && parser.isSet(QStringLiteral("no-tags"))) {
        return refusedWith(session.fail(OpsBadUsage, QStringLiteral("--tag and --no-tags exclude each other")));
    }
    if (parser.isSet(QStringLiteral("tag")) || parser.isSet(QStringLiteral("no-tags"))) {
        QStringList tags = parser.values(QStringLiteral("tag"));
        tags.removeDuplicates();
        patch.tags = tags;
    }
    if (!patch.expiresSecs && !patch.maxVisits && !patch.title && !patch.tags) {
        return refusedWith(session.fail(OpsBadUsage,
            QStringLiteral("nothing to change: give --expires, --max-visits, --title, --tag or --no-tags")));
    }
    StoredLink given;
    given.title = patch.title.value_or(QString());
    given.tags = patch.tags.value_or(QStringList {});
    if (const Result<Done> fields = checkLinkFields(given); !fields) {
        return refusedWith(session.fail(fields.fault()));
    }
    if (const Result<Done> known = checkCode(code); !known) {
        return refusedWith(session.fail(known.fault()));
    }
    return {OpsDone,
        [code, patch, &session](Store& store, const ServiceConfig&) { return setFields(store, code, patch, session); }};
}

// One check's answer, a field a line; what came from the destination's servers (addresses, the
// lists' entries) cannot drive the terminal.
QString checkText(const QString& code, const QString& target, const ProbeAnswer& answer)
{
    QString text = u"code:     " % code % u"\naddress:  " % forTerminal(target) % u"\noutcome:  "
        % probeOutcomeName(answer.outcome) % u"\nstatus:   "
        % (answer.status > 0 ? QString::number(answer.status) : QStringLiteral("none")) % u"\nfinal:    "
        % forTerminal(answer.finalUrl) % u'\n';
    for (const ProbeHop& hop : answer.hops) {
        text += u"hop:      " % (hop.status > 0 ? QString::number(hop.status) : QStringLiteral("-")) % u' '
            % forTerminal(hop.url) % u'\n';
    }
    if (answer.listed) {
        text += u"listed:   " % forTerminal(answer.listed->list) % u": " % forTerminal(answer.listed->entry)
            % (answer.listedHop.isEmpty() ? QString() : u" (at " % forTerminal(answer.listedHop) % u')') % u'\n';
    }
    if (!answer.refusedAddress.isEmpty()) {
        text += u"refused:  " % forTerminal(answer.refusedAddress) % u" (" % forTerminal(answer.refusedRange) % u")\n";
    }
    if (!answer.detail.isEmpty()) {
        text += u"detail:   " % forTerminal(answer.detail) % u'\n';
    }
    text += QStringLiteral("took:     %1 ms\ndead:     %2\n")
                .arg(answer.took.count())
                .arg(answer.dead() ? QStringLiteral("yes, counts toward dead") : QStringLiteral("no"));
    return text;
}

// Checks the link's destination once, as the service's checks do, and prints what was met: the
// check ran, whatever it found.
// allowPrivate: --check-private as the command was given it; left out, the service's setting.
int checkDestination(
    Store& store, const QString& code, const ServiceConfig& config, std::optional<bool> allowPrivate, Session& session)
{
    const Result<StoredLink> link = findLink(store, code);
    if (!link) {
        return session.fail(link.fault());
    }
    const Result<std::unique_ptr<BlocklistSet>> lists = serviceBlocklists(config, true);
    if (!lists) {
        return session.fail(OpsRefused, QStringLiteral("nothing checked: %1").arg(lists.fault().english));
    }
    DestinationProbe probe(**lists, AddressGuard(allowPrivate.value_or(config.checkPrivate)));
    std::optional<ProbeAnswer> answer;
    QEventLoop loop;
    QObject::connect(&probe, &DestinationProbe::finished, &loop, [&](const ProbeAnswer& got) {
        answer = got;
        loop.quit();
    });
    // The probe answers within its own time limit; it may answer before start returns.
    probe.start(link->target);
    if (!answer) {
        loop.exec();
    }
    session.out().write(checkText(code, link->target, *answer).toUtf8());
    // Kept as the link's last check, as the service's own checks keep theirs.
    LinkChecks* checks = store.linkChecks();
    const CheckResult result = checkResult(*answer, QDateTime::currentSecsSinceEpoch());
    if (!checks
        || checks->recordCheck(code, result.check, result.effect, DeadAfterFailures).status != StoreStatus::Ok) {
        session.say(QStringLiteral("the check was not kept as the link's last: %1").arg(store.lastError()));
    }
    return OpsDone;
}

CheckedCommand checkCheck(const QCommandLineParser& parser, const QString& code, Session& session)
{
    std::optional<bool> allowPrivate;
    if (parser.isSet(QStringLiteral("check-private"))) {
        const QString value = parser.value(QStringLiteral("check-private"));
        if (value != u"on" && value != u"off") {
            return refusedWith(session.fail(OpsBadUsage, QStringLiteral("--check-private is on or off")));
        }
        allowPrivate = value == u"on";
    }
    if (const Result<Done> known = checkCode(code); !known) {
        return refusedWith(session.fail(known.fault()));
    }
    return {OpsDone, [code, allowPrivate, &session](Store& store, const ServiceConfig& config) {
                return checkDestination(store, code, config, allowPrivate, session);
            }};
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
                {QStringLiteral("state"),
                    QStringLiteral("Only links in STATE: active, disabled, deleted, or expired (active, but past "
                                   "its end or its visits used up; active leaves those out)."),
                    QStringLiteral("STATE")},
                {QStringLiteral("tag"), QStringLiteral("Only links carrying the tag TAG, exactly."),
                    QStringLiteral("TAG")},
                {QStringLiteral("format"), QStringLiteral("table (default), json or csv."), QStringLiteral("FORMAT"),
                    QStringLiteral("table")}},
            StoreAccess::Read, checkList},
        {QStringLiteral("links show"), code, codeHelp, QStringLiteral("Show one link."), {}, StoreAccess::Read,
            checkShow},
        {QStringLiteral("links set"), code, codeHelp,
            QStringLiteral("Change a link's end, visit limit, title or tags, then show it. A link past its end, or "
                           "with its visits used up, answers 410."),
            {{QStringLiteral("expires"),
                 QStringLiteral("The moment the link ends (2027-01-31, or an ISO 8601 time, UTC unless it says); "
                                "never: no end."),
                 QStringLiteral("DATE")},
                {QStringLiteral("max-visits"),
                    QStringLiteral("How many visits the link serves (1 to %1); none: no limit.").arg(MaximumVisitLimit),
                    QStringLiteral("N")},
                {QStringLiteral("title"),
                    QStringLiteral("The link's title (at most %1 characters; empty: none).").arg(MaximumTitleLength),
                    QStringLiteral("TEXT")},
                {QStringLiteral("tag"),
                    QStringLiteral("A tag (1 to %1 characters); repeat it for more, up to %2. Replaces the tags "
                                   "the link has.")
                        .arg(MaximumTagLength)
                        .arg(MaximumTags),
                    QStringLiteral("TAG")},
                {QStringLiteral("no-tags"), QStringLiteral("Remove every tag.")}},
            StoreAccess::Change, checkSet},
        {QStringLiteral("links disable"), code, codeHelp,
            QStringLiteral("Take a link down: it answers 410 and its address cannot be shortened again."),
            {{QStringLiteral("reason"),
                 QStringLiteral("Why, shown on the link's page (at most %1 characters). Left out, a reason an "
                                "operator or an admin gave before is kept.")
                     .arg(MaximumReasonLength),
                 QStringLiteral("TEXT")},
                {QStringLiteral("block"),
                    QStringLiteral("address or host: also put the link's address, or its host and every name "
                                   "under it, on the service's own list (blocks list), so no instance shortens it "
                                   "again."),
                    QStringLiteral("KIND")}},
            StoreAccess::Change, checkDisable},
        {QStringLiteral("links enable"), code, codeHelp, QStringLiteral("Put a disabled link back."), {},
            StoreAccess::Change, checkStateChange(LinkState::Active)},
        {QStringLiteral("links release"), code, codeHelp,
            QStringLiteral("Put a quarantined link back, and keep the list entry that stopped it from stopping it "
                           "again."),
            {}, StoreAccess::Change, checkRelease},
        {QStringLiteral("links delete"), code, codeHelp,
            QStringLiteral("Delete a link made by mistake: it answers 410, its code is never used again, and its "
                           "address can be shortened anew."),
            {}, StoreAccess::Change, checkStateChange(LinkState::Deleted)},
        {QStringLiteral("links check"), code, codeHelp,
            QStringLiteral("Check a link's destination once, as the service does, show what it met (each hop, "
                           "a list that holds one, an address refused) and keep it as the link's last check."),
            {{QStringLiteral("check-private"),
                QStringLiteral("For a lab only. on: the check may reach private, loopback and link-local addresses; "
                               "off: they are refused. Left out, as the service's NOLVEX_SHORTD_CHECK_PRIVATE says."),
                QStringLiteral("on|off")}},
            StoreAccess::Change, checkCheck},
        {QStringLiteral("links export"), {}, {}, QStringLiteral("Write every link to standard output."),
            {{QStringLiteral("format"), QStringLiteral("jsonl (default, one object a line) or csv."),
                QStringLiteral("FORMAT"), QStringLiteral("jsonl")}},
            StoreAccess::Read, checkExport},
    };
}

} // namespace Shortd
