#include "httpprobe.h"
#include "pgcluster.h"
#include "shortdprocess.h"

#include <QHash>
#include <QJsonObject>
#include <QTcpSocket>
#include <QTest>
#include <memory>

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

// Keeps a number of requests going to a set of instances, each on a connection of its own, as a
// client behind a simple balancer does: the instances in turn, and a refused connection tried again
// on the next one. Every fourth request creates a link, the others
// follow one link, whose visits must all be counted.
class LoadClient final : public QObject
{
public:
    LoadClient(QList<quint16> ports, QByteArray followed, int parallel)
        : m_ports(std::move(ports))
        , m_followed(std::move(followed))
    {
        for (int i = 0; i < parallel; ++i) {
            next();
        }
    }

    ~LoadClient() override
    {
        // Nothing may report to a client that is going away.
        for (QTcpSocket* socket : findChildren<QTcpSocket*>()) {
            socket->disconnect();
            delete socket;
        }
    }

    void finish() { m_finishing = true; }
    bool idle() const { return m_active == 0; }
    int answered() const { return m_answered; }
    int redirects() const { return m_redirects; }
    const QStringList& failures() const { return m_failures; }
    const QHash<QString, QString>& created() const { return m_created; } // code to address

private:
    struct Attempt {
        QByteArray target;
        QString address; // of a creation
        int tries = 0;
    };

    void next()
    {
        if (m_finishing) {
            return;
        }
        const int n = m_sent++;
        Attempt attempt;
        if (n % 4 == 0) {
            attempt.address = u"https://example.com/rolling/%1"_s.arg(n);
            attempt.target = shortenTarget(0, attempt.address);
        } else {
            attempt.target = m_followed;
        }
        send(attempt);
    }

    void send(Attempt attempt)
    {
        ++m_active;
        const quint16 port = m_ports.at(m_turn++ % m_ports.size());
        auto* socket = new QTcpSocket(this);
        auto received = std::make_shared<QByteArray>();
        connect(socket, &QTcpSocket::connected, socket,
            [socket, attempt, port] { socket->write(rawVisit(attempt.target, port)); });
        auto settle = [this, socket, received, attempt]() mutable {
            if (socket->property("settled").toBool()) {
                return;
            }
            socket->setProperty("settled", true);
            const bool refused = socket->error() == QAbstractSocket::ConnectionRefusedError;
            socket->disconnect();
            socket->abort();
            socket->deleteLater();
            --m_active;
            if (refused && ++attempt.tries < 50) {
                // The instance was not there to take it; another one will. Nothing else is retried:
                // a connection that was taken must be answered.
                send(attempt);
                return;
            }
            check(attempt, *received);
            next();
        };
        connect(socket, &QTcpSocket::readyRead, socket, [socket, received, settle]() mutable {
            *received += socket->readAll();
            if (isWhole(*received)) {
                settle();
            }
        });
        connect(socket, &QTcpSocket::disconnected, socket, settle);
        connect(socket, &QTcpSocket::errorOccurred, socket, settle);
        socket->connectToHost(QHostAddress::LocalHost, port);
    }

    void check(const Attempt& attempt, const QByteArray& reply)
    {
        ++m_answered;
        const int status = reply.split(' ').value(1).toInt();
        if (attempt.address.isEmpty()) {
            if (status == 302) {
                ++m_redirects;
                return;
            }
        } else if (status == 200) {
            const qsizetype body = reply.indexOf("\r\n\r\n");
            const HttpResult result {200, {}, reply.sliced(body + 4), false};
            if (result.json().value(u"result"_s).toInt() == 1) {
                m_created.insert(result.linkCode(), attempt.address);
                return;
            }
        }
        m_failures.append(QString::fromLatin1(attempt.target + " -> " + reply.left(200)));
    }

    QList<quint16> m_ports;
    QByteArray m_followed;
    int m_turn = 0;
    int m_sent = 0;
    int m_active = 0;
    int m_answered = 0;
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
    void rollingRestartDropsNothing();

private:
    PgCluster m_cluster;
};

void ShortdStopTest::initTestCase()
{
    QVERIFY2(m_cluster.start(), qPrintable(m_cluster.errorString()));
}

void ShortdStopTest::rollingRestartDropsNothing()
{
    const QString url = m_cluster.createDatabase(u"rolling"_s);
    QVERIFY(!url.isEmpty());
    ShortdProcess a(Options + QStringList {u"--database"_s, url});
    ShortdProcess b(Options + QStringList {u"--database"_s, url});
    QVERIFY2(a.start(), qPrintable(a.errorString()));
    QVERIFY2(b.start(), qPrintable(b.errorString()));
    const QByteArray hot = shortenedCode(a.port(), 0, u"https://example.com/hot"_s).toLatin1();
    QVERIFY(!hot.isEmpty());

    LoadClient load({a.port(), b.port()}, '/' + hot, 16);
    QTRY_VERIFY_WITH_TIMEOUT(load.answered() >= 300, 30'000);
    a.terminate();
    QTRY_VERIFY_WITH_TIMEOUT(!a.isRunning(), 20'000);
    QVERIFY2(a.waitForStop(), qPrintable(a.errorString()));
    const int whileDown = load.answered();
    QTRY_VERIFY_WITH_TIMEOUT(load.answered() >= whileDown + 200, 30'000);
    QVERIFY2(a.restart(), qPrintable(a.errorString()));
    const int afterRestart = load.answered();
    QTRY_VERIFY_WITH_TIMEOUT(load.answered() >= afterRestart + 300, 30'000);
    load.finish();
    QTRY_VERIFY_WITH_TIMEOUT(load.idle(), 30'000);
    QVERIFY2(load.failures().isEmpty(), qPrintable(load.failures().mid(0, 5).join(u'\n')));

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
    qInfo("%d requests answered, %lld links made, %d visits counted; none lost", load.answered(),
        static_cast<long long>(load.created().size()), load.redirects());
    QVERIFY2(b.stop(), qPrintable(b.errorString()));
}

QTEST_GUILESS_MAIN(ShortdStopTest)
#include "tst_shortdstop.moc"
