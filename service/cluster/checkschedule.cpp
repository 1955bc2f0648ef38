#include "cluster/checkschedule.h"

#include "store/storepool.h"

#include <QDateTime>
#include <QPointer>
#include <QUrl>
#include <QtDebug>
#include <cmath>

namespace Shortd
{
namespace
{
constexpr qint64 DaySecs = 86'400;
constexpr int VisitedWeight = 4; // a link not visited lately is checked once every four periods
constexpr int Batch = 200; // due links read at a time
constexpr qsizetype MostInFlight = 64;
constexpr qsizetype HostsKept = 10'000; // past this, hosts not checked within the gap are forgotten
constexpr std::chrono::milliseconds MostIdle {std::chrono::minutes(1)};
constexpr std::chrono::milliseconds StoreRetry {std::chrono::seconds(10)};
// The links are counted (a walk of every active one) at most this often, or once a period when
// that is shorter; the due links are read a batch at a time in between.
constexpr std::chrono::milliseconds CountEvery {std::chrono::minutes(10)};

qint64 periodSecs(const CheckPace& pace)
{
    return std::max<qint64>(1, std::chrono::duration_cast<std::chrono::seconds>(pace.period).count());
}
} // namespace

DueQuery dueQuery(qint64 nowSecs, const CheckPace& pace, int limit)
{
    const qint64 period = periodSecs(pace);
    DueQuery query;
    query.nowSecs = nowSecs;
    query.visitedSinceSecs = nowSecs - DaySecs;
    query.visitedDueSecs = nowSecs - period;
    query.otherDueSecs = nowSecs - VisitedWeight * period;
    query.limit = limit;
    return query;
}

std::chrono::milliseconds checkSpacing(const CheckLoad& load, const CheckPace& pace)
{
    using std::chrono::milliseconds;
    const qint64 visited = std::clamp<qint64>(load.visited, 0, load.active);
    const qint64 others = load.active - visited;
    const qint64 perPeriod = visited + (others + VisitedWeight - 1) / VisitedWeight;
    if (perPeriod == 0 || !pace.enabled()) {
        return std::min(pace.period, MostIdle);
    }
    const milliseconds even(pace.period.count() / perPeriod);
    const milliseconds byRate(static_cast<qint64>(std::ceil(1000.0 / pace.rate)));
    return std::max(even, byRate);
}

std::chrono::milliseconds hostGap(const CheckPace& pace)
{
    return std::min(pace.hostGap, pace.period);
}

QString checkHost(const QString& target)
{
    return QUrl(target, QUrl::TolerantMode).host().toLower();
}

HostPick pickHost(
    const QStringList& hosts, const QHash<QString, qint64>& lastCheckMs, qint64 nowMs, std::chrono::milliseconds gap)
{
    HostPick pick;
    qint64 soonest = -1;
    for (qsizetype i = 0; i < hosts.size(); ++i) {
        const auto last = lastCheckMs.constFind(hosts.at(i));
        const qint64 freeAt = last == lastCheckMs.cend() ? nowMs : *last + gap.count();
        if (freeAt <= nowMs) {
            pick.index = i;
            pick.wait = std::chrono::milliseconds(0);
            return pick;
        }
        if (soonest < 0 || freeAt < soonest) {
            soonest = freeAt;
        }
    }
    pick.wait = std::chrono::milliseconds(soonest < 0 ? 0 : soonest - nowMs);
    return pick;
}

struct CheckScheduler::Fetched {
    bool counted = false;
    std::optional<CheckLoad> load;
    std::optional<QList<DueLink>> due;
};

CheckScheduler::CheckScheduler(StorePool& pool, CheckPace pace, Start start, QObject* parent)
    : QObject(parent)
    , m_pool(pool)
    , m_pace(pace)
    , m_start(std::move(start))
{
    m_clock.start();
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, &CheckScheduler::tick);
}

CheckScheduler::~CheckScheduler() = default;

void CheckScheduler::setRunning(bool running)
{
    if (running == m_running || (running && !m_pace.enabled())) {
        return;
    }
    m_running = running;
    m_pending.clear();
    m_timer.stop();
    if (running) {
        tick();
    }
}

std::optional<qint64> CheckScheduler::deadLinks() const
{
    return m_load ? std::optional<qint64>(m_load->dead) : std::nullopt;
}

void CheckScheduler::later(std::chrono::milliseconds wait)
{
    m_timer.start(std::max(wait, std::chrono::milliseconds(1)));
}

void CheckScheduler::tick()
{
    if (!m_running) {
        return;
    }
    if (m_pending.isEmpty()) {
        fetch();
        return;
    }
    const qint64 now = m_clock.elapsed();
    if (m_lastStartMs && now - *m_lastStartMs < m_spacing.count()) {
        later(std::chrono::milliseconds(*m_lastStartMs + m_spacing.count() - now));
        return;
    }
    if (m_inFlight.size() >= MostInFlight) {
        later(m_spacing);
        return;
    }
    QStringList hosts;
    hosts.reserve(m_pending.size());
    for (const DueLink& link : std::as_const(m_pending)) {
        hosts.append(checkHost(link.target));
    }
    const HostPick pick = pickHost(hosts, m_lastByHost, now, hostGap(m_pace));
    if (pick.index < 0) {
        later(pick.wait);
        return;
    }
    const DueLink link = m_pending.takeAt(pick.index);
    if (m_lastByHost.size() >= HostsKept) {
        m_lastByHost.removeIf([now, gap = hostGap(m_pace).count()](
                                  const QHash<QString, qint64>::iterator it) { return now - it.value() >= gap; });
    }
    m_lastByHost.insert(hosts.at(pick.index), now);
    m_lastStartMs = now;
    m_inFlight.insert(link.code);
    QPointer<CheckScheduler> self(this);
    m_start(link, this, [self, link](const CheckResult& result) {
        if (self) {
            self->finished(link, result);
        }
    });
    later(m_spacing);
}

void CheckScheduler::fetch()
{
    if (m_fetching) {
        return;
    }
    m_fetching = true;
    const DueQuery query = dueQuery(QDateTime::currentSecsSinceEpoch(), m_pace, Batch);
    const bool count = !m_countedMs || m_clock.elapsed() - *m_countedMs >= std::min(CountEvery, m_pace.period).count();
    QPointer<CheckScheduler> self(this);
    const bool queued = m_pool.read<Fetched>(
        [query, count](Store* store) {
            Fetched batch;
            LinkChecks* checks = store ? store->linkChecks() : nullptr;
            if (checks) {
                batch.load = count ? checks->checkLoad(query.visitedSinceSecs, query.nowSecs) : std::nullopt;
                batch.due = batch.load || !count ? checks->dueLinks(query) : std::nullopt;
            }
            batch.counted = count;
            return batch;
        },
        [self](const Fetched& batch) {
            if (self) {
                self->fetched(batch);
            }
        });
    if (!queued) {
        m_fetching = false;
        later(StoreRetry);
    }
}

void CheckScheduler::fetched(const Fetched& batch)
{
    m_fetching = false;
    if (!m_running) {
        return;
    }
    if ((batch.counted && !batch.load) || !batch.due) {
        qWarning("checks: cannot read the links due for a check; trying again in %lld s",
            static_cast<long long>(std::chrono::duration_cast<std::chrono::seconds>(StoreRetry).count()));
        later(StoreRetry);
        return;
    }
    if (batch.counted) {
        m_load = batch.load;
        m_countedMs = m_clock.elapsed();
        m_spacing = checkSpacing(*batch.load, m_pace);
    }
    m_pending.clear();
    for (const DueLink& link : *batch.due) {
        if (!m_inFlight.contains(link.code)) {
            m_pending.append(link);
        }
    }
    if (m_pending.isEmpty()) {
        // Nothing due: the next link falls due within a spacing or so, or a new one is made.
        later(checkSpacing({}, m_pace));
        return;
    }
    tick();
}

void CheckScheduler::finished(const DueLink& link, const CheckResult& result)
{
    m_inFlight.remove(link.code);
    ++m_byOutcome[result.check.outcome];
    struct Written {
        CheckRecorded recorded;
        StoreStatus quarantine = StoreStatus::Missing;
    };
    QPointer<CheckScheduler> self(this);
    const QString code = link.code;
    const bool queued = m_pool.run<Written>(
        [code, result](Store* store) {
            Written written;
            LinkChecks* checks = store ? store->linkChecks() : nullptr;
            if (!checks) {
                return written;
            }
            written.recorded = checks->recordCheck(code, result.check, result.effect, DeadAfterFailures);
            if (!result.listedList.isEmpty() && written.recorded.status == StoreStatus::Ok) {
                LinkQuarantine* quarantine = store->linkQuarantine();
                written.quarantine = quarantine
                    ? quarantine->quarantine(code, result.listedList, result.listedEntry, result.check.atSecs)
                    : StoreStatus::Failed;
            }
            return written;
        },
        [self, code, result](const Written& written) {
            if (!self) {
                return;
            }
            const bool ok = written.recorded.status != StoreStatus::Failed && written.quarantine != StoreStatus::Failed;
            if (!ok) {
                qWarning("checks: the check of %s could not be written", qUtf8Printable(code));
            }
            if (written.quarantine == StoreStatus::Ok) {
                qInfo("checks: %s quarantined: its destination leads to %s, listed by %s", qUtf8Printable(code),
                    qUtf8Printable(result.listedEntry), qUtf8Printable(result.listedList));
                emit self->quarantined({code});
            }
            if (written.recorded.status == StoreStatus::Ok && written.recorded.check.dead
                && result.effect == CheckEffect::Fail && written.recorded.check.failures == DeadAfterFailures) {
                qInfo("checks: %s flagged dead after %d failed checks in a row (%s)", qUtf8Printable(code),
                    DeadAfterFailures, qUtf8Printable(result.check.outcome));
            }
            emit self->recorded(code, result.check.outcome, ok);
        });
    if (!queued) {
        qWarning("checks: the check of %s could not be written: the store is too busy", qUtf8Printable(code));
    }
}

} // namespace Shortd
