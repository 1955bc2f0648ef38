#include "links/ratelimiter.h"

#include <QTest>

using namespace Qt::StringLiterals;
using namespace Shortd;

class RateLimiterTest final : public QObject
{
    Q_OBJECT

private slots:
    void rateLimitBurstThenRefill();
    void rateLimitPerClientAndOff();
};

void RateLimiterTest::rateLimitBurstThenRefill()
{
    RateLimiter limiter(60);
    const QString client = u"192.0.2.1"_s;
    for (int i = 0; i < 60; ++i) {
        QVERIFY(limiter.take(client, 1000).allowed);
    }
    const RateLimiter::Decision refused = limiter.take(client, 1000);
    QVERIFY(!refused.allowed);
    QCOMPARE(refused.retryAfterSeconds, 1);
    QVERIFY(!limiter.take(client, 1500).allowed);
    QVERIFY(limiter.take(client, 2000).allowed); // one a second comes back
    QVERIFY(!limiter.take(client, 2000).allowed);
    // A clock stepping back gives nothing.
    QVERIFY(!limiter.take(client, 0).allowed);
    // A long pause refills to the full minute, not more.
    for (int i = 0; i < 60; ++i) {
        QVERIFY(limiter.take(client, 3'600'000).allowed);
    }
    QVERIFY(!limiter.take(client, 3'600'000).allowed);
}

void RateLimiterTest::rateLimitPerClientAndOff()
{
    RateLimiter limiter(2);
    QVERIFY(limiter.take(u"a"_s, 0).allowed);
    QVERIFY(limiter.take(u"a"_s, 0).allowed);
    QVERIFY(!limiter.take(u"a"_s, 0).allowed);
    QCOMPARE(limiter.take(u"a"_s, 0).retryAfterSeconds, 30);
    QVERIFY(limiter.take(u"b"_s, 0).allowed);

    RateLimiter off(0);
    for (int i = 0; i < 10'000; ++i) {
        QVERIFY(off.take(u"a"_s, 0).allowed);
    }
    QCOMPARE(off.trackedClients(), 0);

    // Many one-off clients do not pile up once they have been idle for a minute.
    RateLimiter crowd(5);
    for (int i = 0; i < 10'000; ++i) {
        crowd.take(QString::number(i), 0);
    }
    crowd.take(u"late"_s, 120'000);
    QVERIFY(crowd.trackedClients() < 100);
}

QTEST_APPLESS_MAIN(RateLimiterTest)
#include "tst_ratelimiter.moc"
