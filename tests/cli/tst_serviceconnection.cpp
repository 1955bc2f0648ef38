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
    QTest::addColumn<int>("gets"); // requests made, one after the other
    // Of each get: "status body", or the failure, with "+" when some of a reply had arrived.
    QTest::addColumn<QString>("results");
    QTest::addColumn<int>("connections");

    const QByteArray ok = reply("{}");
    QTest::newRow("three on one connection")
        << QList<QByteArray> {ok, reply("[]"), ok} << 3 << u"200 {}|200 []|200 {}"_s << 1;
    // FRESH: each request asks for a connection of its own (a late reply has none to arrive on).
    QTest::newRow("one request a connection")
        << QList<QByteArray> {"FRESH", ok, reply("[]"), ok} << 3 << u"200 {}|200 []|200 {}"_s << 3;
    QTest::newRow("closed while idle: sent again on a fresh one")
        << QList<QByteArray> {ok, "DROP", ok} << 2 << u"200 {}|200 {}"_s << 2;
    // Plain http off this machine is the web client's, with the attempt's whole time: nothing sent here.
    QTest::newRow("another machine over http: handed over")
        << QList<QByteArray> {"ELSEWHERE"} << 1 << u"handover with 5 s"_s << 0;
    QTest::newRow("lost on a fresh connection: a failure") << QList<QByteArray> {"DROP"} << 1 << u"connection"_s << 1;
    QTest::newRow("Connection: close is honoured")
        << QList<QByteArray> {reply("{}", "Connection: close\r\n"), ok} << 2 << u"200 {}|200 {}"_s << 2;
    QTest::newRow("error status is an answer")
        << QList<QByteArray> {reply("busy", {}, "503 Busy"), ok} << 2 << u"503 busy|200 {}"_s << 1;
    QTest::newRow("redirect on the same host followed")
        << QList<QByteArray> {reply({}, "Location: /b\r\n", "302 Found"), ok} << 1 << u"200 {}"_s << 2;
    QTest::newRow("redirect to another host not followed")
        << QList<QByteArray> {reply("moved", "Location: https://elsewhere.example/\r\n", "302 Found")} << 1
        << u"connection+ to https://elsewhere.example/"_s << 1;
    QTest::newRow("chunked, with an extension and a trailer") << QList<QByteArray> {
        "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n1;x=y\r\n{\r\n1\r\n}\r\n0\r\nX-T: "
        "1\r\n\r\n",
        ok} << 2 << u"200 {}|200 {}"_s << 1;
    QTest::newRow("chunks past 64 KiB")
        << QList<QByteArray> {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n8000\r\n" + QByteArray(0x8000, 'x')
               + "\r\n8000\r\n" + QByteArray(0x8000, 'x') + "\r\n1\r\nx\r\n0\r\n\r\n"}
        << 1 << u"too-large+"_s << 1;
    QTest::newRow("a body that ends at the close")
        << QList<QByteArray> {"CLOSE:HTTP/1.1 200 OK\r\n\r\n{}", ok} << 2 << u"200 {}|200 {}"_s << 2;
    QTest::newRow("another character set")
        << QList<QByteArray> {reply("{}", "Content-Type: text/plain; charset=ISO-8859-1\r\n")} << 1 << u"200 {}"_s << 1;
    QTest::newRow("interim replies skipped")
        << QList<QByteArray> {"HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 103 Early Hints\r\nLink: </a>\r\n\r\n" + ok, ok}
        << 2 << u"200 {}|200 {}"_s << 1;
    QTest::newRow("101 fails") << QList<QByteArray> {"HTTP/1.1 101 Switching Protocols\r\n\r\n" + ok} << 1
                               << u"connection+"_s << 1;
    QTest::newRow("head with LF alone") << QList<QByteArray> {"HTTP/1.1 200 OK\nContent-Length: 2\n\n{}", ok} << 2
                                        << u"200 {}|200 {}"_s << 1;
    QTest::newRow("head over 64 KiB in one write")
        << QList<QByteArray> {reply("{}", "X-Pad: " + QByteArray(70000, 'a') + "\r\n")} << 1 << u"too-large+"_s << 1;
    QTest::newRow("a second reply in a later write: a fresh connection next")
        << QList<QByteArray> {"TWICE:" + ok, reply("[]")} << 2 << u"200 {}|200 []"_s << 2;
    QTest::newRow("bytes beyond the reply: a fresh connection next")
        << QList<QByteArray> {ok + "junk", ok} << 2 << u"200 {}|200 {}"_s << 2;
    QTest::newRow("same length twice") << QList<QByteArray> {"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n" + ok.mid(17)}
                                       << 1 << u"200 {}"_s << 1;
    const auto refused = [](const char* name, const QByteArray& raw) {
        QTest::newRow(name) << QList<QByteArray> {raw} << 1 << u"connection+"_s << 1;
    };
    refused("two lengths", "HTTP/1.1 200 OK\r\nContent-Length: 3\r\nContent-Length: 2\r\n\r\n{}");
    refused("a space before the colon", "HTTP/1.1 200 OK\r\nContent-Length : 2\r\n\r\n{}");
    refused("a signed length", "HTTP/1.1 200 OK\r\nContent-Length: +2\r\n\r\n{}");
    refused("a length and chunks", "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nTransfer-Encoding: chunked\r\n\r\n{}");
    refused("four-digit status", "HTTP/1.1 2000 OK\r\nContent-Length: 2\r\n\r\n{}");
    refused("204 with a body", "HTTP/1.1 204 No Content\r\nContent-Length: 2\r\n\r\n{}");
    refused("not HTTP", "SSH-2.0-OpenSSH\r\n\r\n");
    QTest::newRow("over 64 KiB") << QList<QByteArray> {reply(QByteArray(70000, 'x'))} << 1 << u"too-large+"_s << 1;
    QTest::newRow("body not UTF-8") << QList<QByteArray> {reply("caf\xe9")} << 1 << u"bad-encoding+"_s << 1;
    QTest::newRow("body cut short") << QList<QByteArray> {"CLOSE:HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n{}"} << 1
                                    << u"connection+"_s << 1;
    QTest::newRow("HTTP/1.0: a fresh connection next")
        << QList<QByteArray> {"HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\n{}", ok} << 2 << u"200 {}|200 {}"_s << 2;
}

void TestServiceConnection::replies()
{
    QFETCH(QList<QByteArray>, script);
    QFETCH(int, gets);
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
    for (int i = 0; i < gets; ++i) {
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
