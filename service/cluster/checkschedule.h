#pragma once

#include "store/linkchecks.h"

#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <chrono>
#include <functional>
#include <optional>

namespace Shortd
{

class StorePool;

// How often the destinations are checked again, and how gently.
struct CheckPace {
    // A link visited in the last day is checked once a period, any other once every four.
    std::chrono::milliseconds period {std::chrono::hours(6)};
    double rate = 5; // checks a second, at most, in all
    std::chrono::milliseconds hostGap {std::chrono::seconds(10)}; // between two checks of one host
    bool enabled() const { return period.count() > 0 && rate > 0; }
};

// What "visited lately" and "due" mean at nowSecs: the moments a link's last check must be at or
// before to be checked again, for links visited in the last day and for the others.
DueQuery dueQuery(qint64 nowSecs, const CheckPace& pace, int limit);

// The time between two checks that spreads one period's checks evenly over it: each link visited
// lately counts once, each other a quarter, and never closer together than the rate allows. With
// nothing to check, how long to wait before looking again.
std::chrono::milliseconds checkSpacing(const CheckLoad& load, const CheckPace& pace);

// The gap between two checks of one host: the pace's, or the period where that is shorter (a lab's
// period of seconds would otherwise never come round).
std::chrono::milliseconds hostGap(const CheckPace& pace);

// The host a destination is counted under: its name in lower case (empty when it has none).
QString checkHost(const QString& target);

// Which of the waiting hosts may be checked now (the first, in order, whose last check is at
// least gap ago), or none and how long until one may.
struct HostPick {
    qsizetype index = -1;
    std::chrono::milliseconds wait {0};
};
HostPick pickHost(
    const QStringList& hosts, const QHash<QString, qint64>& lastCheckMs, qint64 nowMs, std::chrono::milliseconds gap);

// What one check found, for the store: the link's last check, what it does to the count of
// failures in a row, and with a listed destination the list and the entry.
struct CheckResult {
    LinkCheck check;
    CheckEffect effect = CheckEffect::Keep;
    QString listedList;
    QString listedEntry; // set (with listedList) when a list holds the destination or a hop
};

// Checks every active link's destination again, paced, one host at a time; run by one instance at
// a time (the lease's holder). Due links are read a batch at a time on a store worker; a listed
// destination quarantines its link (which the change log announces to every instance), dead-kind
// failures in a row flag it dead. The check itself is start's: this only decides when and what.
class CheckScheduler final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CheckScheduler)

public:
    using Done = std::function<void(const CheckResult&)>;
    // Starts one check of link and calls done once with what it found, on this thread; what it
    // makes for the check is owned by context (the scheduler), so it ends with it.
    using Start = std::function<void(const DueLink& link, QObject* context, Done done)>;

    // pool outlives the scheduler.
    CheckScheduler(StorePool& pool, CheckPace pace, Start start, QObject* parent = nullptr);
    ~CheckScheduler() override;

    // Begins or ends the checks: while this instance holds the lease.
    void setRunning(bool running);
    bool isRunning() const { return m_running; }
    // Checks this instance made, by outcome ("ok", "listed", …).
    const QHash<QString, quint64>& checksByOutcome() const { return m_byOutcome; }
    // Links flagged dead as the last batch read found them; none before the first read.
    std::optional<qint64> deadLinks() const;

signals:
    // Links a check just quarantined: this instance's cache forgets them at once.
    void quarantined(const QStringList& codes);
    // A check's result is written (or the store failed: written false).
    void recorded(const QString& code, const QString& outcome, bool written);

private:
    struct Fetched;
    void tick();
    void fetch();
    void fetched(const Fetched& batch);
    void finished(const DueLink& link, const CheckResult& result);
    void later(std::chrono::milliseconds wait);

    StorePool& m_pool;
    const CheckPace m_pace;
    const Start m_start;
    bool m_running = false;
    bool m_fetching = false;
    std::optional<CheckLoad> m_load;
    std::optional<qint64> m_countedMs; // when m_load was read, on m_clock
    std::chrono::milliseconds m_spacing {0};
    QList<DueLink> m_pending;
    QSet<QString> m_inFlight;
    QHash<QString, qint64> m_lastByHost; // ms on m_clock
    QElapsedTimer m_clock;
    std::optional<qint64> m_lastStartMs;
    QTimer m_timer;
    QHash<QString, quint64> m_byOutcome;
};

} // namespace Shortd
