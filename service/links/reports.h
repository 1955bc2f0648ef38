#pragma once

#include "links/result.h"

#include <QString>
#include <QStringList>
#include <QtGlobal>

namespace Shortd
{

class Store;

// Reports from anyone: a visitor says a link leads somewhere harmful. No key is needed; the
// store's limits on each address keep one visitor from burying a link, and enough different
// addresses quarantine it until an admin looks.

inline constexpr qsizetype MaximumReportText = 1000; // characters
inline constexpr int ReportsPerHour = 5; // from one address, to any links
inline constexpr int DefaultReportThreshold = 3; // different addresses within a day

struct ReportRequest {
    QString code;
    QString reason;
    QString text;
};

// "phishing", "malware", "spam", "other".
const QStringList& reportReasons();
// The request as the API and the form give it: a code that could name a link, a known reason and
// at most MaximumReportText characters of text. An Invalid fault names every member refused.
Result<ReportRequest> checkReport(const QString& code, const QString& reason, const QString& text);

struct FiledReport {
    enum class Outcome : quint8 { Filed, NoSuchLink, HourlyLimit, AlreadyReported, Failed };
    Outcome outcome = Outcome::Failed;
    bool quarantined = false; // this report brought the link to the threshold
};

// Runs on a store worker: keeps the report of an existing link from reporter and, when the
// distinct addresses reporting the link within a day reach threshold (0: never), quarantines the
// active link with the list "reports", through the same store call blocklists use, so every
// instance hears of it.
FiledReport fileReport(
    Store* store, const ReportRequest& request, const QString& reporter, int threshold, qint64 nowSecs);

// The quarantine entry of a link its reports stopped: "3 reports".
QString reportsEntry(qint64 reporters);
// Why a report was not taken, for the visitor: the limits, a missing link, a failed store.
QString reportRefusal(FiledReport::Outcome outcome);

} // namespace Shortd
