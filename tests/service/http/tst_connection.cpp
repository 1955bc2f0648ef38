#include "http/connection.h"

#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

using namespace Shortd;

namespace
{
const QByteArray GetA = "GET /a HTTP/1.1\r\nHost: x\r\n\r\n";
const QByteArray GetB = "GET /b HTTP/1.1\r\nHost: x\r\n\r\n";
} // namespace

class ConnectionTest final : public QObject
{
    Q_OBJECT

private slots:
    void relay_data();
    void relay();
};

void ConnectionTest::relay_data()
{
    // The test stands in for the HTTP server: it reads each request the relay passes on and
    // answers it with the request's number.
    QTest::addColumn<QByteArray>("sent");
    QTest::addColumn<QList<QByteArray>>("passed");
    QTest::addColumn<QByteArray>("received");
    QTest::addColumn<bool>("closed");
    QTest::newRow("pipelined: one at a time, in order")
        << GetA + GetB + GetA << QList<QByteArray> {GetA, GetB, GetA} << QByteArray("012") << false;
    QTest::newRow("chunked: passed with a plain length")
        << QByteArray("POST /v HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nsn\r\n0\r\n\r\n")
        << QList<QByteArray> {"POST /v HTTP/1.1\r\nHost: x\r\nContent-Length: 2\r\n\r\nsn"} << QByteArray("0") << false;
    QTest::newRow("refused after a good one: answered in turn, then closed")
        << GetA + "GET /b HTTP/1.1\r\n\r\n" + GetA << QList<QByteArray> {GetA} << "0" + refusalReply(400) << true;
}

void ConnectionTest::relay()
{
    QFETCH(QByteArray, sent);
    QFETCH(QList<QByteArray>, passed);
    QFETCH(QByteArray, received);
    QFETCH(bool, closed);

    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost));
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, server.serverPort());
    QVERIFY(client.waitForConnected(5000));
    QVERIFY(server.waitForNewConnection(5000));
    auto* connection = new Connection(server.nextPendingConnection(), FrontEndLimits {});
    const QPointer<QTcpSocket> relay = connection->relay();
    QByteArray request;
    connect(relay, &QIODevice::readyRead, relay, [&request, relay] { request += relay->readAll(); });
    connection->start();

    client.write(sent);
    for (qsizetype i = 0; i < passed.size(); ++i) {
        // Nothing more is passed on until this request is answered.
        QTRY_COMPARE(request, passed.at(i));
        request.clear();
        relay->write(QByteArray::number(i));
    }
    QByteArray answers;
    QTRY_COMPARE((answers += client.readAll()), received);
    if (closed) {
        QTRY_COMPARE(client.state(), QAbstractSocket::UnconnectedState);
    } else {
        QCOMPARE(client.state(), QAbstractSocket::ConnectedState);
    }
}

QTEST_GUILESS_MAIN(ConnectionTest)
#include "tst_connection.moc"
