#include "links/blocklist.h"
#include "links/ratelimiter.h"
#include "links/shortener.h"
#include "memorystore.h"
#include "ops/importer.h"
#include "routes/routes.h"
#include "store/storepool.h"

#include <QBuffer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

using namespace Qt::StringLiterals;
using namespace Shortd;

namespace
{
// The lists the rows meet: an address list, a hosts file, and an allowlisted name under a listed one.
void loadTestLists(BlocklistSet& lists)
{
    (void)lists.reload(u"phish"_s, QByteArray("# a feed\nhttps://bad.example/login?id=1\n"));
    (void)lists.reload(u"hosts"_s, QByteArray("0.0.0.0 evil.example ; ads\n127.0.0.1 localhost\n"));
    lists.setAllowlist("safe.evil.example\n");
}

// The HTTP ways in, in ShortenDoor's order, and the import.
enum class Door { Protocol, Api, ApiKeyed, Import };
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
    const std::pair<Door, const char*> doors[] {{Door::Protocol, "protocol"}, {Door::Api, "API keyless"},
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

    MemoryStore store;
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
    // A chosen code with the key: a link with options, made by the other way through the shortener.
    const HttpReply reply = handled(routes,
        shortenRequest(
            static_cast<ShortenDoor>(door), address, store.key, door == Door::ApiKeyed ? u"chosen-one"_s : QString()));
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
