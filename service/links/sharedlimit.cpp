#include "links/sharedlimit.h"

#include <algorithm>
#include <cmath>

namespace Shortd
{
namespace
{
constexpr qint64 MinuteMs = 60'000;
// A client idle this long counts nothing in the sliding minute: it is forgotten.
constexpr qint64 ForgetAfterMs = 2 * MinuteMs;
constexpr qint64 SweepEveryMs = 15'000;
} // namespace

SharedLimit::SharedLimit(int perMinute)
    : m_perMinute(std::max(perMinute, 0))
{
}

qint64 SharedLimit::countOf(const QHash<Key, qint64>& counts, const QString& client, qint64 minute) const
{
    return counts.value(Key(client, minute));
}

SharedLimit::Decision SharedLimit::take(const QString& client, qint64 nowMs)
{
    if (m_perMinute == 0) {
        return {};
    }
    m_lastSeen.insert(client, nowMs);
    const qint64 minute = nowMs / MinuteMs;
    const double left = 1.0 - static_cast<double>(nowMs % MinuteMs) / MinuteMs; // of the last minute, still covered
    const auto mine = [&](qint64 m) { return countOf(m_inFlight, client, m) + countOf(m_unsent, client, m); };
    const double knownUse = static_cast<double>(countOf(m_known, client, minute - 1)) * left
        + static_cast<double>(countOf(m_known, client, minute));
    const double used = knownUse + static_cast<double>(mine(minute - 1)) * left + static_cast<double>(mine(minute));
    // The others' grants since their last exchange are not among the sums yet: each is taken to
    // have granted as many as this instance did in its last round.
    const double unseen = static_cast<double>(m_instances - 1) * static_cast<double>(m_lastRound.value(client));
    const double budget = m_perMinute - knownUse - unseen;
    const double share = budget / m_instances;
    const auto sinceExchange = static_cast<double>(mine(minute));
    if (used + 1 <= m_perMinute && (sinceExchange + 1 <= share || (sinceExchange == 0 && budget >= 1))) {
        ++m_unsent[Key(client, minute)];
        return {};
    }
    if (used + 1 <= m_perMinute) {
        // This instance's share is spent; the next exchange tells what the others left.
        return {false, 1};
    }
    // Wait until enough of the last minute has slid out, or the minute ends.
    const double current = static_cast<double>(countOf(m_known, client, minute) + mine(minute));
    const double previous = used - current;
    double waitMs = static_cast<double>(MinuteMs - nowMs % MinuteMs);
    if (current + 1 <= m_perMinute && previous > 0) {
        waitMs = (used + 1 - m_perMinute) / (previous / left) * MinuteMs;
    }
    return {false, std::clamp(static_cast<int>(std::ceil(waitMs / 1000.0)), 1, 60)};
}

SharedLimit::Batch SharedLimit::takeBatch(qint64 nowMs)
{
    forgetOld(nowMs);
    Batch batch;
    batch.oldestMinute = nowMs / MinuteMs - 1;
    for (auto it = m_unsent.cbegin(); it != m_unsent.cend(); ++it) {
        batch.counts.append({it.key().first, it.key().second, it.value()});
        m_inFlight[it.key()] += it.value();
    }
    m_unsent.clear();
    batch.clients = m_lastSeen.keys();
    return batch;
}

void SharedLimit::settle(const Batch& batch, const std::optional<QList<ClientCount>>& sums, int liveInstances)
{
    for (const ClientCount& sent : batch.counts) {
        const Key key(sent.client, sent.minute);
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
    for (const QString& client : batch.clients) {
        m_lastRound.remove(client);
        for (qint64 minute = batch.oldestMinute; minute <= batch.oldestMinute + 2; ++minute) {
            m_known.remove(Key(client, minute));
        }
    }
    for (const ClientCount& sum : *sums) {
        m_known[Key(sum.client, sum.minute)] += sum.count;
    }
    // The sums were read before the batch was added.
    for (const ClientCount& sent : batch.counts) {
        m_known[Key(sent.client, sent.minute)] += sent.count;
        m_lastRound[sent.client] += sent.count;
    }
}

void SharedLimit::forgetOld(qint64 nowMs)
{
    if (nowMs < m_nextSweepMs) {
        return;
    }
    m_nextSweepMs = nowMs + SweepEveryMs;
    const qint64 oldest = nowMs / MinuteMs - 1;
    for (QHash<Key, qint64>* counts : {&m_known, &m_unsent}) {
        counts->removeIf([oldest](const auto& entry) { return entry.key().second < oldest; });
    }
    m_lastSeen.removeIf([nowMs](const auto& entry) { return nowMs - entry.value() >= ForgetAfterMs; });
    m_lastRound.removeIf([this](const auto& entry) { return !m_lastSeen.contains(entry.key()); });
}

} // namespace Shortd
