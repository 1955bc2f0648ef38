#include "access/authlimiter.h"

#include "cluster/sharedlimit.h"

#include <algorithm>

namespace Shortd
{
namespace
{
// A client's failures in the counts the instances share: apart from its creations, which are
// counted under the address alone (an address never holds a blank).
QString sharedName(const QString& client)
{
    return QStringLiteral("key-failures ") + client;
}
} // namespace

AuthLimiter::AuthLimiter(qsizetype maxAddresses)
    : m_maxAddresses(std::max<qsizetype>(1, maxAddresses))
{
}

int AuthLimiter::blockedForSeconds(const QString& client, qint64 nowMs)
{
    const int shared = m_shared ? m_shared->blockedForSeconds(sharedName(client), m_wallClock()) : 0;
    const auto found = m_failures.constFind(client);
    if (found == m_failures.cend() || found->failures < FailuresAllowed) {
        return shared;
    }
    const qint64 leftMs = found->startMs + WindowMs - nowMs;
    return std::max(shared, leftMs <= 0 ? 0 : static_cast<int>((leftMs + 999) / 1000));
}

void AuthLimiter::shareWith(SharedLimit* shared, std::function<qint64()> wallClock)
{
    m_shared = shared;
    m_wallClock = std::move(wallClock);
}

void AuthLimiter::noteFailure(const QString& client, qint64 nowMs)
{
    if (m_shared) {
        m_shared->note(sharedName(client), m_wallClock());
    }
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
