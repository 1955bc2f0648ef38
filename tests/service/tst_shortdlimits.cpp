#include "httpprobe.h"
#include "pgcluster.h"
#include "shortdprocess.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTcpSocket>
#include <QTest>
#include <memory>

using namespace Qt::StringLiterals;

namespace
{
// One request on a connection of its own, sent at once; the status is kept when it comes.
class PendingRequest final : public QObject
{
public:
    PendingRequest(quint16 port, const QByteArray& request)
    {
        connect(&m_socket, &QTcpSocket::connected, this, [this, request] { m_socket.write(request); });
        connect(&m_socket, &QTcpSocket::readyRead, this, [this] {
            m_received += m_socket.readAll();
            if (m_received.contains("\r\n")) {
                m_status = m_received.split(' ').value(1).toInt();
                m_socket.abort();
                m_finished = true;
            }
        });
        connect(&m_socket, &QTcpSocket::errorOccurred, this, [this] { m_finished = true; });
        m_socket.connectToHost(QHostAddress::LocalHost, port);
    }

    bool finished() const { return m_finished; }
    int status() const { return m_status; }

private:
    QTcpSocket m_socket;
    QByteArray m_received;
    int m_status = 0;
    bool m_finished = false;
};

QByteArray rawRequest(const QByteArray& method, const QByteArray& target, quint16 port)
{
    return method + ' ' + target + " HTTP/1.1\r\nHost: 127.0.0.1:" + QByteArray::number(port) + "\r\n\r\n";
}

int statusOf(const ShortdProcess& instance, const QByteArray& target, const QByteArray& method = "GET")
{
    return rawExchange(instance.port(), rawRequest(method, target, instance.port())).status;
}
} // namespace

// Links with an end or a visit limit, served by two instances on one PostgreSQL cluster.
class ShortdLimitsTest final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void lastVisitServedOnce();
    void endSeenByEveryInstance();
    void cleanupTestCase();

private:
    // Two instances on a fresh database, and the code of a new link to addressPath.
    bool startPair(const QStringList& arguments, const QString& addressPath);
    // Runs sql on the current database; the first value of its first row, if any.
    QVariant sql(const QString& statement);

    PgCluster m_cluster;
    int m_databases = 0;
    QString m_connection;
    std::unique_ptr<ShortdProcess> m_a;
    std::unique_ptr<ShortdProcess> m_b;
    QByteArray m_code;
};

void ShortdLimitsTest::initTestCase()
{
    QVERIFY2(m_cluster.start(), qPrintable(m_cluster.errorString()));
}

void ShortdLimitsTest::cleanupTestCase()
{
    QSqlDatabase::removeDatabase(m_connection);
}

bool ShortdLimitsTest::startPair(const QStringList& arguments, const QString& addressPath)
{
    const QString name = u"limits%1"_s.arg(++m_databases);
    const QString url = m_cluster.createDatabase(name);
    if (url.isEmpty()) {
        return false;
    }
    // Every request of the race comes from one address, on a connection of its own.
    const QStringList common
        = QStringList {u"--database"_s, url, u"--rate-limit"_s, u"0"_s, u"--max-connections-per-client"_s, u"512"_s}
        + arguments;
    m_a = std::make_unique<ShortdProcess>(common);
    m_b = std::make_unique<ShortdProcess>(common);
    if (!m_a->start() || !m_b->start()) {
        qWarning("%s%s", qPrintable(m_a->errorString()), qPrintable(m_b->errorString()));
        return false;
    }
    m_code = rawExchange(m_a->port(), rawGet(shortenTarget(0, u"https://example.com/"_s + addressPath), m_a->port()))
                 .json()
                 .value(u"info"_s)
                 .toString()
                 .section(u'/', -1)
                 .toLatin1();

    QSqlDatabase::removeDatabase(m_connection);
    m_connection = name;
    QSqlDatabase db = QSqlDatabase::addDatabase(u"QPSQL"_s, m_connection);
    db.setHostName(u"127.0.0.1"_s);
    db.setPort(m_cluster.port());
    db.setUserName(u"postgres"_s);
    db.setDatabaseName(name);
    if (!db.open()) {
        qWarning("%s", qPrintable(db.lastError().text()));
        return false;
    }
    return !m_code.isEmpty();
}

QVariant ShortdLimitsTest::sql(const QString& statement)
{
    QSqlQuery query(QSqlDatabase::database(m_connection));
    if (!query.exec(statement)) {
        qWarning("%s: %s", qPrintable(statement), qPrintable(query.lastError().text()));
        return {};
    }
    return query.next() ? query.value(0) : QVariant(true);
}

void ShortdLimitsTest::lastVisitServedOnce()
{
    constexpr int Limit = 7;
    QVERIFY(startPair({}, u"limited"_s));
    QVERIFY(sql(u"UPDATE links SET max_visits = %1 WHERE code = '%2'"_s.arg(Limit).arg(QString::fromLatin1(m_code)))
                .isValid());
    const QByteArray link = '/' + m_code;

    // Visits to both instances at once, with looks at the link and its preview among them that
    // must use up none.
    std::vector<std::unique_ptr<PendingRequest>> visits;
    std::vector<std::unique_ptr<PendingRequest>> looks;
    for (int i = 0; i < 120; ++i) {
        const quint16 port = i % 2 ? m_b->port() : m_a->port();
        visits.push_back(std::make_unique<PendingRequest>(port, rawRequest("GET", link, port)));
        if (i % 4 == 0) {
            looks.push_back(std::make_unique<PendingRequest>(port, rawRequest("HEAD", link, port)));
            looks.push_back(std::make_unique<PendingRequest>(port, rawRequest("GET", link + '+', port)));
        }
    }
    const auto allFinished = [](const auto& requests) {
        return std::all_of(requests.cbegin(), requests.cend(), [](const auto& request) { return request->finished(); });
    };
    QTRY_VERIFY_WITH_TIMEOUT(allFinished(visits) && allFinished(looks), 30'000);
    QMap<int, int> statuses;
    for (const auto& request : visits) {
        ++statuses[request->status()];
    }
    QCOMPARE(statuses.value(302), Limit);
    QCOMPARE(statuses.value(410), 120 - Limit);
    const QList<int> lookAnswers {200, 302, 410};
    for (const auto& look : looks) {
        QVERIFY2(lookAnswers.contains(look->status()), qPrintable(QString::number(look->status())));
    }

    // Used up everywhere, and counted once: no batch of visits adds to the store's count.
    for (const ShortdProcess* instance : {m_a.get(), m_b.get()}) {
        QCOMPARE(statusOf(*instance, link), 410);
        QCOMPARE(statusOf(*instance, link, "HEAD"), 410);
        QCOMPARE(statusOf(*instance, link + '+'), 410);
        QCOMPARE(statusOf(*instance, link + ".svg"), 410);
    }
    QVERIFY2(m_a->stop(), qPrintable(m_a->errorString()));
    QVERIFY2(m_b->stop(), qPrintable(m_b->errorString()));
    QCOMPARE(sql(u"SELECT visits FROM links WHERE code = '%1'"_s.arg(QString::fromLatin1(m_code))).toLongLong(), Limit);
}

void ShortdLimitsTest::endSeenByEveryInstance()
{
    // Cached for an hour: only the link's end can make an instance read it again.
    QVERIFY(startPair({u"--cache-ttl"_s, u"3600"_s}, u"ending"_s));
    const QByteArray ending = '/' + m_code;
    const QString endingCode = QString::fromLatin1(m_code);
    const QByteArray extended = '/'
        + rawExchange(m_a->port(), rawGet(shortenTarget(0, u"https://example.com/extended"_s), m_a->port()))
              .json()
              .value(u"info"_s)
              .toString()
              .section(u'/', -1)
              .toLatin1();
    QVERIFY(sql(u"UPDATE links SET expires_at = extract(epoch FROM now())::bigint + 4 WHERE code IN ('%1', '%2')"_s.arg(
                    endingCode, QString::fromLatin1(extended.sliced(1))))
                .isValid());
    for (const ShortdProcess* instance : {m_a.get(), m_b.get()}) {
        QCOMPARE(statusOf(*instance, ending), 302);
        QCOMPARE(statusOf(*instance, extended), 302);
    }
    // One link's end is put off where no instance sees it, until its cached end comes.
    QVERIFY(sql(u"UPDATE links SET expires_at = expires_at + 3600 WHERE code = '%1'"_s.arg(
                    QString::fromLatin1(extended.sliced(1))))
                .isValid());
    QTRY_COMPARE_WITH_TIMEOUT(statusOf(*m_a, ending), 410, 10'000);
    QCOMPARE(statusOf(*m_b, ending), 410);
    QCOMPARE(statusOf(*m_b, ending + '+'), 410);
    QCOMPARE(statusOf(*m_a, ending + ".png"), 410);
    QCOMPARE(statusOf(*m_a, extended), 302);
    QCOMPARE(statusOf(*m_b, extended), 302);
    QVERIFY2(m_a->stop(), qPrintable(m_a->errorString()));
    QVERIFY2(m_b->stop(), qPrintable(m_b->errorString()));
}

QTEST_GUILESS_MAIN(ShortdLimitsTest)
#include "tst_shortdlimits.moc"
