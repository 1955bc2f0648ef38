#include "links/linkcache.h"

#include <QTest>

using namespace Qt::StringLiterals;
using namespace Shortd;

class LinkCacheTest final : public QObject
{
    Q_OBJECT

private slots:
    void cache_data();
    void cache();
};

void LinkCacheTest::cache_data()
{
    // Steps: "+code@ms" remembers, "?code@ms" must hit, "-code@ms" must miss, "=code@ms" must hit
    // by address, "~code@ms" must still be known when the database is away, "*code@ms" remembers a
    // chosen code for the address of the code's first letter. Capacity 2, entries live 100 ms.
    QTest::addColumn<QStringList>("steps");
    QTest::newRow("least recently used goes first")
        << QStringList {u"+a@0"_s, u"+b@1"_s, u"?a@2"_s, u"+c@3"_s, u"?a@4"_s, u"-b@4"_s, u"?c@4"_s};
    QTest::newRow("one at a time, not all at once")
        << QStringList {u"+a@0"_s, u"+b@1"_s, u"+c@2"_s, u"-a@3"_s, u"?b@3"_s, u"?c@3"_s};
    QTest::newRow("by address, evicted together")
        << QStringList {u"+a@0"_s, u"=a@1"_s, u"+b@2"_s, u"+c@3"_s, u"-a@4"_s, u"=b@4"_s};
    QTest::newRow("age limit") << QStringList {u"+a@0"_s, u"?a@100"_s, u"-a@101"_s, u"+a@200"_s, u"=a@250"_s};
    QTest::newRow("too old, still known for an outage")
        << QStringList {u"+a@0"_s, u"-a@150"_s, u"~a@150"_s, u"+b@160"_s, u"+c@170"_s, u"-a@171"_s};
    QTest::newRow("a chosen code never holds its address")
        << QStringList {u"+a@0"_s, u"*ax@1"_s, u"=a@2"_s, u"?ax@2"_s};
    QTest::newRow("remembered again: one entry") << QStringList {u"+a@0"_s, u"+a@1"_s, u"+b@2"_s, u"?a@3"_s, u"?b@3"_s};
}

void LinkCacheTest::cache()
{
    QFETCH(QStringList, steps);
    LinkCache cache(2, 100);
    for (const QString& step : steps) {
        const QString code = step.mid(1, step.indexOf(u'@') - 1);
        const qint64 now = step.section(u'@', 1).toLongLong();
        const StoredLink link {code, 1, u"http://example.com/"_s + code, 0, 0};
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
            QVERIFY2(cache.findByCode(code, now).has_value(), qPrintable(step));
            break;
        case '-':
            QVERIFY2(!cache.findByCode(code, now).has_value(), qPrintable(step));
            QVERIFY2(!cache.findCode(1, link.target, now).has_value(), qPrintable(step));
            break;
        case '~':
            QCOMPARE(cache.findAnyAge(code).value_or(StoredLink {}).target, link.target);
            break;
        case '=':
            QCOMPARE(cache.findCode(1, link.target, now), std::optional(code));
            QVERIFY(!cache.findCode(2, link.target, now).has_value());
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

QTEST_APPLESS_MAIN(LinkCacheTest)
#include "tst_linkcache.moc"
