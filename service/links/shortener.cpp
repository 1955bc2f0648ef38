#include "links/shortener.h"

#include "links/codes.h"
#include "links/linkchanges.h"
#include "metrics/servicemetrics.h"
#include "store/storepool.h"

#include <QDateTime>
#include <QPointer>
#include <QRandomGenerator>
#include <algorithm>
#include <numeric>

namespace Shortd
{
namespace
{
// Creations in one transaction at most: a bigger batch saves little more and holds its links'
// answers back longer.
constexpr qsizetype MaximumBatch = 256;
// Creations waiting for a worker, as many as the pool itself lets wait; beyond, one is refused at once.
constexpr qsizetype MaximumWaiting = 10'000;
// Links whose visits one transaction adds at most, so that it ends soon and holds few row locks.
constexpr qsizetype MaximumVisitBatch = 10'000;

// What a worker hands back for a batch of creations, and for one of visits.
struct CreatesDone {
    QList<ShortenOutcome> outcomes;
    QString failure; // see writeFailureOf()
};
struct VisitsDone {
    StoreStatus status = StoreStatus::Failed;
    QString failure;
};
struct ChangeDone {
    Result<StoredLink> result;
    QString failure;
};
} // namespace

ShortenOutcome shortenIn(LinkStore& store, int type, const QString& target, qint64 nowSecs, QRandomGenerator& random)
{
    // Insert first: a new address, the usual case, then costs one statement, and an address that
    // is already held comes back with its link from the same call. Collisions are rare at six
    // characters (56^6 codes); each retry draws a longer code, which makes another rarer still.
    StoredLink link {{}, type, target, nowSecs, 0};
    InsertResult inserted = insertDrawn(store, link, 1, random);
    switch (inserted.status) {
    case StoreStatus::Ok:
        return {StoreStatus::Ok, link, true};
    case StoreStatus::TargetTaken:
        return {StoreStatus::Ok, std::move(inserted.holder), false};
    case StoreStatus::CodeTaken:
    case StoreStatus::Missing:
    case StoreStatus::Failed:
        break;
    }
    return {};
}

QList<ShortenOutcome> shortenAllIn(
    Store& store, const QList<ShortenRequest>& requests, qint64 nowSecs, QRandomGenerator& random)
{
    if (requests.size() == 1) {
        return {shortenIn(store.links(), requests.constFirst().type, requests.constFirst().target, nowSecs, random)};
    }
    // Stored in address order: two instances storing overlapping batches then wait for each other's
    // rows in the same order instead of deadlocking.
    QList<qsizetype> order(requests.size());
    std::iota(order.begin(), order.end(), 0);
    std::sort(order.begin(), order.end(), [&requests](qsizetype a, qsizetype b) {
        const ShortenRequest& x = requests.at(a);
        const ShortenRequest& y = requests.at(b);
        return x.type != y.type ? x.type < y.type : x.target < y.target;
    });
    QList<StoredLink> links;
    links.reserve(requests.size());
    for (const qsizetype i : std::as_const(order)) {
        links.append({randomCode(MinimumCodeLength, random), requests.at(i).type, requests.at(i).target, nowSecs, 0});
    }
    const std::optional<QList<bool>> stored = store.links().insertTogether(links);
    QList<ShortenOutcome> outcomes(requests.size());
    for (qsizetype k = 0; k < links.size(); ++k) {
        const qsizetype i = order.at(k);
        if (stored && stored->at(k)) {
            outcomes[i] = {StoreStatus::Ok, links.at(k), true};
        } else if (stored || !store.isBroken()) {
            outcomes[i] = shortenIn(store.links(), requests.at(i).type, requests.at(i).target, nowSecs, random);
        }
    }
    return outcomes;
}

Shortener::Shortener(StorePool& pool, ShortenerOptions options, QObject* parent)
    : QObject(parent)
    , m_pool(pool)
    , m_random(QRandomGenerator::global())
    , m_cache(options.cacheSize, options.cacheTtl.count())
    , m_tally(options.maxPendingVisits)
    , m_lanes(options.visitLanes, options.maxPendingVisits)
    , m_repeats(options.maxRecentVisitors)
    , m_visitRetentionDays(options.visitRetentionDays)
    , m_auditRetentionDays(options.auditRetentionDays)
    // Half the workers at most, so that lookups find one free while creations pour in.
    , m_maxCreatesInFlight(std::max(1, m_pool.threads() / 2))
{
    m_clock.start();
    connect(&m_flushTimer, &QTimer::timeout, this, &Shortener::flushVisits);
    m_flushTimer.start(options.flushInterval);
    if (m_visitRetentionDays > 0) {
        connect(&m_pruneTimer, &QTimer::timeout, this, &Shortener::pruneVisits);
        m_pruneTimer.start(std::chrono::hours(1));
        QTimer::singleShot(0, this, &Shortener::pruneVisits);
    }
    if (m_auditRetentionDays > 0) {
        connect(&m_auditPruneTimer, &QTimer::timeout, this, &Shortener::pruneAudit);
        m_auditPruneTimer.start(std::chrono::hours(24));
        QTimer::singleShot(0, this, &Shortener::pruneAudit);
    }
}

Shortener::~Shortener()
{
    // The pool runs what is queued before it ends, so the last visits are written on the way out;
    // the threads that count into the lanes have stopped by now.
    m_lanes.gatherInto(m_tally);
    if (!m_tally.isEmpty()) {
        m_pool.run<StoreStatus>(
            [last = m_tally.pending()](
                Store* store) { return store ? addVisitCounts(*store, last) : StoreStatus::Failed; },
            [](StoreStatus) {});
    }
}

std::optional<BlocklistMatch> Shortener::listedBy(const QString& target) const
{
    return m_blocklists ? m_blocklists->matchAddress(target) : std::nullopt;
}

void Shortener::shorten(int type, const QString& target, const std::function<void(const Outcome&)>& done)
{
    // Before the cache too: a link made before its address was listed is not handed out again.
    if (std::optional<BlocklistMatch> listed = listedBy(target)) {
        Outcome refused;
        refused.listed = std::move(listed);
        done(refused);
        return;
    }
    if (const std::optional<StoredLink> cached = m_cache.findByTarget(type, target, nowMs(), wallSecs())) {
        done({StoreStatus::Ok, *cached, false});
        return;
    }
    if (m_waitingCreates.size() >= MaximumWaiting) {
        done({});
        return;
    }
    m_waitingCreates.append({{type, target}, done});
    if (m_createsInFlight < m_maxCreatesInFlight) {
        startCreates();
    }
}

void Shortener::startCreates()
{
    const qsizetype count = std::min(m_waitingCreates.size(), MaximumBatch);
    QList<ShortenRequest> requests;
    QList<std::function<void(const Outcome&)>> answers;
    requests.reserve(count);
    answers.reserve(count);
    for (qsizetype i = 0; i < count; ++i) {
        requests.append(std::move(m_waitingCreates[i].request));
        answers.append(std::move(m_waitingCreates[i].done));
    }
    m_waitingCreates.remove(0, count);
    ++m_createsInFlight;
    QRandomGenerator* random = m_random;
    const qint64 nowSecs = QDateTime::currentSecsSinceEpoch();
    const QPointer<Shortener> self(this);
    const auto settle = [self, answers, forgets = m_forgets](const CreatesDone& done) {
        const QList<Outcome>& outcomes = done.outcomes;
        if (self) {
            --self->m_createsInFlight;
            const bool wrote = std::any_of(
                outcomes.cbegin(), outcomes.cend(), [](const Outcome& outcome) { return outcome.created; });
            self->noteWrite(wrote, done.failure);
        }
        for (qsizetype i = 0; i < answers.size(); ++i) {
            const Outcome& outcome = outcomes.value(i);
            // A link found already made is likely asked for again; a new one is rarely followed
            // at once, and a burst of creations would only push the hot links out.
            if (self && outcome.status == StoreStatus::Ok && !outcome.created && self->m_forgets == forgets) {
                self->m_cache.remember(outcome.link, self->nowMs());
            }
            answers.at(i)(outcome);
        }
        if (self && !self->m_waitingCreates.isEmpty() && self->m_createsInFlight < self->m_maxCreatesInFlight) {
            self->startCreates();
        }
    };
    const bool queued = m_pool.run<CreatesDone>(
        [requests, nowSecs, random](Store* store) {
            if (!store) {
                return CreatesDone {QList<Outcome>(requests.size()), {}};
            }
            CreatesDone done {shortenAllIn(*store, requests, nowSecs, *random), {}};
            if (std::any_of(done.outcomes.cbegin(), done.outcomes.cend(),
                    [](const Outcome& outcome) { return outcome.status == StoreStatus::Failed; })) {
                done.failure = writeFailureOf(*store);
            }
            return done;
        },
        settle);
    if (!queued) {
        settle({QList<Outcome>(requests.size()), {}});
    }
}

void Shortener::create(const StoredLink& link, const LinkAnswer& done)
{
    if (const std::optional<BlocklistMatch> listed = listedBy(link.target)) {
        done(listedAddressFault(*listed));
        return;
    }
    QRandomGenerator* random = m_random;
    change([link, random](Store& store, QString* failure) { return createIn(store, link, *random, failure); }, done);
}

void Shortener::edit(const QString& code, const LinkPatch& patch, const Editor& editor, const LinkAnswer& done)
{
    const qint64 now = wallSecs();
    change([code, patch, editor, now](
               Store& store, QString* failure) { return editIn(store, code, patch, editor, now, failure); },
        done);
}

void Shortener::remove(const QString& code, const Editor& editor, const LinkAnswer& done)
{
    const qint64 now = wallSecs();
    change([code, editor, now](Store& store, QString* failure) { return deleteIn(store, code, editor, now, failure); },
        done);
}

void Shortener::change(const std::function<Result<StoredLink>(Store&, QString*)>& work, const LinkAnswer& done)
{
    const QPointer<Shortener> self(this);
    const auto settle = [self, done](const ChangeDone& changed) {
        if (self) {
            self->noteWrite(changed.result.ok(), changed.failure);
            if (changed.result) {
                // This instance never answers with the link as it was.
                self->remember(changed.result.value());
            }
        }
        done(changed.result);
    };
    const auto storeAway = [] { return ChangeDone {storeUnavailable(), {}}; };
    const bool queued = m_pool.run<ChangeDone>(
        [work, storeAway](Store* store) {
            if (!store) {
                return storeAway();
            }
            QString failure;
            Result<StoredLink> result = work(*store, &failure);
            return ChangeDone {std::move(result), failure};
        },
        settle);
    if (!queued) {
        settle(storeAway());
    }
}

void Shortener::resolve(const QString& code, const std::function<void(const LookupResult&)>& done)
{
    if (const auto cached = m_cache.findByCode(code, nowMs(), wallSecs())) {
        Metrics::service().cacheHits.add();
        done({StoreStatus::Ok, *cached});
        return;
    }
    Metrics::service().cacheMisses.add();
    const QPointer<Shortener> self(this);
    const bool queued = m_pool.read<LookupResult>(
        [code](Store* store) {
            return store ? store->links().findByCode(code) : LookupResult {StoreStatus::Failed, {}};
        },
        [self, code, done, forgets = m_forgets](const LookupResult& found) {
            // A link changed while it was read may have been read as it was before: answered,
            // but not kept.
            if (self && found.status == StoreStatus::Ok && self->m_forgets == forgets) {
                self->m_cache.remember(found.link, self->nowMs());
            }
            // The database is away: a link this instance knew, however long ago, still leads on.
            if (self && found.status == StoreStatus::Failed) {
                if (const auto known = self->m_cache.findAnyAge(code)) {
                    done({StoreStatus::Ok, *known});
                    return;
                }
            }
            done(found);
        });
    if (!queued) {
        done({StoreStatus::Failed, {}});
    }
}

qint64 Shortener::wallSecs()
{
    return QDateTime::currentSecsSinceEpoch();
}

void Shortener::forget(const QStringList& codes)
{
    ++m_forgets;
    for (const QString& code : codes) {
        m_cache.forget(code);
    }
}

void Shortener::forgetAll()
{
    ++m_forgets;
    m_cache.clear();
}

void Shortener::checkHealth(const std::function<void(bool)>& done)
{
    // A read: a connection found broken is replaced and asked again, so the first check after the
    // database restarts already answers for the new connection.
    if (!m_pool.read<bool>([](Store* store) { return store && store->isHealthy(); }, done)) {
        done(false);
    }
}

void Shortener::takeVisit(const QString& code, const VisitFacts& facts, const std::function<void(VisitGrant)>& done)
{
    const qint64 now = wallSecs();
    const QPointer<Shortener> self(this);
    const bool queued = m_pool.run<VisitGrant>(
        [code, now](Store* store) {
            return store && store->linkVisits() ? store->linkVisits()->takeVisit(code, now) : VisitGrant::Failed;
        },
        [self, code, facts, now, done](VisitGrant grant) {
            if (self && grant == VisitGrant::Granted) {
                self->m_cache.addVisits(code, VisitCounts {1, 0, 0, 0});
                // Already in the link's visits; its hour, visitor and referrer are still to count.
                VisitFacts taken = facts;
                taken.taken = true;
                self->countVisit(code, taken, now);
            } else if (self && (grant == VisitGrant::Exhausted || grant == VisitGrant::Missing)) {
                // The copy here still lets the link be served; the next lookup reads why it may not.
                self->forget({code});
            }
            done(grant);
        });
    if (!queued) {
        done(VisitGrant::Failed);
    }
}

void Shortener::countVisit(const QString& code, const VisitFacts& facts, qint64 nowSecs, int lane)
{
    const bool human = facts.kind == VisitClass::Human;
    const bool isNew = human && m_repeats.isNewVisitor(code, facts.client, facts.userAgent, nowSecs);
    const QString host = human ? referrerHost(facts.referer) : QString();
    if (lane < 0) {
        m_tally.add(code, facts.kind, isNew, host, nowSecs, facts.taken);
    } else {
        m_lanes.add(lane, code, facts.kind, isNew, host, nowSecs, facts.taken);
    }
}

StoredLink Shortener::withPendingVisits(StoredLink link) const
{
    VisitCounts pending = m_tally.pending().links.value(link.code);
    pending += m_writing.links.value(link.code);
    pending += m_lanes.pendingFor(link.code);
    link.visits += pending.humans;
    link.visitors += pending.visitors;
    link.bots += pending.bots;
    link.previews += pending.previews;
    link.blocked += pending.blocked;
    return link;
}

qint64 Shortener::pendingVisitCount() const
{
    const auto sum = [](const VisitBatch& batch) {
        return std::accumulate(
            batch.links.cbegin(), batch.links.cend(), qint64(0), [](qint64 total, const VisitCounts& counts) {
                return total + counts.humans + counts.bots + counts.previews + counts.blocked;
            });
    };
    return sum(m_tally.pending()) + sum(m_writing) + m_lanes.visitCount();
}

void Shortener::flushVisits()
{
    m_lanes.gatherInto(m_tally);
    if (m_tally.isEmpty() || !m_writing.isEmpty()) {
        return;
    }
    if (const qint64 uncounted = m_tally.takeUncounted(); uncounted > 0) {
        Metrics::service().visitsDropped.add(static_cast<quint64>(uncounted));
        qWarning("nolvex-shortd: the database fell behind with visit counts; %lld visits were not counted", uncounted);
    }
    m_writing = m_tally.take(MaximumVisitBatch);
    const VisitBatch batch = m_writing;
    const QPointer<Shortener> self(this);
    const auto settle = [self](const VisitsDone& done) {
        if (!self) {
            return;
        }
        const StoreStatus status = done.status;
        self->noteWrite(status == StoreStatus::Ok, done.failure);
        if (status == StoreStatus::Ok) {
            // Every class at once: a cached copy that took only people's visits showed the others
            // late, until it was read again.
            for (auto it = self->m_writing.links.cbegin(); it != self->m_writing.links.cend(); ++it) {
                self->m_cache.addVisits(it.key(), *it);
            }
        } else {
            self->m_tally.putBack(self->m_writing); // kept for the next round
        }
        self->m_writing = {};
        // A backlog goes on at once, a batch after another, rather than a batch a second.
        const VisitBatch& left = self->m_tally.pending();
        if (status == StoreStatus::Ok
            && std::max({left.links.size(), left.hours.size(), left.referrers.size()}) >= MaximumVisitBatch) {
            self->flushVisits();
        }
    };
    const bool queued = m_pool.run<VisitsDone>(
        [batch](Store* store) {
            if (!store) {
                return VisitsDone {};
            }
            const StoreStatus status = addVisitCounts(*store, batch);
            return VisitsDone {status, status == StoreStatus::Failed ? writeFailureOf(*store) : QString()};
        },
        settle);
    if (!queued) {
        settle({});
    }
}

void Shortener::pruneVisits()
{
    if (m_visitRetentionDays <= 0) {
        return;
    }
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    const qint64 before = now - now % SecondsPerDay - qint64(m_visitRetentionDays) * SecondsPerDay;
    m_pool.run<StoreStatus>(
        // A store without visit counters has none to drop.
        [before](Store* store) {
            if (!store) {
                return StoreStatus::Failed;
            }
            return store->visits() ? store->visits()->pruneVisits(before) : StoreStatus::Ok;
        },
        [](StoreStatus) {});
}

void Shortener::pruneAudit()
{
    const qint64 before = QDateTime::currentSecsSinceEpoch() - qint64(m_auditRetentionDays) * SecondsPerDay;
    m_pool.run<StoreStatus>(
        [before](Store* store) {
            if (!store) {
                return StoreStatus::Failed;
            }
            return store->auditLog() ? store->auditLog()->pruneAudit(before) : StoreStatus::Ok;
        },
        [](StoreStatus) {});
}

void Shortener::noteWrite(bool succeeded, const QString& failure)
{
    // Said once per cause, not once per request: a full disk fails every create.
    if (!failure.isEmpty()) {
        Metrics::service().databaseErrors.add();
        if (failure != m_writeFailure) {
            qWarning("nolvex-shortd: writing to the database fails: %s", qUtf8Printable(failure));
            m_writeFailure = failure;
        }
        return;
    }
    if (succeeded && !m_writeFailure.isEmpty()) {
        qWarning("nolvex-shortd: writing to the database works again");
        m_writeFailure.clear();
    }
}

} // namespace Shortd
