#include "http/accesslog.h"
#include "http/connectiongate.h"
#include "http/httpthreads.h"

#include <QFile>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <memory>
#include <vector>

using namespace Shortd;

class HttpThreadsTest final : public QObject
{
    Q_OBJECT

private slots:
    void serve_data();
    void serve();
};

void HttpThreadsTest::serve_data()
{
    // Several clients pipeline requests; each is answered with its path, by a handler that answers
    // on its own thread or from the making thread (queued there, as the routes answer), or from a
    // thread of no connection's. Every answer reaches its connection in order, the log has one
    // whole line a request, and nothing is left in flight.
    QTest::addColumn<int>("threads");
    QTest::addColumn<QString>("answeredOn");
    QTest::newRow("one thread") << 1 << QStringLiteral("own");
    QTest::newRow("three threads, answered on each") << 3 << QStringLiteral("own");
    QTest::newRow("three threads, answered from the making thread") << 3 << QStringLiteral("maker");
    QTest::newRow("three threads, answered from another") << 3 << QStringLiteral("other");
}

void HttpThreadsTest::serve()
{
    QFETCH(int, threads);
    QFETCH(QString, answeredOn);
    constexpr int Clients = 6;
    constexpr int Requests = 20;

    QTemporaryDir dir;
    AccessLog log;
    QVERIFY(log.open(dir.filePath(QStringLiteral("access.log"))));
    QThread other;
    other.start();
    QObject otherContext;
    otherContext.moveToThread(&other);
    QObject* answerer = answeredOn == u"maker" ? this : answeredOn == u"other" ? &otherContext : nullptr;
    {
        HttpThreads http(
            threads, FrontEndLimits {}, std::nullopt,
            [answerer](int) -> RequestHandler {
                return [answerer](const HttpRequest& request, qint64, const Respond& respond) {
                    HttpReply reply {200, "text/plain", request.path.toLatin1(), {}};
                    if (!answerer) {
                        respond(reply);
                        return;
                    }
                    QMetaObject::invokeMethod(
                        answerer, [respond, reply] { respond(reply); }, Qt::QueuedConnection);
                };
            },
            log);
        QVERIFY(http.gate()->listen(QHostAddress::LocalHost));

        std::vector<std::unique_ptr<QTcpSocket>> clients;
        QByteArray expected;
        for (int c = 0; c < Clients; ++c) {
            clients.push_back(std::make_unique<QTcpSocket>());
            clients.back()->connectToHost(QHostAddress::LocalHost, http.gate()->serverPort());
            QVERIFY(clients.back()->waitForConnected(5000));
        }
        for (int r = 0; r < Requests; ++r) {
            const QByteArray path = "/r" + QByteArray::number(r);
            expected += "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: "
                + QByteArray::number(path.size()) + "\r\n\r\n" + path;
            for (auto& client : clients) {
                client->write("GET " + path + " HTTP/1.1\r\nHost: x\r\n\r\n");
            }
        }
        for (auto& client : clients) {
            QByteArray received;
            QTRY_COMPARE((received += client->readAll()), expected);
        }
        QTRY_COMPARE(http.inFlight(), 0);
        QCOMPARE(http.liveConnections(), Clients);
    }
    other.quit();
    other.wait();

    QFile file(dir.filePath(QStringLiteral("access.log")));
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = file.readAll().split('\n');
    QCOMPARE(lines.size(), Clients * Requests + 1); // and the empty one after the last newline
    static const QRegularExpression line(
        QStringLiteral(R"(^127\.0\.0\.1 - - \[[^]]+\] "GET /r\d+ HTTP/1\.1" 200 \d+$)"));
    for (qsizetype i = 0; i + 1 < lines.size(); ++i) {
        QVERIFY2(line.match(QString::fromLatin1(lines.at(i))).hasMatch(), lines.at(i).constData());
    }
}

QTEST_GUILESS_MAIN(HttpThreadsTest)
#include "tst_httpthreads.moc"
