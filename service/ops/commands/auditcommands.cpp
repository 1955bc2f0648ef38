#include "displaytext.h"
#include "ops/commands/commands.h"
#include "ops/linkrecords.h"
#include "ops/operatorcommands.h"

#include <QCommandLineParser>
#include <QIODevice>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringBuilder>

namespace Shortd
{
namespace
{
enum class AuditFormat { Table, Json, Csv };

QString auditLine(const AuditRecord& record, AuditFormat format)
{
    switch (format) {
    case AuditFormat::Json:
        return QString::fromUtf8(QJsonDocument(
            QJsonObject {{QStringLiteral("id"), record.id}, {QStringLiteral("at"), isoTime(record.atSecs)},
                {QStringLiteral("actor"), record.actor}, {QStringLiteral("action"), record.action},
                {QStringLiteral("subject"), record.subject}, {QStringLiteral("before"), record.before},
                {QStringLiteral("after"), record.after},
                {QStringLiteral("hash"),
                    record.hash}}).toJson(QJsonDocument::Compact));
    case AuditFormat::Csv:
        return QString::number(record.id) % u',' % isoTime(record.atSecs) % u',' % csvField(record.actor) % u','
            % csvField(record.action) % u',' % csvField(record.subject) % u',' % csvField(record.before) % u','
            % csvField(record.after);
    case AuditFormat::Table:
        break;
    }
    return QString::number(record.id).leftJustified(8) % u' ' % isoTime(record.atSecs).leftJustified(21) % u' '
        % forTerminal(record.actor).leftJustified(24) % u' ' % record.action.leftJustified(17) % u' '
        % forTerminal(record.subject).leftJustified(12) % u' ' % forTerminal(record.before) % u" -> "
        % forTerminal(record.after);
}

int listAudit(Store& store, const AuditQuery& query, AuditFormat format, Session& session)
{
    AuditLog* log = store.auditLog();
    if (!log) {
        return session.fail(OpsRefused, QStringLiteral("this store keeps no audit log"));
    }
    QString text;
    if (format == AuditFormat::Csv) {
        text = QStringLiteral("id,at,actor,action,subject,before,after\n");
    }
    bool first = true;
    const StoreStatus listed = log->listAudit(query, [&](const AuditRecord& record) {
        if (format == AuditFormat::Json) {
            text += first ? u"[\n" : u",\n";
        }
        first = false;
        text += auditLine(record, format);
        if (format != AuditFormat::Json) {
            text += u'\n';
        }
        return true;
    });
    if (listed != StoreStatus::Ok) {
        return session.fail(OpsRefused, store.lastError());
    }
    if (format == AuditFormat::Json) {
        text += first ? QStringLiteral("[]\n") : QStringLiteral("\n]\n");
    }
    const QByteArray bytes = text.toUtf8();
    return session.out().write(bytes) == bytes.size()
        ? OpsDone
        : session.fail(OpsRefused, QStringLiteral("cannot write the output"));
}

CheckedCommand checkList(const QCommandLineParser& parser, const QString&, Session& session)
{
    AuditQuery query;
    query.subject = parser.value(QStringLiteral("code"));
    query.actor = parser.value(QStringLiteral("actor"));
    if (parser.isSet(QStringLiteral("since"))) {
        const std::optional<qint64> since = parseIsoTime(parser.value(QStringLiteral("since")));
        if (!since) {
            return refusedWith(session.fail(OpsBadUsage, QStringLiteral("--since is a date such as 2026-12-01")));
        }
        query.sinceSecs = *since;
    }
    const QString formatName = parser.value(QStringLiteral("format"));
    AuditFormat format = AuditFormat::Table;
    if (formatName == u"json") {
        format = AuditFormat::Json;
    } else if (formatName == u"csv") {
        format = AuditFormat::Csv;
    } else if (formatName != u"table") {
        return refusedWith(session.fail(OpsBadUsage, QStringLiteral("--format is table, json or csv")));
    }
    return {OpsDone, [query, format, &session](Store& store, const ServiceConfig&) {
                return listAudit(store, query, format, session);
            }};
}

int verifyAudit(Store& store, Session& session)
{
    AuditLog* log = store.auditLog();
    if (!log) {
        return session.fail(OpsRefused, QStringLiteral("this store keeps no audit log"));
    }
    // Read in id order and checked as it comes, so that a long log is never held whole.
    AuditChain chain;
    std::optional<AuditBreak> broken;
    qint64 count = 0;
    qint64 first = 0;
    qint64 last = 0;
    if (log->listAudit({},
            [&](const AuditRecord& record) {
                broken = chain.follow(record);
                if (broken) {
                    return false;
                }
                first = count++ == 0 ? record.id : first;
                last = record.id;
                return true;
            })
        != StoreStatus::Ok) {
        return session.fail(OpsRefused, store.lastError());
    }
    if (broken) {
        return session.fail(
            OpsRefused, QStringLiteral("the audit log is broken at record %1: %2").arg(broken->id).arg(broken->why));
    }
    session.say(count == 0
            ? QStringLiteral("the audit log is empty")
            : QStringLiteral("%1 record(s), %2 to %3, chained unbroken").arg(count).arg(first).arg(last));
    return OpsDone;
}

CheckedCommand checkVerify(const QCommandLineParser&, const QString&, Session& session)
{
    return {OpsDone, [&session](Store& store, const ServiceConfig&) { return verifyAudit(store, session); }};
}
} // namespace

QList<OperatorCommand> auditCommands()
{
    return {
        {QStringLiteral("audit list"), {}, {}, QStringLiteral("List the audit log's records, oldest first."),
            {{QStringLiteral("code"), QStringLiteral("Only records of this link (or key, or blocked entry)."),
                 QStringLiteral("CODE")},
                {QStringLiteral("actor"), QStringLiteral("Only records of this actor, e.g. key:deploy or shell:root."),
                    QStringLiteral("ACTOR")},
                {QStringLiteral("since"),
                    QStringLiteral("Only records written on or after DATE (2026-12-01, or an ISO 8601 time)."),
                    QStringLiteral("DATE")},
                {QStringLiteral("format"), QStringLiteral("table (default), json or csv."), QStringLiteral("FORMAT"),
                    QStringLiteral("table")}},
            StoreAccess::Read, checkList},
        {QStringLiteral("audit verify"), {}, {},
            QStringLiteral("Check that no record of the audit log was changed, removed or inserted; names the first "
                           "that was, and exits 1."),
            {}, StoreAccess::Read, checkVerify},
    };
}

} // namespace Shortd
