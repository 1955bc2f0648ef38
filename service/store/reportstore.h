#pragma once

#include "store/storestatus.h"

#include <QHash>
#include <QList>
#include <QString>
#include <QStringView>
#include <QtGlobal>
#include <optional>

namespace Shortd
{

// A visitor's report that a link leads somewhere harmful. The reporter is the client's address as
// the service saw it; only admins and operators ever see it, or any report.
struct LinkReport {
    qint64 id = 0;
    QString code;
    QString reason; // "phishing", "malware", "spam" or "other"
    QString text;
    QString reporter;
    qint64 createdSecs = 0;
};

// What the limits of one address allow, all counted by the store that keeps the reports.
struct ReportLimits {
    int perHour = 5; // reports one address may send in an hour, to any links
    qint64 windowSecs = 86'400; // how far back the distinct reporters of a link are counted
};

struct ReportAdmission {
    enum class Outcome : quint8 { Added, HourlyLimit, AlreadyReported, Failed };
    Outcome outcome = Outcome::Failed;
    qint64 id = 0; // the new report's
    qint64 reporters = 0; // distinct addresses with an open report of the link inside the window
};

// The list a link quarantined by its reports names: reserved, so no feed may take the name.
inline constexpr QStringView ReportsList = u"reports";

struct ReportDismissal {
    qint64 dismissed = 0; // 0 when nothing matched
    QString code; // the link whose reports were dismissed
    bool released = false; // the link was quarantined by its reports and is active again
};

// The open reports a page shows of each link, its first ones; a page's size stays bounded however
// many addresses reported one link.
inline constexpr int ReportsShownALink = 50;

// A page of the open reports, and where it ends: the last link code it showed.
struct ReportGroupPage {
    QList<LinkReport> reports; // by link code, then by id; at most ReportsShownALink a link
    QHash<QString, qint64> open; // every open report of each link (one an address), shown or not
    QString nextAfter; // the code to continue after; empty when no link follows
};

// Reports from anyone, kept until an admin dismisses them.
class ReportStore
{
public:
    ReportStore(const ReportStore&) = delete;
    ReportStore& operator=(const ReportStore&) = delete;

    // Adds the report unless its address already reported this link (ever) or sent perHour reports
    // within the last hour, decided inside one transaction that holds other writers of the same
    // address back, so two instances cannot both let one more through.
    virtual ReportAdmission addReport(const LinkReport& report, const ReportLimits& limits) = 0;
    // The open reports of the first `links` links whose code comes after `after`; none when the
    // store failed.
    virtual std::optional<ReportGroupPage> openReports(const QString& after, int links) = 0;
    // Marks open reports dismissed: those of the link `target`, or where it has none and target is a
    // number, the report with that id. A link its reports quarantined that has no open report left
    // is put back to active in the same transaction, with no exemption: new reports count afresh.
    virtual std::optional<ReportDismissal> dismissReports(const QString& target, const QString& by, qint64 nowSecs) = 0;

protected:
    ReportStore() = default;
    ~ReportStore() = default;
};

} // namespace Shortd
