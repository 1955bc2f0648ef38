#include "links/codes.h"
#include "links/linkbases.h"
#include "links/ratelimiter.h"
#include "links/shortener.h"
#include "protocol.h"
#include "routes/routes.h"
#include "store/storepool.h"
#include "token.h"

#include <QDateTime>
#include <QHash>
#include <QTest>
#include <QUrl>

using namespace Qt::StringLiterals;
using namespace Shortd;

namespace
{
// One link in memory; a limited visit is granted the way the database grants it: counted when
// the link is active, before its end and under its limit.
class OneLinkStore final : public Store, public LinkStore, public LinkVisits
{
public:
    bool open() override { return true; }
    LinkStore& links() override { return *this; }
    LinkVisits* linkVisits() override { return this; }
    LookupResult findByCode(const QString& code) override
    {
        ++lookups;
        return code == link.code && present ? LookupResult {StoreStatus::Ok, link} : LookupResult {};
    }
    // The address is this link's: a creation for it gets the link back.
    InsertResult insert(const StoredLink&) override { return {StoreStatus::TargetTaken, link}; }
    StoreStatus addVisits(const QHash<QString, qint64>& visits) override
    {
        link.visits += visits.value(link.code);
        return StoreStatus::Ok;
    }
    VisitGrant takeVisit(const QString& code, qint64 nowSecs) override
    {
        ++takes;
        if (failing) {
            return VisitGrant::Failed;
        }
        if (code != link.code || !present) {
            return VisitGrant::Missing;
        }
        if (link.state != LinkState::Active || isExpired(link, nowSecs)) {
            return VisitGrant::Exhausted;
        }
        ++link.visits;
        return VisitGrant::Granted;
    }
    bool isHealthy() override { return true; }
    QString lastError() const override { return {}; }

    StoredLink link;
    bool present = true;
    bool failing = false;
    int lookups = 0;
    int takes = 0;
};
} // namespace

class RoutesTest final : public QObject
{
    Q_OBJECT

private slots:
    void followingALink_data();
    void followingALink();
    void linkBases_data();
    void linkBases();
};

void RoutesTest::followingALink_data()
{
    // The link's code, its end in seconds from now (0: none), its visit limit and the visits it
    // has; then requests in order: a method and what follows the code: "GET" or "HEAD" of the link,
    // of its preview ("GET+") or its QR code ("GET.svg"), "POST" as its limited page's button sends
    // it, "create" for its address through the client's protocol, or a change made elsewhere:
    // "visit elsewhere", "delete elsewhere", "store away". Last the answers, and what the store saw.
    QTest::addColumn<QString>("code");
    QTest::addColumn<qint64>("endsIn");
    QTest::addColumn<qint64>("maxVisits");
    QTest::addColumn<qint64>("visits");
    QTest::addColumn<QStringList>("requests");
    QTest::addColumn<QList<int>>("statuses");
    QTest::addColumn<qint64>("storedVisits");
    QTest::addColumn<int>("takes"); // visits the store was asked to count one at a time
    QTest::addColumn<qint64>("batched"); // visits waiting for the batch

    const QStringList all {u"GET"_s, u"HEAD"_s, u"GET+"_s, u"GET.svg"_s};
    QTest::newRow("no end, no limit: counted in the batch")
        << u"abcdef"_s << 0LL << 0LL << 0LL << QStringList {u"GET"_s, u"GET"_s, u"HEAD"_s, u"GET+"_s}
        << QList {302, 302, 302, 200} << 0LL << 0 << 2LL;
    QTest::newRow("a limit: the store counts; HEAD and the preview never do, nor lead anywhere")
        << u"abcdef"_s << 0LL << 2LL << 0LL
        << QStringList {u"HEAD"_s, u"GET+"_s, u"GET"_s, u"HEAD"_s, u"GET"_s, u"GET"_s, u"HEAD"_s, u"GET+"_s,
               u"GET.svg"_s}
        << QList {200, 200, 302, 200, 302, 410, 410, 410, 410} << 2LL << 2 << 0LL;
    QTest::newRow("a limit: POST on the link only, a visit like a GET")
        << u"abcdef"_s << 0LL << 1LL << 0LL << QStringList {u"POST+"_s, u"PUT"_s, u"POST"_s, u"POST"_s}
        << QList {405, 405, 303, 410} << 1LL << 1 << 0LL;
    QTest::newRow("used up before") << u"abcdef"_s << 0LL << 3LL << 3LL << all + QStringList {u"create"_s}
                                    << QList {410, 410, 410, 410, 403} << 3LL << 0 << 0LL;
    QTest::newRow("the last visit taken elsewhere")
        << u"abcdef"_s << 0LL << 2LL << 1LL
        << QStringList {u"HEAD"_s, u"visit elsewhere"_s, u"GET"_s, u"GET+"_s, u"GET"_s} << QList {200, 0, 410, 410, 410}
        << 2LL << 1 << 0LL;
    QTest::newRow("before its end: counted in the batch")
        << u"abcdef"_s << 3600LL << 0LL << 0LL << all + QStringList {u"create"_s} << QList {302, 302, 200, 200, 200}
        << 0LL << 0 << 1LL;
    QTest::newRow("past its end with visits left")
        << u"abcdef"_s << -3600LL << 10LL << 0LL << all + QStringList {u"create"_s} << QList {410, 410, 410, 410, 403}
        << 0LL << 0 << 0LL;
    QTest::newRow("deleted elsewhere before the visit")
        << u"abcdef"_s << 0LL << 5LL << 0LL << QStringList {u"HEAD"_s, u"delete elsewhere"_s, u"GET"_s}
        << QList {200, 0, 404} << 0LL << 1 << 0LL;
    QTest::newRow("store away: a limited visit is refused, never served uncounted")
        << u"abcdef"_s << 0LL << 5LL << 0LL << QStringList {u"HEAD"_s, u"store away"_s, u"GET"_s, u"HEAD"_s}
        << QList {200, 0, 503, 200} << 0LL << 1 << 0LL;
    QTest::newRow("chosen code") << u"Spring_Sale-2026"_s << 0LL << 0LL << 0LL << all << QList {302, 302, 200, 200}
                                 << 0LL << 0 << 1LL;
    // Stored or not, a reserved name never reaches the store.
    QTest::newRow("reserved name") << u"Metrics"_s << 0LL << 0LL << 0LL << all << QList {404, 404, 404, 404} << 0LL << 0
                                   << 0LL;
}

void RoutesTest::followingALink()
{
    QFETCH(QString, code);
    QFETCH(qint64, endsIn);
    QFETCH(qint64, maxVisits);
    QFETCH(qint64, visits);
    QFETCH(QStringList, requests);
    QFETCH(QList<int>, statuses);
    QFETCH(qint64, storedVisits);
    QFETCH(int, takes);
    QFETCH(qint64, batched);

    OneLinkStore store;
    store.link = {code, 0, u"https://example.com/secret-place"_s, 1'700'000'000, visits};
    store.link.expiresSecs = endsIn == 0 ? 0 : QDateTime::currentSecsSinceEpoch() + endsIn;
    store.link.maxVisits = maxVisits;
    StorePool pool(store); // every call answered before it returns
    Shortener shortener(pool, ShortenerOptions {100, std::chrono::hours(1), std::chrono::hours(1)});
    RateLimiter rateLimiter(0);
    Routes routes(ServiceConfig {}, shortener, rateLimiter);

    for (qsizetype i = 0; i < requests.size(); ++i) {
        const QString& step = requests.at(i);
        if (step == u"visit elsewhere") {
            ++store.link.visits;
            continue;
        }
        if (step == u"delete elsewhere") {
            store.present = false;
            continue;
        }
        if (step == u"store away") {
            store.failing = true;
            continue;
        }
        static const QHash<QString, Method> methods {
            {u"GET"_s, Method::Get}, {u"HEAD"_s, Method::Head}, {u"POST"_s, Method::Post}, {u"PUT"_s, Method::Put}};
        qsizetype methodLength = 0;
        while (methodLength < step.size() && step.at(methodLength).isUpper()) {
            ++methodLength;
        }
        HttpRequest request;
        request.method = methods.value(step.first(methodLength));
        request.path = u'/' % code % step.sliced(methodLength);
        if (step == u"create") {
            const QString& target = store.link.target;
            request.path = Nolvex::Protocol::ShortenPath.toString();
            request.query
                = "type=0&url=" + QUrl::toPercentEncoding(target) + "&token=" + Nolvex::requestToken(target).toLatin1();
        }
        request.host = "127.0.0.1:8420";
        request.client = u"127.0.0.1"_s;
        // A person's browser: only people's visits are counted as visits and use up a limit.
        request.userAgent = "Mozilla/5.0 (X11; Linux x86_64; rv:121.0) Gecko/20100101 Firefox/121.0";
        HttpReply reply;
        routes.handle(request, 0, [&reply](HttpReply answer) { reply = std::move(answer); });
        QVERIFY2(reply.status == statuses.at(i), qPrintable(u"%1: %2"_s.arg(step).arg(reply.status)));
        using Header = std::pair<QByteArray, QByteArray>;
        const bool redirected = reply.status == 302 || reply.status == 303;
        if (reply.status == 410 || (maxVisits > 0 && !redirected)) {
            // Never where the link led, and never kept by a browser: it may come back.
            QVERIFY(!reply.body.contains("secret-place"));
            QVERIFY(std::none_of(reply.headers.cbegin(), reply.headers.cend(),
                [](const Header& header) { return header.first == "Location"; }));
            if (reply.status == 410 || reply.status == 200) {
                QVERIFY(reply.headers.contains(Header("Cache-Control", "no-store")));
            }
        }
        if (reply.status == 410) {
            QVERIFY(QString::fromUtf8(reply.body).contains(u"已过期"_s));
        }
        if (reply.status == 405) {
            const QByteArray allowed = methodLength == step.size() ? "GET, HEAD, POST" : "GET, HEAD";
            QVERIFY(reply.headers.contains(Header("Allow", allowed)));
        }
        // No page of the service can be framed by another site.
        if (reply.contentType.startsWith("text/html") && !redirected) {
            QVERIFY(reply.headers.contains(Header("X-Frame-Options", "DENY")));
            QVERIFY(std::any_of(reply.headers.cbegin(), reply.headers.cend(), [](const Header& header) {
                return header.first == "Content-Security-Policy" && header.second.contains("frame-ancestors 'none'");
            }));
        }
        QCOMPARE(reply.headers.contains(Header("Retry-After", "2")), reply.status == 503);
    }
    QCOMPARE(store.link.visits, storedVisits);
    QCOMPARE(store.takes, takes);
    QCOMPARE(shortener.visitsOf(StoredLink {code, 0, {}, 0, 0}), batched);
    if (isReservedName(code)) {
        QCOMPARE(store.lookups, 0);
    }
}

void RoutesTest::linkBases_data()
{
    // The options (a base for type 0, TLS), the Host asked with, then the short link of type 0 and
    // of type 1, and the origin the Host adds to the fixed bases (empty: none).
    QTest::addColumn<QString>("base");
    QTest::addColumn<bool>("tls");
    QTest::addColumn<QByteArray>("host");
    QTest::addColumn<QString>("link0");
    QTest::addColumn<QString>("link1");
    QTest::addColumn<QString>("hostOrigin");
    const auto row = [](const char* name, const QString& base, bool tls, const QByteArray& host, const QString& link0,
                         const QString& link1, const QString& hostOrigin) {
        QTest::newRow(name) << base << tls << host << link0 << link1 << hostOrigin;
    };
    const QString own = u"http://127.0.0.1:8420/Ab3dEf"_s;
    row("no base: the listen origin", {}, false, "127.0.0.1:8420", own, own, u"http://127.0.0.1:8420"_s);
    row("a base for one type only", u"https://s.example/x/"_s, false, "s.example", u"https://s.example/x/Ab3dEf"_s, own,
        u"http://s.example"_s);
    row("TLS: the Host's origin is https", {}, true, "[::1]:8443", u"https://127.0.0.1:8420/Ab3dEf"_s,
        u"https://127.0.0.1:8420/Ab3dEf"_s, u"https://[::1]:8443"_s);
    // A Host that names no origin adds none; the links never hang on it on a loopback listener.
    row("user in the Host", {}, false, "evil.example@127.0.0.1:8420", own, own, {});
    row("a path in the Host", {}, false, "127.0.0.1:8420/x", own, own, {});
    row("no Host", {}, false, {}, own, own, {});
}

void RoutesTest::linkBases()
{
    QFETCH(QString, base);
    QFETCH(bool, tls);
    QFETCH(QByteArray, host);
    QFETCH(QString, link0);
    QFETCH(QString, link1);
    QFETCH(QString, hostOrigin);
    LinkBaseOptions options;
    options.linkBases[0] = QUrl(base);
    options.ownOrigin = QUrl(tls ? u"https://127.0.0.1:8420"_s : u"http://127.0.0.1:8420"_s);
    options.listenAddress = QHostAddress::LocalHost;
    options.port = 8420;
    options.tls = tls;
    options.fixedBases = {options.ownOrigin};
    const LinkBases bases(options);
    QCOMPARE(bases.shortLink(0, u"Ab3dEf"_s, host), link0);
    QCOMPARE(bases.shortLink(1, u"Ab3dEf"_s, host), link1);
    QList<QUrl> own = options.fixedBases;
    if (!hostOrigin.isEmpty()) {
        own.append(QUrl(hostOrigin));
    }
    QCOMPARE(bases.ownBases(host), own);
}

QTEST_GUILESS_MAIN(RoutesTest)
#include "tst_routes.moc"
