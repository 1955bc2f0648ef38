#pragma once

#include <QHash>
#include <QString>
#include <functional>

namespace Shortd
{

class HostCreationLimit;
class SharedLimit;

// Creations a minute per client, as a token bucket: a client may spend a full minute's allowance at
// once, then one more each 60/N seconds. Time comes in from outside so the behaviour is testable.
class RateLimiter
{
public:
    explicit RateLimiter(int perMinute);

    struct Decision {
        bool allowed = true;
        int retryAfterSeconds = 0;
    };

    Decision take(const QString& client, qint64 nowMs);
    // Instances of a cluster: a creation this instance allows must also fit the cluster's limit,
    // counted by wall-clock time (milliseconds since the epoch).
    void shareWith(SharedLimit* shared, std::function<qint64()> wallClock);
    // The anonymous creations' other limit, new links a site an hour, asked through the same doors.
    void limitHosts(HostCreationLimit* hosts) { m_hosts = hosts; }
    HostCreationLimit* hosts() const { return m_hosts; }
    int perMinute() const { return m_perMinute; }
    qsizetype trackedClients() const { return m_buckets.size(); }

private:
    struct Bucket {
        double tokens = 0;
        qint64 updatedMs = 0;
    };

    void forgetIdle(qint64 nowMs);

    int m_perMinute;
    SharedLimit* m_shared = nullptr;
    HostCreationLimit* m_hosts = nullptr;
    std::function<qint64()> m_wallClock;
    qint64 m_nextSweepMs = 0;
    QHash<QString, Bucket> m_buckets;
};

} // namespace Shortd
