#include "cluster/sharedlimit.h"

#include <QTest>

using namespace Qt::StringLiterals;
using namespace Shortd;

namespace
{
constexpr qint64 SlotMs = ClientCountSlotMs;
constexpr qint64 Slot = 299'446'910; // any slot since the epoch
const QString Client = u"192.0.2.1"_s;

// Takes until the first refusal: how many were granted, and the refusal's wait.
std::pair<int, int> takeUntilRefused(SharedLimit& limit, qint64 nowMs, const QString& client = Client)
{
    for (int granted = 0; granted < 10'000; ++granted) {
        if (const SharedLimit::Decision decision = limit.take(client, nowMs); !decision.allowed) {
            return {granted, decision.retryAfterSeconds};
        }
    }
    return {10'000, 0};
}
} // namespace

class SharedLimitTest final : public QObject
{
    Q_OBJECT

private slots:
    void decision_data();
    void decision();
    void batchesCarryCountsUntilSettled();
    void notedEvents_data();
    void notedEvents();
    void anHourInTheDatabasesSlots();
};

void SharedLimitTest::decision_data()
{
    QTest::addColumn<int>("perMinute");
    QTest::addColumn<int>("instances");
    QTest::addColumn<qint64>("oldest"); // the cluster's count of the oldest slot the minute touches
    QTest::addColumn<qint64>("current"); // and of the current one, this instance's last round included
    QTest::addColumn<qint64>("lastRound"); // this instance's last round
    QTest::addColumn<qint64>("intoSlotMs");
    QTest::addColumn<int>("granted");
    QTest::addColumn<int>("retryAfter");

    QTest::newRow("alone: the whole minute") << 60 << 1 << 0LL << 0LL << 0LL << 0LL << 60 << 66;
    QTest::newRow("three: a third each until they exchange") << 60 << 3 << 0LL << 0LL << 0LL << 0LL << 20 << 1;
    QTest::newRow("the others' counts leave less") << 60 << 3 << 0LL << 45LL << 0LL << 0LL << 5 << 1;
    QTest::newRow("the others' round not yet seen") << 60 << 3 << 0LL << 10LL << 10LL << 0LL << 10 << 1;
    QTest::newRow("one while anything is left") << 2 << 3 << 0LL << 0LL << 0LL << 0LL << 1 << 1;
    QTest::newRow("a burst a minute old counts until its slot leaves")
        << 60 << 1 << 60LL << 0LL << 0LL << 3000LL << 0 << 3;
    QTest::newRow("half the minute in the oldest slot") << 60 << 1 << 30LL << 0LL << 0LL << 0LL << 30 << 6;
    QTest::newRow("off") << 0 << 3 << 0LL << 500LL << 0LL << 0LL << 10'000 << 0;
}

void SharedLimitTest::decision()
{
    QFETCH(int, perMinute);
    QFETCH(int, instances);
    QFETCH(qint64, oldest);
    QFETCH(qint64, current);
    QFETCH(qint64, lastRound);
    QFETCH(qint64, intoSlotMs);
    QFETCH(int, granted);
    QFETCH(int, retryAfter);

    SharedLimit limit(perMinute);
    limit.setInstances(instances);
    const qint64 now = Slot * SlotMs + intoSlotMs;
    SharedLimit::Batch sent {{}, {Client}, Slot - 10};
    if (lastRound > 0) {
        sent.counts.append({Client, Slot, lastRound});
    }
    limit.settle(
        sent, QList<ClientCount> {{Client, Slot - 10, oldest}, {Client, Slot, current - lastRound}}, instances);
    QCOMPARE(takeUntilRefused(limit, now), std::make_pair(granted, retryAfter));
}

void SharedLimitTest::notedEvents_data()
{
    QTest::addColumn<int>("perMinute");
    QTest::addColumn<qint64>("oldest"); // the cluster's count of the oldest slot the minute touches
    QTest::addColumn<qint64>("current"); // and of the current one
    QTest::addColumn<int>("noted"); // counted here since
    QTest::addColumn<qint64>("intoSlotMs");
    QTest::addColumn<int>("blocked");

    QTest::newRow("one short") << 10 << 0LL << 0LL << 9 << 0LL << 0;
    QTest::newRow("all here") << 10 << 0LL << 0LL << 10 << 0LL << 66;
    QTest::newRow("the others' and these together") << 10 << 0LL << 6LL << 4 << 1000LL << 65;
    QTest::newRow("the others' alone") << 10 << 0LL << 10LL << 0 << 0LL << 66;
    QTest::newRow("a minute-old burst until its slot leaves") << 10 << 10LL << 0LL << 0 << 3000LL << 3;
    QTest::newRow("off") << 0 << 0LL << 50LL << 50 << 0LL << 0;
}

void SharedLimitTest::notedEvents()
{
    QFETCH(int, perMinute);
    QFETCH(qint64, oldest);
    QFETCH(qint64, current);
    QFETCH(int, noted);
    QFETCH(qint64, intoSlotMs);
    QFETCH(int, blocked);

    SharedLimit limit(perMinute);
    limit.setInstances(2);
    const qint64 now = Slot * SlotMs + intoSlotMs;
    limit.settle(
        {{}, {Client}, Slot - 10}, QList<ClientCount> {{Client, Slot - 10, oldest}, {Client, Slot, current}}, 2);
    for (int i = 0; i < noted; ++i) {
        limit.note(Client, now);
    }
    // Noted whatever the decision, and never refused before the limit, however many instances.
    QCOMPARE(limit.blockedForSeconds(Client, now), blocked);
    const SharedLimit::Batch batch = limit.takeBatch(now);
    QCOMPARE(batch.counts.isEmpty() ? 0 : batch.counts.constFirst().count, perMinute == 0 ? 0 : noted);
    // A client asked about has its sums read at the next exchange, noted here or not.
    QCOMPARE(batch.clients.contains(Client), perMinute != 0);
}

void SharedLimitTest::batchesCarryCountsUntilSettled()
{
    SharedLimit limit(100);
    const qint64 now = Slot * SlotMs;
    const auto take = [&](int times) {
        for (int i = 0; i < times; ++i) {
            QVERIFY(limit.take(Client, now).allowed);
        }
    };
    take(3);
    const SharedLimit::Batch first = limit.takeBatch(now);
    QCOMPARE(first.counts.size(), 1);
    QCOMPARE(first.counts.constFirst().count, 3);
    QCOMPARE(first.clients, QStringList {Client});
    take(2);
    const SharedLimit::Batch second = limit.takeBatch(now);
    QCOMPARE(second.counts.constFirst().count, 2); // the first is in flight, not sent again

    // A failed exchange sends its counts with the next batch; one that went through is not sent again.
    limit.settle(first, std::nullopt, 1);
    limit.settle(second, QList<ClientCount> {}, 1);
    const SharedLimit::Batch third = limit.takeBatch(now);
    QCOMPARE(third.counts.size(), 1);
    QCOMPARE(third.counts.constFirst().count, 3);
    // The sums were read before the batch went in: both are counted once.
    limit.settle(third, QList<ClientCount> {{Client, Slot, 2}}, 1);
    QCOMPARE(takeUntilRefused(limit, now).first, 95);

    // A client idle for two minutes is no longer asked about.
    QVERIFY(limit.takeBatch(now + 120'000).clients.isEmpty());
}

void SharedLimitTest::anHourInTheDatabasesSlots()
{
    // An hour is cut in six-minute slots; the database counts six-second ones, each sixty to one.
    constexpr qint64 HourSlotMs = 360'000;
    const QString site = u"host:a.example"_s;
    const qint64 hourSlot = Slot / 60;
    const qint64 now = hourSlot * HourSlotMs;
    SharedLimit limit(100, 3'600'000);
    for (int i = 0; i < 97; ++i) {
        QVERIFY(limit.take(site, now).allowed);
    }
    const SharedLimit::Batch sent = limit.takeBatch(now);
    QCOMPARE(sent.counts.size(), 1);
    QCOMPARE(sent.counts.constFirst().slot, hourSlot * 60);
    QCOMPARE(sent.oldestSlot, (hourSlot - 10) * 60);
    // The others' counts: in the oldest slot the hour touches, and in the current one.
    limit.settle(sent, QList<ClientCount> {{site, (hourSlot - 10) * 60, 1}, {site, hourSlot * 60, 2}}, 1);
    QCOMPARE(takeUntilRefused(limit, now + 1000, site), std::make_pair(0, 359)); // the oldest slot's one leaves
    // One not used after all makes room for exactly one.
    limit.giveBack(site, now + 1000);
    QCOMPARE(takeUntilRefused(limit, now + 1000, site), std::make_pair(1, 359));
    QCOMPARE(limit.blockedForSeconds(site, now + HourSlotMs - 1), 1);
    QCOMPARE(limit.blockedForSeconds(site, now + HourSlotMs), 0);
    // Forgotten when idle, whether or not anything is exchanged.
    QVERIFY(limit.take(u"host:b.example"_s, now + 2 * HourSlotMs).allowed);
    QCOMPARE(limit.trackedClients(), 1);
}

QTEST_APPLESS_MAIN(SharedLimitTest)
#include "tst_sharedlimit.moc"
