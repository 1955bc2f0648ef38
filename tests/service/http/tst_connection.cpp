#include "http/connection.h"
#include "http/framing.h"

#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

using namespace Shortd;

namespace
{
const QByteArray GetA = "GET /a HTTP/1.1\r\nHost: x\r\n\r\n";
const QByteArray GetB = "GET /b HTTP/1.1\r\nHost: x\r\n\r\n";

// What a refusal says here: its path, so a row shows which request was refused.
HttpReply pathRefusal(int status, QByteArrayView path)
{
    return {status, "text/plain", path.toByteArray(), {}};
}

// A request as the connection read it, written out again the way a test row spells it.
QByteArray spelled(const ReadRequest& read)
{
    const HttpRequest& request = read.request;
    QByteArray text = read.method + ' ' + request.path.toLatin1();
    if (!request.query.isEmpty()) {
        text += '?' + request.query;
    }
    text += " HTTP/1.1\r\nHost: " + request.host + "\r\n";
    if (!request.body.isEmpty()) {
        text += "Content-Length: " + QByteArray::number(request.body.size()) + "\r\n";
    }
    return text + "\r\n" + request.body;
}

// A client connected to a connection that is started, and what the connection dispatches.
struct Harness {
    QTcpServer server;
    QTcpSocket client;
    QPointer<Connection> connection;
    QByteArray passed;

    bool open()
    {
        if (!server.listen(QHostAddress::LocalHost)) {
            return false;
        }
        client.connectToHost(QHostAddress::LocalHost, server.serverPort());
        if (!client.waitForConnected(5000) || !server.waitForNewConnection(5000)) {
            return false;
        }
        connection = new Connection(server.nextPendingConnection(), FrontEndLimits {}, {},
            std::make_shared<const RefusalReplies>(&pathRefusal));
        connection->setDispatch([this](ReadRequest&& read, Connection*) { passed += spelled(read); });
        connection->start();
        return true;
    }
    void answer(const QByteArray& bytes) const
    {
        if (connection) {
            connection->answer(bytes, false);
        }
    }
};
} // namespace

class ConnectionTest final : public QObject
{
    Q_OBJECT

private slots:
    void dispatch_data();
    void dispatch();
    void stop_data();
    void stop();
};

void ConnectionTest::dispatch_data()
{
    // The test stands in for the handler: it reads each request the connection dispatches and
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
        << GetA + "GET /b HTTP/1.1\r\n\r\n" + GetA << QList<QByteArray> {GetA}
        << "0" + refusalBytes(HttpReply {400, "text/plain", "/b", {}}) << true;
    QTest::newRow("refused in absolute form: the path told")
        << QByteArray("GET http://x/api/v1/links?limit=5 HTTP/1.1\r\nHost: x\r\nExpect: x\r\n\r\n")
        << QList<QByteArray> {} << refusalBytes(HttpReply {417, "text/plain", "/api/v1/links", {}}) << true;
}

void ConnectionTest::dispatch()
{
    QFETCH(QByteArray, sent);
    QFETCH(QList<QByteArray>, passed);
    QFETCH(QByteArray, received);
    QFETCH(bool, closed);

    Harness h;
    QVERIFY(h.open());
    h.client.write(sent);
    for (qsizetype i = 0; i < passed.size(); ++i) {
        // Nothing more is passed on until this request is answered.
        QTRY_COMPARE(h.passed, passed.at(i));
        h.passed.clear();
        h.answer(QByteArray::number(i));
    }
    QByteArray answers;
    QTRY_COMPARE((answers += h.client.readAll()), received);
    if (closed) {
        QTRY_COMPARE(h.client.state(), QAbstractSocket::UnconnectedState);
    } else {
        QCOMPARE(h.client.state(), QAbstractSocket::ConnectedState);
    }
}

void ConnectionTest::stop_data()
{
    // A stop comes once GET /a was passed on (and answered, or not yet). inKernel is sent just
    // before it, so the connection has not read it yet; after just after. Every request in passed is
    // taken and answered; then the connection closes by itself, between requests.
    QTest::addColumn<bool>("answeredBefore");
    QTest::addColumn<QByteArray>("inKernel");
    QTest::addColumn<QByteArray>("after");
    QTest::addColumn<QList<QByteArray>>("passed");
    QTest::newRow("idle") << true << QByteArray() << QByteArray() << QList<QByteArray> {};
    QTest::newRow("answer still due") << false << QByteArray() << QByteArray() << QList<QByteArray> {};
    QTest::newRow("a request in the kernel") << true << GetB << QByteArray() << QList<QByteArray> {GetB};
    QTest::newRow("the next request just after") << true << QByteArray() << GetB << QList<QByteArray> {GetB};
    QTest::newRow("half a request in the kernel")
        << true << GetB.first(20) << GetB.sliced(20) << QList<QByteArray> {GetB};
    QTest::newRow("two in the kernel behind a due answer")
        << false << GetB + GetA << QByteArray() << QList<QByteArray> {GetB, GetA};
}

void ConnectionTest::stop()
{
    QFETCH(bool, answeredBefore);
    QFETCH(QByteArray, inKernel);
    QFETCH(QByteArray, after);
    QFETCH(QList<QByteArray>, passed);

    Harness h;
    QVERIFY(h.open());
    h.client.write(GetA);
    QTRY_COMPARE(h.passed, GetA);
    h.passed.clear();
    QByteArray answers = answeredBefore ? QByteArray() : QByteArray("a");
    if (answeredBefore) {
        h.answer("a");
        QTRY_VERIFY(h.client.bytesAvailable() > 0);
        QCOMPARE(h.client.readAll(), QByteArray("a"));
    }
    if (!inKernel.isEmpty()) {
        // Written and delivered, but this thread's event loop does not turn until the stop.
        h.client.write(inKernel);
        QVERIFY(h.client.waitForBytesWritten(5000));
    }
    h.connection->closeBetweenRequests();
    if (!answeredBefore) {
        h.answer("a");
    }
    h.client.write(after);
    for (qsizetype i = 0; i < passed.size(); ++i) {
        QTRY_COMPARE(h.passed, passed.at(i));
        h.passed.clear();
        h.answer(QByteArray::number(i));
        answers += QByteArray::number(i);
    }
    QByteArray received;
    QTRY_COMPARE_WITH_TIMEOUT(
        (received += h.client.readAll(), h.client.state()), QAbstractSocket::UnconnectedState, 10'000);
    QCOMPARE(received + h.client.readAll(), answers);
    QCOMPARE(h.passed, QByteArray());
}

QTEST_GUILESS_MAIN(ConnectionTest)
#include "tst_connection.moc"
