#include "httpprobe.h"
#include "protocol.h"
#include "shortdprocess.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpSocket>
#include <QTest>
#include <memory>

using namespace Qt::StringLiterals;
using namespace Nolvex::Protocol;

// Links the service acknowledged must outlive the process, however it ends.
class ShortdDurabilityTest final : public QObject
{
    Q_OBJECT

private slots:
    void acknowledgedLinksSurviveKill9();
    void concurrentCreatesSurviveKill9();
    void visitsSurviveOrderlyStop();
};

void ShortdDurabilityTest::acknowledgedLinksSurviveKill9()
{
    ShortdProcess service({u"--rate-limit"_s, u"0"_s});
    QVERIFY2(service.start(), qPrintable(service.errorString()));

    struct Made {
        int type;
        QString address;
        QString code;
    };
    QList<Made> made;
    for (int i = 0; i < 300; ++i) {
        const int type = i % 6;
        const QString address = u"https://example.com/durable/%1?中文=%2&x=a+b"_s.arg(i).arg(i * 7);
        const HttpResult reply = rawExchange(service.port(), rawGet(shortenTarget(type, address), service.port()));
        QCOMPARE(reply.json().value(ResultMember.toString()).toInt(), 1);
        made.append({type, address, reply.linkCode()});
    }
    // No orderly shutdown: whatever was acknowledged must already be on disk.
    service.kill9();
    QVERIFY(!service.isRunning());
    QVERIFY2(service.restart(), qPrintable(service.errorString()));

    for (const Made& link : made) {
        const HttpResult followed = rawExchange(service.port(), rawGet('/' + link.code.toLatin1(), service.port()));
        QCOMPARE(followed.status, 302);
        QCOMPARE(QUrl::fromEncoded(followed.header("Location")), QUrl(link.address));
    }
    // The same address still gives the same link after the restart.
    const Made& sample = made.at(123);
    const HttpResult again
        = rawExchange(service.port(), rawGet(shortenTarget(sample.type, sample.address), service.port()));
    QCOMPARE(again.linkCode(), sample.code);
    QVERIFY2(service.stop(), qPrintable(service.errorString()));
}

namespace
{
struct Acknowledged {
    int type;
    QString address;
    QString code;
};

// One keep-alive connection that asks for a new link as soon as the last one is answered, and
// keeps every link answered with result 1.
class CreatingClient final : public QObject
{
public:
    CreatingClient(int id, quint16 port, QList<Acknowledged>* acknowledged)
        : m_id(id)
        , m_port(port)
        , m_acknowledged(acknowledged)
    {
        connect(&m_socket, &QTcpSocket::connected, this, &CreatingClient::sendNext);
        connect(&m_socket, &QTcpSocket::readyRead, this, &CreatingClient::readReplies);
        m_socket.connectToHost(QHostAddress::LocalHost, port);
    }

    void stop() { m_stopped = true; }
    // Replies the service finished writing before it died may still be unread.
    void drain()
    {
        m_socket.waitForReadyRead(100);
        readReplies();
    }

private:
    void sendNext()
    {
        if (m_stopped) {
            return;
        }
        m_type = (m_id + m_sent) % 6;
        m_address = u"https://example.com/concurrent/%1/%2?中文=%3&x=a+b"_s.arg(m_id).arg(m_sent).arg(m_sent * 3);
        ++m_sent;
        m_socket.write(rawGet(shortenTarget(m_type, m_address), m_port));
    }

    void readReplies()
    {
        m_received += m_socket.readAll();
        const qsizetype headerEnd = m_received.indexOf("\r\n\r\n");
        if (headerEnd < 0) {
            return;
        }
        HttpResult reply;
        reply.rawHeaders = m_received.first(headerEnd);
        const qsizetype length = reply.header("Content-Length").toLongLong();
        if (m_received.size() < headerEnd + 4 + length) {
            return;
        }
        reply.body = m_received.sliced(headerEnd + 4, length);
        m_received.remove(0, headerEnd + 4 + length);
        if (reply.json().value(ResultMember.toString()).toInt() == 1) {
            m_acknowledged->append({m_type, m_address, reply.linkCode()});
        }
        sendNext();
    }

    int m_id;
    quint16 m_port;
    QList<Acknowledged>* m_acknowledged;
    QTcpSocket m_socket;
    QByteArray m_received;
    int m_sent = 0;
    int m_type = 0;
    QString m_address;
    bool m_stopped = false;
};
} // namespace

void ShortdDurabilityTest::concurrentCreatesSurviveKill9()
{
    // All 50 connections come from one address: its share is raised to hold them.
    ShortdProcess service({u"--rate-limit"_s, u"0"_s, u"--max-connections-per-client"_s, u"64"_s});
    QVERIFY2(service.start(), qPrintable(service.errorString()));

    // 50 connections creating links at once; the service is killed while they are in flight.
    QList<Acknowledged> acknowledged;
    constexpr int Connections = 50;
    std::vector<std::unique_ptr<CreatingClient>> clients;
    clients.reserve(Connections);
    for (int id = 0; id < Connections; ++id) {
        clients.push_back(std::make_unique<CreatingClient>(id, service.port(), &acknowledged));
    }
    // Until about 2,000 links are in, or for at most 3 s.
    [[maybe_unused]] const bool many = QTest::qWaitFor([&acknowledged] { return acknowledged.size() >= 2000; }, 3000);
    QVERIFY2(acknowledged.size() >= 50, qPrintable(QString::number(acknowledged.size())));
    service.kill9();
    for (const auto& client : clients) {
        client->stop();
        client->drain();
    }
    clients.clear();
    qInfo("%lld links acknowledged before the kill", static_cast<long long>(acknowledged.size()));
    QVERIFY2(service.restart(), qPrintable(service.errorString()));

    QSet<QString> codes;
    for (const Acknowledged& link : std::as_const(acknowledged)) {
        QVERIFY2(!codes.contains(link.code), qPrintable(link.code));
        codes.insert(link.code);
        const HttpResult followed = rawExchange(service.port(), rawGet('/' + link.code.toLatin1(), service.port()));
        QVERIFY2(followed.status == 302, qPrintable(link.code + u' ' + link.address));
        QCOMPARE(QUrl::fromEncoded(followed.header("Location")), QUrl(link.address));
    }
    // Asked again, an acknowledged address keeps its link.
    const Acknowledged& last = acknowledged.constLast();
    const HttpResult again
        = rawExchange(service.port(), rawGet(shortenTarget(last.type, last.address), service.port()));
    QCOMPARE(again.linkCode(), last.code);
    QVERIFY2(service.stop(), qPrintable(service.errorString()));
}

void ShortdDurabilityTest::visitsSurviveOrderlyStop()
{
    ShortdProcess service;
    QVERIFY2(service.start(), qPrintable(service.errorString()));
    const QByteArray code = shortenedCode(service.port(), 1, u"http://example.com/counted"_s).toLatin1();
    QVERIFY(!code.isEmpty());
    for (int i = 0; i < 5; ++i) {
        QCOMPARE(rawExchange(service.port(), rawVisit('/' + code, service.port())).status, 302);
    }
    QVERIFY2(service.stop(), qPrintable(service.errorString()));
    QVERIFY2(service.restart(), qPrintable(service.errorString()));
    const HttpResult preview = rawExchange(service.port(), rawGet('/' + code + '+', service.port()));
    QCOMPARE(preview.status, 200);
    QVERIFY2(QString::fromUtf8(preview.body).contains(u"访问次数：5"_s), preview.body.constData());
}

QTEST_GUILESS_MAIN(ShortdDurabilityTest)
#include "tst_shortddurability.moc"
