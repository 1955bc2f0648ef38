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

    const auto row = [](const char* address, const char* range, bool allowPrivate = false) {
        QTest::newRow(address) << QString::fromLatin1(address) << allowPrivate << QString::fromLatin1(range);
    };
    row("10.1.2.3", "private");
    row("172.31.255.255", "private");
    row("172.32.0.1", "");
    row("192.168.1.1", "private");
    row("127.255.255.254", "loopback");
    row("::1", "loopback");
    row("169.254.169.254", "link-local");
    row("fe80::1", "link-local");
    row("100.64.0.1", "shared");
    row("100.128.0.1", "");
    row("224.0.0.251", "multicast");
    row("ff02::1", "multicast");
    row("fd12:3456::1", "unique-local");
    row("0.0.0.0", "unspecified");
    row("0.1.2.3", "this-network");
    row("::", "unspecified");
    row("255.255.255.255", "broadcast");
    row("::ffff:127.0.0.1", "ipv4-mapped");
    row("::ffff:8.8.8.8", "ipv4-mapped");
    row("::127.0.0.1", "ipv4-compatible");
    row("64:ff9b::7f00:1", "loopback");
    row("64:ff9b::808:808", "");
    row("2002:c0a8:101::1", "private");
    row("192.0.2.10", "documentation");
    row("2001:db8::1", "documentation");
    row("198.19.0.1", "benchmark");
    row("240.0.0.1", "reserved");
    row("8.8.8.8", "");
    row("2606:4700:4700::1111", "");
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

void DestinationCheckTest::probe_data()
{
    QTest::addColumn<QString>("url");
    QTest::addColumn<QByteArray>("replyA");
    QTest::addColumn<int>("behaviourA");
    QTest::addColumn<bool>("tlsA");
    QTest::addColumn<QByteArray>("replyB");
    QTest::addColumn<QString>("listEntry");
    QTest::addColumn<int>("limitMs"); // 0: the default
    QTest::addColumn<QString>("outcome");
    QTest::addColumn<int>("status");
    QTest::addColumn<QStringList>("hops");
    QTest::addColumn<bool>("dead");
    QTest::addColumn<QList<int>>("requests"); // seen by A and B
    QTest::addColumn<qsizetype>("bodyBytes"); // -1: not asserted

    const int reply = int(CannedServer::Behaviour::Reply);
    const auto ok = CannedServer::response(200, "fine", "text/plain");
    const auto redirect = [](const QByteArray& to) {
        return CannedServer::response(302, {}, "text/plain", "Location: " + to + "\r\n");
    };
    QTest::newRow("200") << u"{A}/"_s << ok << reply << false << QByteArray() << QString() << 0 << u"ok"_s << 200
                         << QStringList {u"{A}/"_s} << false << QList {1, 0} << qsizetype {4};
    QTest::newRow("redirect to another host")
        << u"{A}/start?x=1"_s << redirect("{B}/next") << reply << false << ok << QString() << 0 << u"ok"_s << 200
        << QStringList {u"{A}/start?x=1"_s, u"{B}/next"_s} << false << QList {1, 1} << qsizetype {4};
    QTest::newRow("redirect chain ends at a listed address")
        << u"{A}/"_s << redirect("http://localhost:{Bport}/final") << reply << false << ok
        << u"http://LOCALHOST:{Bport}/final"_s << 0 << u"listed"_s << 0
        << QStringList {u"{A}/"_s, u"http://localhost:{Bport}/final"_s} << false << QList {1, 0} << qsizetype {-1};
    QTest::newRow("host resolves into a listed range")
        << u"http://localhost:{Aport}/"_s << ok << reply << false << QByteArray() << u"127.0.0.0/8 ; SBL1"_s << 0
        << u"listed"_s << 0 << QStringList {u"http://localhost:{Aport}/"_s} << false << QList {0, 0} << qsizetype {-1};
    QTest::newRow("server gone") << u"{dead}/"_s << ok << reply << false << QByteArray() << QString() << 0
                                 << u"refused"_s << 0 << QStringList {u"{dead}/"_s} << true << QList {0, 0}
                                 << qsizetype {-1};
    QTest::newRow("no such host") << u"http://no-such-host.invalid/"_s << ok << reply << false << QByteArray()
                                  << QString() << 0 << u"no-such-host"_s << 0
                                  << QStringList {u"http://no-such-host.invalid/"_s} << true << QList {0, 0}
                                  << qsizetype {-1};
    QStringList loop {u"{A}/"_s};
    for (int i = 0; i < 10; ++i) {
        loop.append(u"{A}/loop"_s);
    }
    QTest::newRow("redirect loop") << u"{A}/"_s << redirect("/loop") << reply << false << QByteArray() << QString() << 0
                                   << u"too-many-redirects"_s << 302 << loop << false << QList {11, 0}
                                   << qsizetype {-1};
    for (const int status : {404, 410, 503}) {
        QTest::addRow("%d", status) << u"{A}/"_s << CannedServer::response(status, "no", "text/plain") << reply << false
                                    << QByteArray() << QString() << 0 << u"http-error"_s << status
                                    << QStringList {u"{A}/"_s} << (status != 503) << QList {1, 0} << qsizetype {2};
    }
    QTest::newRow("slow server") << u"{A}/"_s << ok << int(CannedServer::Behaviour::Silent) << false << QByteArray()
                                 << QString() << 200 << u"timeout"_s << 0 << QStringList {u"{A}/"_s} << false
                                 << QList {1, 0} << qsizetype {-1};
    QTest::newRow("endless body read to the limit")
        << u"{A}/"_s << QByteArray("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n")
        << int(CannedServer::Behaviour::Endless) << false << QByteArray() << QString() << 0 << u"ok"_s << 200
        << QStringList {u"{A}/"_s} << false << QList {1, 0} << ProbeLimits {}.body;
    QTest::newRow("untrusted certificate")
        << u"{A}/"_s << ok << reply << true << QByteArray() << QString() << 0 << u"tls"_s << 0
        << QStringList {u"{A}/"_s} << false << QList {0, 0} << qsizetype {-1};
    QTest::newRow("no HTTP answer") << u"{A}/"_s << QByteArray("hello\r\n\r\n") << reply << false << QByteArray()
                                    << QString() << 0 << u"malformed"_s << 0 << QStringList {u"{A}/"_s} << false
                                    << QList {1, 0} << qsizetype {-1};
    QTest::newRow("redirect to another scheme")
        << u"{A}/"_s << redirect("ftp://files.example/") << reply << false << QByteArray() << QString() << 0
        << u"malformed"_s << 0 << QStringList {u"{A}/"_s, u"ftp://files.example/"_s} << false << QList {1, 0}
        << qsizetype {-1};
}

void DestinationCheckTest::probe()
{
    QFETCH(QString, url);
    QFETCH(QByteArray, replyA);
    QFETCH(int, behaviourA);
    QFETCH(bool, tlsA);
    QFETCH(QByteArray, replyB);
    QFETCH(QString, listEntry);
    QFETCH(int, limitMs);

    CannedServer a(tlsA);
    CannedServer b;
    QVERIFY(a.start());
    QVERIFY(b.start());
    const QHash<QString, QString> values {{u"A"_s, a.origin()}, {u"B"_s, b.origin()},
        {u"Aport"_s, QString::number(a.serverPort())}, {u"Bport"_s, QString::number(b.serverPort())},
        {u"dead"_s, deadOrigin()}};
    const auto fill = [&values](const QByteArray& bytes) { return filled(QString::fromUtf8(bytes), values).toUtf8(); };
    a.setReply(fill(replyA), CannedServer::Behaviour(behaviourA));
    b.setReply(fill(replyB));
    BlocklistSet lists(PublicSuffixList::fromText("com\nexample\n"));
    if (!listEntry.isEmpty()) {
        QVERIFY(lists.reload(u"feed"_s, filled(listEntry, values).toUtf8()).ok());
    }
    ProbeLimits limits;
    if (limitMs > 0) {
        limits.overall = std::chrono::milliseconds(limitMs);
    }

    const std::optional<ProbeAnswer> answer = runProbe(lists, AddressGuard(true), filled(url, values), limits);
    QVERIFY(answer);
    QFETCH(QString, outcome);
    QFETCH(int, status);
    QFETCH(QStringList, hops);
    QFETCH(bool, dead);
    QFETCH(QList<int>, requests);
    QFETCH(qsizetype, bodyBytes);
    QCOMPARE(probeOutcomeName(answer->outcome), outcome);
    QCOMPARE(answer->status, status);
    QStringList seenHops;
    for (const ProbeHop& hop : answer->hops) {
        seenHops.append(hop.url);
    }
    for (QString& hop : hops) {
        hop = filled(hop, values);
    }
    QCOMPARE(seenHops, hops);
    QCOMPARE(answer->finalUrl, hops.last());
    QCOMPARE(answer->dead(), dead);
    if (outcome == u"listed") {
        QVERIFY(answer->listed);
        QCOMPARE(answer->listed->list, u"feed"_s);
        QCOMPARE(answer->listedHop, hops.last());
    }
    if (bodyBytes >= 0) {
        QCOMPARE(answer->bodyBytes, bodyBytes);
    }
    QCOMPARE(QList({int(a.requests().size()), int(b.requests().size())}), requests);
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
