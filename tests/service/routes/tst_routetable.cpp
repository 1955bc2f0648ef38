#include "links/codes.h"
#include "links/ratelimiter.h"
#include "links/shortener.h"
#include "memorystore.h"
#include "routes/routes.h"
#include "routes/routetable.h"
#include "store/storepool.h"

#include <QTest>
#include <algorithm>

using namespace Qt::StringLiterals;
using namespace Shortd;

namespace
{
constexpr std::array<Method, 7> Methods {
    Method::Get, Method::Head, Method::Post, Method::Put, Method::Patch, Method::Delete, Method::Options};

// A path the row's pattern takes, made from the pattern alone.
QString probeOf(const RouteRow& row)
{
    switch (row.match) {
    case Match::Exact:
        return row.path.toString();
    case Match::Prefix:
        return row.path % u"x1";
    case Match::Item:
        return row.path % u"/aB3dEf" % row.suffix;
    case Match::Suffixed:
        return u"/aB3dEf" % row.suffix;
    case Match::Segment:
    case Match::LinkCode:
        return u"/aB3dEf"_s;
    case Match::Rest:
        return row.path % u"x1/x2";
    }
    return {};
}

// Every code names the same link; nothing is written.
class AnyCodeStore : public Store, public LinkStore
{
public:
    bool open() override { return true; }
    LinkStore& links() override { return *this; }
    LookupResult findByCode(const QString& code) override
    {
        return {StoreStatus::Ok, StoredLink {code, 0, u"https://example.com/"_s, 1'700'000'000, 0}};
    }
    InsertResult insert(const StoredLink&) override { return {StoreStatus::Failed, {}}; }
    bool isHealthy() override { return true; }
    QString lastError() const override { return {}; }
};

// The links, and when keepsKeys one admin key; no other part.
class AdminKeyStore final : public AnyCodeStore, public OneKeyStore
{
public:
    AdminKeyStore()
        : OneKeyStore(Role::Admin)
    {
    }
    KeyStore* keys() override { return keepsKeys ? this : nullptr; }
    bool keepsKeys = true;
};
} // namespace

class RouteTableTest final : public QObject
{
    Q_OBJECT

private slots:
    void everyRowReachedAlone();
    void reservedNamesFromTheTable();
    void apiAccess_data();
    void apiAccess();
    void policies();
    void partsNotKept_data();
    void partsNotKept();
};

void RouteTableTest::everyRowReachedAlone()
{
    for (const RouteRow& row : routeTable()) {
        const QString probe = probeOf(row);
        for (const Method method : Methods) {
            const RouteMatch match = matchRoute(row.listener, method, probe);
            if ((row.methods & methodBit(method)) != 0) {
                QVERIFY2(match.row == &row, qPrintable(probe));
            }
            // No two rows (the Rest rows aside, which take only what no other row does) share a
            // method and a path.
            const auto sharing = std::ranges::count_if(routeTable(), [&](const RouteRow& other) {
                return other.listener == row.listener && other.match != Match::Rest
                    && (other.methods & methodBit(method)) != 0 && rowTakes(other, probe);
            });
            QVERIFY2(sharing <= 1, qPrintable(probe));
        }
    }
}

void RouteTableTest::reservedNamesFromTheTable()
{
    QStringList fromTable = reservedSegments();
    QStringList fromCodes;
    for (const QStringView name : reservedNames()) {
        fromCodes.append(name.toString());
    }
    fromTable.sort();
    fromCodes.sort();
    QCOMPARE(fromCodes, fromTable);
    // A fixed first segment a chosen code could spell is reserved, or the link would never be reached.
    for (const RouteRow& row : routeTable()) {
        if (row.match == Match::Exact || row.match == Match::Prefix || row.match == Match::Item) {
            const QString segment = firstSegment(row.path);
            QVERIFY2(checkCustomCode(segment) != CodeProblem::None || fromTable.contains(segment), qPrintable(segment));
        }
    }
}

void RouteTableTest::apiAccess_data()
{
    // What a request without a key, and with a reader's, a creator's and an admin's key, is
    // answered before the handler: 0 when it reaches the handler.
    QTest::addColumn<Method>("method");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QList<int>>("refusals");
    QTest::newRow("the document") << Method::Get << u"/api/v1/openapi.json"_s << QList {0, 0, 0, 0};
    QTest::newRow("create: without a key too") << Method::Post << u"/api/v1/links"_s << QList {0, 0, 0, 0};
    QTest::newRow("list") << Method::Get << u"/api/v1/links"_s << QList {401, 0, 0, 0};
    QTest::newRow("read") << Method::Head << u"/api/v1/links/aB3dEf"_s << QList {401, 0, 0, 0};
    QTest::newRow("visits") << Method::Get << u"/api/v1/links/aB3dEf/visits"_s << QList {401, 0, 0, 0};
    QTest::newRow("stats") << Method::Get << u"/api/v1/stats"_s << QList {401, 0, 0, 0};
    QTest::newRow("own key") << Method::Get << u"/api/v1/key"_s << QList {401, 0, 0, 0};
    QTest::newRow("edit") << Method::Patch << u"/api/v1/links/aB3dEf"_s << QList {401, 403, 0, 0};
    QTest::newRow("delete") << Method::Delete << u"/api/v1/links/aB3dEf"_s << QList {401, 403, 0, 0};
    QTest::newRow("report: without a key too") << Method::Post << u"/api/v1/reports"_s << QList {0, 0, 0, 0};
    QTest::newRow("reports") << Method::Get << u"/api/v1/reports"_s << QList {401, 403, 403, 0};
    QTest::newRow("audit log") << Method::Get << u"/api/v1/audit"_s << QList {401, 403, 403, 0};
    QTest::newRow("dismiss reports") << Method::Post << u"/api/v1/reports/aB3dEf/dismiss"_s << QList {401, 403, 403, 0};
    QTest::newRow("keys") << Method::Get << u"/api/v1/keys"_s << QList {401, 403, 403, 0};
    QTest::newRow("new key") << Method::Post << u"/api/v1/keys"_s << QList {401, 403, 403, 0};
    QTest::newRow("revoke") << Method::Delete << u"/api/v1/keys/ci"_s << QList {401, 403, 403, 0};
    QTest::newRow("blocks") << Method::Get << u"/api/v1/blocks"_s << QList {401, 403, 403, 0};
    QTest::newRow("unblock") << Method::Delete << u"/api/v1/blocks/evil.example"_s << QList {401, 403, 403, 0};
}

void RouteTableTest::apiAccess()
{
    QFETCH(Method, method);
    QFETCH(QString, path);
    QFETCH(QList<int>, refusals);
    const RouteMatch match = matchRoute(Listener::Public, method, path);
    QVERIFY(match.row && match.row->family == Family::Api);
    const std::array<std::optional<Role>, 4> callers {std::nullopt, Role::Reader, Role::Creator, Role::Admin};
    for (size_t i = 0; i < callers.size(); ++i) {
        const Authentication caller {AuthFailure::None, callers.at(i).value_or(Role::Reader), u"ci"_s, 0};
        const std::optional<HttpReply> refused
            = ApiRouter::refusal(match.row->access, callers.at(i) ? &caller : nullptr);
        QCOMPARE(refused ? refused->status : 0, refusals.at(static_cast<qsizetype>(i)));
    }
}

void RouteTableTest::policies()
{
    // Each row's page carries the row's policy; rows that answer no page here are left out.
    AnyCodeStore store;
    StorePool pool(store);
    Shortener shortener(pool, ShortenerOptions {100, std::chrono::hours(1), std::chrono::hours(1)});
    RateLimiter rateLimiter(0);
    Routes routes(ServiceConfig {}, shortener, rateLimiter);
    int checked = 0;
    for (const RouteRow& row : routeTable()) {
        if (row.listener != Listener::Public || row.access != Access::Anyone
            || (row.methods & methodBit(Method::Get)) == 0) {
            continue;
        }
        HttpRequest request;
        request.path = probeOf(row);
        request.host = "127.0.0.1:8420";
        request.client = u"127.0.0.1"_s;
        HttpReply reply;
        routes.handle(request, 0, [&reply](HttpReply answer) { reply = std::move(answer); });
        if (reply.status != 200) {
            continue;
        }
        const auto policy = std::ranges::find_if(
            reply.headers, [](const auto& header) { return header.first == "Content-Security-Policy"; });
        QCOMPARE(policy == reply.headers.cend() ? QByteArray() : policy->second, policyText(row.policy).toByteArray());
        ++checked;
    }
    QCOMPARE_GE(checked, 6);
}

void RouteTableTest::partsNotKept_data()
{
    // An admin's request to a store that keeps the links, and the keys or not, and nothing else:
    // what needs another part is answered as a failed store, never dereferenced.
    QTest::addColumn<bool>("keys");
    QTest::addColumn<Method>("method");
    QTest::addColumn<QString>("path");
    QTest::addColumn<int>("status");
    QTest::newRow("no keys: the caller is not known") << false << Method::Get << u"/api/v1/key"_s << 503;
    QTest::newRow("no keys: a link") << false << Method::Get << u"/api/v1/links/aB3dEf"_s << 503;
    QTest::newRow("a link needs the links alone") << true << Method::Get << u"/api/v1/links/aB3dEf"_s << 200;
    QTest::newRow("listing") << true << Method::Get << u"/api/v1/links"_s << 503;
    QTest::newRow("deleting") << true << Method::Delete << u"/api/v1/links/aB3dEf"_s << 503;
    QTest::newRow("a link's visits") << true << Method::Get << u"/api/v1/links/aB3dEf/visits"_s << 503;
    QTest::newRow("the service's visits") << true << Method::Get << u"/api/v1/stats"_s << 503;
}

void RouteTableTest::partsNotKept()
{
    QFETCH(bool, keys);
    QFETCH(Method, method);
    QFETCH(QString, path);
    QFETCH(int, status);
    AdminKeyStore store;
    store.keepsKeys = keys;
    StorePool pool(store);
    Shortener shortener(pool, ShortenerOptions {100, std::chrono::hours(1), std::chrono::hours(1)});
    RateLimiter rateLimiter(0);
    Routes routes(ServiceConfig {}, shortener, rateLimiter);
    HttpRequest request;
    request.method = method;
    request.path = path;
    request.host = "127.0.0.1:8420";
    request.client = u"127.0.0.1"_s;
    request.authorization = "Bearer " + store.key;
    QCOMPARE(handled(routes, request).status, status);
}

QTEST_GUILESS_MAIN(RouteTableTest)
#include "tst_routetable.moc"
