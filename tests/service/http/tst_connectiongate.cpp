#include "http/connectiongate.h"

#include <QTcpSocket>
#include <QTest>
#include <QThread>
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
    // open connection of a closes, "a." the newest of a begins a request, "a~" one is admitted in the
    // place of the connection idle the longest (of a, when a has used its share), which the gate
    // closes without a word. Clients a to d connect from 127.0.0.1 to 127.0.0.4; the gate admits
    // three connections in all and two from one client, served on this thread or on threads
    // lanes in turn.
    QTest::addColumn<bool>("replaceIdle");
    QTest::addColumn<QString>("steps");
    QTest::addColumn<int>("threads");
    QTest::newRow("two from one client") << false << u"a+ a+ a! b+"_s << 0;
    QTest::newRow("three in all") << false << u"a+ b+ c+ d! a!"_s << 0;
    QTest::newRow("a closed connection gives its place back") << false << u"a+ a+ a! a- a+ b+ c! b- c+"_s << 0;
    QTest::newRow("idle ones replaced") << true << u"a+ b+ c+ d~ a~ b~ d~"_s << 0;
    QTest::newRow("a request under way keeps its place") << true << u"a+ a. b+ c+ d~ c. d. b!"_s << 0;
    QTest::newRow("one client's share: its own idlest goes") << true << u"a+ b+ b+ b~ c~"_s << 0;
    QTest::newRow("three threads: one client's share and the total held across them")
        << false << u"a+ a+ a! a! b+ c! a- a+ a! b- b+ b! a- a- b+ c+ d! b- d+"_s << 3;
}

void ConnectionGateTest::admission()
{
    QFETCH(bool, replaceIdle);
    QFETCH(QString, steps);
    QFETCH(int, threads);
    FrontEndLimits limits;
    limits.maxConnections = 3;
    limits.maxConnectionsPerClient = 2;
    limits.replaceIdleWhenFull = replaceIdle;
    ConnectionGate gate(limits, std::nullopt);
    // Each lane on a thread of its own, and ended there before the gate goes.
    struct Lanes {
        QList<ConnectionLane*> lanes;
        std::vector<std::unique_ptr<QThread>> threads;
        ~Lanes()
        {
            for (size_t i = 0; i < threads.size(); ++i) {
                ConnectionLane* lane = lanes.at(qsizetype(i));
                QMetaObject::invokeMethod(
                    lane, [lane] { delete lane; }, Qt::BlockingQueuedConnection);
                threads[i]->quit();
                threads[i]->wait();
            }
        }
    } lanes;
    for (int i = 0; i < threads; ++i) {
        lanes.threads.push_back(std::make_unique<QThread>());
        lanes.lanes.append(new ConnectionLane(limits, std::nullopt, gate.counts()));
        lanes.lanes.back()->moveToThread(lanes.threads.back().get());
        lanes.threads.back()->start();
    }
    gate.setLanes(lanes.lanes);
    QVERIFY(gate.listen(QHostAddress::LocalHost));
    // Taken at once, as the HTTP server takes them; each stays its connection's.
    connect(&gate, &QTcpServer::pendingConnectionAvailable, &gate, [&gate] {
        while (gate.hasPendingConnections()) {
            gate.nextPendingConnection();
        }
    });

    struct Open {
        std::unique_ptr<QTcpSocket> socket;
        bool busy = false;
    };
    std::vector<Open> open; // in the order admitted
    const auto from = [](const QHostAddress& address) {
        return [address](const Open& o) { return o.socket->localAddress() == address; };
    };
    for (const QString& step : steps.split(u' ')) {
        const QHostAddress client(u"127.0.0.%1"_s.arg(step.at(0).unicode() - u'a' + 1));
        const QChar what = step.at(1);
        if (what == u'-' || what == u'.') {
            const auto found = what == u'-' ? std::find_if(open.begin(), open.end(), from(client))
                                            : std::find_if(open.rbegin(), open.rend(), from(client)).base() - 1;
            QVERIFY2(found >= open.begin() && found != open.end(), qPrintable(step));
            if (what == u'.') {
                found->socket->write("GET / HTTP/1.1\r\nHo");
                QVERIFY(found->socket->waitForBytesWritten(5000));
                found->busy = true;
                continue;
            }
            open.erase(found);
            QTRY_COMPARE(gate.liveConnections(), int(open.size()));
            continue;
        }
        auto socket = std::make_unique<QTcpSocket>();
        QVERIFY(socket->bind(client));
        socket->connectToHost(QHostAddress::LocalHost, gate.serverPort());
        QVERIFY2(socket->waitForConnected(5000), qPrintable(step));
        if (what == u'!') {
            // Answered and closed by the gate itself, before any HTTP is read.
            QTRY_COMPARE(socket->state(), QAbstractSocket::UnconnectedState);
            const QByteArray answer = socket->readAll();
            QVERIFY2(
                answer.startsWith("HTTP/1.1 503 ") && answer.contains("\r\nRetry-After: 5\r\n"), answer.constData());
            QCOMPARE(gate.liveConnections(), int(open.size()));
            continue;
        }
        if (what == u'~') {
            const bool shareUsed = std::count_if(open.begin(), open.end(), from(client)) >= 2;
            const auto idlest = std::find_if(
                open.begin(), open.end(), [&](const Open& o) { return !o.busy && (!shareUsed || from(client)(o)); });
            QVERIFY2(idlest != open.end(), qPrintable(step));
            QTRY_COMPARE(idlest->socket->state(), QAbstractSocket::UnconnectedState);
            QCOMPARE(idlest->socket->readAll(), QByteArray());
            open.erase(idlest);
        }
        open.push_back({std::move(socket), false});
        QTRY_COMPARE(gate.liveConnections(), int(open.size()));
    }
}

QTEST_GUILESS_MAIN(ConnectionGateTest)
#include "tst_connectiongate.moc"
