#pragma once

#include "links/blocklist.h"
#include "links/linkcache.h"
#include "links/result.h"
#include "links/visittally.h"
#include "store/store.h"

#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <chrono>
#include <functional>
#include <optional>

class QRandomGenerator;

namespace Shortd
{

class StorePool;
struct Editor;

struct ShortenOutcome {
    StoreStatus status = StoreStatus::Failed; // Ok or Failed
    StoredLink link;
    bool created = false; // false when the address already had a code
    // The list that holds the address, which was then refused before the store was asked (status
    // stays Failed, so a caller that never looks here answers no link either).
    std::optional<BlocklistMatch> listed {};
};

// The code for (type, target) in one store: the existing one, or a new random one committed there.
// A code collision retries with a longer code; a link made at the same moment elsewhere (another
// worker, another instance) is read back and returned. Runs on a store worker.
ShortenOutcome shortenIn(LinkStore& store, int type, const QString& target, qint64 nowSecs, QRandomGenerator& random);

struct ShortenRequest {
    int type = 0;
    QString target;
};

// The codes for several addresses at once, in the order asked: the new links are stored in one
// transaction, so that they share one commit; an address already held, a code taken or a failed
// transaction is settled one address at a time, as shortenIn does. Runs on a store worker.
QList<ShortenOutcome> shortenAllIn(
    Store& store, const QList<ShortenRequest>& requests, qint64 nowSecs, QRandomGenerator& random);

struct ShortenerOptions {
    qsizetype cacheSize = 100'000;
    std::chrono::milliseconds cacheTtl {5000};
    std::chrono::milliseconds flushInterval {1000};
    // Links whose counted visits wait for the store, at most. While the store is away or behind,
    // visits to links beyond these are not counted (the log says how many).
    qsizetype maxPendingVisits = 100'000;
    // Clients remembered for telling a person's repeat visit within the hour from a new one.
    qsizetype maxRecentVisitors = 200'000;
    // Hourly and daily visit counters older than this are dropped, once an hour; 0 keeps them.
    int visitRetentionDays = 400;
    // Threads that count visits besides the shortener's own, each into a lane of its own.
    int visitLanes = 1;
    // Audit records older than this are removed from the front of the log, once a day; 0 keeps them.
    int auditRetentionDays = 0;
};

// What the redirect knows of a visit.
struct VisitFacts {
    VisitClass kind = VisitClass::Human;
    QString client; // the address (see clientAddress())
    QByteArray userAgent;
    QByteArray referer;
    // A person's visit to a limited link that the store's takeVisit granted, and so already added
    // to the link's visits: counted in its hour, as a visitor and by referrer, not again in visits.
    bool taken = false;
};

// Turns a validated address into a code and back, through the store pool; answers come through
// callbacks on the caller's thread, at once when the cache has them. Creations that arrive while
// the workers are busy with others wait and then go to the store together, sharing one commit.
// Visits are counted in memory and added to the store about once a second and when the shortener
// goes.
class Shortener final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(Shortener)

public:
    using Outcome = ShortenOutcome;

    explicit Shortener(StorePool& pool, ShortenerOptions options = {}, QObject* parent = nullptr);
    ~Shortener() override;

    // The operator's lists every creation is checked against first, whoever asks (a key is no
    // exemption); null checks none. The set outlives the shortener and may reload meanwhile.
    void setBlocklists(const BlocklistSet* lists) { m_blocklists = lists; }
    // The list that holds target, if any; cheap enough to ask on this thread for every creation.
    std::optional<BlocklistMatch> listedBy(const QString& target) const;

    void shorten(int type, const QString& target, const std::function<void(const Outcome&)>& done);
    void resolve(const QString& code, const std::function<void(const LookupResult&)>& done);

    // A link that is made, changed or deleted, or why not (links/linkchanges.h says which fault).
    using LinkAnswer = std::function<void(const Result<StoredLink>&)>;
    // A link with options (a chosen code, an end, a visit limit, a title, tags), never settled
    // against the address's other links; a listed address is refused (listedAddressFault). Like
    // every creation, a failed write is kept as writeFailure() for readiness and counted.
    void create(const StoredLink& link, const LinkAnswer& done);
    // An edit and a deletion, as the editor may make them; the link as changed is remembered at
    // once, so this instance never answers with the old one.
    void edit(const QString& code, const LinkPatch& patch, const Editor& editor, const LinkAnswer& done);
    void remove(const QString& code, const Editor& editor, const LinkAnswer& done);
    // Links changed elsewhere (another instance, an operator): the next request for each reads
    // the store. A lookup under way when this is called answers, but its link is not kept.
    void forget(const QStringList& codes);
    void forgetAll();
    // Whether the store answers; done(false) when it does not or the pool is full.
    void checkHealth(const std::function<void(bool)>& done);
    // On the shortener's thread (lane -1), or on any thread into the lane that thread alone uses.
    void countVisit(const QString& code, const VisitFacts& facts, qint64 nowSecs, int lane = -1);
    // The cached link, on any thread; nothing when it is not at hand (the store is not asked).
    std::optional<StoredLink> cachedLink(const QString& code) { return m_cache.findByCode(code, nowMs(), wallSecs()); }
    // A person's visit to a link with a visit limit goes to the store at once, which grants it or
    // not; a granted one is counted by its hour, visitor and referrer as well. The cached copy
    // follows the answer.
    void takeVisit(const QString& code, const VisitFacts& facts, const std::function<void(VisitGrant)>& done);
    // The link with the visits counted here and not yet in the store added to each of its counts
    // (people's, visitors', bots', previews'), so that all four are read at the same moment.
    StoredLink withPendingVisits(StoredLink link) const;
    qint64 visitsOf(const StoredLink& link) const { return withPendingVisits(link).visits; }
    // Hands counted visits to the store, a bounded batch at a time; those it fails to take are
    // kept for the next round.
    void flushVisits();
    // Whether counted visits are still waiting for the store or on their way to it.
    bool hasPendingVisits() const { return !m_tally.isEmpty() || !m_writing.isEmpty() || !m_lanes.isEmpty(); }
    // Drops visit counters past the retention, on a worker.
    void pruneVisits();
    void pruneAudit();
    // How many counted visits those are.
    qint64 pendingVisitCount() const;

    // A link changed through this instance (an edit, a deletion): the cached copy is replaced at
    // once, so this instance never answers with the old one.
    void remember(const StoredLink& link) { m_cache.remember(link, nowMs()); }
    // The pool the shortener runs on, for the calls of others that need the store.
    StorePool& pool() const { return m_pool; }

    const LinkCache& cache() const { return m_cache; }
    // Why the last write to the store (a creation or a batch of visits) failed on a connection
    // that still answers; empty while writes succeed, and again once one does.
    const QString& writeFailure() const { return m_writeFailure; }

private:
    struct WaitingCreate {
        ShortenRequest request;
        std::function<void(const Outcome&)> done;
    };

    qint64 nowMs() const { return m_clock.elapsed(); }
    static qint64 wallSecs();
    // Hands the waiting creations to a worker as one batch.
    void startCreates();
    // Runs a creation or a change on a worker, then notes the write and remembers the link.
    void change(const std::function<Result<StoredLink>(Store&, QString*)>& work, const LinkAnswer& done);
    // Keeps, and logs when it changes, why writes fail; clears it once one succeeds.
    void noteWrite(bool succeeded, const QString& failure);

    StorePool& m_pool;
    const BlocklistSet* m_blocklists = nullptr;
    QRandomGenerator* m_random;
    LinkCache m_cache;
    QElapsedTimer m_clock;
    VisitTally m_tally;
    VisitLanes m_lanes; // other threads' visits, gathered into m_tally before each batch
    VisitBatch m_writing; // handed to the store, not yet confirmed
    RepeatFilter m_repeats;
    int m_visitRetentionDays;
    QTimer m_flushTimer;
    QTimer m_pruneTimer;
    QTimer m_auditPruneTimer;
    int m_auditRetentionDays;
    QList<WaitingCreate> m_waitingCreates;
    int m_createsInFlight = 0;
    int m_maxCreatesInFlight;
    QString m_writeFailure;
    quint64 m_forgets = 0; // calls to forget(): a read that saw one start keeps nothing
};

} // namespace Shortd
