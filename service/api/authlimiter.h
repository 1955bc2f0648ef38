#pragma once

#include <QHash>
#include <QString>
#include <deque>

namespace Shortd
{

// Failed authentications per client address: after FailuresAllowed in a minute (from the
// address's first failure), the address is refused (429) for the rest of that minute, key or no
// key, without the store being asked. At most maxAddresses are tracked; past that, the one whose
// minute began first is forgotten. Time comes in from outside, in milliseconds.
class AuthLimiter
{
public:
    static constexpr int FailuresAllowed = 10;
    static constexpr qint64 WindowMs = 60'000;
    static constexpr qsizetype DefaultMaxAddresses = 100'000;

    explicit AuthLimiter(qsizetype maxAddresses = DefaultMaxAddresses);

    // Whether a request from the address is refused now; the seconds until it is not, or 0.
    int blockedForSeconds(const QString& client, qint64 nowMs) const;
    void noteFailure(const QString& client, qint64 nowMs);
    qsizetype trackedAddresses() const { return m_failures.size(); }

private:
    struct Window {
        qint64 startMs = 0;
        int failures = 0;
    };

    // Drops the windows that have ended, oldest first.
    void forgetEnded(qint64 nowMs);

    qsizetype m_maxAddresses;
    QHash<QString, Window> m_failures;
    std::deque<QString> m_order; // the tracked addresses, by when their window began
};

} // namespace Shortd
