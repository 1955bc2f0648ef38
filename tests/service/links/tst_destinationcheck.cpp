#include "cannedserver.h"
#include "links/destinationcheck.h"
#include "version.h"

#include <QEventLoop>
#include <QTcpServer>
#include <QTest>
#include <QTimer>

using namespace Qt::StringLiterals;
using namespace Shortd;

class DestinationCheckTest final : public QObject
{
    Q_OBJECT

private slots:
    void guard_data();
    void guard();
    void probe_data();
    void probe();
    void privateNeverContacted_data();
    void privateNeverContacted();
};

namespace
{
// Every check of one run, until it answers; a stuck probe ends the wait and fails the row.
std::optional<ProbeAnswer> runProbe(
    const BlocklistSet& lists, const AddressGuard& guard, const QString& url, ProbeLimits limits = {})
{
    DestinationProbe probe(lists, guard, limits);
    std::optional<ProbeAnswer> answer;
    QEventLoop loop;
    QObject::connect(&probe, &DestinationProbe::finished, &loop, [&](const ProbeAnswer& got) {
        answer = got;
        loop.quit();
    });
    QTimer::singleShot(std::chrono::seconds(30), &loop, &QEventLoop::quit);
    probe.start(url);
    if (!answer) {
        loop.exec();
    }
    return answer;
}

// {A}, {B}: the servers' origins; {Aport}, {Bport}: their ports; {dead}: an origin nothing listens on.
QString filled(QString text, const QHash<QString, QString>& values)
{
    for (auto it = values.cbegin(); it != values.cend(); ++it) {
        text.replace(u'{' + it.key() + u'}', it.value());
    }
    return text;
}

QString deadOrigin()
{
    QTcpServer closed;
    closed.listen(QHostAddress::LocalHost, 0);
    return u"http://127.0.0.1:"_s + QString::number(closed.serverPort());
}
} // namespace

void DestinationCheckTest::guard_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<bool>("allowPrivate");
    QTest::addColumn<QString>("range"); // empty: may be contacted

    // Each range at its edge where it has a neighbour that may be contacted.
    const std::pair<const char*, const char*> rows[] {{"10.1.2.3", "private"}, {"172.31.255.255", "private"},
        {"172.32.0.1", ""}, {"192.168.1.1", "private"}, {"127.255.255.254", "loopback"}, {"::1", "loopback"},
        {"169.254.169.254", "link-local"}, {"fe80::1", "link-local"}, {"100.64.0.1", "shared"}, {"100.128.0.1", ""},
        {"224.0.0.251", "multicast"}, {"ff02::1", "multicast"}, {"fd12:3456::1", "unique-local"},
        {"0.0.0.0", "unspecified"}, {"0.1.2.3", "this-network"}, {"::", "unspecified"},
        {"255.255.255.255", "broadcast"}, {"::ffff:127.0.0.1", "ipv4-mapped"}, {"::ffff:8.8.8.8", "ipv4-mapped"},
        {"::127.0.0.1", "ipv4-compatible"}, {"64:ff9b::7f00:1", "loopback"}, {"64:ff9b::808:808", ""},
        {"2002:c0a8:101::1", "private"}, {"192.0.2.10", "documentation"}, {"2001:db8::1", "documentation"},
        {"198.19.0.1", "benchmark"}, {"240.0.0.1", "reserved"}, {"8.8.8.8", ""}, {"2606:4700:4700::1111", ""}};
    for (const auto& [address, range] : rows) {
        QTest::newRow(address) << QString::fromLatin1(address) << false << QString::fromLatin1(range);
    }
    QTest::newRow("loopback with private allowed") << u"127.0.0.1"_s << true << QString();
}

void DestinationCheckTest::guard()
{
    QFETCH(QString, address);
    QFETCH(bool, allowPrivate);
    QFETCH(QString, range);

    const QHostAddress parsed(address);
    QVERIFY(!parsed.isNull());
    QCOMPARE(AddressGuard(allowPrivate).refusal(parsed).value_or(QString()), range);
}

namespace
{
// One probe: what server A (and B) answer, the lists, and what the probe reports; in the
// addresses, {A}, {B}, {Aport}, {Bport} and {dead} as filled() says.
struct ProbeCase {
    QString url = u"{A}/"_s;
    QByteArray replyA = CannedServer::response(200, "fine", "text/plain");
    CannedServer::Behaviour behaviourA = CannedServer::Behaviour::Reply;
    bool tlsA = false;
    QByteArray replyB {};
    QString listEntry {};
    int limitMs = 0; // 0: the default
    QString outcome = u"ok"_s;
    int status = 0;
    QStringList hops {}; // empty: the url alone
    bool dead = false;
    QList<int> requests {1, 0}; // seen by A and B
    qsizetype bodyBytes = -1; // -1: not asserted
};

QByteArray redirectTo(const QByteArray& to)
{
    return CannedServer::response(302, {}, "text/plain", "Location: " + to + "\r\n");
}
} // namespace

Q_DECLARE_METATYPE(ProbeCase)

void DestinationCheckTest::probe_data()
{
    QTest::addColumn<ProbeCase>("c");
    const auto row = [](const char* name, const ProbeCase& c) { QTest::newRow(name) << c; };
    const ProbeCase ok;
    row("200", {.status = 200, .bodyBytes = 4});
    row("redirect to another host",
        {.url = u"{A}/start?x=1"_s,
            .replyA = redirectTo("{B}/next"),
            .replyB = ok.replyA,
            .status = 200,
            .hops = {u"{A}/start?x=1"_s, u"{B}/next"_s},
            .requests = {1, 1},
            .bodyBytes = 4});
    row("redirect chain ends at a listed address",
        {.replyA = redirectTo("http://localhost:{Bport}/final"),
            .replyB = ok.replyA,
            .listEntry = u"http://LOCALHOST:{Bport}/final"_s,
            .outcome = u"listed"_s,
            .hops = {u"{A}/"_s, u"http://localhost:{Bport}/final"_s}});
    row("host resolves into a listed range",
        {.url = u"http://localhost:{Aport}/"_s,
            .listEntry = u"127.0.0.0/8 ; SBL1"_s,
            .outcome = u"listed"_s,
            .requests = {0, 0}});
    row("server gone", {.url = u"{dead}/"_s, .outcome = u"refused"_s, .dead = true, .requests = {0, 0}});
    row("no such host",
        {.url = u"http://no-such-host.invalid/"_s, .outcome = u"no-such-host"_s, .dead = true, .requests = {0, 0}});
    QStringList loop {u"{A}/"_s};
    for (int i = 0; i < 10; ++i) {
        loop.append(u"{A}/loop"_s);
    }
    row("redirect loop",
        {.replyA = redirectTo("/loop"),
            .outcome = u"too-many-redirects"_s,
            .status = 302,
            .hops = loop,
            .requests = {11, 0}});
    for (const int status : {404, 410, 503}) {
        QTest::addRow("%d", status) << ProbeCase {.replyA = CannedServer::response(status, "no", "text/plain"),
            .outcome = u"http-error"_s,
            .status = status,
            .dead = status != 503,
            .bodyBytes = 2};
    }
    row("slow server", {.behaviourA = CannedServer::Behaviour::Silent, .limitMs = 200, .outcome = u"timeout"_s});
    row("endless body read to the limit",
        {.replyA = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n",
            .behaviourA = CannedServer::Behaviour::Endless,
            .status = 200,
            .bodyBytes = ProbeLimits {}.body});
    row("untrusted certificate", {.tlsA = true, .outcome = u"tls"_s, .requests = {0, 0}});
    row("no HTTP answer", {.replyA = "hello\r\n\r\n", .outcome = u"malformed"_s});
    row("redirect to another scheme",
        {.replyA = redirectTo("ftp://files.example/"),
            .outcome = u"malformed"_s,
            .hops = {u"{A}/"_s, u"ftp://files.example/"_s}});
}

void DestinationCheckTest::probe()
{
    QFETCH(ProbeCase, c);
    CannedServer a(c.tlsA);
    CannedServer b;
    QVERIFY(a.start());
    QVERIFY(b.start());
    const QHash<QString, QString> values {{u"A"_s, a.origin()}, {u"B"_s, b.origin()},
        {u"Aport"_s, QString::number(a.serverPort())}, {u"Bport"_s, QString::number(b.serverPort())},
        {u"dead"_s, deadOrigin()}};
    const auto fill = [&values](const QByteArray& bytes) { return filled(QString::fromUtf8(bytes), values).toUtf8(); };
    a.setReply(fill(c.replyA), c.behaviourA);
    b.setReply(fill(c.replyB));
    BlocklistSet lists(PublicSuffixList::fromText("com\nexample\n"));
    if (!c.listEntry.isEmpty()) {
        QVERIFY(lists.reload(u"feed"_s, filled(c.listEntry, values).toUtf8()).ok());
    }
    ProbeLimits limits;
    if (c.limitMs > 0) {
        limits.overall = std::chrono::milliseconds(c.limitMs);
    }

    const std::optional<ProbeAnswer> answer = runProbe(lists, AddressGuard(true), filled(c.url, values), limits);
    QVERIFY(answer);
    QCOMPARE(probeOutcomeName(answer->outcome), c.outcome);
    QCOMPARE(answer->status, c.status);
    QStringList seenHops;
    for (const ProbeHop& hop : answer->hops) {
        seenHops.append(hop.url);
    }
    QStringList hops;
    for (const QString& hop : c.hops.isEmpty() ? QStringList {c.url} : c.hops) {
        hops.append(filled(hop, values));
    }
    QCOMPARE(seenHops, hops);
    QCOMPARE(answer->finalUrl, hops.last());
    QCOMPARE(answer->dead(), c.dead);
    if (c.outcome == u"listed") {
        QVERIFY(answer->listed);
        QCOMPARE(answer->listed->list, u"feed"_s);
        QCOMPARE(answer->listedHop, hops.last());
    }
    if (c.bodyBytes >= 0) {
        QCOMPARE(answer->bodyBytes, c.bodyBytes);
    }
    QCOMPARE(QList({int(a.requests().size()), int(b.requests().size())}), c.requests);
    const QByteArray headers = "\r\nHost: " + values.value(u"A"_s).sliced(7).toUtf8() + "\r\nUser-Agent: nolvex-shortd/"
        + Nolvex::Protocol::CurrentVersion.toUtf8()
        + " (destination check)\r\nAccept: */*\r\nConnection: close\r\n\r\n";
    for (const QByteArray& request : a.requests()) {
        QVERIFY2(request.endsWith(headers), request.constData());
    }
}

void DestinationCheckTest::privateNeverContacted_data()
{
    QTest::addColumn<QString>("url");
    QTest::addColumn<QByteArray>("location"); // where the allowed server redirects to; empty: not asked
    QTest::addColumn<QString>("address");
    QTest::addColumn<QString>("range");

    QTest::newRow("localhost") << u"http://localhost:{Bport}/"_s << QByteArray() << QString() << u"loopback"_s;
    const auto redirect = [](const char* name, const char* to, const QString& address, const char* range) {
        QTest::newRow(name) << u"{A}/"_s << QByteArray(to) << address << QString::fromLatin1(range);
    };
    redirect("redirect to loopback", "http://127.0.0.1:{Bport}/", u"127.0.0.1"_s, "loopback");
    redirect("redirect to localhost", "http://localhost:{Bport}/", QString(), "loopback");
    redirect("redirect to a mapped address", "http://[::ffff:127.0.0.1]:{Bport}/", QString(), "ipv4-mapped");
    redirect("redirect to the unspecified address", "http://0.0.0.0:{Bport}/", u"0.0.0.0"_s, "unspecified");
    redirect("redirect to a decimal address", "http://2130706433:{Bport}/", u"127.0.0.1"_s, "loopback");
}

void DestinationCheckTest::privateNeverContacted()
{
    QFETCH(QString, url);
    QFETCH(QByteArray, location);
    QFETCH(QString, address);
    QFETCH(QString, range);

    CannedServer allowed;
    QVERIFY(allowed.start());
    QTcpServer hidden;
    QVERIFY(hidden.listen(QHostAddress::LocalHost, 0));
    int connections = 0;
    connect(&hidden, &QTcpServer::newConnection, this, [&connections] { ++connections; });
    const QHash<QString, QString> values {
        {u"A"_s, allowed.origin()}, {u"Bport"_s, QString::number(hidden.serverPort())}};
    allowed.setReply(CannedServer::response(
        302, {}, "text/plain", "Location: " + filled(QString::fromUtf8(location), values).toUtf8() + "\r\n"));
    AddressGuard guard;
    guard.allowEndpointForTests(QHostAddress::LocalHost, allowed.serverPort());
    const BlocklistSet lists(PublicSuffixList::fromText("com\n"));

    const std::optional<ProbeAnswer> answer = runProbe(lists, guard, filled(url, values));
    QVERIFY(answer);
    QCOMPARE(probeOutcomeName(answer->outcome), u"refused-address"_s);
    QCOMPARE(answer->refusedRange, range);
    if (!address.isEmpty()) {
        QCOMPARE(answer->refusedAddress, address);
    }
    QCOMPARE(allowed.requests().size(), location.isEmpty() ? 0 : 1);
    // A connection the probe made would already wait in the listening socket's queue.
    QVERIFY(!hidden.waitForNewConnection(0));
    QCOMPARE(connections, 0);
}

QTEST_GUILESS_MAIN(DestinationCheckTest)
#include "tst_destinationcheck.moc"
