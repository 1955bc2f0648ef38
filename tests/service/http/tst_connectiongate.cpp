#include "http/connectiongate.h"

#include <QTcpSocket>
#include <QTest>
#include <algorithm>
#include <memory>
#include <vector>

using namespace Qt::StringLiterals;
using namespace Shortd;

class ConnectionGateTest final : public QObject
{
    Q_OBJECT

private slots:
    void admission_data();
    void admission();
};

void ConnectionGateTest::admission_data()
{
    // Steps: "a+" a new connection from client a is admitted, "a!" one is refused, "a-" the oldest
    // open connection of a closes. Clients a to d connect from 127.0.0.1 to 127.0.0.4; the gate
    // admits three connections in all and two from one client.
    QTest::addColumn<QString>("steps");
    QTest::newRow("two from one client") << u"a+ a+ a! b+"_s;
    QTest::newRow("three in all") << u"a+ b+ c+ d! a!"_s;
    QTest::newRow("a closed connection gives its place back") << u"a+ a+ a! a- a+ b+ c! b- c+"_s;
}

void ConnectionGateTest::admission()
{
    QFETCH(QString, steps);
    FrontEndLimits limits;
    limits.maxConnections = 3;
    limits.maxConnectionsPerClient = 2;
    ConnectionGate gate(limits, std::nullopt);
    QVERIFY(gate.listen(QHostAddress::LocalHost));
    // Taken at once, as the HTTP server takes them; each stays its connection's.
    connect(&gate, &QTcpServer::pendingConnectionAvailable, &gate, [&gate] {
        while (gate.hasPendingConnections()) {
            gate.nextPendingConnection();
        }
    });

    std::vector<std::unique_ptr<QTcpSocket>> open;
    int admitted = 0;
    for (const QString& step : steps.split(u' ')) {
        const QHostAddress from(u"127.0.0.%1"_s.arg(step.at(0).unicode() - u'a' + 1));
        if (step.at(1) == u'-') {
            const auto oldest = std::find_if(
                open.begin(), open.end(), [&from](const auto& socket) { return socket->localAddress() == from; });
            QVERIFY2(oldest != open.end(), qPrintable(step));
            open.erase(oldest);
            --admitted;
            QTRY_COMPARE(gate.liveConnections(), admitted);
            continue;
        }
        auto socket = std::make_unique<QTcpSocket>();
        QVERIFY(socket->bind(from));
        socket->connectToHost(QHostAddress::LocalHost, gate.serverPort());
        QVERIFY2(socket->waitForConnected(5000), qPrintable(step));
        if (step.at(1) == u'+') {
            ++admitted;
            QTRY_COMPARE(gate.liveConnections(), admitted);
            open.push_back(std::move(socket));
        } else {
            // Answered and closed by the gate itself, before any HTTP is read.
            QTRY_COMPARE(socket->state(), QAbstractSocket::UnconnectedState);
            const QByteArray answer = socket->readAll();
            QVERIFY2(
                answer.startsWith("HTTP/1.1 503 ") && answer.contains("\r\nRetry-After: 5\r\n"), answer.constData());
            QCOMPARE(gate.liveConnections(), admitted);
        }
    }
}

QTEST_GUILESS_MAIN(ConnectionGateTest)
#include "tst_connectiongate.moc"
