#include "links/shortener.h"

#include "links/codes.h"

#include <QDateTime>
#include <QRandomGenerator>

namespace Shortd
{
namespace
{
// Beyond this many cached links the cache starts again from empty; the store has them all.
constexpr qsizetype CacheLimit = 50'000;
constexpr std::chrono::milliseconds DefaultFlushInterval {1000};

QString targetKey(int type, const QString& target)
{
    return QString::number(type) % u':' % target;
}
} // namespace

Shortener::Shortener(LinkStore& store, QObject* parent)
    : QObject(parent)
    , m_store(store)
    , m_random(QRandomGenerator::global())
{
    m_flushTimer.setInterval(DefaultFlushInterval);
    connect(&m_flushTimer, &QTimer::timeout, this, &Shortener::flushVisits);
    m_flushTimer.start();
}

Shortener::~Shortener()
{
    flushVisits();
}

void Shortener::setFlushInterval(std::chrono::milliseconds interval)
{
    m_flushTimer.start(interval);
}

void Shortener::remember(const StoredLink& link)
{
    if (m_byCode.size() >= CacheLimit) {
        m_byCode.clear();
        m_byTarget.clear();
    }
    m_byCode.insert(link.code, link);
    m_byTarget.insert(targetKey(link.type, link.target), link.code);
}

Shortener::Outcome Shortener::shorten(int type, const QString& target)
{
    const QString key = targetKey(type, target);
    if (const auto cached = m_byTarget.constFind(key); cached != m_byTarget.cend()) {
        return {StoreStatus::Ok, *cached, false};
    }
    const LookupResult existing = m_store.findByTarget(type, target);
    if (existing.status == StoreStatus::Ok) {
        remember(existing.link);
        return {StoreStatus::Ok, existing.link.code, false};
    }
    if (existing.status == StoreStatus::Failed) {
        return {};
    }

    StoredLink link {{}, type, target, QDateTime::currentSecsSinceEpoch(), 0};
    // Collisions are rare at six characters (56^6 codes); each retry draws a longer code, which
    // makes another collision rarer still.
    for (qsizetype length = MinimumCodeLength; length <= MaximumCodeLength; ++length) {
        link.code = randomCode(length, *m_random);
        switch (m_store.insert(link)) {
        case StoreStatus::Ok:
            // Not cached: most new links are not followed at once, and a cache filled by a burst of
            // creations would only cost memory and rehashing.
            return {StoreStatus::Ok, link.code, true};
        case StoreStatus::CodeTaken:
            continue;
        case StoreStatus::TargetTaken: {
            // Another writer to the same store made it first.
            const LookupResult raced = m_store.findByTarget(type, target);
            if (raced.status != StoreStatus::Ok) {
                return {};
            }
            remember(raced.link);
            return {StoreStatus::Ok, raced.link.code, false};
        }
        case StoreStatus::Missing:
        case StoreStatus::Failed:
            return {};
        }
    }
    return {};
}

LookupResult Shortener::resolve(const QString& code)
{
    if (const auto cached = m_byCode.constFind(code); cached != m_byCode.cend()) {
        return {StoreStatus::Ok, *cached};
    }
    LookupResult found = m_store.findByCode(code);
    if (found.status == StoreStatus::Ok) {
        remember(found.link);
    }
    return found;
}

void Shortener::countVisit(const QString& code)
{
    ++m_pendingVisits[code];
}

qint64 Shortener::visitsOf(const StoredLink& link) const
{
    return link.visits + m_pendingVisits.value(link.code);
}

bool Shortener::flushVisits()
{
    if (m_pendingVisits.isEmpty()) {
        return true;
    }
    if (m_store.addVisits(m_pendingVisits) != StoreStatus::Ok) {
        return false; // kept for the next round
    }
    for (auto it = m_pendingVisits.cbegin(); it != m_pendingVisits.cend(); ++it) {
        if (auto cached = m_byCode.find(it.key()); cached != m_byCode.end()) {
            cached->visits += it.value();
        }
    }
    m_pendingVisits.clear();
    return true;
}

} // namespace Shortd
