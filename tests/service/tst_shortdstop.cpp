#include "httpprobe.h"
#include "pgcluster.h"
#include "shortdprocess.h"

#include <QHash>
#include <QJsonObject>
#include <QTcpSocket>
#include <QTest>
#include <algorithm>
#include <memory>
#include <utility>
#include <vector>

using namespace Qt::StringLiterals;

namespace
{
// No cache: every redirect waits for the database, so a stop always finds some in flight.
const QStringList Options {u"--database-retry"_s, u"0.1"_s, u"--rate-limit"_s, u"0"_s, u"--cache-size"_s, u"0"_s};

// Whether a reply has arrived whole: its head, and as much body as Content-Length says.
bool isWhole(const QByteArray& reply)
{
    const qsizetype headEnd = reply.indexOf("\r\n\r\n");
    if (headEnd < 0) {
        return false;
    }
    const HttpResult head {0, reply.first(headEnd), {}, false};
    return reply.size() >= headEnd + 4 + head.header("Content-Length").toLongLong();
}

// Keeps a number of requests going to a set of instances, as clients behind a simple balancer do:
// each of the parallel clients opens its connections to the instances in turn, and a refused
// connection is tried again on the next one. With keepAlive a client sends its next request on the
// same connection until an answer says Connection: close; otherwise it opens one a request. Every
// fourth request creates a link, the others follow one link, whose visits must all be counted.
class LoadClient final : public QObject
{
public:
    LoadClient(QList<quint16> ports, QByteArray followed, int parallel, bool keepAlive)
        : m_ports(std::move(ports))
        , m_followed(std::move(followed))
        , m_keepAlive(keepAlive)
        , m_lanes(static_cast<size_t>(parallel))
    {
        for (size_t lane = 0; lane < m_lanes.size(); ++lane) {
            next(lane);
        }
    }

    ~LoadClient() override
    {
        // Nothing may report to a client that is going away.
        for (size_t lane = 0; lane < m_lanes.size(); ++lane) {
            drop(lane);
        }
    }

    void finish() { m_finishing = true; }
    bool idle() const
    {
        return std::none_of(m_lanes.cbegin(), m_lanes.cend(), [](const Lane& lane) { return lane.waiting; });
    }
    int answered() const { return m_answered; }
    // Requests sent on a connection that had carried one before.
    int onKeptConnections() const { return m_kept; }
    int redirects() const { return m_redirects; }
    const QStringList& failures() const { return m_failures; }
    const QHash<QString, QString>& created() const { return m_created; } // code to address

private:
    // One of the parallel clients: its connection and the request it has out.
    struct Lane {
        QTcpSocket* socket = nullptr;
        quint16 port = 0;
        QByteArray target;
        QString address; // of a creation
        int tries = 0;
        QByteArray received;
        bool waiting = false; // a request is out and its answer not whole yet
    };

    void next(size_t index)
    {
        if (m_finishing) {
            drop(index);
            return;
        }
        Lane& lane = m_lanes[index];
        const int n = m_sent++;
        lane.address = n % 4 == 0 ? u"https://example.com/rolling/%1"_s.arg(n) : QString();
        lane.target = lane.address.isEmpty() ? m_followed : shortenTarget(0, lane.address);
        lane.tries = 0;
        send(index);
    }

    void send(size_t index)
    {
        Lane& lane = m_lanes[index];
        lane.received.clear();
        lane.waiting = true;
        if (lane.socket) {
            ++m_kept;
            lane.socket->write(rawVisit(lane.target, lane.port));
            return;
        }
        lane.port = m_ports.at(m_turn++ % m_ports.size());
        auto* socket = new QTcpSocket(this);
        lane.socket = socket;
        connect(socket, &QTcpSocket::connected, socket,
            [this, index, socket] { socket->write(rawVisit(m_lanes[index].target, m_lanes[index].port)); });
        connect(socket, &QTcpSocket::readyRead, socket, [this, index] { take(index); });
        connect(socket, &QTcpSocket::disconnected, socket, [this, index] { ended(index); });
        connect(socket, &QTcpSocket::errorOccurred, socket, [this, index] { ended(index); });
        socket->connectToHost(QHostAddress::LocalHost, lane.port);
    }

    // Reads what arrived; true when it completed the answer, which is then checked.
    bool take(size_t index)
    {
        Lane& lane = m_lanes[index];
        lane.received += lane.socket->readAll();
        if (!lane.waiting || !isWhole(lane.received)) {
            return false;
        }
        lane.waiting = false;
        const HttpResult head {0, lane.received.first(lane.received.indexOf("\r\n\r\n")), {}, false};
        if (!m_keepAlive || head.header("Connection").compare("close", Qt::CaseInsensitive) == 0) {
            drop(index);
        }
        check(lane);
        next(index);
        return true;
    }

    // The connection ended: refused, reset or closed by the instance.
    void ended(size_t index)
    {
        Lane& lane = m_lanes[index];
        if (!lane.socket || take(index)) {
            return;
        }
        const bool refused = lane.socket->error() == QAbstractSocket::ConnectionRefusedError;
        drop(index);
        if (!lane.waiting) {
            return; // closed between requests: nothing was lost
        }
        lane.waiting = false;
        if (refused && ++lane.tries < 50) {
            // The instance was not there to take it; another one will. Nothing else is retried: a
            // request sent on a connection that was taken must be answered.
            send(index);
            return;
        }
        check(lane);
        next(index);
    }

    void drop(size_t index)
    {
        if (QTcpSocket* socket = std::exchange(m_lanes[index].socket, nullptr)) {
            socket->disconnect();
            socket->abort();
            socket->deleteLater();
        }
    }

    void check(const Lane& lane)
    {
        const QByteArray& reply = lane.received;
        ++m_answered;
        const int status = reply.split(' ').value(1).toInt();
        if (lane.address.isEmpty()) {
            if (status == 302) {
                ++m_redirects;
                return;
            }
        } else if (status == 200) {
            const qsizetype body = reply.indexOf("\r\n\r\n");
            const HttpResult result {200, {}, reply.sliced(body + 4), false};
            if (result.json().value(u"result"_s).toInt() == 1) {
                m_created.insert(result.linkCode(), lane.address);
                return;
            }
        }
        m_failures.append(QString::fromLatin1(lane.target + " -> " + reply.left(200)));
    }

    QList<quint16> m_ports;
    QByteArray m_followed;
    bool m_keepAlive;
    std::vector<Lane> m_lanes;
    int m_turn = 0;
    int m_sent = 0;
    int m_answered = 0;
    int m_kept = 0;
    int m_redirects = 0;
    bool m_finishing = false;
    QStringList m_failures;
    QHash<QString, QString> m_created;
};

int visitsShown(quint16 port, const QByteArray& code)
{
    const QString page = QString::fromUtf8(rawExchange(port, rawGet('/' + code + '+', port)).body);
    const qsizetype at = page.indexOf(u"访问次数："_s);
    return at < 0 ? -1 : page.sliced(at + 5).section(u'<', 0, 0).trimmed().toInt();
}
} // namespace

// Stopping an instance under load, as a rolling restart does.
class ShortdStopTest final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void rollingRestartDropsNothing_data();
    void rollingRestartDropsNothing();

private:
    PgCluster m_cluster;
};

void ShortdStopTest::initTestCase()
{
    QVERIFY2(m_cluster.start(), qPrintable(m_cluster.errorString()));
}

void ShortdStopTest::rollingRestartDropsNothing_data()
{
    QTest::addColumn<bool>("keepAlive");
    QTest::addColumn<int>("restarts"); // of the instances in turn
    QTest::newRow("a connection a request") << false << 1;
    // A kept connection is closed between requests: its client has sent its next one at once and
    // gets it answered with Connection: close.
    QTest::newRow("kept-alive connections") << true << 4;
}

void ShortdStopTest::rollingRestartDropsNothing()
{
    QFETCH(bool, keepAlive);
    QFETCH(int, restarts);
    const QString url = m_cluster.createDatabase(keepAlive ? u"rolling_kept"_s : u"rolling"_s);
    QVERIFY(!url.isEmpty());
    ShortdProcess a(Options + QStringList {u"--database"_s, url});
    ShortdProcess b(Options + QStringList {u"--database"_s, url});
    QVERIFY2(a.start(), qPrintable(a.errorString()));
    QVERIFY2(b.start(), qPrintable(b.errorString()));
    const QByteArray hot = shortenedCode(a.port(), 0, u"https://example.com/hot"_s).toLatin1();
    QVERIFY(!hot.isEmpty());

    LoadClient load({a.port(), b.port()}, '/' + hot, 16, keepAlive);
    QTRY_VERIFY_WITH_TIMEOUT(load.answered() >= 300, 30'000);
    for (int i = 0; i < restarts; ++i) {
        ShortdProcess& restarted = i % 2 == 0 ? a : b;
        restarted.terminate();
        QTRY_VERIFY_WITH_TIMEOUT(!restarted.isRunning(), 20'000);
        QVERIFY2(restarted.waitForStop(), qPrintable(restarted.errorString()));
        const int whileDown = load.answered();
        QTRY_VERIFY_WITH_TIMEOUT(load.answered() >= whileDown + 200, 30'000);
        QVERIFY2(restarted.restart(), qPrintable(restarted.errorString()));
        const int afterRestart = load.answered();
        QTRY_VERIFY_WITH_TIMEOUT(load.answered() >= afterRestart + 300, 30'000);
    }
    load.finish();
    QTRY_VERIFY_WITH_TIMEOUT(load.idle(), 30'000);
    QVERIFY2(load.failures().isEmpty(), qPrintable(load.failures().mid(0, 5).join(u'\n')));
    if (keepAlive) {
        // Most requests went on a kept connection, or the row tests nothing of them.
        QVERIFY2(load.onKeptConnections() * 2 > load.answered(), qPrintable(QString::number(load.onKeptConnections())));
    }

    // Both stop in order; what they acknowledged and counted is in the database.
    QVERIFY2(a.stop(), qPrintable(a.errorString()));
    QVERIFY2(b.stop(), qPrintable(b.errorString()));
    QVERIFY2(b.restart(), qPrintable(b.errorString()));
    QCOMPARE(visitsShown(b.port(), hot), load.redirects());
    for (auto it = load.created().cbegin(); it != load.created().cend(); ++it) {
        const HttpResult followed = rawExchange(b.port(), rawGet('/' + it.key().toLatin1(), b.port()));
        QCOMPARE(followed.status, 302);
        QCOMPARE(followed.header("Location"), it.value().toLatin1());
    }
    qInfo("%d requests answered (%d on kept connections), %lld links made, %d visits counted; none lost",
        load.answered(), load.onKeptConnections(), static_cast<long long>(load.created().size()), load.redirects());
    QVERIFY2(b.stop(), qPrintable(b.errorString()));
}

QTEST_GUILESS_MAIN(ShortdStopTest)
#include "tst_shortdstop.moc"
