#include "links/codes.h"
#include "links/shortener.h"
#include "store/sqlitelinkstore.h"

#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;
using namespace Shortd;

namespace
{
// A store whose answers the test decides.
class ScriptedStore final : public LinkStore
{
public:
    bool open() override { return true; }
    LookupResult findByCode(const QString& code) override
    {
        const auto it = byCode.constFind(code);
        return it == byCode.cend() ? LookupResult {} : LookupResult {StoreStatus::Ok, *it};
    }
    LookupResult findByTarget(int type, const QString& target) override
    {
        ++targetLookups;
        if (failLookups) {
            return {StoreStatus::Failed, {}};
        }
        for (const StoredLink& link : std::as_const(byCode)) {
            if (link.type == type && link.target == target) {
                return {StoreStatus::Ok, link};
            }
        }
        return {};
    }
    StoreStatus insert(const StoredLink& link) override
    {
        attemptedCodes.append(link.code);
        if (collisionsLeft > 0) {
            --collisionsLeft;
            return StoreStatus::CodeTaken;
        }
        if (racedBy) {
            byCode.insert(racedBy->code, *racedBy);
            return StoreStatus::TargetTaken;
        }
        if (failInserts) {
            return StoreStatus::Failed;
        }
        byCode.insert(link.code, link);
        return StoreStatus::Ok;
    }
    StoreStatus addVisits(const QHash<QString, qint64>& visits) override
    {
        if (failVisits) {
            return StoreStatus::Failed;
        }
        for (auto it = visits.cbegin(); it != visits.cend(); ++it) {
            byCode[it.key()].visits += it.value();
        }
        return StoreStatus::Ok;
    }
    bool isHealthy() override { return true; }
    QString lastError() const override { return {}; }

    QHash<QString, StoredLink> byCode;
    QStringList attemptedCodes;
    int collisionsLeft = 0;
    int targetLookups = 0;
    bool failInserts = false;
    bool failLookups = false;
    bool failVisits = false;
    std::optional<StoredLink> racedBy;
};
} // namespace

class ShortdStoreTest final : public QObject
{
    Q_OBJECT

private slots:
    void sqliteStoresAndFinds();
    void sqliteReportsWhichConstraint();
    void sqliteKeepsLinksAcrossReopen();
    void sqliteUnusablePath();
    void retriesWithLongerCodes_data();
    void retriesWithLongerCodes();
    void sameTargetSameCode();
    void storeFailuresAreFailures();
    void racedInsertReturnsTheWinner();
    void visitsStayPendingUntilWritten();
};

void ShortdStoreTest::sqliteStoresAndFinds()
{
    QTemporaryDir dir;
    SqliteLinkStore store(dir.filePath(u"links.sqlite"_s), false);
    QVERIFY2(store.open(), qPrintable(store.lastError()));
    const StoredLink link {u"abcdef"_s, 3, u"http://example.com/中文?a=1&b='x'"_s, 1'700'000'000, 0};
    QCOMPARE(store.insert(link), StoreStatus::Ok);

    const LookupResult byCode = store.findByCode(u"abcdef"_s);
    QCOMPARE(byCode.status, StoreStatus::Ok);
    QCOMPARE(byCode.link.target, link.target);
    QCOMPARE(byCode.link.type, 3);
    QCOMPARE(byCode.link.createdSecs, 1'700'000'000);
    QCOMPARE(store.findByCode(u"ABCDEF"_s).status, StoreStatus::Missing); // codes are case-sensitive
    QCOMPARE(store.findByTarget(3, link.target).link.code, u"abcdef"_s);
    QCOMPARE(store.findByTarget(2, link.target).status, StoreStatus::Missing);

    QCOMPARE(store.addVisits({{u"abcdef"_s, 4}}), StoreStatus::Ok);
    QCOMPARE(store.addVisits({{u"abcdef"_s, 2}, {u"unknown"_s, 9}}), StoreStatus::Ok);
    QCOMPARE(store.findByCode(u"abcdef"_s).link.visits, 6);
    QVERIFY(store.isHealthy());
    QVERIFY(QFileInfo::exists(dir.filePath(u"links.sqlite-wal"_s)));
}

void ShortdStoreTest::sqliteReportsWhichConstraint()
{
    QTemporaryDir dir;
    SqliteLinkStore store(dir.filePath(u"links.sqlite"_s), false);
    QVERIFY(store.open());
    QCOMPARE(store.insert({u"abcdef"_s, 0, u"http://a.example/"_s, 0, 0}), StoreStatus::Ok);
    QCOMPARE(store.insert({u"abcdef"_s, 0, u"http://b.example/"_s, 0, 0}), StoreStatus::CodeTaken);
    QCOMPARE(store.insert({u"ghijkm"_s, 0, u"http://a.example/"_s, 0, 0}), StoreStatus::TargetTaken);
    QCOMPARE(store.insert({u"ghijkm"_s, 1, u"http://a.example/"_s, 0, 0}), StoreStatus::Ok);
    QCOMPARE(store.findByCode(u"abcdef"_s).link.target, u"http://a.example/"_s);
}

void ShortdStoreTest::sqliteKeepsLinksAcrossReopen()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(u"links.sqlite"_s);
    {
        SqliteLinkStore store(path, true);
        QVERIFY(store.open());
        for (int i = 0; i < 50; ++i) {
            QCOMPARE(
                store.insert({u"code%1xx"_s.arg(i), i % 6, u"http://example.com/%1"_s.arg(i), i, 0}), StoreStatus::Ok);
        }
    }
    SqliteLinkStore reopened(path, false);
    QVERIFY(reopened.open());
    for (int i = 0; i < 50; ++i) {
        const LookupResult found = reopened.findByCode(u"code%1xx"_s.arg(i));
        QCOMPARE(found.status, StoreStatus::Ok);
        QCOMPARE(found.link.target, u"http://example.com/%1"_s.arg(i));
    }
}

void ShortdStoreTest::sqliteUnusablePath()
{
    QTemporaryDir dir;
    SqliteLinkStore store(dir.filePath(u"missing/dir/links.sqlite"_s), false);
    QVERIFY(!store.open());
    QVERIFY(!store.lastError().isEmpty());
    QCOMPARE(store.findByCode(u"abcdef"_s).status, StoreStatus::Failed);
    QCOMPARE(store.insert({u"abcdef"_s, 0, u"http://a.example/"_s, 0, 0}), StoreStatus::Failed);
}

void ShortdStoreTest::retriesWithLongerCodes_data()
{
    QTest::addColumn<int>("collisions");
    QTest::addColumn<qsizetype>("finalLength");
    QTest::newRow("no collision") << 0 << qsizetype(6);
    QTest::newRow("one collision") << 1 << qsizetype(7);
    QTest::newRow("three collisions") << 3 << qsizetype(9);
}

void ShortdStoreTest::retriesWithLongerCodes()
{
    QFETCH(int, collisions);
    QFETCH(qsizetype, finalLength);
    ScriptedStore store;
    store.collisionsLeft = collisions;
    Shortener shortener(store);
    const Shortener::Outcome outcome = shortener.shorten(1, u"http://example.com/"_s);
    QCOMPARE(outcome.status, StoreStatus::Ok);
    QVERIFY(outcome.created);
    QCOMPARE(outcome.code.size(), finalLength);
    QVERIFY(isCodeShaped(outcome.code));
    QCOMPARE(store.attemptedCodes.size(), collisions + 1);
    for (qsizetype i = 0; i < store.attemptedCodes.size(); ++i) {
        QCOMPARE(store.attemptedCodes.at(i).size(), MinimumCodeLength + i);
    }
}

void ShortdStoreTest::sameTargetSameCode()
{
    ScriptedStore store;
    Shortener shortener(store);
    const auto first = shortener.shorten(2, u"http://example.com/same"_s);
    const auto second = shortener.shorten(2, u"http://example.com/same"_s);
    const auto otherType = shortener.shorten(3, u"http://example.com/same"_s);
    QCOMPARE(second.code, first.code);
    QVERIFY(first.created);
    QVERIFY(!second.created);
    QVERIFY(otherType.code != first.code);
    QCOMPARE(store.byCode.size(), 2);

    // A fresh shortener over the same store finds the existing link instead of making another.
    Shortener restarted(store);
    QCOMPARE(restarted.shorten(2, u"http://example.com/same"_s).code, first.code);
    QCOMPARE(store.byCode.size(), 2);
    QCOMPARE(restarted.resolve(first.code).link.target, u"http://example.com/same"_s);
}

void ShortdStoreTest::storeFailuresAreFailures()
{
    ScriptedStore store;
    store.failInserts = true;
    Shortener shortener(store);
    QCOMPARE(shortener.shorten(0, u"http://example.com/"_s).status, StoreStatus::Failed);

    store.failInserts = false;
    store.failLookups = true;
    QCOMPARE(shortener.shorten(0, u"http://example.com/"_s).status, StoreStatus::Failed);
    QVERIFY(store.byCode.isEmpty());

    // Never a code when every length collides.
    ScriptedStore crowded;
    crowded.collisionsLeft = 1000;
    Shortener unlucky(crowded);
    QCOMPARE(unlucky.shorten(0, u"http://example.com/"_s).status, StoreStatus::Failed);
    QCOMPARE(crowded.attemptedCodes.size(), MaximumCodeLength - MinimumCodeLength + 1);
}

void ShortdStoreTest::racedInsertReturnsTheWinner()
{
    ScriptedStore store;
    store.racedBy = StoredLink {u"winner"_s, 4, u"http://example.com/race"_s, 0, 0};
    Shortener shortener(store);
    const auto outcome = shortener.shorten(4, u"http://example.com/race"_s);
    QCOMPARE(outcome.status, StoreStatus::Ok);
    QCOMPARE(outcome.code, u"winner"_s);
    QVERIFY(!outcome.created);
}

void ShortdStoreTest::visitsStayPendingUntilWritten()
{
    ScriptedStore store;
    Shortener shortener(store);
    shortener.setFlushInterval(std::chrono::hours(1));
    const QString code = shortener.shorten(0, u"http://example.com/v"_s).code;
    for (int i = 0; i < 3; ++i) {
        shortener.countVisit(code);
    }
    QCOMPARE(shortener.visitsOf(shortener.resolve(code).link), 3);
    QCOMPARE(store.byCode.value(code).visits, 0);

    store.failVisits = true;
    QVERIFY(!shortener.flushVisits());
    QCOMPARE(shortener.visitsOf(shortener.resolve(code).link), 3);

    store.failVisits = false;
    QVERIFY(shortener.flushVisits());
    QCOMPARE(store.byCode.value(code).visits, 3);
    QCOMPARE(shortener.visitsOf(shortener.resolve(code).link), 3);
    shortener.countVisit(code);
    QCOMPARE(shortener.visitsOf(shortener.resolve(code).link), 4);
}

QTEST_GUILESS_MAIN(ShortdStoreTest)
#include "tst_shortdstore.moc"
