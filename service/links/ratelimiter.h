#pragma once

#include <QHash>
#include <QString>

namespace Shortd
{

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
    int perMinute() const { return m_perMinute; }
    qsizetype trackedClients() const { return m_buckets.size(); }

private:
    struct Bucket {
        double tokens = 0;
        qint64 updatedMs = 0;
    };

    void forgetIdle(qint64 nowMs);

    int m_perMinute;
    qint64 m_nextSweepMs = 0;
    QHash<QString, Bucket> m_buckets;
};

} // namespace Shortd
