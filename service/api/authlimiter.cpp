#include "api/authlimiter.h"

#include <algorithm>

namespace Shortd
{

AuthLimiter::AuthLimiter(qsizetype maxAddresses)
    : m_maxAddresses(std::max<qsizetype>(1, maxAddresses))
{
}

int AuthLimiter::blockedForSeconds(const QString& client, qint64 nowMs) const
{
    const auto found = m_failures.constFind(client);
    if (found == m_failures.cend() || found->failures < FailuresAllowed) {
        return 0;
    }
    const qint64 leftMs = found->startMs + WindowMs - nowMs;
    return leftMs <= 0 ? 0 : static_cast<int>((leftMs + 999) / 1000);
}

void AuthLimiter::noteFailure(const QString& client, qint64 nowMs)
{
    forgetEnded(nowMs);
    const auto found = m_failures.find(client);
    if (found != m_failures.end()) {
        ++found->failures;
        return;
    }
    if (m_failures.size() >= m_maxAddresses) {
        m_failures.remove(m_order.front());
        m_order.pop_front();
    }
    m_failures.insert(client, {nowMs, 1});
    m_order.push_back(client);
}

void AuthLimiter::forgetEnded(qint64 nowMs)
{
    // Windows begin in the order of the queue, so the ended ones are at its front; every address
    // in the queue is tracked exactly once, since a window is only begun anew after it has ended
    // and been dropped here.
    while (!m_order.empty()) {
        const auto oldest = m_failures.constFind(m_order.front());
        if (oldest != m_failures.cend() && nowMs - oldest->startMs < WindowMs) {
            return;
        }
        m_failures.remove(m_order.front());
        m_order.pop_front();
    }
}

} // namespace Shortd
