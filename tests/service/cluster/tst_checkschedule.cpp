#include "cluster/checkschedule.h"
#include "store/databaseaddress.h"
#include "store/sqllinkstore.h"

#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;
using namespace Shortd;

// When the destination checks come round, how far apart, and what a run of results makes of a
// link: the decisions as functions, and the due links and the failures in a row as the embedded
// store answers them.
class CheckScheduleTest final : public QObject
{
    Q_OBJECT

private slots:
    void due_data();
    void due();
    void pace_data();
    void pace();
    void hosts_data();
    void hosts();
    void failuresInARow_data();
    void failuresInARow();

private:
    // A fresh store with one link, CODE, to the given address.
    std::unique_ptr<SqlLinkStore> storeWithLink(const StoredLink& link);
    QTemporaryDir m_dir;
    int m_stores = 0;
};

namespace
{
constexpr qint64 Now = 1'800'000'000;
constexpr qint64 Hour = 3600;
} // namespace

std::unique_ptr<SqlLinkStore> CheckScheduleTest::storeWithLink(const StoredLink& link)
{
    auto store = std::make_unique<SqlLinkStore>(
        DatabaseAddress::sqliteFile(m_dir.filePath(u"links-%1.sqlite"_s.arg(++m_stores))));
    if (!store->open() || store->links().insert(link).status != StoreStatus::Ok) {
        return nullptr;
    }
    return store;
}

void CheckScheduleTest::due_data()
{
    QTest::addColumn<qint64>("checkedAgo"); // -1: never checked
    QTest::addColumn<qint64>("visitedAgo"); // -1: never visited
    QTest::addColumn<QString>("state"); // active, disabled or expired
    QTest::addColumn<bool>("due");
    // The period is 6 h throughout.
    QTest::newRow("never checked") << qint64 {-1} << qint64 {-1} << u"active"_s << true;
    QTest::newRow("visited lately, checked a period ago") << 6 * Hour << 2 * Hour << u"active"_s << true;
    QTest::newRow("visited lately, checked within the period") << 5 * Hour << 2 * Hour << u"active"_s << false;
    QTest::newRow("not visited, checked a period ago") << 7 * Hour << qint64 {-1} << u"active"_s << false;
    QTest::newRow("not visited, checked four periods ago") << 24 * Hour << qint64 {-1} << u"active"_s << true;
    QTest::newRow("visited two days ago counts as not visited") << 7 * Hour << 48 * Hour << u"active"_s << false;
    QTest::newRow("disabled") << qint64 {-1} << qint64 {-1} << u"disabled"_s << false;
    QTest::newRow("past its end") << qint64 {-1} << qint64 {-1} << u"expired"_s << false;
}

void CheckScheduleTest::due()
{
    QFETCH(qint64, checkedAgo);
    QFETCH(qint64, visitedAgo);
    QFETCH(QString, state);
    QFETCH(bool, due);
    StoredLink link {u"abc"_s, 0, u"https://dest.example/"_s, Now - 100 * Hour};
    link.expiresSecs = state == u"expired" ? Now - Hour : 0;
    const auto store = storeWithLink(link);
    QVERIFY(store);
    if (state == u"disabled") {
        QCOMPARE(store->setState(u"abc"_s, LinkState::Disabled, {}, shellActor(u"op"_s), Now), StoreStatus::Ok);
    }
    if (checkedAgo >= 0) {
        LinkCheck check {Now - checkedAgo, u"ok"_s, 200, link.target, u"[]"_s};
        QCOMPARE(store->recordCheck(u"abc"_s, check, CheckEffect::Clear, DeadAfterFailures).status, StoreStatus::Ok);
    }
    if (visitedAgo >= 0) {
        VisitBatch batch;
        batch.links.insert(u"abc"_s, {1, 1});
        batch.hours.insert({u"abc"_s, (Now - visitedAgo) / Hour * Hour}, {1, 1});
        QCOMPARE(store->addVisitCounts(batch), StoreStatus::Ok);
    }
    const CheckPace pace {6h, 5};
    const std::optional<QList<DueLink>> found = store->dueLinks(dueQuery(Now, pace, 10));
    QVERIFY(found);
    QCOMPARE(found->size(), due ? 1 : 0);
    const std::optional<CheckLoad> load = store->checkLoad(dueQuery(Now, pace, 10).visitedSinceSecs, Now);
    QVERIFY(load);
    QCOMPARE(load->active, state == u"active" ? 1 : 0);
    QCOMPARE(load->visited, state == u"active" && visitedAgo >= 0 && visitedAgo < 24 * Hour ? 1 : 0);
}

void CheckScheduleTest::pace_data()
{
    QTest::addColumn<qint64>("active");
    QTest::addColumn<qint64>("visited");
    QTest::addColumn<std::chrono::milliseconds>("period");
    QTest::addColumn<double>("rate");
    QTest::addColumn<qint64>("spacingMs");
    QTest::addColumn<qint64>("hostGapMs");
    QTest::newRow("visited links once a period")
        << qint64 {100} << qint64 {100} << std::chrono::milliseconds(6h) << 5.0 << qint64 {216'000} << qint64 {10'000};
    QTest::newRow("others a quarter each, rounded up")
        << qint64 {401} << qint64 {0} << std::chrono::milliseconds(6h) << 5.0 << qint64 {213'861} << qint64 {10'000};
    QTest::newRow("the rate bounds a large service")
        << qint64 {2'000'000} << qint64 {1'000'000} << std::chrono::milliseconds(6h) << 5.0 << qint64 {200}
        << qint64 {10'000};
    QTest::newRow("nothing to check: look again within a minute")
        << qint64 {0} << qint64 {0} << std::chrono::milliseconds(6h) << 5.0 << qint64 {60'000} << qint64 {10'000};
    QTest::newRow("a lab's short period shortens the host gap")
        << qint64 {1} << qint64 {1} << std::chrono::milliseconds(2s) << 5.0 << qint64 {2000} << qint64 {2000};
}

void CheckScheduleTest::pace()
{
    QFETCH(qint64, active);
    QFETCH(qint64, visited);
    QFETCH(std::chrono::milliseconds, period);
    QFETCH(double, rate);
    QFETCH(qint64, spacingMs);
    QFETCH(qint64, hostGapMs);
    const CheckPace pace {period, rate};
    QCOMPARE(checkSpacing({active, visited, 0}, pace).count(), spacingMs);
    QCOMPARE(hostGap(pace).count(), hostGapMs);
}

void CheckScheduleTest::hosts_data()
{
    QTest::addColumn<QStringList>("hosts");
    QTest::addColumn<qint64>("aAgoMs"); // when a.example was last checked; -1: never
    QTest::addColumn<qint64>("bAgoMs");
    QTest::addColumn<qsizetype>("index");
    QTest::addColumn<qint64>("waitMs");
    const QStringList ab {u"a.example"_s, u"b.example"_s};
    QTest::newRow("neither checked: the first") << ab << qint64 {-1} << qint64 {-1} << qsizetype {0} << qint64 {0};
    QTest::newRow("the first's gap not over: the next")
        << ab << qint64 {3000} << qint64 {-1} << qsizetype {1} << qint64 {0};
    QTest::newRow("a gap just over") << ab << qint64 {10'000} << qint64 {-1} << qsizetype {0} << qint64 {0};
    QTest::newRow("both within their gap: wait for the sooner")
        << ab << qint64 {3000} << qint64 {8000} << qsizetype {-1} << qint64 {2000};
    QTest::newRow("one host twice waits once")
        << QStringList {u"a.example"_s, u"a.example"_s} << qint64 {1} << qint64 {-1} << qsizetype {-1} << qint64 {9999};
}

void CheckScheduleTest::hosts()
{
    QFETCH(QStringList, hosts);
    QFETCH(qint64, aAgoMs);
    QFETCH(qint64, bAgoMs);
    QFETCH(qsizetype, index);
    QFETCH(qint64, waitMs);
    constexpr qint64 NowMs = 1'000'000;
    QHash<QString, qint64> last;
    for (const auto& [host, ago] : {std::pair {u"a.example"_s, aAgoMs}, std::pair {u"b.example"_s, bAgoMs}}) {
        if (ago >= 0) {
            last.insert(host, NowMs - ago);
        }
    }
    const HostPick pick = pickHost(hosts, last, NowMs, 10s);
    QCOMPARE(pick.index, index);
    QCOMPARE(pick.wait.count(), waitMs);
}

void CheckScheduleTest::failuresInARow_data()
{
    QTest::addColumn<QString>("effects"); // F fail, K keep, C clear, in order
    QTest::addColumn<int>("failures");
    QTest::addColumn<bool>("dead");
    QTest::newRow("two are not enough") << u"FF"_s << 2 << false;
    QTest::newRow("three flag it") << u"FFF"_s << 3 << true;
    QTest::newRow("a result that says nothing breaks no run") << u"FFKF"_s << 3 << true;
    QTest::newRow("an answer ends the run") << u"FFCF"_s << 1 << false;
    QTest::newRow("an answer unflags it") << u"FFFFC"_s << 0 << false;
    QTest::newRow("only a clear unflags it") << u"FFFK"_s << 3 << true;
}

void CheckScheduleTest::failuresInARow()
{
    QFETCH(QString, effects);
    QFETCH(int, failures);
    QFETCH(bool, dead);
    const auto store = storeWithLink({u"abc"_s, 0, u"https://dest.example/"_s, Now});
    QVERIFY(store);
    CheckRecorded recorded;
    for (const QChar effect : effects) {
        const LinkCheck check {Now, u"refused"_s, 0, u"https://dest.example/"_s, u"[]"_s};
        recorded = store->recordCheck(u"abc"_s, check,
            effect == u'F'       ? CheckEffect::Fail
                : effect == u'C' ? CheckEffect::Clear
                                 : CheckEffect::Keep,
            DeadAfterFailures);
        QCOMPARE(recorded.status, StoreStatus::Ok);
    }
    QCOMPARE(recorded.check.failures, failures);
    QCOMPARE(recorded.check.dead, dead);
    QCOMPARE(store->findByCode(u"abc"_s).link.check.dead, dead);
    QCOMPARE(store->checkLoad(0, Now)->dead, dead ? 1 : 0);
}

QTEST_GUILESS_MAIN(CheckScheduleTest)
#include "tst_checkschedule.moc"
