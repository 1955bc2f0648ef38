#include "displaytext.h"
#include "ops/commands/commands.h"
#include "ops/linkrecords.h"
#include "ops/operatorcommands.h"

#include <QCommandLineParser>
#include <QDateTime>
#include <QIODevice>
#include <QStringBuilder>
#include <pwd.h>
#include <unistd.h>

namespace Shortd
{
QString operatorName()
{
    if (const passwd* entry = getpwuid(geteuid()); entry && entry->pw_name) {
        return u"shell:" + QString::fromLocal8Bit(entry->pw_name);
    }
    return u"shell:" + QString::number(geteuid());
}

namespace
{
constexpr int LinksAPage = 100;

// One line a link with how many addresses reported it, then one a report under it (the first
// ones, when more than a page shows).
QString reportLines(const ReportGroupPage& page)
{
    const QList<LinkReport>& reports = page.reports;
    QString text;
    for (qsizetype i = 0; i < reports.size();) {
        const QString& code = reports.at(i).code;
        qsizetype end = i;
        while (end < reports.size() && reports.at(end).code == code) {
            ++end;
        }
        text += forTerminal(code) % QStringLiteral("  %1 reporter(s)\n").arg(page.open.value(code));
        for (; i < end; ++i) {
            const LinkReport& report = reports.at(i);
            QString time = isoTime(report.createdSecs);
            time.replace(u'T', u' ');
            text += u"  #" % QString::number(report.id).leftJustified(6) % u' ' % time.leftJustified(20) % u' '
                % report.reason.leftJustified(9) % u' ' % forTerminal(report.reporter).leftJustified(20) % u' '
                % forTerminal(report.text) % u'\n';
        }
    }
    return text;
}

int listReports(Store& store, Session& session)
{
    ReportStore* reports = store.reports();
    if (!reports) {
        return session.fail(OpsRefused, QStringLiteral("this store keeps no reports"));
    }
    QString after;
    do {
        const std::optional<ReportGroupPage> page = reports->openReports(after, LinksAPage);
        if (!page) {
            return session.fail(OpsRefused, store.lastError());
        }
        const QByteArray bytes = reportLines(*page).toUtf8();
        if (session.out().write(bytes) != bytes.size()) {
            return session.fail(OpsRefused, QStringLiteral("cannot write the output"));
        }
        after = page->nextAfter;
    } while (!after.isEmpty());
    return OpsDone;
}

CheckedCommand checkList(const QCommandLineParser&, const QString&, Session& session)
{
    return {OpsDone, [&session](Store& store, const ServiceConfig&) { return listReports(store, session); }};
}

int dismiss(Store& store, const QString& target, Session& session)
{
    ReportStore* reports = store.reports();
    if (!reports) {
        return session.fail(OpsRefused, QStringLiteral("this store keeps no reports"));
    }
    const std::optional<ReportDismissal> done
        = reports->dismissReports(target, operatorName(), QDateTime::currentSecsSinceEpoch());
    if (!done) {
        return session.fail(OpsRefused, store.lastError());
    }
    if (done->dismissed == 0) {
        return session.fail(OpsRefused, QStringLiteral("no open report of %1").arg(forTerminal(target)));
    }
    session.say(
        QStringLiteral("%1 report(s) of %2 dismissed%3")
            .arg(done->dismissed)
            .arg(forTerminal(done->code),
                done->released ? QStringLiteral("; the link its reports quarantined is active again") : QString()));
    return OpsDone;
}

CheckedCommand checkDismiss(const QCommandLineParser&, const QString& target, Session& session)
{
    if (target.isEmpty()) {
        return refusedWith(session.fail(OpsBadUsage, QStringLiteral("name the link or the report to dismiss")));
    }
    return {
        OpsDone, [target, &session](Store& store, const ServiceConfig&) { return dismiss(store, target, session); }};
}
} // namespace

QList<OperatorCommand> reportCommands()
{
    return {
        {QStringLiteral("reports list"), {}, {},
            QStringLiteral(
                "List the open reports by link: how many addresses reported each, then each of its reports (the "
                "first 50): number, time, reason, address and text."),
            {}, StoreAccess::Read, checkList},
        {QStringLiteral("reports dismiss"), QStringLiteral("CODE|ID"),
            QStringLiteral("A link's code (all its open reports), or a report's number as reports list shows it."),
            QStringLiteral("Dismiss reports; a link they quarantined, with none left open, is active again."), {},
            StoreAccess::Change, checkDismiss},
    };
}

} // namespace Shortd
