#include "links/shortener.h"
#include "links/visittally.h"
#include "store/storeopening.h"
#include "store/storepool.h"

#include <QTemporaryDir>
#include <QTest>
#include <atomic>
#include <thread>

using namespace Shortd;
using namespace Qt::StringLiterals;

namespace
{
constexpr qint64 Noon = 20'000 * SecondsPerDay + 12 * SecondsPerHour;

struct Sighting {
    QString code;
    QString client;
    QByteArray userAgent;
    qint64 secs; // after noon
    bool isNew;
};

// One link in a store of its own, its visits counted by a shortener over that store.
struct CountedLink {
    explicit CountedLink(qint64 maxVisits)
    {
        link.maxVisits = maxVisits;
        store = openLinkStore(
            DatabaseAddress::sqliteFile(dir.filePath(u"links.sqlite"_s)), {}, false, StoreAccess::Create, &error);
        if (store && store->insert(link).status == StoreStatus::Ok) {
            pool = std::make_unique<StorePool>(*store);
        }
    }
    // People, visitors, bots and previews, as the shortener reads them with what it has not yet written.
    QList<qint64> read(Shortener& shortener) const
    {
        LookupResult found;
        shortener.resolve(link.code, [&found](const LookupResult& result) { found = result; });
        const StoredLink counted = shortener.withPendingVisits(found.link);
        return {counted.visits, counted.visitors, counted.bots, counted.previews};
    }

    QTemporaryDir dir;
    QString error;
    StoredLink link {u"Vis1ts"_s, 0, u"https://example.com/counted"_s, Noon, 0};
    std::unique_ptr<SqlLinkStore> store;
    std::unique_ptr<StorePool> pool; // runs each call at once
};
} // namespace

Q_DECLARE_METATYPE(QList<Sighting>)
Q_DECLARE_METATYPE(QList<VisitClass>)

class TestVisitTally : public QObject
{
    Q_OBJECT

private slots:
    void repeats_data();
    void repeats();
    void fullFilterForgetsTheOldest();
    void secretChangesDaily();
    void sipHash_data();
    void sipHash();
    void referrers_data();
    void referrers();
    void tallyIsBounded();
    void linkReadShowsEveryClass_data();
    void linkReadShowsEveryClass();
    void visitsFromThreadsAddUp_data();
    void visitsFromThreadsAddUp();
};

void TestVisitTally::repeats_data()
{
    QTest::addColumn<QList<Sighting>>("sightings");
    const QByteArray firefox = "Mozilla/5.0 (X11; Linux x86_64; rv:121.0) Gecko/20100101 Firefox/121.0";
    const QByteArray phone = "Mozilla/5.0 (iPhone; CPU iPhone OS 17_2 like Mac OS X) Mobile/15E148 Safari/604.1";
    const QString a = u"192.0.2.1"_s;
    QTest::newRow("again within the hour") << QList<Sighting> {
        {u"c1"_s, a, firefox, 0, true}, {u"c1"_s, a, firefox, 59 * 60LL, false}, {u"c1"_s, a, firefox, 3599, false}};
    QTest::newRow("an hour after the first") << QList<Sighting> {
        {u"c1"_s, a, firefox, 0, true}, {u"c1"_s, a, firefox, 1800, false}, {u"c1"_s, a, firefox, 3600, true}};
    QTest::newRow("another link") << QList<Sighting> {{u"c1"_s, a, firefox, 0, true}, {u"c2"_s, a, firefox, 1, true}};
    QTest::newRow("another address") << QList<Sighting> {
        {u"c1"_s, a, firefox, 0, true}, {u"c1"_s, u"192.0.2.2"_s, firefox, 1, true}};
    QTest::newRow("another browser, same address") << QList<Sighting> {
        {u"c1"_s, a, firefox, 0, true}, {u"c1"_s, a, phone, 1, true}, {u"c1"_s, a, phone, 2, false}};
    // The parts are hashed with their lengths: moving a character from one to the next is another client.
    QTest::newRow("parts do not run together")
        << QList<Sighting> {{u"c1"_s, u"1.2.3.4"_s, "x", 0, true}, {u"c1"_s, u"1.2.3."_s, "4x", 1, true}};
}

void TestVisitTally::repeats()
{
    QFETCH(QList<Sighting>, sightings);
    RepeatFilter filter(100);
    for (const Sighting& sighting : std::as_const(sightings)) {
        QCOMPARE(filter.isNewVisitor(sighting.code, sighting.client, sighting.userAgent, Noon + sighting.secs),
            sighting.isNew);
    }
}

void TestVisitTally::fullFilterForgetsTheOldest()
{
    RepeatFilter filter(3);
    for (int i = 0; i < 4; ++i) {
        QVERIFY(filter.isNewVisitor(u"c"_s, u"192.0.2.%1"_s.arg(i), "ua", Noon + i));
    }
    QCOMPARE(filter.size(), 3);
    QVERIFY(!filter.isNewVisitor(u"c"_s, u"192.0.2.3"_s, "ua", Noon + 10));
    QVERIFY(filter.isNewVisitor(u"c"_s, u"192.0.2.0"_s, "ua", Noon + 10)); // forgotten: new again
}

void TestVisitTally::secretChangesDaily()
{
    int secrets = 0;
    RepeatFilter filter(100, [&secrets] { return QByteArray(32, char(++secrets)); });
    QVERIFY(filter.isNewVisitor(u"c"_s, u"a"_s, "ua", Noon));
    QVERIFY(!filter.isNewVisitor(u"c"_s, u"a"_s, "ua", Noon + 1));
    QCOMPARE(secrets, 1);
    // Just past midnight (UTC): a new secret, and nothing kept under yesterday's.
    const qint64 midnight = Noon + 12 * SecondsPerHour;
    QVERIFY(filter.isNewVisitor(u"c"_s, u"a"_s, "ua", midnight - 1));
    QVERIFY(!filter.isNewVisitor(u"c"_s, u"a"_s, "ua", midnight - 1));
    QVERIFY(filter.isNewVisitor(u"c"_s, u"a"_s, "ua", midnight));
    QCOMPARE(secrets, 2);
    QCOMPARE(filter.size(), 1);
}

void TestVisitTally::sipHash_data()
{
    // The reference vectors: key 00..0f, message 00..(n-1).
    QTest::addColumn<int>("length");
    QTest::addColumn<quint64>("hash");
    QTest::newRow("empty") << 0 << Q_UINT64_C(0x726fdb47dd0e0e31);
    QTest::newRow("one word") << 8 << Q_UINT64_C(0x93f5f5799a932462);
    QTest::newRow("a word and seven") << 15 << Q_UINT64_C(0xa129ca6149be45e5);
}

void TestVisitTally::sipHash()
{
    QFETCH(int, length);
    QFETCH(quint64, hash);
    QByteArray key;
    QByteArray message;
    for (int i = 0; i < 16; ++i) {
        key.append(char(i));
    }
    for (int i = 0; i < length; ++i) {
        message.append(char(i));
    }
    QCOMPARE(sipHash24(key, message), hash);
}

void TestVisitTally::referrers_data()
{
    QTest::addColumn<QByteArray>("referer");
    QTest::addColumn<QString>("host");
    QTest::newRow("none") << QByteArray() << u"direct"_s;
    QTest::newRow("blank") << " "_ba << u"direct"_s;
    QTest::newRow("page") << "https://News.Example.org/a/b?c=d#e"_ba << u"news.example.org"_s;
    QTest::newRow("with port and user") << "http://u:p@example.com:8080/"_ba << u"example.com"_s;
    QTest::newRow("international name") << "https://bücher.example/"_ba << u"xn--bcher-kva.example"_s;
    QTest::newRow("app") << "android-app://com.slack/"_ba << u"com.slack"_s;
    QTest::newRow("not an address") << "nonsense"_ba << u"other"_s;
    QTest::newRow("no host") << "about:blank"_ba << u"other"_s;
    QTest::newRow("host too long") << "https://"_ba + QByteArray(300, 'a') + ".example/"_ba << u"other"_s;
}

void TestVisitTally::referrers()
{
    QFETCH(QByteArray, referer);
    QFETCH(QString, host);
    QCOMPARE(referrerHost(referer), host);
}

void TestVisitTally::tallyIsBounded()
{
    VisitTally tally(2);
    tally.add(u"a"_s, VisitClass::Human, true, u"direct"_s, Noon);
    tally.add(u"a"_s, VisitClass::Human, false, u"direct"_s, Noon + 1);
    tally.add(u"a"_s, VisitClass::Preview, false, {}, Noon + 2);
    tally.add(u"b"_s, VisitClass::Bot, false, {}, Noon);
    // A third link, and a third hour of a known one: neither fits, neither is half counted.
    tally.add(u"c"_s, VisitClass::Human, true, u"direct"_s, Noon);
    tally.add(u"a"_s, VisitClass::Human, true, u"direct"_s, Noon + 2 * SecondsPerHour);
    QCOMPARE(tally.takeUncounted(), 2);
    // Granted by the store already: in the hour, not again in the link's visits.
    tally.add(u"b"_s, VisitClass::Human, true, u"direct"_s, Noon, true);
    QCOMPARE(tally.pending().hours.value({u"b"_s, Noon - Noon % SecondsPerHour}), (VisitCounts {1, 1, 1, 0}));
    QCOMPARE(tally.pending().links.value(u"a"_s), (VisitCounts {2, 1, 0, 1}));
    QCOMPARE(tally.pending().links.value(u"b"_s), (VisitCounts {0, 1, 1, 0}));
    QCOMPARE(tally.pending().referrers.size(), 2); // people's only
    const VisitBatch taken = tally.take(1);
    QCOMPARE(taken.links.size(), 1);
    QCOMPARE(tally.pending().links.size(), 1);
    tally.putBack(taken);
    tally.putBack(taken);
    QCOMPARE(tally.pending().links.size(), 2);
}

void TestVisitTally::linkReadShowsEveryClass_data()
{
    QTest::addColumn<QList<VisitClass>>("visits"); // by one client, in turn
    QTest::addColumn<bool>("limited"); // a visit limit: people's visits are granted by the store at once
    QTest::addColumn<QList<qint64>>("counts"); // people, visitors, bots, previews
    const VisitClass human = VisitClass::Human;
    QTest::newRow("a person twice") << QList {human, human} << false << QList<qint64> {2, 1, 0, 0};
    QTest::newRow("a bot") << QList {VisitClass::Bot} << false << QList<qint64> {0, 0, 1, 0};
    QTest::newRow("one of each") << QList {VisitClass::Preview, human, VisitClass::Bot} << false
                                 << QList<qint64> {1, 1, 1, 1};
    QTest::newRow("one of each, limited")
        << QList {VisitClass::Bot, human, VisitClass::Preview} << true << QList<qint64> {1, 1, 1, 1};
}

void TestVisitTally::linkReadShowsEveryClass()
{
    QFETCH(QList<VisitClass>, visits);
    QFETCH(bool, limited);
    QFETCH(QList<qint64>, counts);
    const CountedLink counted(limited ? 100 : 0);
    QVERIFY2(counted.pool, qPrintable(counted.error));
    const StoredLink& link = counted.link;
    // The cache keeps the link all along; only a write of the visits changes the copy.
    Shortener shortener(*counted.pool, ShortenerOptions {100, std::chrono::hours(1), std::chrono::hours(1)});
    const auto read = [&counted, &shortener] { return counted.read(shortener); };
    QCOMPARE(read(), (QList<qint64> {0, 0, 0, 0}));
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    for (const VisitClass kind : std::as_const(visits)) {
        const VisitFacts facts {kind, u"192.0.2.7"_s, "Mozilla/5.0", {}};
        if (limited && kind == VisitClass::Human) {
            shortener.takeVisit(link.code, facts, [](VisitGrant grant) { QCOMPARE(grant, VisitGrant::Granted); });
        } else {
            shortener.countVisit(link.code, facts, now);
        }
    }
    QCOMPARE(read(), counts); // counted here, not yet written
    shortener.flushVisits();
    QVERIFY(!shortener.hasPendingVisits());
    QCOMPARE(read(), counts); // the cached copy, after the write
    shortener.forgetAll();
    QCOMPARE(read(), counts); // as stored
}

void TestVisitTally::visitsFromThreadsAddUp_data()
{
    QTest::addColumn<int>("threads");
    QTest::addColumn<int>("lanes");
    QTest::addColumn<int>("visits"); // on each thread
    QTest::addColumn<bool>("onePerson"); // every person's visit from one client, on whichever thread
    // Hours the visits are spread over, so that the lanes' tables grow while they are gathered; one
    // for a single person, whose later visits in the hour are repeats.
    QTest::addColumn<int>("hours");
    QTest::newRow("one thread") << 1 << 1 << 3000 << false << 48;
    QTest::newRow("a lane a thread") << 4 << 4 << 6000 << false << 48;
    QTest::newRow("threads sharing lanes") << 6 << 2 << 4000 << false << 48;
    QTest::newRow("one person on every thread") << 4 << 4 << 3000 << true << 1;
}

void TestVisitTally::visitsFromThreadsAddUp()
{
    QFETCH(int, threads);
    QFETCH(int, lanes);
    QFETCH(int, visits);
    QFETCH(bool, onePerson);
    QFETCH(int, hours);
    CountedLink counted(0);
    QVERIFY2(counted.pool, qPrintable(counted.error));
    ShortenerOptions options {100, std::chrono::hours(1), std::chrono::hours(1)};
    options.visitLanes = lanes;
    Shortener shortener(*counted.pool, options);
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    constexpr std::array Kinds {VisitClass::Human, VisitClass::Bot, VisitClass::Preview};
    std::atomic<int> started = 0;
    std::atomic<int> finished = 0;
    std::vector<std::thread> counting;
    counting.reserve(size_t(threads));
    for (int t = 0; t < threads; ++t) {
        counting.emplace_back([&, t] {
            ++started;
            while (started < threads) {
                std::this_thread::yield();
            }
            for (int i = 0; i < visits; ++i) {
                const QString client = onePerson ? u"192.0.2.1"_s : u"10.%1.%2.%3"_s.arg(t).arg(i / 256).arg(i % 256);
                const VisitFacts facts {Kinds.at(size_t(t + i) % Kinds.size()), client, "Mozilla/5.0", {}};
                shortener.countVisit(counted.link.code, facts, now - i % hours * SecondsPerHour, t);
            }
            ++finished;
        });
    }
    // Batches are written while the threads count, each gathering what the lanes hold at that moment.
    while (finished < threads) {
        shortener.flushVisits();
    }
    for (std::thread& thread : counting) {
        thread.join();
    }
    shortener.flushVisits();
    QVERIFY(!shortener.hasPendingVisits());
    std::array<qint64, Kinds.size()> expected {}; // people, bots, previews
    for (int t = 0; t < threads; ++t) {
        for (int i = 0; i < visits; ++i) {
            ++expected.at(size_t(t + i) % Kinds.size());
        }
    }
    shortener.forgetAll();
    QCOMPARE(counted.read(shortener), // as stored
        (QList<qint64> {expected[0], onePerson ? 1 : expected[0], expected[1], expected[2]}));
    QCOMPARE(shortener.pendingVisitCount(), 0);
}

QTEST_GUILESS_MAIN(TestVisitTally)
#include "tst_visittally.moc"
