#include "links/linkcache.h"

#include <QTest>
#include <atomic>
#include <thread>

using namespace Qt::StringLiterals;
using namespace Shortd;

class LinkCacheTest final : public QObject
{
    Q_OBJECT

private slots:
    void cache_data();
    void cache();
    void takeDownSeenByEveryThread();
};

void LinkCacheTest::cache_data()
{
    // Steps "<op><code>[^end]@<ms>[,<secs>]": ms on the steady clock, secs on the wall clock
    // (1000 when left out), end the link's end in wall seconds (none when left out). "+" remembers,
    // "?" must hit, "-" must miss by code and by address, "=" must hit by address, "~" must still
    // be known when the database is away, "0" must not be known at all, "!" forgets, "*" remembers
    // a chosen code for the address of the code's first letter. Capacity 2, entries live 100 ms.
    QTest::addColumn<QStringList>("steps");
    QTest::newRow("least recently used goes first")
        << QStringList {u"+a@0"_s, u"+b@1"_s, u"?a@2"_s, u"+c@3"_s, u"?a@4"_s, u"-b@4"_s, u"?c@4"_s};
    QTest::newRow("one at a time, not all at once")
        << QStringList {u"+a@0"_s, u"+b@1"_s, u"+c@2"_s, u"-a@3"_s, u"?b@3"_s, u"?c@3"_s};
    QTest::newRow("by address, evicted together")
        << QStringList {u"+a@0"_s, u"=a@1"_s, u"+b@2"_s, u"+c@3"_s, u"-a@4"_s, u"=b@4"_s};
    QTest::newRow("age limit") << QStringList {u"+a@0"_s, u"?a@100"_s, u"-a@101"_s, u"+a@200"_s, u"=a@250"_s};
    QTest::newRow("too old, still known for an outage")
        << QStringList {u"+a@0"_s, u"-a@150"_s, u"~a@150"_s, u"+b@160"_s, u"+c@170"_s, u"0a@171"_s};
    QTest::newRow("a chosen code never holds its address")
        << QStringList {u"+a@0"_s, u"*ax@1"_s, u"=a@2"_s, u"?ax@2"_s};
    QTest::newRow("remembered again: one entry") << QStringList {u"+a@0"_s, u"+a@1"_s, u"+b@2"_s, u"?a@3"_s, u"?b@3"_s};
    // The end is read on the wall clock, whatever the steady one says.
    QTest::newRow("gone at its end, young as it is")
        << QStringList {u"+a^1050@0,1000"_s, u"?a@1,1049"_s, u"=a@1,1049"_s, u"-a@2,1050"_s, u"~a@2,1050"_s};
    QTest::newRow("an end beyond the age limit changes nothing")
        << QStringList {u"+a^5000@0"_s, u"?a@100,1100"_s, u"-a@101,1100"_s};
    QTest::newRow("no end: any wall time") << QStringList {u"+a@0,0"_s, u"?a@50,4102444800"_s, u"=a@60,-5"_s};
    QTest::newRow("read again with a later end")
        << QStringList {u"+a^1050@0"_s, u"-a@1,1050"_s, u"+a^2000@2,1050"_s, u"?a@3,1999"_s, u"-a@3,2000"_s};
    QTest::newRow("forgotten: gone for good, its room free")
        << QStringList {u"+a@0"_s, u"+b@1"_s, u"!a@2"_s, u"0a@2"_s, u"-a@2"_s, u"+c@3"_s, u"?b@4"_s, u"?c@4"_s};
}

void LinkCacheTest::cache()
{
    QFETCH(QStringList, steps);
    LinkCache cache(2, 100);
    for (const QString& step : steps) {
        const qsizetype at = step.indexOf(u'@');
        const qsizetype endAt = step.indexOf(u'^');
        const QString code = step.mid(1, (endAt > 0 ? endAt : at) - 1);
        const QStringList clocks = step.sliced(at + 1).split(u',');
        const qint64 now = clocks.at(0).toLongLong();
        const qint64 wall = clocks.size() > 1 ? clocks.at(1).toLongLong() : 1000;
        StoredLink link {code, 1, u"http://example.com/"_s + code, 0, 0};
        link.expiresSecs = endAt > 0 ? step.mid(endAt + 1, at - endAt - 1).toLongLong() : 0;
        switch (step.at(0).unicode()) {
        case '+':
            cache.remember(link, now);
            break;
        case '*': {
            StoredLink chosen {code, 1, u"http://example.com/"_s + code.front(), 0, 0};
            chosen.chosen = true;
            cache.remember(chosen, now);
            break;
        }
        case '?':
            QVERIFY2(cache.findByCode(code, now, wall).has_value(), qPrintable(step));
            break;
        case '-':
            QVERIFY2(!cache.findByCode(code, now, wall).has_value(), qPrintable(step));
            QVERIFY2(!cache.findCode(1, link.target, now, wall).has_value(), qPrintable(step));
            break;
        case '~':
            QCOMPARE(cache.findAnyAge(code).value_or(StoredLink {}).target, link.target);
            break;
        case '0':
            QVERIFY2(!cache.findAnyAge(code).has_value(), qPrintable(step));
            break;
        case '=':
            QCOMPARE(cache.findCode(1, link.target, now, wall), std::optional(code));
            QVERIFY(!cache.findCode(2, link.target, now, wall).has_value());
            break;
        case '!':
            cache.forget(code);
            break;
        default:
            QFAIL(qPrintable(step));
        }
        QVERIFY(cache.size() <= 2);
    }
    LinkCache off(0, 100);
    off.remember({u"a"_s, 1, u"http://example.com/a"_s, 0, 0}, 0);
    QCOMPARE(off.size(), 0);
}

void LinkCacheTest::takeDownSeenByEveryThread()
{
    // Big enough to be split: readers on other threads while this one fills, evicts and takes down.
    constexpr qsizetype Capacity = 5000;
    LinkCache cache(Capacity, 1'000'000);
    QVERIFY(cache.shards() > 1);
    StoredLink taken {u"taken"_s, 1, u"http://example.com/taken"_s, 0, 0};
    cache.remember(taken, 0);
    std::atomic<bool> takenDown = false;
    std::atomic<bool> done = false;
    std::atomic<int> wrong = 0;
    std::vector<std::thread> readers;
    readers.reserve(4);
    for (qsizetype r = 0; r < 4; ++r) {
        readers.emplace_back([&, r] {
            while (!done) {
                // A read that starts after the take-down never finds the link as it was (it may find
                // nothing: pushed out by newer links).
                const bool after = takenDown;
                const std::optional<StoredLink> found = cache.findByCode(taken.code, 1, 1000);
                if (after && found && found->state == LinkState::Active) {
                    ++wrong;
                }
                cache.findByCode(u"c%1"_s.arg(r * 997 % Capacity), 1, 1000);
            }
        });
    }
    for (int i = 0; i < 2 * Capacity; ++i) {
        cache.remember({u"c%1"_s.arg(i), 1, u"http://example.com/%1"_s.arg(i), 0, 0}, 1);
        if (i == Capacity) {
            taken.state = LinkState::Disabled;
            cache.remember(taken, 1);
            takenDown = true;
        }
        if (i % 7 == 0) {
            cache.forget(u"c%1"_s.arg(i / 2));
        }
    }
    done = true;
    for (std::thread& reader : readers) {
        reader.join();
    }
    QCOMPARE(wrong.load(), 0);
    QVERIFY(cache.size() <= Capacity);
    QCOMPARE(cache.findCode(1, u"http://example.com/%1"_s.arg(2 * Capacity - 1), 2, 1000),
        std::optional(u"c%1"_s.arg(2 * Capacity - 1)));
}

QTEST_APPLESS_MAIN(LinkCacheTest)
#include "tst_linkcache.moc"
