#include "links/reports.h"

#include "links/codes.h"
#include "store/store.h"

namespace Shortd
{

const QStringList& reportReasons()
{
    static const QStringList reasons {
        QStringLiteral("phishing"), QStringLiteral("malware"), QStringLiteral("spam"), QStringLiteral("other")};
    return reasons;
}

Result<ReportRequest> checkReport(const QString& code, const QString& reason, const QString& text)
{
    QList<FieldFault> refused;
    if (code.isEmpty() || !mayBeStoredCode(code)) {
        refused.append({QStringLiteral("code"), QStringLiteral("短码不正确"), QStringLiteral("not a short code")});
    }
    if (!reportReasons().contains(reason)) {
        refused.append({QStringLiteral("reason"), QStringLiteral("举报原因应为 phishing、malware、spam 或 other"),
            QStringLiteral("the reason is phishing, malware, spam or other")});
    }
    if (text.toUcs4().size() > MaximumReportText) {
        refused.append({QStringLiteral("text"), QStringLiteral("说明最多 %1 个字符").arg(MaximumReportText),
            QStringLiteral("the text is at most %1 characters").arg(MaximumReportText)});
    }
    if (!refused.isEmpty()) {
        Fault fault {FaultKind::Invalid, QStringLiteral("举报内容不正确"), QStringLiteral("the report is not valid")};
        if (refused.size() == 1) {
            fault.field = refused.constFirst().field;
            fault.chinese = refused.constFirst().chinese;
            fault.english = refused.constFirst().english;
        }
        fault.fields = std::move(refused);
        return fault;
    }
    return ReportRequest {code, reason, text.trimmed()};
}

FiledReport fileReport(
    Store* store, const ReportRequest& request, const QString& reporter, int threshold, qint64 nowSecs)
{
    FiledReport filed;
    ReportStore* reports = store ? store->reports() : nullptr;
    if (!reports) {
        return filed;
    }
    const LookupResult link = store->links().findByCode(request.code);
    if (link.status != StoreStatus::Ok) {
        filed.outcome
            = link.status == StoreStatus::Missing ? FiledReport::Outcome::NoSuchLink : FiledReport::Outcome::Failed;
        return filed;
    }
    const ReportAdmission admission = reports->addReport(
        {0, request.code, request.reason, request.text, reporter, nowSecs}, ReportLimits {ReportsPerHour});
    switch (admission.outcome) {
    case ReportAdmission::Outcome::Added:
        filed.outcome = FiledReport::Outcome::Filed;
        break;
    case ReportAdmission::Outcome::HourlyLimit:
        filed.outcome = FiledReport::Outcome::HourlyLimit;
        return filed;
    case ReportAdmission::Outcome::AlreadyReported:
        filed.outcome = FiledReport::Outcome::AlreadyReported;
        return filed;
    case ReportAdmission::Outcome::Failed:
        return filed;
    }
    // The report is kept either way; a quarantine that fails now is made by the next report.
    LinkQuarantine* quarantine = store->linkQuarantine();
    if (threshold > 0 && admission.reporters >= threshold && quarantine && link.link.state == LinkState::Active) {
        filed.quarantined
            = quarantine->quarantine(request.code, ReportsList.toString(), reportsEntry(admission.reporters), nowSecs)
            == StoreStatus::Ok;
    }
    return filed;
}

QString reportsEntry(qint64 reporters)
{
    return reporters == 1 ? QStringLiteral("1 report") : QStringLiteral("%1 reports").arg(reporters);
}

QString reportRefusal(FiledReport::Outcome outcome)
{
    switch (outcome) {
    case FiledReport::Outcome::NoSuchLink:
        return QStringLiteral("没有这个短网址");
    case FiledReport::Outcome::HourlyLimit:
        return QStringLiteral("一小时内最多可以举报 %1 次，请稍后再试").arg(ReportsPerHour);
    case FiledReport::Outcome::AlreadyReported:
        return QStringLiteral("您已经举报过这个短网址");
    case FiledReport::Outcome::Failed:
        return QStringLiteral("服务暂时无法访问数据库，请稍后再试");
    case FiledReport::Outcome::Filed:
        break;
    }
    return {};
}

} // namespace Shortd
