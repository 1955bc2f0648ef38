#include "links/anonymouscreation.h"
#include "links/ratelimiter.h"
#include "links/shortener.h"
#include "memorystore.h"
#include "routes/routes.h"
#include "store/storepool.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

using namespace Qt::StringLiterals;
using namespace Shortd;

namespace
{
constexpr qint64 HourSlotMs = 360'000;
constexpr qint64 Start = 4'915'000 * HourSlotMs; // the start of a slot, in 2026
} // namespace

class HostCreationsTest final : public QObject
{
    Q_OBJECT

private slots:
    void limitedBySite_data();
    void limitedBySite();
};

void HostCreationsTest::limitedBySite_data()
{
    // Steps: "protocol URL", "api URL" (no key), "key URL" (a key), "+M" (M minutes pass); the
    // status each request gets, and the Retry-After of the last refusal.
    QTest::addColumn<int>("perHour");
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<QList<int>>("statuses");
    QTest::addColumn<int>("retryAfter");

    const QStringList three {
        u"protocol https://a.example/1"_s, u"api https://a.example/2"_s, u"protocol https://a.example/3"_s};
    QTest::newRow("subdomains of one domain together, another site apart")
        << 2
        << QStringList {u"protocol https://x.a.example/1"_s, u"api http://Y.A.example:8080/2"_s,
               u"api https://b.example/3"_s, u"protocol https://a.example/3"_s}
        << QList {200, 201, 201, 429} << 3960;
    QTest::newRow("a public suffix's subdomains apart")
        << 1 << QStringList {u"protocol https://u1.pages.example/"_s, u"protocol https://u2.pages.example/"_s}
        << QList {200, 200} << 0;
    QTest::newRow("an address already shortened costs nothing")
        << 2
        << QStringList {u"protocol https://a.example/1"_s, u"api https://a.example/1"_s,
               u"protocol https://a.example/1"_s, u"protocol https://a.example/2"_s, u"api https://a.example/3"_s}
        << QList {200, 200, 200, 200, 429} << 3960;
    QTest::newRow("a key is neither counted nor refused")
        << 1
        << QStringList {u"key https://a.example/1"_s, u"key https://a.example/2"_s, u"protocol https://a.example/3"_s,
               u"key https://a.example/4"_s, u"protocol https://a.example/5"_s}
        << QList {201, 201, 200, 201, 429} << 3960;
    QTest::newRow("under, at, over, until the hour's oldest tenth has left")
        << 2 << three + QStringList {u"+40"_s, three.at(2), u"+25"_s, three.at(2), u"+1"_s, three.at(2)}
        << QList {200, 201, 429, 429, 429, 200} << 60;
    QTest::newRow("off") << 0 << three << QList {200, 201, 200} << 0;
}

void HostCreationsTest::limitedBySite()
{
    QFETCH(int, perHour);
    QFETCH(QStringList, steps);
    QFETCH(QList<int>, statuses);
    QFETCH(int, retryAfter);

    MemoryStore store;
    StorePool pool(store); // every call answered before it returns
    Shortener shortener(pool, ShortenerOptions {100, std::chrono::hours(1), std::chrono::hours(1)});
    RateLimiter rateLimiter(0);
    qint64 now = Start;
    HostCreationLimit hosts(perHour, PublicSuffixList::fromText("example\npages.example\n"), [&now] { return now; });
    rateLimiter.limitHosts(&hosts);
    Routes routes(ServiceConfig {}, shortener, rateLimiter);

    QList<int> got;
    int lastWait = 0;
    for (const QString& step : steps) {
        if (step.startsWith(u'+')) {
            now += step.sliced(1).toLongLong() * 60'000;
            continue;
        }
        const QString door = step.section(u' ', 0, 0);
        const ShortenDoor way
            = door == u"protocol" ? ShortenDoor::Protocol : (door == u"key" ? ShortenDoor::ApiKeyed : ShortenDoor::Api);
        const HttpReply reply = handled(routes, shortenRequest(way, step.section(u' ', 1), store.key));
        got.append(reply.status);
        if (reply.status != 429) {
            continue;
        }
        // The protocol's failure (result 0) and the API's problem both say why, with the wait.
        const QJsonObject answer = QJsonDocument::fromJson(reply.body).object();
        const QString said
            = door == u"protocol" ? answer.value(u"message"_s).toString() : answer.value(u"detail"_s).toString();
        QVERIFY2(said.startsWith(u"该网站一小时内新建的短网址过多（最多 %1 个）"_s.arg(perHour)), qPrintable(said));
        QCOMPARE(answer.contains(u"result"_s), door == u"protocol");
        QCOMPARE(answer.value(u"result"_s).toInt(), 0);
        for (const auto& [name, value] : reply.headers) {
            if (name == "Retry-After") {
                lastWait = value.toInt();
            }
        }
    }
    QCOMPARE(got, statuses);
    QCOMPARE(lastWait, retryAfter);
}

QTEST_GUILESS_MAIN(HostCreationsTest)
#include "tst_hostcreations.moc"
