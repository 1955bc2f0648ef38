#include "cannedserver.h"
#include "webclient.h"

#include <QScopeGuard>
#include <QSet>
#include <QSignalSpy>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QTest>

using namespace Nolvex;
using namespace std::chrono_literals;
using Status = WebResult::Status;
using Behaviour = CannedServer::Behaviour;

Q_DECLARE_METATYPE(Behaviour)

static_assert(WebClient::MaxReplySize == 65536, "replies are limited to 64 KiB");

namespace
{

// For requests that end before any limit: long enough that no working local peer reaches it.
constexpr std::chrono::milliseconds Ample = 10s;

struct Outcome {
    bool reported = false;
    WebResult result;
};

Outcome waitFor(WebReply* reply, int waitMs = 20000)
{
    QSignalSpy spy(reply, &WebReply::finished);
    Outcome outcome;
    outcome.reported = spy.wait(waitMs);
    if (outcome.reported) {
        outcome.result = spy.first().first().value<WebResult>();
    }
    return outcome;
}

QByteArray chunked(const QByteArray& body)
{
    return "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nTransfer-Encoding: chunked\r\n"
           "Connection: close\r\n\r\n"
        + QByteArray::number(body.size(), 16) + "\r\n" + body + "\r\n0\r\n\r\n";
}

// Trusts the test certificate until the guard goes, so that TLS itself can be exercised.
[[nodiscard]] auto trustTestCertificate()
{
    const QSslConfiguration saved = QSslConfiguration::defaultConfiguration();
    QSslConfiguration trusting = saved;
    trusting.addCaCertificates(QSslCertificate::fromPath(QStringLiteral(NOLVEX_TEST_DATA_DIR "/selfsigned.crt")));
    QSslConfiguration::setDefaultConfiguration(trusting);
    return qScopeGuard([saved] { QSslConfiguration::setDefaultConfiguration(saved); });
}

} // namespace

class TestWebClient final : public QObject
{
    Q_OBJECT

private slots:
    void get_data();
    void get();
    void refusedConnection();
    void redirects_data();
    void redirects();
    void hostileServers_data();
    void hostileServers();
    void redirectsStayHome_data();
    void redirectsStayHome();
    void selfSignedCertificateRefused();
    void trustedTlsWorksButNeverRedirectsToHttp();
    void requestHeadersAndBody();
    void statusAndHeaders_data();
    void statusAndHeaders();
    void unsupportedAddressesAreNotContacted_data();
    void unsupportedAddressesAreNotContacted();
    void abortReportsNothing();
};

void TestWebClient::get_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<Behaviour>("behaviour");
    QTest::addColumn<int>("limitMs");
    QTest::addColumn<Status>("status");
    QTest::addColumn<QString>("text");

    const QByteArray ok = R"({"result":1,"info":"https://s.example/abc","message":""})";
    const QByteArray html = "<html><body><h1>500 Internal Server Error</h1></body></html>";
    QTest::newRow("success") << CannedServer::response(200, ok) << Behaviour::Reply << 5000 << Status::Ok
                             << QString::fromUtf8(ok);
    QTest::newRow("refusal") << CannedServer::response(200, R"({"result":0,"info":"","message":"x"})")
                             << Behaviour::Reply << 5000 << Status::Ok
                             << QStringLiteral(R"({"result":0,"info":"","message":"x"})");
    QTest::newRow("500 with html is still a reply")
        << CannedServer::response(500, html, "text/html") << Behaviour::Reply << 5000 << Status::Ok
        << QString::fromUtf8(html);
    QTest::newRow("404 is still a reply") << CannedServer::response(404, "nope", "text/plain") << Behaviour::Reply
                                          << 5000 << Status::Ok << QStringLiteral("nope");
    QTest::newRow("empty body") << CannedServer::response(200, {}) << Behaviour::Reply << 5000 << Status::Ok
                                << QString();
    QTest::newRow("gbk charset decoded") << CannedServer::response(200, "\xD6\xD0\xCE\xC4", "text/plain; charset=GBK")
                                         << Behaviour::Reply << 5000 << Status::Ok
                                         << QString::fromUtf16(u"\u4E2D\u6587");
    QTest::newRow("invalid utf-8") << CannedServer::response(200, "{\"info\":\"\xC3\x28\"}") << Behaviour::Reply << 5000
                                   << Status::BadEncoding << QString();
    QTest::newRow("reset mid-body") << QByteArray("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n{\"result\":1")
                                    << Behaviour::ResetAfterReply << 5000 << Status::ConnectionFailed << QString();
    QTest::newRow("never answers") << QByteArray() << Behaviour::Silent << 300 << Status::TimedOut << QString();
    // Bytes keep coming, but the limit is on the whole request.
    QTest::newRow("drips a byte every 100 ms")
        << CannedServer::response(200, ok) << Behaviour::Drip << 500 << Status::TimedOut << QString();
    QTest::newRow("exactly 64 KiB") << CannedServer::response(200, QByteArray(WebClient::MaxReplySize, 'x'))
                                    << Behaviour::Reply << 5000 << Status::Ok
                                    << QString(WebClient::MaxReplySize, QLatin1Char('x'));
    QTest::newRow("over 64 KiB with length")
        << CannedServer::response(200, QByteArray(WebClient::MaxReplySize + 1, 'x')) << Behaviour::Reply << 5000
        << Status::TooLarge << QString();
    QTest::newRow("over 64 KiB chunked") << chunked(QByteArray(qsizetype {200} * 1024, 'x')) << Behaviour::Reply << 5000
                                         << Status::TooLarge << QString();
    QTest::newRow("10 MB") << CannedServer::response(200, QByteArray(qsizetype {10} * 1024 * 1024, 'x'))
                           << Behaviour::Reply << 5000 << Status::TooLarge << QString();
    QTest::newRow("garbage instead of http")
        << QByteArray("SSH-2.0-OpenSSH\r\n\r\n") << Behaviour::Reply << 5000 << Status::ConnectionFailed << QString();
}

void TestWebClient::get()
{
    QFETCH(QByteArray, reply);
    QFETCH(Behaviour, behaviour);
    QFETCH(int, limitMs);
    QFETCH(Status, status);
    QFETCH(QString, text);

    CannedServer server;
    QVERIFY(server.start());
    server.setReply(reply, behaviour);
    WebClient client;
    const Outcome outcome
        = waitFor(client.HttpGet(server.origin() + QStringLiteral("/x"), std::chrono::milliseconds(limitMs)));
    QVERIFY(outcome.reported);
    QCOMPARE(outcome.result.status, status);
    QCOMPARE(outcome.result.text, text);
}

void TestWebClient::refusedConnection()
{
    quint16 port = 0;
    {
        CannedServer closed;
        QVERIFY(closed.start());
        port = closed.serverPort();
    }
    WebClient client;
    const Outcome outcome = waitFor(client.HttpGet(QStringLiteral("http://127.0.0.1:%1/x").arg(port), Ample));
    QVERIFY(outcome.reported);
    QCOMPARE(outcome.result.status, Status::ConnectionFailed);
}

void TestWebClient::redirects_data()
{
    QTest::addColumn<int>("hops");
    QTest::addColumn<Status>("status");
    QTest::addColumn<int>("requests");
    QTest::newRow("three hops then a reply") << 3 << Status::Ok << 4;
    QTest::newRow("five hops then a reply") << 5 << Status::Ok << 6;
    QTest::newRow("loop gives up after five") << 1000 << Status::ConnectionFailed << 6;
}

void TestWebClient::redirects()
{
    QFETCH(int, hops);
    QFETCH(Status, status);
    QFETCH(int, requests);

    CannedServer server;
    QVERIFY(server.start());
    // Each hop's answer depends only on its path, so a request the network stack resends on a fresh
    // connection is answered the same way and counted once.
    server.setHandler([hops](const QByteArray& request) {
        const QByteArray path = CannedServer::target(request);
        const int hop = path == "/start" ? 0 : path.mid(4).toInt();
        if (hop < hops) {
            return CannedServer::response(
                302, {}, "text/plain", "Location: /hop" + QByteArray::number(hop + 1) + "\r\n");
        }
        return CannedServer::response(200, R"({"result":1})");
    });
    WebClient client;
    const Outcome outcome = waitFor(client.HttpGet(server.origin() + QStringLiteral("/start"), Ample));
    QVERIFY(outcome.reported);
    QCOMPARE(outcome.result.status, status);
    QSet<QByteArray> targets;
    for (const QByteArray& request : server.requests()) {
        targets.insert(CannedServer::target(request));
    }
    QCOMPARE(targets.size(), requests);
}

void TestWebClient::hostileServers_data()
{
    QTest::addColumn<QByteArray>("first"); // the answer to the first request, on a connection kept open
    QTest::addColumn<Behaviour>("behaviour");
    QTest::addColumn<Status>("status");
    QTest::addColumn<qint64>("limit"); // of the reply body

    const QByteArray ok = R"({"result":1,"info":"https://s.example/first"})";
    const auto kept
        = [](const QByteArray& b) { return CannedServer::response(200, b).replace("Connection: close\r\n", ""); };
    const auto row
        = [](const char* name, const QByteArray& first, Behaviour behaviour, Status status,
              qint64 limit = WebClient::MaxReplySize) { QTest::newRow(name) << first << behaviour << status << limit; };
    const auto interim = [](int s) -> QByteArray { return "HTTP/1.1 " + QByteArray::number(s) + " Early\r\n\r\n"; };
    const QByteArray endless = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
    using B = Behaviour;
    row("endless chunked reply", endless, B::Endless, Status::TooLarge);
    row("endless chunked reply, a stated limit", endless, B::Endless, Status::TooLarge, 1 << 20);
    row("a stated limit above the default", kept(QByteArray(100'000, 'x')), B::KeepOpen, Status::Ok, 100'000);
    row("a stated limit below the default", kept(QByteArray(2000, 'x')), B::KeepOpen, Status::TooLarge, 1999);
    // Qt reads past a 100 Continue itself; other interim replies it takes for the answer.
    row("100 before the answer", interim(100) + kept(ok), B::KeepOpen, Status::Ok);
    row("102 before the answer", interim(102) + kept(ok), B::KeepOpen, Status::ConnectionFailed);
    row("103, the answer after a pause", interim(103) + "<pause>" + kept(ok), B::TwoWrites, Status::ConnectionFailed);
    row("the answer sent again in a later write", kept(ok) + "<pause>" + kept(ok), B::TwoWrites, Status::Ok);
    row("the answer sent twice", kept(ok).repeated(2), B::KeepOpen, Status::Ok);
}

// Whatever the first answer did, the second request on the same client gets its own answer, never
// what the server sent after the first.
void TestWebClient::hostileServers()
{
    QFETCH(QByteArray, first);
    QFETCH(Behaviour, behaviour);
    QFETCH(Status, status);
    QFETCH(qint64, limit);
    CannedServer server;
    QVERIFY(server.start());
    const QByteArray second = CannedServer::response(200, R"({"result":1,"info":"https://s.example/second"})");
    server.setHandler(
        [=](const QByteArray& r) { return CannedServer::target(r) == "/first" ? first : second; }, behaviour);
    WebClient client;
    const Outcome outcome = waitFor(client.HttpGet(server.origin() + QStringLiteral("/first"), Ample, limit));
    QVERIFY(outcome.reported);
    QCOMPARE(outcome.result.status, status); // an Ok reads the whole body: a cut one is TooLarge
    const Outcome next = waitFor(client.HttpGet(server.origin() + QStringLiteral("/second"), Ample));
    QVERIFY(next.reported);
    QCOMPARE(next.result.status, Status::Ok);
    QCOMPARE(next.result.text, QString::fromUtf8(CannedServer::body(second)));
}

void TestWebClient::redirectsStayHome_data()
{
    QTest::addColumn<bool>("toTls");
    QTest::addColumn<QString>("toHost");
    QTest::addColumn<bool>("followed");
    // From https down to http: trustedTlsWorksButNeverRedirectsToHttp.
    QTest::newRow("http to another host") << false << QStringLiteral("localhost") << false;
    QTest::newRow("http to https on another host") << true << QStringLiteral("localhost") << false;
    QTest::newRow("http to https on the same host") << true << QStringLiteral("127.0.0.1") << true;
    QTest::newRow("http to another port of the same host") << false << QStringLiteral("127.0.0.1") << true;
}

void TestWebClient::redirectsStayHome()
{
    QFETCH(bool, toTls);
    QFETCH(QString, toHost);
    QFETCH(bool, followed);
    const auto trust = trustTestCertificate();
    CannedServer target(toTls);
    QVERIFY(target.start());
    target.setReply(CannedServer::response(200, "{}"));
    QUrl where(target.origin() + QStringLiteral("/there?url=secret"));
    where.setHost(toHost);
    CannedServer start;
    QVERIFY(start.start());
    start.setReply(CannedServer::response(302, {}, "text/plain", "Location: " + where.toEncoded() + "\r\n"));
    WebClient client;
    const Outcome outcome = waitFor(client.HttpGet(start.origin() + QStringLiteral("/go"), Ample));
    QVERIFY(outcome.reported);
    QCOMPARE(target.requests().size(), followed ? 1 : 0);
    QCOMPARE(outcome.result.status, followed ? Status::Ok : Status::ConnectionFailed);
    QCOMPARE(outcome.result.redirectTarget, followed ? QUrl() : where);
}

void TestWebClient::selfSignedCertificateRefused()
{
    CannedServer server(true);
    QVERIFY(server.start());
    server.setReply(CannedServer::response(200, R"({"result":1,"info":"https://evil.example/x"})"));
    WebClient client;
    const Outcome outcome = waitFor(client.HttpGet(server.origin() + QStringLiteral("/x"), Ample));
    QVERIFY(outcome.reported);
    QCOMPARE(outcome.result.status, Status::ConnectionFailed);
    QVERIFY(server.requests().isEmpty());
}

void TestWebClient::trustedTlsWorksButNeverRedirectsToHttp()
{
    const auto trust = trustTestCertificate();

    CannedServer plain;
    QVERIFY(plain.start());
    plain.setReply(CannedServer::response(200, R"({"result":1,"info":"http://downgraded.example/"})"));
    CannedServer secure(true);
    QVERIFY(secure.start());
    const QByteArray downgrade = "Location: " + plain.origin().toUtf8() + "/x\r\n";
    secure.setHandler([downgrade](const QByteArray& request) {
        return CannedServer::target(request) == "/ok" ? CannedServer::response(200, R"({"result":1})")
                                                      : CannedServer::response(302, {}, "text/plain", downgrade);
    });

    WebClient client;
    const Outcome ok = waitFor(client.HttpGet(secure.origin() + QStringLiteral("/ok"), Ample));
    QVERIFY(ok.reported);
    QCOMPARE(ok.result.status, Status::Ok);
    QCOMPARE(ok.result.text, QStringLiteral(R"({"result":1})"));

    const Outcome redirected = waitFor(client.HttpGet(secure.origin() + QStringLiteral("/go"), Ample));
    QVERIFY(redirected.reported);
    QCOMPARE(redirected.result.status, Status::ConnectionFailed);
    QVERIFY(plain.requests().isEmpty());
}

void TestWebClient::requestHeadersAndBody()
{
    CannedServer server;
    QVERIFY(server.start());
    server.setReply(CannedServer::response(200, "{}"));
    WebClient client;

    QVERIFY(waitFor(client.HttpGet(server.origin() + QStringLiteral("/get?type=0"), Ample)).reported);
    QCOMPARE(server.requests().size(), 1);
    const QByteArray get = server.requests().at(0);
    QVERIFY(get.startsWith("GET /get?type=0 HTTP/1.1\r\n"));
    QVERIFY(get.contains("\r\nIf-Modified-Since: 0\r\n"));

    QVERIFY(waitFor(
        client.HttpPost(server.origin() + QStringLiteral("/post"), QString::fromUtf16(u"key=value&n=\u4E2D"), Ample))
                .reported);
    QCOMPARE(server.requests().size(), 2);
    const QByteArray post = server.requests().at(1);
    QVERIFY(post.startsWith("POST /post HTTP/1.1\r\n"));
    QVERIFY(post.toLower().contains("\r\ncontent-type: application/x-www-form-urlencoded\r\n"));
    QCOMPARE(CannedServer::body(post), QByteArray("key=value&n=%D6%D0"));
}

void TestWebClient::statusAndHeaders_data()
{
    QTest::addColumn<QByteArray>("call"); // HttpGet, HttpHead or HttpGetHeaders
    QTest::addColumn<QByteArray>("method"); // on the wire
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<Behaviour>("behaviour");
    QTest::addColumn<Status>("status");
    QTest::addColumn<int>("httpStatus");
    QTest::addColumn<QByteArray>("header"); // "name: value" expected among the result's headers
    QTest::addColumn<QString>("text");

    QTest::newRow("GET 429 keeps Retry-After and the body")
        << QByteArray("HttpGet") << QByteArray("GET")
        << CannedServer::response(429, "{}", "application/json", "Retry-After: 7\r\n") << Behaviour::Reply << Status::Ok
        << 429 << QByteArray("retry-after: 7") << QStringLiteral("{}");
    QTest::newRow("HEAD does not follow a redirect")
        << QByteArray("HttpHead") << QByteArray("HEAD")
        << CannedServer::response(301, {}, "text/html", "Location: /next\r\n") << Behaviour::Reply << Status::Ok << 301
        << QByteArray("Location: /next") << QString();
    QTest::newRow("HEAD refused") << QByteArray("HttpHead") << QByteArray("HEAD")
                                  << CannedServer::response(405, {}, "text/plain") << Behaviour::Reply << Status::Ok
                                  << 405 << QByteArray() << QString();
    QTest::newRow("headers-only GET of 10 MB reads no body")
        << QByteArray("HttpGetHeaders") << QByteArray("GET")
        << CannedServer::response(200, QByteArray(qsizetype {10} * 1024 * 1024, 'x')) << Behaviour::Reply << Status::Ok
        << 200 << QByteArray("content-length: 10485760") << QString();
    QTest::newRow("headers-only GET, never answers")
        << QByteArray("HttpGetHeaders") << QByteArray("GET") << QByteArray() << Behaviour::Silent << Status::TimedOut
        << 0 << QByteArray() << QString();
}

void TestWebClient::statusAndHeaders()
{
    QFETCH(QByteArray, call);
    QFETCH(QByteArray, method);
    QFETCH(QByteArray, reply);
    QFETCH(Behaviour, behaviour);
    QFETCH(Status, status);
    QFETCH(int, httpStatus);
    QFETCH(QByteArray, header);
    QFETCH(QString, text);

    CannedServer server;
    QVERIFY(server.start());
    server.setReply(reply, behaviour);
    WebClient client;
    const QString address = server.origin() + QStringLiteral("/x");
    WebReply* request = call == "HttpGet" ? client.HttpGet(address, 1s)
        : call == "HttpHead"              ? client.HttpHead(address, 1s)
                                          : client.HttpGetHeaders(address, 1s);
    const Outcome outcome = waitFor(request);
    QVERIFY(outcome.reported);
    QCOMPARE(outcome.result.status, status);
    QCOMPARE(outcome.result.httpStatus, httpStatus);
    QCOMPARE(outcome.result.text, text);
    if (!header.isEmpty()) {
        const qsizetype colon = header.indexOf(':');
        QCOMPARE(outcome.result.header(header.left(colon)), header.mid(colon + 2));
    }
    QCOMPARE(server.requests().size(), 1); // a redirect was not followed
    QVERIFY(server.requests().constFirst().startsWith(QByteArray(method + ' ')));
}

void TestWebClient::unsupportedAddressesAreNotContacted_data()
{
    QTest::addColumn<QString>("address");
    QTest::newRow("plain http off this machine") << QStringLiteral("http://example.com/x");
    QTest::newRow("plain http to a private address") << QStringLiteral("http://192.168.1.1/x");
    QTest::newRow("ftp") << QStringLiteral("ftp://127.0.0.1/x");
    QTest::newRow("file") << QStringLiteral("file:///etc/passwd");
    QTest::newRow("no host") << QStringLiteral("https:///x");
    QTest::newRow("not an address") << QStringLiteral("::::");
}

void TestWebClient::unsupportedAddressesAreNotContacted()
{
    QFETCH(QString, address);
    WebClient client;
    const Outcome outcome = waitFor(client.HttpGet(address, Ample));
    QVERIFY(outcome.reported);
    QCOMPARE(outcome.result.status, Status::ConnectionFailed);
    QVERIFY2(outcome.result.errorString.startsWith(QStringLiteral("unsupported address")),
        qPrintable(outcome.result.errorString));
}

void TestWebClient::abortReportsNothing()
{
    CannedServer server;
    QVERIFY(server.start());
    server.setReply({}, Behaviour::Silent);
    WebClient client;
    WebReply* reply = client.HttpGet(server.origin() + QStringLiteral("/x"), 300ms);
    QSignalSpy finished(reply, &WebReply::finished);
    QSignalSpy destroyed(reply, &QObject::destroyed);
    QTRY_COMPARE(server.requests().size(), 1);
    reply->abort();
    QVERIFY(destroyed.wait());
    // A request started after it, with the same limit, timing out proves that the aborted one's
    // limit has passed too: it must not report late.
    QCOMPARE(waitFor(client.HttpGet(server.origin() + QStringLiteral("/x"), 300ms)).result.status, Status::TimedOut);
    QCOMPARE(finished.size(), 0);
}

QTEST_GUILESS_MAIN(TestWebClient)
#include "tst_webclient.moc"
