#include "config.h"
#include "httpprobe.h"
#include "links/addresspolicy.h"
#include "links/ownaddresses.h"
#include "links/ratelimiter.h"
#include "links/shortener.h"
#include "routes/routes.h"
#include "shortdprocess.h"
#include "store/storepool.h"

#include <QNetworkInterface>
#include <QTest>

using namespace Qt::StringLiterals;
using namespace Shortd;

namespace
{
// Short links are built without the store.
class NoStore final : public Store, public LinkStore
{
public:
    bool open() override { return true; }
    LinkStore& links() override { return *this; }
    LookupResult findByCode(const QString&) override { return {}; }
    InsertResult insert(const StoredLink&) override { return {StoreStatus::Failed, {}}; }
    bool isHealthy() override { return true; }
    QString lastError() const override { return {}; }
};

// Routes as the service makes them from its options, on a machine of the test's choosing.
struct RoutesUnderTest {
    explicit RoutesUnderTest(const QStringList& options)
    {
        const ConfigResult parsed = parseConfig(QStringList {u"nolvex-shortd"_s} + options, {});
        routes = std::make_unique<Routes>(parsed.config, shortener, limiter);
    }
    NoStore store;
    StorePool pool {store};
    Shortener shortener {pool};
    RateLimiter limiter {0};
    std::unique_ptr<Routes> routes;
};

MachineAddresses machine(bool loopbackOnly)
{
    MachineAddresses set {{QHostAddress(u"127.0.0.1"_s), QHostAddress(u"::1"_s)}, {u"web1"_s}};
    if (!loopbackOnly) {
        set.addresses += {QHostAddress(u"fe80::1"_s), QHostAddress(u"10.9.9.9"_s), QHostAddress(u"2001:db8::5"_s)};
    }
    return set;
}

} // namespace

class SelfLinksTest final : public QObject
{
    Q_OBJECT

private slots:
    void linkFromHost_data();
    void linkFromHost();
    void machineChangeReachesLinks();
    void wholeServiceOnEveryAddress();
};

void SelfLinksTest::linkFromHost_data()
{
    QTest::addColumn<QString>("listen");
    QTest::addColumn<QString>("linkBase"); // of type 2, the type asked; empty: none
    QTest::addColumn<bool>("loopbackOnly"); // the machine has no other address
    QTest::addColumn<QByteArray>("host");
    QTest::addColumn<QString>("link");

    const auto row = [](const char* name, const char* listen, const char* host, const char* link,
                         const char* linkBase = "", bool loopbackOnly = false) {
        QTest::newRow(name) << QString::fromLatin1(listen) << QString::fromLatin1(linkBase) << loopbackOnly
                            << QByteArray(host) << QString::fromLatin1(link);
    };
    // Every address: the Host the client used when it is this machine's, on the service's port.
    row("foreign Host", ":8420", "evil.example", "http://10.9.9.9:8420/Ab3dEf");
    row("no Host", ":8420", "", "http://10.9.9.9:8420/Ab3dEf");
    row("interface address", ":8420", "10.9.9.9:8420", "http://10.9.9.9:8420/Ab3dEf");
    row("interface IPv6", ":8420", "[2001:db8::5]:8420", "http://[2001:db8::5]:8420/Ab3dEf");
    row("localhost", ":8420", "localhost:8420", "http://localhost:8420/Ab3dEf");
    row("loopback IPv4", ":8420", "127.0.0.1:8420", "http://127.0.0.1:8420/Ab3dEf");
    row("host name, other case", ":8420", "WEB1:8420", "http://web1:8420/Ab3dEf");
    row("own name, other port", ":8420", "web1:8421", "http://10.9.9.9:8420/Ab3dEf");
    row("name under localhost", ":8420", "evil.localhost:8420", "http://10.9.9.9:8420/Ab3dEf");
    row("user before the address", ":8420", "evil.example@10.9.9.9:8420", "http://10.9.9.9:8420/Ab3dEf");
    row("listening on IPv4 only", "0.0.0.0:8420", "evil.example", "http://10.9.9.9:8420/Ab3dEf");
    row("listening on IPv6 only", "[::]:8420", "evil.example", "http://[2001:db8::5]:8420/Ab3dEf");
    row("listening on port 80, no port named", ":80", "web1", "http://web1/Ab3dEf");
    // One address: that address, whatever the Host says, as loopback clients have always had it.
    row("loopback listener, localhost", "127.0.0.1:8420", "localhost:8420", "http://127.0.0.1:8420/Ab3dEf");
    row("loopback listener, foreign Host", "127.0.0.1:8420", "evil.example", "http://127.0.0.1:8420/Ab3dEf");
    row("link base, interface address", ":8420", "10.9.9.9:8420", "https://s.example/x/Ab3dEf", "https://s.example/x");
    row("loopback only, foreign Host", ":8420", "evil.example", "http://127.0.0.1:8420/Ab3dEf", "", true);
    row("loopback only, IPv6 listener", "[::]:8420", "evil.example", "http://[::1]:8420/Ab3dEf", "", true);
}

void SelfLinksTest::linkFromHost()
{
    QFETCH(QString, listen);
    QFETCH(QString, linkBase);
    QFETCH(bool, loopbackOnly);
    QFETCH(QByteArray, host);
    QFETCH(QString, link);

    setMachineAddresses(machine(loopbackOnly));
    QStringList options {u"--listen"_s, listen};
    if (!linkBase.isEmpty()) {
        options += {u"--link-base"_s, u"2="_s + linkBase};
    }
    const RoutesUnderTest under(options);
    QCOMPARE(under.routes->shortLink(2, u"Ab3dEf"_s, host), link);
}

void SelfLinksTest::machineChangeReachesLinks()
{
    // The link of the last Host is kept, but not past a change of the machine's addresses.
    setMachineAddresses(machine(false));
    const RoutesUnderTest under({u"--listen"_s, u":8420"_s});
    QCOMPARE(under.routes->shortLink(0, u"Ab3dEf"_s, "10.9.9.9:8420"), u"http://10.9.9.9:8420/Ab3dEf"_s);
    setMachineAddresses({{QHostAddress(u"10.9.9.10"_s)}, {}});
    QCOMPARE(under.routes->shortLink(0, u"Ab3dEf"_s, "10.9.9.9:8420"), u"http://10.9.9.10:8420/Ab3dEf"_s);
}

void SelfLinksTest::wholeServiceOnEveryAddress()
{
    // The real service on every address of this machine, reached through one that is not loopback.
    const MachineAddresses here = MachineAddresses::read();
    const auto outside = std::find_if(here.addresses.begin(), here.addresses.end(), [](const QHostAddress& address) {
        return address.protocol() == QAbstractSocket::IPv4Protocol && !address.isLoopback() && !address.isLinkLocal();
    });
    if (outside == here.addresses.end()) {
        QSKIP("this machine has no IPv4 address but loopback");
    }
    const QString address = outside->toString();
    ShortdProcess service({u"--rate-limit"_s, u"0"_s});
    service.listenOnEveryAddress();
    QVERIFY2(service.start(), qPrintable(service.errorString()));
    const quint16 port = service.port();

    const QByteArray origin = QUrl(u"http://%1:%2"_s.arg(address).arg(port)).toEncoded();
    // Reached by the machine's address: links under it. Reached by a foreign name: links under the
    // address the service picks, never the foreign name.
    const HttpResult created
        = rawExchange(port, rawRequest("GET", shortenTarget(0, u"https://example.com/self"_s), origin.sliced(7)));
    QCOMPARE(created.status, 200);
    const QString link = created.json().value(u"info"_s).toString();
    QCOMPARE(link, QString::fromLatin1(origin) + u'/' + created.linkCode());
    const HttpResult viaApi = rawExchange(
        port, rawRequest("POST", "/api/v1/links", "evil.example", {}, R"({"url":"https://example.com/api"})"));
    QCOMPARE(viaApi.status, 201);
    const QString shortUrl = viaApi.json().value(u"shortUrl"_s).toString();
    const QUrl expected = fallbackOrigin(u"http"_s, port, QHostAddress::Any, here);
    QVERIFY2(shortUrl.startsWith(expected.toString() + u'/'), qPrintable(shortUrl));

    // A link back to itself through that address, by any spelling of the port and scheme, is refused.
    for (const QString& scheme : {u"http"_s, u"https"_s}) {
        const QString loop = u"%1://%2:%3/%4"_s.arg(scheme, address).arg(port).arg(created.linkCode());
        const HttpResult refused = rawExchange(port, rawGet(shortenTarget(0, loop), port));
        QCOMPARE(refused.status, 400);
        QCOMPARE(refused.json().value(u"message"_s).toString(), addressProblemMessage(AddressProblem::OwnLink));
    }
    QVERIFY2(service.stop(), qPrintable(service.errorString()));
}

QTEST_GUILESS_MAIN(SelfLinksTest)
#include "tst_selflinks.moc"
