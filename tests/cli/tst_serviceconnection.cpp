#include "serviceconnection.h"

#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

using namespace Nolvex;
using namespace Nolvex::Cli;
using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace
{

// Answers each request with the next scripted reply on a connection it keeps open; "DROP" closes the
// connection instead of answering, "CLOSE:" sends the rest and then closes, "TWICE:" sends the rest,
// and once more, unasked, when told to.
class KeepAliveServer final : public QTcpServer
{
public:
    explicit KeepAliveServer(QList<QByteArray> script)
        : m_script(std::move(script))
    {
        connect(this, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* socket = nextPendingConnection()) {
                ++connections;
                connect(socket, &QTcpSocket::readyRead, this, [this, socket] { answer(socket); });
            }
        });
    }

    int connections = 0;
    int requests = 0;

    // The bytes of a "TWICE:" reply again, at once on the wire: in the client's socket before it
    // has read them.
    void writeUnasked()
    {
        if (m_unasked.first) {
            m_unasked.first->write(m_unasked.second);
            m_unasked.first->flush();
            m_unasked = {};
        }
    }

private:
    void answer(QTcpSocket* socket)
    {
        QByteArray& pending = m_pending[socket];
        pending += socket->readAll();
        for (qsizetype end; (end = pending.indexOf("\r\n\r\n")) >= 0;) {
            pending.remove(0, end + 4);
            ++requests;
            const QByteArray reply = m_script.isEmpty() ? QByteArray("DROP") : m_script.takeFirst();
            if (reply == "DROP") {
                socket->abort();
                return;
            }
            if (reply.startsWith("TWICE:")) {
                m_unasked = {socket, reply.mid(6)};
            }
            const bool close = reply.startsWith("CLOSE:");
            socket->write(close || reply.startsWith("TWICE:") ? reply.mid(6) : reply);
            if (close) {
                socket->disconnectFromHost();
                return;
            }
        }
    }

    QList<QByteArray> m_script;
    QHash<QTcpSocket*, QByteArray> m_pending;
    std::pair<QTcpSocket*, QByteArray> m_unasked;
};

QByteArray reply(const QByteArray& body, const QByteArray& headers = "Content-Type: application/json\r\n",
    const char* status = "200 OK")
{
    return "HTTP/1.1 " + QByteArray(status) + "\r\n" + headers + "Content-Length: " + QByteArray::number(body.size())
        + "\r\n\r\n" + body;
}

} // namespace

class TestServiceConnection final : public QObject
{
    Q_OBJECT

private slots:
    void replies_data();
    void replies();
};

void TestServiceConnection::replies_data()
{
    QTest::addColumn<QList<QByteArray>>("script"); // the server's answers, request after request
    // Of each request, made one after the other: "status body", or the failure, with "+" when some of
    // a reply had arrived.
    QTest::addColumn<QString>("results");
    QTest::addColumn<int>("connections");

    const auto row = [](const char* name, const QList<QByteArray>& script, const char* results, int connections = 1) {
        QTest::newRow(name) << script << QString::fromLatin1(results) << connections;
    };
    const QByteArray ok = reply("{}");
    const QByteArray head = "HTTP/1.1 200 OK\r\n";
    row("three on one connection", {ok, reply("[]"), ok}, "200 {}|200 []|200 {}");
    // FRESH: each request asks for a connection of its own (a late reply has none to arrive on).
    row("one request a connection", {"FRESH", ok, reply("[]"), ok}, "200 {}|200 []|200 {}", 3);
    row("closed while idle: sent again on a fresh one", {ok, "DROP", ok}, "200 {}|200 {}", 2);
    // Plain http off this machine is the web client's, with the attempt's whole time: nothing sent here.
    row("another machine over http: handed over", {"ELSEWHERE"}, "handover with 5 s", 0);
    row("lost on a fresh connection: a failure", {"DROP"}, "connection");
    row("Connection: close is honoured", {reply("{}", "Connection: close\r\n"), ok}, "200 {}|200 {}", 2);
    row("error status is an answer", {reply("busy", {}, "503 Busy"), ok}, "503 busy|200 {}");
    row("redirect on the same host followed", {reply({}, "Location: /b\r\n", "302 Found"), ok}, "200 {}", 2);
    row("redirect to another host not followed",
        {reply("moved", "Location: https://elsewhere.example/\r\n", "302 Found")},
        "connection+ to https://elsewhere.example/");
    row("chunked, with an extension and a trailer",
        {head + "Transfer-Encoding: chunked\r\n\r\n1;x=y\r\n{\r\n1\r\n}\r\n0\r\nX-T: 1\r\n\r\n", ok}, "200 {}|200 {}");
    row("chunks past 64 KiB",
        {head + "Transfer-Encoding: chunked\r\n\r\n8000\r\n" + QByteArray(0x8000, 'x') + "\r\n8000\r\n"
            + QByteArray(0x8000, 'x') + "\r\n1\r\nx\r\n0\r\n\r\n"},
        "too-large+");
    row("a body that ends at the close", {"CLOSE:" + head + "\r\n{}", ok}, "200 {}|200 {}", 2);
    row("another character set", {reply("{}", "Content-Type: text/plain; charset=ISO-8859-1\r\n")}, "200 {}");
    row("interim replies skipped",
        {"HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 103 Early Hints\r\nLink: </a>\r\n\r\n" + ok, ok}, "200 {}|200 {}");
    row("101 fails", {"HTTP/1.1 101 Switching Protocols\r\n\r\n" + ok}, "connection+");
    row("head with LF alone", {"HTTP/1.1 200 OK\nContent-Length: 2\n\n{}", ok}, "200 {}|200 {}");
    row("head over 64 KiB in one write", {reply("{}", "X-Pad: " + QByteArray(70000, 'a') + "\r\n")}, "too-large+");
    row("a second reply in a later write: a fresh connection next", {"TWICE:" + ok, reply("[]")}, "200 {}|200 []", 2);
    row("bytes beyond the reply: a fresh connection next", {ok + "junk", ok}, "200 {}|200 {}", 2);
    row("same length twice", {head + "Content-Length: 2\r\n" + ok.mid(17)}, "200 {}");
    row("two lengths", {head + "Content-Length: 3\r\nContent-Length: 2\r\n\r\n{}"}, "connection+");
    row("a space before the colon", {head + "Content-Length : 2\r\n\r\n{}"}, "connection+");
    row("a signed length", {head + "Content-Length: +2\r\n\r\n{}"}, "connection+");
    row("a length and chunks", {head + "Content-Length: 2\r\nTransfer-Encoding: chunked\r\n\r\n{}"}, "connection+");
    row("four-digit status", {"HTTP/1.1 2000 OK\r\nContent-Length: 2\r\n\r\n{}"}, "connection+");
    row("204 with a body", {"HTTP/1.1 204 No Content\r\nContent-Length: 2\r\n\r\n{}"}, "connection+");
    row("not HTTP", {"SSH-2.0-OpenSSH\r\n\r\n"}, "connection+");
    row("over 64 KiB", {reply(QByteArray(70000, 'x'))}, "too-large+");
    row("body not UTF-8", {reply("caf\xe9")}, "bad-encoding+");
    row("body cut short", {"CLOSE:" + head + "Content-Length: 10\r\n\r\n{}"}, "connection+");
    row("HTTP/1.0: a fresh connection next", {"HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\n{}", ok}, "200 {}|200 {}",
        2);
}

void TestServiceConnection::replies()
{
    QFETCH(QList<QByteArray>, script);
    QFETCH(QString, results);
    QFETCH(int, connections);

    const bool fresh = script.value(0) == "FRESH";
    if (fresh) {
        script.removeFirst();
    }
    KeepAliveServer server(script);
    QVERIFY(server.listen(QHostAddress::LocalHost));
    const QString address = script.value(0) == "ELSEWHERE" ? u"http://192.0.2.1/a"_s
                                                           : u"http://127.0.0.1:%1/a?b=c"_s.arg(server.serverPort());
    ServiceConnection connection;
    QStringList seen;
    for (qsizetype i = 0; i <= results.count(u'|'); ++i) {
        bool done = false;
        ServiceRequest request;
        request.address = address;
        request.followRedirects = true;
        request.keepAlive = !fresh;
        connection.send(request, 5s, [&](const ServiceReply& reply) {
            done = true;
            const WebResult& result = reply.result;
            if (reply.kind == ServiceReply::Kind::Handover) {
                seen.append(
                    u"handover with %1 s"_s.arg(std::chrono::round<std::chrono::seconds>(reply.remaining).count()));
            } else if (result.status == WebResult::Status::Ok) {
                seen.append(QString::number(result.httpStatus) + u' ' + result.text);
            } else {
                static const QStringList names {
                    u"ok"_s, u"connection"_s, u"timeout"_s, u"too-large"_s, u"bad-encoding"_s};
                seen.append(names.at(static_cast<qsizetype>(result.status)) + (reply.answered ? u"+"_s : QString())
                    + (result.redirectTarget.isEmpty() ? QString() : u" to "_s + result.redirectTarget.toString()));
            }
        });
        QTRY_VERIFY_WITH_TIMEOUT(done, 10000);
        server.writeUnasked();
    }
    QCOMPARE(seen.join(u'|'), results);
    QCOMPARE(server.connections, connections);
}

QTEST_GUILESS_MAIN(TestServiceConnection)
#include "tst_serviceconnection.moc"
