#include "links/blocklist.h"
#include "links/publicsuffix.h"
#include "links/quarantinesweep.h"
#include "store/sqllinkstore.h"
#include "store/storepool.h"

#include <QDateTime>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;
using namespace Shortd;

Q_DECLARE_METATYPE(Shortd::LinkState)

class QuarantineSweepTest final : public QObject
{
    Q_OBJECT

private slots:
    void sweep_data();
    void sweep();
    void askedWhileSweeping();
};

namespace
{
const QString Sbl = u"203.0.113.0/24 ; SBL1"_s;

// Two lists over the embedded database; every store call answered before it returns, so only
// the sweep's own pages wait for the event loop.
struct Harness {
    QTemporaryDir dir;
    SqlLinkStore store {DatabaseAddress::sqliteFile(dir.filePath(u"links.sqlite"_s))};
    StorePool pool {store};
    BlocklistSet lists {PublicSuffixList::fromText("com\nexample\n")};
    qint64 created = 1'700'000'000;

    Harness()
    {
        qRegisterMetaType<QuarantineSweepReport>();
        QVERIFY(store.open());
        QVERIFY(lists.reload(u"test"_s,
            QByteArray("https://phish.example/login\nevil.example\nhttps://twice.example/x\n" + Sbl.toUtf8())));
        QVERIFY(lists.reload(u"other"_s, QByteArray("0.0.0.0 other.example twice.example\n")));
    }
    void add(const QString& code, const QString& target)
    {
        // One second apart, so pages of the newest-first walk meet links of every age.
        QCOMPARE(store.links().insert({code, 0, target, ++created, 0}).status, StoreStatus::Ok);
    }
    QuarantineSweepReport sweep(QuarantineSweep& sweep, const QString& reason)
    {
        QSignalSpy finished(&sweep, &QuarantineSweep::finished);
        sweep.request(reason);
        if (finished.isEmpty() && !finished.wait()) {
            return {};
        }
        return finished.constFirst().constFirst().value<QuarantineSweepReport>();
    }
};
} // namespace

void QuarantineSweepTest::sweep_data()
{
    QTest::addColumn<QString>("target");
    QTest::addColumn<QString>("before"); // "", "disabled", "released": what happened to the link first
    QTest::addColumn<LinkState>("state");
    QTest::addColumn<QString>("list");
    QTest::addColumn<QString>("entry");

    const auto row
        = [](const char* name, const QString& target, const QString& before, LinkState state, const QString& list = {},
              const QString& entry = {}) { QTest::newRow(name) << target << before << state << list << entry; };
    row("listed address", u"https://phish.example/login"_s, {}, LinkState::Quarantined, u"test"_s,
        u"https://phish.example/login"_s);
    row("unlisted page of a listed address's host", u"https://phish.example/home"_s, {}, LinkState::Active);
    row("name under a listed host", u"http://a.b.evil.example/x?y=1"_s, {}, LinkState::Quarantined, u"test"_s,
        u"evil.example"_s);
    row("literal address in a range", u"http://203.0.113.9:8080/"_s, {}, LinkState::Quarantined, u"test"_s, Sbl);
    row("second list", u"https://other.example/"_s, {}, LinkState::Quarantined, u"other"_s, u"other.example"_s);
    row("disabled before: untouched", u"https://evil.example/"_s, u"disabled"_s, LinkState::Disabled);
    row("released from its entry", u"https://evil.example/"_s, u"released"_s, LinkState::Active);
    row("released from one list, stopped by the next", u"https://twice.example/x"_s, u"released"_s,
        LinkState::Quarantined, u"other"_s, u"twice.example"_s);
}

void QuarantineSweepTest::sweep()
{
    QFETCH(QString, target);
    QFETCH(QString, before);
    QFETCH(LinkState, state);
    QFETCH(QString, list);
    QFETCH(QString, entry);

    Harness h;
    // The link among others, with pages of two: found whichever page it falls on.
    for (int i = 0; i < 3; ++i) {
        h.add(u"fill%1"_s.arg(i), u"https://good.example/%1"_s.arg(i));
    }
    h.add(u"link"_s, target);
    h.add(u"last"_s, u"https://good.example/last"_s);
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    if (before == u"disabled") {
        QCOMPARE(
            h.store.setState(u"link"_s, LinkState::Disabled, u"spam"_s, shellActor(u"op"_s), now), StoreStatus::Ok);
    } else if (before == u"released") {
        const std::optional<BlocklistMatch> match = h.lists.matchAddress(target);
        QVERIFY(match);
        QCOMPARE(h.store.quarantine(u"link"_s, match->list, match->entry, now), StoreStatus::Ok);
        QCOMPARE(h.store.release(u"link"_s, shellActor(u"op"_s), now), StoreStatus::Ok);
    }

    QuarantineSweep sweep(h.pool, h.lists, QuarantineSweepOptions {2});
    QSignalSpy forgotten(&sweep, &QuarantineSweep::quarantined);
    const QuarantineSweepReport report = h.sweep(sweep, u"blocklist test"_s);
    const bool stopped = state == LinkState::Quarantined;
    QCOMPARE(report.failed, false);
    QCOMPARE(report.read, qint64(before == u"disabled" ? 4 : 5));
    QCOMPARE(report.quarantined, qint64(stopped ? 1 : 0));
    QCOMPARE(forgotten.size(), stopped ? 1 : 0);

    const LookupResult found = h.store.findByCode(u"link"_s);
    QCOMPARE(found.status, StoreStatus::Ok);
    QCOMPARE(found.link.state, state);
    QCOMPARE(found.link.quarantine.list, list);
    QCOMPARE(found.link.quarantine.entry, entry);
    QVERIFY(stopped ? found.link.quarantine.atSecs >= now : found.link.quarantine.atSecs == 0);
    QCOMPARE(h.store.findByCode(u"last"_s).link.state, LinkState::Active);

    // Another instance sweeping the same lists changes nothing more.
    QuarantineSweep again(h.pool, h.lists, QuarantineSweepOptions {2});
    QCOMPARE(h.sweep(again, u"blocklist test"_s).quarantined, qint64(0));
    QCOMPARE(sweep.quarantinedByList().value(list), quint64(stopped ? 1 : 0));
}

void QuarantineSweepTest::askedWhileSweeping()
{
    Harness h;
    for (int i = 0; i < 5; ++i) {
        h.add(u"c%1"_s.arg(i), u"https://good.example/%1"_s.arg(i));
    }
    QuarantineSweep sweep(h.pool, h.lists, QuarantineSweepOptions {2});
    QSignalSpy finished(&sweep, &QuarantineSweep::finished);
    sweep.request(u"blocklist test"_s);
    QVERIFY(sweep.isSweeping());
    // A link listed after the walk passed its page is caught by the one sweep run after it.
    QVERIFY(h.lists.reload(u"test"_s, QByteArray("good.example\n")));
    sweep.request(u"blocklist test"_s);
    sweep.request(u"blocklist other"_s);
    QTRY_COMPARE(finished.size(), 2);
    QVERIFY(!sweep.isSweeping());
    const auto report = [&finished](qsizetype i) { return finished.at(i).constFirst().value<QuarantineSweepReport>(); };
    QCOMPARE(report(0).reason, u"blocklist test"_s);
    QCOMPARE(report(1).reason, u"blocklist test, blocklist other"_s);
    QCOMPARE(report(0).quarantined + report(1).quarantined, qint64(5));
    QCOMPARE(report(1).read + report(0).quarantined, qint64(5));
    QCOMPARE(sweep.quarantinedByList().value(u"test"_s), quint64(5));
    QTest::qWait(50);
    QCOMPARE(finished.size(), 2); // and no third
}

QTEST_GUILESS_MAIN(QuarantineSweepTest)
#include "tst_quarantinesweep.moc"
