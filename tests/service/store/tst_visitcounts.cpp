#include "links/shortener.h"
#include "pgcluster.h"
#include "store/databaseaddress.h"
#include "store/sqllinkstore.h"
#include "store/storepool.h"

#include <QRandomGenerator>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>
#include <latch>
#include <thread>

using namespace Qt::StringLiterals;
using namespace Shortd;

namespace
{
using StoreFactory = std::function<std::unique_ptr<SqlLinkStore>()>;

constexpr qint64 Day0 = 20'000 * SecondsPerDay;

StoredLink link(const QString& code)
{
    return {code, 2, u"https://example.com/"_s + code, 1, 0};
}

VisitCounts countsOf(SqlLinkStore& store, const QString& code)
{
    QHash<QString, VisitCounts> counts;
    if (store.linkVisitCounts({code}, &counts) != StoreStatus::Ok) {
        return {-1, -1, -1, -1};
    }
    return counts.value(code);
}
} // namespace

// The visit counters on both databases: batches that only add, so connections and instances
// add up; reports by hour and day with the referring hosts; pruning; the shortener's last counts
// written when it goes.
class VisitCountsTest final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void kinds_data();
    void addUpFromTwoConnections_data() { kinds_data(); }
    void addUpFromTwoConnections();
    void reportsAndPruning_data() { kinds_data(); }
    void reportsAndPruning();
    void shortenerCountsSurviveRestart_data() { kinds_data(); }
    void shortenerCountsSurviveRestart();

private:
    StoreFactory factoryFor(const QString& kind);

    QTemporaryDir m_dir;
    PgCluster m_cluster;
    int m_databases = 0;
};

void VisitCountsTest::initTestCase()
{
    QVERIFY2(m_cluster.start(), qPrintable(m_cluster.errorString()));
}

void VisitCountsTest::kinds_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("sqlite") << u"sqlite"_s;
    QTest::newRow("postgres") << u"postgres"_s;
}

StoreFactory VisitCountsTest::factoryFor(const QString& kind)
{
    const QString name = u"visits%1"_s.arg(++m_databases);
    if (kind == u"sqlite") {
        const QString path = m_dir.filePath(name + u".sqlite"_s);
        return [path] { return std::make_unique<SqlLinkStore>(DatabaseAddress::sqliteFile(path)); };
    }
    QString error;
    const auto address = parseDatabaseAddress(m_cluster.createDatabase(name), &error);
    if (!address) {
        return {};
    }
    return [address] { return std::make_unique<SqlLinkStore>(*address); };
}

void VisitCountsTest::addUpFromTwoConnections()
{
    QFETCH(QString, kind);
    const StoreFactory factory = factoryFor(kind);
    QVERIFY(factory);
    {
        const std::unique_ptr<SqlLinkStore> store = factory();
        QVERIFY2(store->open(), qPrintable(store->lastError()));
        QCOMPARE(store->insert(link(u"aaaaaa"_s)).status, StoreStatus::Ok);
        QCOMPARE(store->insert(link(u"bbbbbb"_s)).status, StoreStatus::Ok);
    }
    // Two instances writing the same rows at the same moments, as overlapping batches.
    constexpr qint64 Rounds = 40;
    const VisitCounts each {3, 2, 5, 1};
    VisitBatch batch;
    for (const QString& code : {u"aaaaaa"_s, u"bbbbbb"_s}) {
        batch.links.insert(code, each);
        batch.hours.insert({code, Day0 + 7 * SecondsPerHour}, each);
        batch.referrers.insert({code, Day0, u"news.example"_s}, 2);
        batch.referrers.insert({code, Day0, u"direct"_s}, 1);
    }
    std::latch ready(2);
    std::atomic<int> failures = 0;
    std::vector<std::thread> threads;
    threads.reserve(2);
    for (int i = 0; i < 2; ++i) {
        threads.emplace_back([&] {
            const std::unique_ptr<SqlLinkStore> store = factory();
            const bool opened = store->open();
            ready.arrive_and_wait();
            for (int round = 0; round < Rounds && opened; ++round) {
                // A busy database may refuse a batch; the shortener keeps it and tries again.
                while (store->addVisitCounts(batch) != StoreStatus::Ok) {
                    if (!store->lastFailureIsTransient()) {
                        ++failures;
                        return;
                    }
                }
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    QCOMPARE(failures.load(), 0);
    const std::unique_ptr<SqlLinkStore> store = factory();
    QVERIFY(store->open());
    const VisitCounts expected {2 * Rounds * 3, 2 * Rounds * 2, 2 * Rounds * 5, 2 * Rounds};
    QCOMPARE(countsOf(*store, u"aaaaaa"_s), expected);
    QCOMPARE(store->findByCode(u"bbbbbb"_s).link.visits, expected.humans); // people only
    VisitReport report;
    QCOMPARE(store->visitReport(u"aaaaaa"_s, Day0, Day0 + SecondsPerDay, VisitBucket::Hour, &report), StoreStatus::Ok);
    QCOMPARE(report.totals, expected);
    QCOMPARE(report.series.size(), 1);
    QCOMPARE(report.series.constFirst().startSecs, Day0 + 7 * SecondsPerHour);
    QCOMPARE(report.referrers.size(), 2);
    QCOMPARE(report.referrers.at(0).host, u"news.example"_s);
    QCOMPARE(report.referrers.at(0).visits, 2 * Rounds * 2);
    QCOMPARE(report.referrers.at(1).visits, 2 * Rounds);
}

void VisitCountsTest::reportsAndPruning()
{
    QFETCH(QString, kind);
    const StoreFactory factory = factoryFor(kind);
    QVERIFY(factory);
    const std::unique_ptr<SqlLinkStore> store = factory();
    QVERIFY2(store->open(), qPrintable(store->lastError()));
    VisitBatch batch;
    const auto add = [&batch](const QString& code, qint64 hour, VisitCounts counts) {
        batch.links[code] += counts;
        batch.hours[{code, hour}] += counts;
    };
    add(u"aaaaaa"_s, Day0 - 10 * SecondsPerDay, {1, 1, 0, 0});
    add(u"aaaaaa"_s, Day0 + 1 * SecondsPerHour, {2, 1, 1, 0});
    add(u"aaaaaa"_s, Day0 + 5 * SecondsPerHour, {3, 2, 0, 4});
    add(u"aaaaaa"_s, Day0 + SecondsPerDay, {1, 1, 0, 0});
    add(u"bbbbbb"_s, Day0 + 1 * SecondsPerHour, {10, 10, 10, 10});
    // 120 hosts of one visit each and a frequent one: a day keeps a bounded number of hosts.
    batch.referrers.insert({u"aaaaaa"_s, Day0, u"frequent.example"_s}, 500);
    for (int i = 0; i < 120; ++i) {
        batch.referrers.insert({u"aaaaaa"_s, Day0, u"h%1.example"_s.arg(i, 3, 10, QChar(u'0'))}, 1);
    }
    batch.referrers.insert({u"aaaaaa"_s, Day0 - 10 * SecondsPerDay, u"old.example"_s}, 1);
    QCOMPARE(store->addVisitCounts(batch), StoreStatus::Ok);

    VisitReport report;
    QCOMPARE(
        store->visitReport(u"aaaaaa"_s, Day0, Day0 + 2 * SecondsPerDay, VisitBucket::Day, &report), StoreStatus::Ok);
    QCOMPARE(report.series.size(), 2);
    QCOMPARE(report.series.at(0).startSecs, Day0);
    QCOMPARE(report.series.at(0).counts, (VisitCounts {5, 3, 1, 4}));
    QCOMPARE(report.series.at(1).counts, (VisitCounts {1, 1, 0, 0}));
    QCOMPARE(report.referrers.size(), ShownReferrers + 1);
    QCOMPARE(report.referrers.constFirst().host, u"frequent.example"_s);
    QCOMPARE(report.referrers.constLast().host, u"other"_s);
    qint64 referred = 0;
    for (const ReferrerCount& referrer : std::as_const(report.referrers)) {
        referred += referrer.visits;
    }
    QCOMPARE(referred, 620); // nothing lost to the bound: the rest counts as other

    // The whole service, by hour, over a span that leaves the first hour out.
    QCOMPARE(store->visitReport({}, Day0 + 2 * SecondsPerHour, Day0 + SecondsPerDay, VisitBucket::Hour, &report),
        StoreStatus::Ok);
    QCOMPARE(report.totals, (VisitCounts {3, 2, 0, 4}));
    QCOMPARE(store->visitReport({}, Day0, Day0 + SecondsPerHour * 2, VisitBucket::Hour, &report), StoreStatus::Ok);
    QCOMPARE(report.totals, (VisitCounts {12, 11, 11, 10}));

    // Pruning drops the old hours and days only; the links' totals stay.
    QCOMPARE(store->pruneVisits(Day0 - 5 * SecondsPerDay), StoreStatus::Ok);
    QCOMPARE(store->visitReport(u"aaaaaa"_s, 0, Day0 + 2 * SecondsPerDay, VisitBucket::Day, &report), StoreStatus::Ok);
    QCOMPARE(report.series.size(), 2);
    QCOMPARE(report.series.constFirst().startSecs, Day0);
    QVERIFY(std::none_of(report.referrers.cbegin(), report.referrers.cend(),
        [](const ReferrerCount& referrer) { return referrer.host == u"old.example"; }));
}

void VisitCountsTest::shortenerCountsSurviveRestart()
{
    QFETCH(QString, kind);
    const StoreFactory factory = factoryFor(kind);
    QVERIFY(factory);
    {
        const std::unique_ptr<SqlLinkStore> store = factory();
        QVERIFY(store->open());
        QCOMPARE(store->insert(link(u"aaaaaa"_s)).status, StoreStatus::Ok);
    }
    const qint64 now = Day0 + 3 * SecondsPerHour;
    {
        StorePool pool(factory, {2, 100, std::chrono::milliseconds(50)});
        // A flush far off: only the shortener's going writes the counts.
        Shortener shortener(pool, {100, std::chrono::milliseconds(5000), std::chrono::hours(1), 1000, 1000, 0});
        const QByteArray browser = "Mozilla/5.0 (X11; Linux x86_64; rv:121.0) Gecko/20100101 Firefox/121.0";
        shortener.countVisit(u"aaaaaa"_s, {VisitClass::Human, u"192.0.2.1"_s, browser, "https://chat.example/x"}, now);
        shortener.countVisit(u"aaaaaa"_s, {VisitClass::Human, u"192.0.2.1"_s, browser, {}}, now + 60);
        shortener.countVisit(u"aaaaaa"_s, {VisitClass::Human, u"192.0.2.2"_s, browser, {}}, now + 60);
        shortener.countVisit(u"aaaaaa"_s, {VisitClass::Preview, u"192.0.2.3"_s, "Twitterbot/1.0", {}}, now);
        shortener.countVisit(u"aaaaaa"_s, {VisitClass::Bot, u"192.0.2.4"_s, "curl/8.5.0", {}}, now);
        shortener.countVisit(u"aaaaaa"_s, {VisitClass::Blocked, u"192.0.2.5"_s, browser, {}}, now);
        QVERIFY(shortener.hasPendingVisits());
    }
    const std::unique_ptr<SqlLinkStore> store = factory();
    QVERIFY(store->open());
    QCOMPARE(countsOf(*store, u"aaaaaa"_s), (VisitCounts {3, 2, 1, 1, 1}));
    // A preview, a bot and a request a quarantine turned away leave the link's visits, which a
    // visit limit counts, alone; counting them announces no change of the link to other instances.
    const LookupResult stored = store->findByCode(u"aaaaaa"_s);
    QCOMPARE(stored.link.visits, 3);
    QCOMPARE(stored.link.blocked, 1);
    QSqlQuery changes(store->connection());
    QVERIFY(changes.exec(u"SELECT count(*) FROM link_changes"_s) && changes.next());
    QCOMPARE(changes.value(0).toInt(), 0);
    VisitReport report;
    QCOMPARE(store->visitReport(u"aaaaaa"_s, Day0, Day0 + SecondsPerDay, VisitBucket::Day, &report), StoreStatus::Ok);
    QCOMPARE(report.totals, (VisitCounts {3, 2, 1, 1, 1}));
    QCOMPARE(report.referrers.size(), 2);
    QCOMPARE(report.referrers.at(0).host, u"direct"_s);
    QCOMPARE(report.referrers.at(0).visits, 2);
    QCOMPARE(report.referrers.at(1).host, u"chat.example"_s);
}

QTEST_GUILESS_MAIN(VisitCountsTest)
#include "tst_visitcounts.moc"
