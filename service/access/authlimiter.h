#pragma once

#include <QHash>
#include <QString>
#include <deque>
#include <functional>

namespace Shortd
{

class SharedLimit;

// Failed authentications per client address: after FailuresAllowed in a minute (from the
// address's first failure), the address is refused (429) for the rest of that minute, key or no
// key, without the store being asked. At most maxAddresses are tracked; past that, the one whose
// minute began first is forgotten. Time comes in from outside, in milliseconds.
//
// Instances of a cluster also count the failures together (shareWith), as they count creations:
// FailuresAllowed is then the cluster's, however the client's requests are spread.
class AuthLimiter
{
public:
    static constexpr int FailuresAllowed = 10;
    static constexpr qint64 WindowMs = 60'000;
    static constexpr qsizetype DefaultMaxAddresses = 100'000;

    explicit AuthLimiter(qsizetype maxAddresses = DefaultMaxAddresses);

    // Whether a request from the address is refused now; the seconds until it is not, or 0.
    int blockedForSeconds(const QString& client, qint64 nowMs);
    void noteFailure(const QString& client, qint64 nowMs);
    // Counts failures in shared too (made with FailuresAllowed a minute), by wall-clock time
    // (milliseconds since the epoch), under names of their own beside the creations'.
    void shareWith(SharedLimit* shared, std::function<qint64()> wallClock);
    qsizetype trackedAddresses() const { return m_failures.size(); }

private:
    struct Window {
        qint64 startMs = 0;
        int failures = 0;
    };

    // Drops the windows that have ended, oldest first.
    void forgetEnded(qint64 nowMs);

    qsizetype m_maxAddresses;
    SharedLimit* m_shared = nullptr;
    std::function<qint64()> m_wallClock;
    QHash<QString, Window> m_failures;
    std::deque<QString> m_order; // the tracked addresses, by when their window began
};

} // namespace Shortd
