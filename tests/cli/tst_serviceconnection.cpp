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
// connection instead of answering, "CLOSE:" sends the rest and then closes.
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
            const bool close = reply.startsWith("CLOSE:");
            socket->write(close ? reply.mid(6) : reply);
            if (close) {
                socket->disconnectFromHost();
                return;
            }
        }
    }

    QList<QByteArray> m_script;
    QHash<QTcpSocket*, QByteArray> m_pending;
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
    QTest::addColumn<QString>("results"); // of each get: "status body", "handover" or the failure
    QTest::addColumn<int>("connections");

    const QByteArray ok = reply("{}");
    QTest::newRow("three on one connection")
        << QList<QByteArray> {ok, reply("[]"), ok} << 3 << u"200 {}|200 []|200 {}"_s << 1;
    QTest::newRow("closed while idle: sent again on a fresh one")
        << QList<QByteArray> {ok, "DROP", ok} << 2 << u"200 {}|200 {}"_s << 2;
    QTest::newRow("lost on a fresh connection: a failure") << QList<QByteArray> {"DROP"} << 1 << u"connection"_s << 1;
    QTest::newRow("Connection: close is honoured")
        << QList<QByteArray> {reply("{}", "Connection: close\r\n"), ok} << 2 << u"200 {}|200 {}"_s << 2;
    QTest::newRow("error status is an answer")
        << QList<QByteArray> {reply("busy", {}, "503 Busy"), ok} << 2 << u"503 busy|200 {}"_s << 1;
    QTest::newRow("redirect handed over")
        << QList<QByteArray> {reply({}, "Location: /b\r\n", "302 Found")} << 1 << u"handover"_s << 1;
    QTest::newRow("chunked handed over")
        << QList<QByteArray> {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\n{}\r\n0\r\n\r\n"} << 1
        << u"handover"_s << 1;
    QTest::newRow("no length handed over")
        << QList<QByteArray> {"CLOSE:HTTP/1.1 200 OK\r\n\r\n{}"} << 1 << u"handover"_s << 1;
    QTest::newRow("another character set handed over")
        << QList<QByteArray> {reply("{}", "Content-Type: text/plain; charset=GBK\r\n")} << 1 << u"handover"_s << 1;
    QTest::newRow("over 64 KiB") << QList<QByteArray> {reply(QByteArray(70000, 'x'))} << 1 << u"too-large"_s << 1;
    QTest::newRow("body not UTF-8") << QList<QByteArray> {reply("caf\xe9")} << 1 << u"bad-encoding"_s << 1;
    QTest::newRow("body cut short") << QList<QByteArray> {"CLOSE:HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n{}"} << 1
                                    << u"connection"_s << 1;
    QTest::newRow("not HTTP") << QList<QByteArray> {"CLOSE:SSH-2.0-OpenSSH\r\n\r\n"} << 1 << u"connection"_s << 1;
    QTest::newRow("HTTP/1.0: a fresh connection next")
        << QList<QByteArray> {"HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\n{}", ok} << 2 << u"200 {}|200 {}"_s << 2;
    QTest::newRow("bytes beyond the reply: a fresh connection next")
        << QList<QByteArray> {ok + "junk", ok} << 2 << u"200 {}|200 {}"_s << 2;
}

void TestServiceConnection::replies()
{
    QFETCH(QList<QByteArray>, script);
    QFETCH(int, gets);
    QFETCH(QString, results);
    QFETCH(int, connections);

    KeepAliveServer server(script);
    QVERIFY(server.listen(QHostAddress::LocalHost));
    const QString address = u"http://127.0.0.1:%1/a?b=c"_s.arg(server.serverPort());
    ServiceConnection connection;
    QStringList seen;
    for (int i = 0; i < gets; ++i) {
        bool done = false;
        connection.get(address, 5s, [&](ServiceConnection::Status status, const WebResult& result) {
            done = true;
            if (status == ServiceConnection::Status::Handover) {
                seen.append(u"handover"_s);
            } else if (result.status == WebResult::Status::Ok) {
                seen.append(QString::number(result.httpStatus) + u' ' + result.text);
            } else {
                static const QStringList names {
                    u"ok"_s, u"connection"_s, u"timeout"_s, u"too-large"_s, u"bad-encoding"_s};
                seen.append(names.at(static_cast<qsizetype>(result.status)));
            }
        });
        QTRY_VERIFY_WITH_TIMEOUT(done, 10000);
    }
    QCOMPARE(seen.join(u'|'), results);
    QCOMPARE(server.connections, connections);
}

QTEST_GUILESS_MAIN(TestServiceConnection)
#include "tst_serviceconnection.moc"
