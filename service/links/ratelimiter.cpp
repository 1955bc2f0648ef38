#include "links/ratelimiter.h"

#include "cluster/sharedlimit.h"

#include <cmath>

namespace Shortd
{
namespace
{
constexpr qint64 MinuteMs = 60'000;
constexpr qsizetype SweepThreshold = 4096;
} // namespace

RateLimiter::RateLimiter(int perMinute)
    : m_perMinute(std::max(perMinute, 0))
{
}

RateLimiter::Decision RateLimiter::take(const QString& client, qint64 nowMs)
{
    if (m_perMinute == 0) {
        return {};
    }
    const double capacity = m_perMinute;
    const double perMs = capacity / MinuteMs;
    if (m_buckets.size() >= SweepThreshold && nowMs >= m_nextSweepMs) {
        forgetIdle(nowMs);
    }
    auto it = m_buckets.find(client);
    if (it == m_buckets.end()) {
        it = m_buckets.insert(client, {capacity, nowMs});
    } else {
        // A clock that steps back must not hand out tokens.
        const qint64 elapsed = std::max<qint64>(nowMs - it->updatedMs, 0);
        it->tokens = std::min(capacity, it->tokens + static_cast<double>(elapsed) * perMs);
        it->updatedMs = std::max(it->updatedMs, nowMs);
    }
    if (it->tokens >= 1.0) {
        if (m_shared) {
            if (const SharedLimit::Decision shared = m_shared->take(client, m_wallClock()); !shared.allowed) {
                return {false, shared.retryAfterSeconds};
            }
        }
        it->tokens -= 1.0;
        return {};
    }
    const double waitMs = (1.0 - it->tokens) / perMs;
    return {false, std::max(1, static_cast<int>(std::ceil(waitMs / 1000.0)))};
}

void RateLimiter::shareWith(SharedLimit* shared, std::function<qint64()> wallClock)
{
    m_shared = shared;
    m_wallClock = std::move(wallClock);
}

void RateLimiter::forgetIdle(qint64 nowMs)
{
    // A client idle for a minute has a full bucket again, the same as one never seen.
    for (auto it = m_buckets.begin(); it != m_buckets.end();) {
        if (nowMs - it->updatedMs >= MinuteMs) {
            it = m_buckets.erase(it);
        } else {
            ++it;
        }
    }
    m_nextSweepMs = nowMs + MinuteMs / 4;
}

} // namespace Shortd
