#include "access/keys.h"
#include "links/blocklist.h"
#include "links/ratelimiter.h"
#include "links/shortener.h"
#include "ops/importer.h"
#include "protocol.h"
#include "routes/routes.h"
#include "store/storepool.h"
#include "token.h"

#include <QBuffer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>
#include <QUrl>

using namespace Qt::StringLiterals;
using namespace Shortd;

namespace
{
// Links in memory, one creator's key, and a restore for the import; counts the writes asked for.
class CountingStore final : public Store, public LinkStore, public LinkArchive, public KeyStore
{
public:
    bool open() override { return true; }
    bool isHealthy() override { return true; }
    QString lastError() const override { return {}; }
    LinkStore& links() override { return *this; }
    LinkArchive* linkArchive() override { return this; }
    KeyStore* keys() override { return this; }

    LookupResult findByCode(const QString&) override { return {}; }
    LookupResult findByTarget(int, const QString&) override { return {}; }
    InsertResult insert(const StoredLink& link) override
    {
        ++writes;
        return {StoreStatus::Ok, link};
    }
    StoreStatus restoreLink(const StoredLink&) override
    {
        ++writes;
        return StoreStatus::Ok;
    }
    StoreStatus exportLinks(const std::function<bool(const StoredLink&)>&) override { return StoreStatus::Failed; }

    KeyLookup findKeyByHash(const QByteArray& hash) override
    {
        return {hash == keyHash(key) ? StoreStatus::Ok : StoreStatus::Missing,
            {u"ci"_s, static_cast<int>(Role::Creator), keyPrefix(key), keyHash(key), 0, 0, 0, 0}};
    }
    StoreStatus markKeyUsed(const QString&, qint64) override { return StoreStatus::Ok; }
    StoreStatus createKey(const StoredKey&) override { return StoreStatus::Failed; }
    StoreStatus listKeys(const std::function<bool(const StoredKey&)>&) override { return StoreStatus::Failed; }
    StoreStatus revokeKey(const QString&, qint64) override { return StoreStatus::Failed; }

    int writes = 0;
    const QByteArray key = generateKey();
};

// The lists the rows meet: an address list, a hosts file, and an allowlisted name under a listed one.
void loadTestLists(BlocklistSet& lists)
{
    (void)lists.reload(u"phish"_s, QByteArray("# a feed\nhttps://bad.example/login?id=1\n"));
    (void)lists.reload(u"hosts"_s, QByteArray("0.0.0.0 evil.example ; ads\n127.0.0.1 localhost\n"));
    lists.setAllowlist("safe.evil.example\n");
}

enum class Door { Protocol, ApiKeyless, ApiKeyed, Import };
} // namespace

class ListedAddressesTest final : public QObject
{
    Q_OBJECT

private slots:
    void refusedAtEveryDoor_data();
    void refusedAtEveryDoor();
};

void ListedAddressesTest::refusedAtEveryDoor_data()
{
    // The way in and the address; the list and entry that stop it (none: created). Every way in
    // answers each address, so a door that forgets the lists fails its row.
    QTest::addColumn<Door>("door");
    QTest::addColumn<QString>("address");
    QTest::addColumn<QString>("list");
    QTest::addColumn<QString>("entry");
    struct Situation {
        const char* name;
        QString address;
        QString list;
        QString entry;
    };
    const Situation situations[] {
        {"by address, as normalised", u"HTTPS://Bad.Example:443/login?id=1"_s, u"phish"_s,
            u"https://bad.example/login?id=1"_s},
        {"by host", u"https://evil.example/"_s, u"hosts"_s, u"evil.example"_s},
        {"by a parent host", u"http://cdn.login.evil.example/a?b=1"_s, u"hosts"_s, u"evil.example"_s},
        {"allowlisted under a listed host", u"https://safe.evil.example/x"_s, {}, {}},
        {"not listed: another address of a listed one's host", u"https://bad.example/login?id=2"_s, {}, {}},
    };
    const std::pair<Door, const char*> doors[] {{Door::Protocol, "protocol"}, {Door::ApiKeyless, "API keyless"},
        {Door::ApiKeyed, "API with a key"}, {Door::Import, "import"}};
    for (const auto& [door, doorName] : doors) {
        for (const Situation& situation : situations) {
            QTest::addRow("%s, %s", doorName, situation.name)
                << door << situation.address << situation.list << situation.entry;
        }
    }
}

void ListedAddressesTest::refusedAtEveryDoor()
{
    QFETCH(Door, door);
    QFETCH(QString, address);
    QFETCH(QString, list);
    QFETCH(QString, entry);
    const bool listed = !list.isEmpty();

    CountingStore store;
    BlocklistSet lists(PublicSuffixList::fromText("com\nexample\n"));
    loadTestLists(lists);
    if (door == Door::Import) {
        QBuffer input;
        input.setData(
            QJsonDocument(QJsonObject {{u"code"_s, u"impabcdefg"_s}, {u"type"_s, 0}, {u"target"_s, address},
                              {u"created"_s, u"2026-01-01T00:00:00Z"_s}, {u"visits"_s, 0}, {u"state"_s, u"active"_s}})
                .toJson(QJsonDocument::Compact)
            + '\n');
        QVERIFY(input.open(QIODevice::ReadOnly));
        ImportRules rules {{}, -1, QDateTime::currentSecsSinceEpoch()};
        rules.blocklists = &lists;
        QStringList said;
        const ImportResult result
            = importLinks(input, store, rules, [&said](const RowFault& row) { said.append(row.said()); });
        QCOMPARE(result.refused, listed ? 1 : 0);
        QCOMPARE(result.imported, listed ? 0 : 1);
        QCOMPARE(said, listed ? QStringList {u"line 1: listed by %1 (%2)"_s.arg(list, entry)} : QStringList {});
        QCOMPARE(store.writes, listed ? 0 : 1);
        return;
    }

    StorePool pool(store); // every call answered before it returns
    Shortener shortener(pool, ShortenerOptions {100, std::chrono::hours(1), std::chrono::hours(1)});
    shortener.setBlocklists(&lists);
    RateLimiter rateLimiter(0);
    Routes routes(ServiceConfig {}, shortener, rateLimiter);
    HttpRequest request;
    request.host = "127.0.0.1:8420";
    request.client = u"127.0.0.1"_s;
    if (door == Door::Protocol) {
        request.path = Nolvex::Protocol::ShortenPath.toString();
        request.query
            = "type=0&url=" + QUrl::toPercentEncoding(address) + "&token=" + Nolvex::requestToken(address).toLatin1();
    } else {
        request.method = Method::Post;
        request.path = u"/api/v1/links"_s;
        request.contentType = "application/json";
        QJsonObject body {{u"url"_s, address}};
        if (door == Door::ApiKeyed) {
            // A chosen code: a link with options, made by the other way through the shortener.
            request.authorization = "Bearer " + store.key;
            body.insert(u"code"_s, u"chosen-one"_s);
        }
        request.body = QJsonDocument(body).toJson(QJsonDocument::Compact);
    }
    HttpReply reply;
    routes.handle(request, 0, [&reply](HttpReply answer) { reply = std::move(answer); });
    const QJsonObject answer = QJsonDocument::fromJson(reply.body).object();
    QCOMPARE(store.writes, listed ? 0 : 1);
    if (door == Door::Protocol) {
        QCOMPARE(reply.status, listed ? 403 : 200);
        QCOMPARE(answer.value(u"result"_s).toInt(), listed ? 0 : 1);
        QCOMPARE(answer.value(u"message"_s).toString(), listed ? u"该网址已被列为不安全网址，不能缩短"_s : QString());
        return;
    }
    QCOMPARE(reply.status, listed ? 422 : 201);
    if (listed) {
        const QJsonArray errors = answer.value(u"errors"_s).toArray();
        QCOMPARE(errors.size(), 1);
        QCOMPARE(errors.at(0)[u"field"_s].toString(), u"url"_s);
        QCOMPARE(errors.at(0)[u"message"_s].toString(), u"该网址已被列为不安全网址（列表 %1），不能缩短"_s.arg(list));
    }
}

QTEST_GUILESS_MAIN(ListedAddressesTest)
#include "tst_listedaddresses.moc"
