#include "cluster/sharedlimit.h"

#include <algorithm>
#include <numeric>

namespace Shortd
{
namespace
{
// A window is cut in ten slots; it touches the current one and the ten before it.
constexpr qint64 SlotsAWindow = 10;
constexpr qint64 WindowSlots = SlotsAWindow + 1;
// A client that has not asked for this long is no longer asked about at each exchange (its sums
// are read again when it asks).
constexpr qint64 ForgetAfterMs = 120'000;
constexpr qint64 SweepEveryMs = 15'000;

qint64 total(const QList<qint64>& counts)
{
    return std::accumulate(counts.cbegin(), counts.cend(), qint64 {0});
}
} // namespace

SharedLimit::SharedLimit(int perWindow, qint64 windowMs)
    : m_limit(std::max(perWindow, 0))
    , m_slotMs(std::max(windowMs / SlotsAWindow / ClientCountSlotMs, qint64 {1}) * ClientCountSlotMs)
{
}

QList<qint64> SharedLimit::window(const QHash<Key, qint64>& counts, const QString& client, qint64 slot) const
{
    QList<qint64> window;
    window.reserve(WindowSlots);
    for (qint64 s = slot - WindowSlots + 1; s <= slot; ++s) {
        window.append(counts.value(Key(client, s)));
    }
    return window;
}

SharedLimit::Decision SharedLimit::take(const QString& client, qint64 nowMs)
{
    if (m_limit == 0) {
        return {};
    }
    m_lastSeen.insert(client, nowMs);
    // Also where nothing is exchanged (one instance alone): what left the window is dropped.
    forgetOld(nowMs);
    const qint64 slot = nowMs / m_slotMs;
    const QList<qint64> known = window(m_known, client, slot);
    const qint64 mine = total(window(m_inFlight, client, slot)) + total(window(m_unsent, client, slot));
    const qint64 used = total(known) + mine;
    // The others' grants since their last exchange are not among the sums yet: each is taken to
    // have granted as many as this instance did in its last round.
    const qint64 unseen = qint64(m_instances - 1) * std::max(m_lastRound.value(client), qint64 {0});
    const qint64 budget = m_limit - total(known) - unseen;
    if (used < m_limit && ((mine + 1) * m_instances <= budget || (mine == 0 && budget >= 1))) {
        ++m_unsent[Key(client, slot)];
        return {};
    }
    if (used < m_limit) {
        // This instance's share is spent; the next exchange tells what the others left.
        return {false, 1};
    }
    return {false, secondsUntilRoom(everything(client, slot), slot, nowMs)};
}

void SharedLimit::note(const QString& client, qint64 nowMs)
{
    if (m_limit == 0) {
        return;
    }
    m_lastSeen.insert(client, nowMs);
    forgetOld(nowMs);
    ++m_unsent[Key(client, nowMs / m_slotMs)];
}

void SharedLimit::giveBack(const QString& client, qint64 nowMs)
{
    if (m_limit != 0) {
        --m_unsent[Key(client, nowMs / m_slotMs)];
    }
}

int SharedLimit::blockedForSeconds(const QString& client, qint64 nowMs)
{
    if (m_limit == 0) {
        return 0;
    }
    m_lastSeen.insert(client, nowMs);
    forgetOld(nowMs);
    const qint64 slot = nowMs / m_slotMs;
    const QList<qint64> counts = everything(client, slot);
    return total(counts) < m_limit ? 0 : secondsUntilRoom(counts, slot, nowMs);
}

QList<qint64> SharedLimit::everything(const QString& client, qint64 slot) const
{
    QList<qint64> all = window(m_known, client, slot);
    for (const QHash<Key, qint64>* counts : {&m_inFlight, &m_unsent}) {
        const QList<qint64> more = window(*counts, client, slot);
        for (qsizetype i = 0; i < all.size(); ++i) {
            all[i] += more.at(i);
        }
    }
    return all;
}

int SharedLimit::secondsUntilRoom(const QList<qint64>& counts, qint64 slot, qint64 nowMs) const
{
    qint64 left = total(counts);
    qsizetype leaving = 0;
    while (leaving < counts.size() - 1 && left - counts.at(leaving) + 1 > m_limit) {
        left -= counts.at(leaving++);
    }
    // The slot at index i leaves once the slot i + 1 after the current one begins.
    const qint64 freedAtMs = (slot + leaving + 1) * m_slotMs;
    return static_cast<int>(std::clamp<qint64>((freedAtMs - nowMs + 999) / 1000, 1, WindowSlots * m_slotMs / 1000));
}

SharedLimit::Batch SharedLimit::takeBatch(qint64 nowMs)
{
    forgetOld(nowMs);
    Batch batch;
    batch.oldestSlot = (nowMs / m_slotMs - WindowSlots + 1) * scale();
    for (auto it = m_unsent.cbegin(); it != m_unsent.cend(); ++it) {
        batch.counts.append({it.key().first, it.key().second * scale(), it.value()});
        m_inFlight[it.key()] += it.value();
    }
    m_unsent.clear();
    batch.clients = m_lastSeen.keys();
    return batch;
}

void SharedLimit::settle(const Batch& batch, const std::optional<QList<ClientCount>>& sums, int liveInstances)
{
    for (const ClientCount& sent : batch.counts) {
        const Key key(sent.client, sent.slot / scale());
        if (qint64& flying = m_inFlight[key]; (flying -= sent.count) <= 0) {
            m_inFlight.remove(key);
        }
        if (!sums) {
            m_unsent[key] += sent.count;
        }
    }
    if (!sums) {
        return;
    }
    m_instances = std::max(liveInstances, 1);
    const qint64 oldest = batch.oldestSlot / scale();
    for (const QString& client : batch.clients) {
        m_lastRound.remove(client);
        for (qint64 slot = oldest; slot <= oldest + WindowSlots; ++slot) {
            m_known.remove(Key(client, slot));
        }
    }
    for (const ClientCount& sum : *sums) {
        m_known[Key(sum.client, sum.slot / scale())] += sum.count;
    }
    // The sums were read before the batch was added.
    for (const ClientCount& sent : batch.counts) {
        m_known[Key(sent.client, sent.slot / scale())] += sent.count;
        m_lastRound[sent.client] += sent.count;
    }
}

void SharedLimit::forgetOld(qint64 nowMs)
{
    if (nowMs < m_nextSweepMs) {
        return;
    }
    m_nextSweepMs = nowMs + SweepEveryMs;
    const qint64 oldest = nowMs / m_slotMs - WindowSlots + 1;
    for (QHash<Key, qint64>* counts : {&m_known, &m_unsent}) {
        counts->removeIf([oldest](const auto& entry) { return entry.key().second < oldest; });
    }
    m_lastSeen.removeIf([nowMs](const auto& entry) { return nowMs - entry.value() >= ForgetAfterMs; });
    m_lastRound.removeIf([this](const auto& entry) { return !m_lastSeen.contains(entry.key()); });
}

} // namespace Shortd
