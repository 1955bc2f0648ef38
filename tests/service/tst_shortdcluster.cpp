#include "httpprobe.h"
#include "pgcluster.h"
#include "shortdprocess.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QTest>
#include <array>
#include <memory>

using namespace Qt::StringLiterals;

namespace
{
QStringList instanceArguments(const QString& url, int rateLimit)
{
    // The cache keeps a link far longer than any test runs: only hearing of a change drops it.
    return {u"--database-retry"_s, u"0.1"_s, u"--cache-ttl"_s, u"600"_s, u"--rate-limit"_s, QString::number(rateLimit),
        u"--database"_s, url};
}

struct Command {
    int status = -1;
    QString err;
};

Command operatorCommand(const QString& url, const QStringList& arguments)
{
    QProcess process;
    process.start(ShortdProcess::binaryPath(), arguments + QStringList {u"--database"_s, url});
    if (!process.waitForFinished(30'000)) {
        return {};
    }
    return {process.exitCode(), QString::fromUtf8(process.readAllStandardError())};
}

int statusOf(const ShortdProcess& instance, const QString& code)
{
    return rawExchange(instance.port(), rawGet('/' + code.toLatin1(), instance.port())).status;
}
} // namespace

// Three instances on one throw-away PostgreSQL cluster: a change made anywhere reaches all of
// them, and a client's creations are limited across them.
class ShortdClusterTest final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void takeDownReachesEveryInstance();
    void limitSharedAcrossInstances_data();
    void limitSharedAcrossInstances();
    void restartCostsOneRequestAnInstance();
    void failedKeysSharedAcrossInstances();

private:
    PgCluster m_cluster;
};

void ShortdClusterTest::initTestCase()
{
    QVERIFY2(m_cluster.start(), qPrintable(m_cluster.errorString()));
}

void ShortdClusterTest::takeDownReachesEveryInstance()
{
    const QString url = m_cluster.createDatabase(u"takedown"_s);
    QVERIFY(!url.isEmpty());
    ShortdProcess a(instanceArguments(url, 0));
    ShortdProcess b(instanceArguments(url, 0));
    ShortdProcess c(instanceArguments(url, 0));
    for (ShortdProcess* instance : {&a, &b, &c}) {
        QVERIFY2(instance->start(), qPrintable(instance->errorString()));
    }
    const QString code = shortenedCode(a.port(), 1, u"https://example.com/offer"_s);
    QVERIFY(!code.isEmpty());
    QCOMPARE(statusOf(b, code), 302);
    QCOMPARE(statusOf(c, code), 302);

    // Acknowledged means dropped: the next request on every instance finds the link taken down.
    const Command disabled = operatorCommand(url, {u"links"_s, u"disable"_s, code});
    QCOMPARE(disabled.status, 0);
    QVERIFY2(disabled.err.contains(u"acknowledged by 3 of 3 running instances"_s), qPrintable(disabled.err));
    for (const ShortdProcess* instance : {&a, &b, &c}) {
        QCOMPARE(statusOf(*instance, code), 410);
    }

    QCOMPARE(operatorCommand(url, {u"links"_s, u"enable"_s, code}).status, 0);
    QTRY_COMPARE(statusOf(b, code), 302);
    QTRY_COMPARE(statusOf(c, code), 302);

    // B's listening connection is cut; what changes meanwhile reaches B once it is back.
    QVERIFY(m_cluster.execute(u"takedown"_s,
        u"SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE application_name = "
        u"'nolvex-shortd-listener-%1'"_s.arg(b.processId())));
    QCOMPARE(operatorCommand(url, {u"links"_s, u"delete"_s, code}).status, 0);
    QTRY_COMPARE(statusOf(b, code), 410);
    QTRY_COMPARE(statusOf(c, code), 410);
    // And B hears of the next change as before.
    const QString other = shortenedCode(b.port(), 1, u"https://example.com/next"_s);
    QCOMPARE(statusOf(b, other), 302);
    QCOMPARE(operatorCommand(url, {u"links"_s, u"disable"_s, other}).status, 0);
    QTRY_COMPARE(statusOf(b, other), 410);

    for (ShortdProcess* instance : {&a, &b, &c}) {
        QVERIFY2(instance->stop(), qPrintable(instance->errorString()));
    }
    // Stopped instances leave the register: nothing is left to wait for.
    const Command alone = operatorCommand(url, {u"links"_s, u"enable"_s, other});
    QVERIFY2(alone.err.contains(u"no instance of the service is running"_s), qPrintable(alone.err));
}

void ShortdClusterTest::limitSharedAcrossInstances_data()
{
    // One client's creations a minute, or one site's new links an hour, its subdomains rotating.
    QTest::addColumn<QString>("database");
    QTest::addColumn<bool>("bySite");
    QTest::addColumn<QString>("address");
    QTest::newRow("a client's minute") << u"limits"_s << false << u"https://example.com/many/%1"_s;
    QTest::newRow("a site's hour") << u"sitelimits"_s << true << u"https://w%1.example.com/"_s;
}

void ShortdClusterTest::limitSharedAcrossInstances()
{
    QFETCH(QString, database);
    QFETCH(bool, bySite);
    QFETCH(QString, address);
    constexpr int Limit = 30;
    const QString url = m_cluster.createDatabase(database);
    std::array<std::unique_ptr<ShortdProcess>, 3> instances;
    for (auto& instance : instances) {
        instance = std::make_unique<ShortdProcess>(instanceArguments(url, bySite ? 0 : Limit)
            + QStringList {u"--host-create-limit"_s, QString::number(bySite ? Limit : 0)});
        QVERIFY2(instance->start(), qPrintable(instance->errorString()));
    }
    // Every instance has counted the three: each beat its heart a while after the last one began.
    QTRY_VERIFY_WITH_TIMEOUT(m_cluster.execute(database,
                                 u"DO $$ BEGIN IF (SELECT count(*) FROM instances) < 3 OR (SELECT min(heartbeat_at) "
                                 u"- max(started_at) FROM instances) < 1000 THEN RAISE EXCEPTION 'not yet'; END IF; "
                                 u"END $$"_s),
        10'000);
    // One client, far over the limit, spread evenly over the three.
    int created = 0;
    int refused = 0;
    for (int i = 0; i < 8 * Limit; ++i) {
        const ShortdProcess& instance = *instances.at(static_cast<size_t>(i % 3));
        const HttpResult result
            = rawExchange(instance.port(), rawGet(shortenTarget(0, address.arg(i)), instance.port()));
        if (result.status == 200) {
            ++created;
        } else {
            QCOMPARE(result.status, 429);
            QVERIFY(result.header("Retry-After").toInt() >= 1);
            ++refused;
        }
    }
    qInfo("%d created, %d refused, limit %d", created, refused, Limit);
    QVERIFY2(created <= Limit * 6 / 5, qPrintable(QString::number(created)));
    QVERIFY2(created >= Limit * 4 / 5, qPrintable(QString::number(created)));
    for (auto& instance : instances) {
        QVERIFY2(instance->stop(), qPrintable(instance->errorString()));
    }
}

void ShortdClusterTest::restartCostsOneRequestAnInstance()
{
    const QString url = m_cluster.createDatabase(u"restart"_s);
    // The default pause between connection attempts: healing must not wait for it.
    ShortdProcess a({u"--rate-limit"_s, u"0"_s, u"--database"_s, url});
    ShortdProcess b({u"--rate-limit"_s, u"0"_s, u"--database"_s, url});
    for (ShortdProcess* instance : {&a, &b}) {
        QVERIFY2(instance->start(), qPrintable(instance->errorString()));
    }
    int made = 0;
    QNetworkAccessManager manager;
    // Creates and (every fourth) readiness checks at once, so that every pooled connection is used;
    // counts the creates that failed and the checks that were not ready.
    const auto wave = [&](const ShortdProcess& instance, int size, int* failed, int* unready) {
        std::vector<std::unique_ptr<QNetworkReply>> replies;
        for (int i = 0; i < size; ++i) {
            const QByteArray target = i % 4 == 3 ? QByteArray("/readyz")
                                                 : shortenTarget(0, u"https://example.com/restart/%1"_s.arg(made++));
            replies.emplace_back(manager.get(QNetworkRequest(QUrl(instance.origin() + QString::fromLatin1(target)))));
        }
        const auto done = [&replies] {
            return std::all_of(replies.cbegin(), replies.cend(), [](const auto& r) { return r->isFinished(); });
        };
        if (!QTest::qWaitFor(done, 30'000)) {
            return false;
        }
        for (const auto& reply : replies) {
            if (reply->url().path() == u"/readyz"_s) {
                *unready += reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() == 200 ? 0 : 1;
            } else {
                *failed += QJsonDocument::fromJson(reply->readAll()).object().value(u"result"_s).toInt() == 1 ? 0 : 1;
            }
        }
        return true;
    };
    for (ShortdProcess* instance : {&a, &b}) {
        int failed = 0;
        QVERIFY(wave(*instance, 12, &failed, &failed));
        QCOMPARE(failed, 0);
    }

    // Every pooled connection of both instances is cut; pg_ctl returns once the server answers.
    QVERIFY2(m_cluster.restart(), qPrintable(m_cluster.errorString()));
    for (ShortdProcess* instance : {&a, &b}) {
        // The one create that may meet a dead connection: a write is never sent twice.
        int failed = 0;
        int unready = 0;
        QVERIFY(wave(*instance, 1, &failed, &unready));
        // Ready at once: the check finds its connection suspect and opens another rather than fail.
        QCOMPARE(rawExchange(instance->port(), rawGet("/readyz", instance->port())).status, 200);
        for (int round = 0; round < 3; ++round) {
            QVERIFY(wave(*instance, 12, &failed, &unready));
        }
        qInfo("after the restart: %d creates failed, %d readiness checks not ready", failed, unready);
        QVERIFY(failed <= 1);
        QCOMPARE(unready, 0); // and it stays ready
    }
    for (ShortdProcess* instance : {&a, &b}) {
        QVERIFY2(instance->stop(), qPrintable(instance->errorString()));
    }
}

void ShortdClusterTest::failedKeysSharedAcrossInstances()
{
    const QString url = m_cluster.createDatabase(u"keyfailures"_s);
    ShortdProcess a(instanceArguments(url, 0));
    ShortdProcess b(instanceArguments(url, 0));
    for (ShortdProcess* instance : {&a, &b}) {
        QVERIFY2(instance->start(), qPrintable(instance->errorString()));
    }
    const auto listLinks = [](const ShortdProcess& instance, const QByteArray& authorization) {
        return rawExchange(instance.port(), rawRequest("GET", "/api/v1/links", "127.0.0.1", authorization)).status;
    };
    // Half the allowance refused on each: a key that is not one, and one no admin made.
    for (int i = 0; i < 5; ++i) {
        QCOMPARE(listLinks(a, "Authorization: Bearer not-a-key\r\n"), 401);
        QCOMPARE(listLinks(b, "Authorization: Bearer nvx_" + QByteArray(43, 'Q') + "\r\n"), 401);
    }
    // Together they used it up: both refuse the client, though asking without a key counts nothing.
    QTRY_COMPARE(listLinks(a, {}), 429);
    QTRY_COMPARE(listLinks(b, {}), 429);
    for (ShortdProcess* instance : {&a, &b}) {
        QVERIFY2(instance->stop(), qPrintable(instance->errorString()));
    }
}

QTEST_GUILESS_MAIN(ShortdClusterTest)
#include "tst_shortdcluster.moc"
