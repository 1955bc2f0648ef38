#include "cannedserver.h"
#include "httpprobe.h"
#include "pgcluster.h"
#include "shortdprocess.h"

#include <QProcess>
#include <QSaveFile>
#include <QTcpServer>
#include <QTest>
#include <memory>

using namespace Qt::StringLiterals;

// The service's own checks, on a period of a second, against local servers that go bad: each
// destination's server turns at the row's moment, and the link ends as the row says.
class ShortdChecksTest final : public QObject
{
    Q_OBJECT

private slots:
    void destinationGoesBad_data();
    void destinationGoesBad();
    void oneInstanceChecksAtATime();
};

namespace
{
// How long a change may take to be found: a few periods, the host gap and the writes.
constexpr int FoundWithinMs = 30'000;

// What links show prints of the link, in the database the arguments name.
QString linkShown(const QStringList& database, const QString& code)
{
    QProcess process;
    process.start(ShortdProcess::binaryPath(), QStringList {u"links"_s, u"show"_s, code} + database);
    process.waitForFinished(10'000);
    return QString::fromUtf8(process.readAllStandardOutput());
}

QString linkShown(const ShortdProcess& service, const QString& code)
{
    return linkShown({u"--data-dir"_s, service.dataDir()}, code);
}

QByteArray redirectTo(const QByteArray& location)
{
    return CannedServer::response(302, {}, "text/plain", "Location: " + location + "\r\n");
}

int statusOf(const ShortdProcess& service, const QString& code)
{
    return rawExchange(service.port(), rawGet('/' + code.toLatin1(), service.port())).status;
}

quint16 freePort()
{
    QTcpServer probe;
    return probe.listen(QHostAddress::LocalHost) ? probe.serverPort() : 0;
}

// The checks an instance made that found the destination fine, as its metrics count them.
int okChecks(quint16 metricsPort)
{
    const QByteArray series = "nolvex_shortd_destination_checks_total{outcome=\"ok\"} ";
    for (const QByteArray& line : rawExchange(metricsPort, rawGet("/metrics", metricsPort)).body.split('\n')) {
        if (line.startsWith(series)) {
            return line.sliced(series.size()).toInt();
        }
    }
    return 0;
}
} // namespace

void ShortdChecksTest::destinationGoesBad_data()
{
    QTest::addColumn<QString>("turn"); // what the destination's server starts doing
    QTest::addColumn<QString>("shown"); // a line links show then prints
    QTest::addColumn<int>("status"); // what the link answers then
    QTest::newRow("redirects to a listed host: quarantined") << u"listed"_s << u"state:   quarantined"_s << 403;
    QTest::newRow("dies: dead after three checks, still served") << u"dies"_s << u"dead:    yes"_s << 302;
    QTest::newRow("loops: too many redirects kept") << u"loops"_s << u", too-many-redirects 302, final"_s << 302;
}

void ShortdChecksTest::destinationGoesBad()
{
    QFETCH(QString, turn);
    QFETCH(QString, shown);
    QFETCH(int, status);
    CannedServer destination;
    QVERIFY(destination.start());
    destination.setReply(CannedServer::response(200, "fine", "text/plain"));
    QTemporaryDir feeds;
    const QString feed = feeds.filePath(u"test.txt"_s);
    QSaveFile file(feed);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write("listed.example\n") > 0 && file.commit());

    ShortdProcess service(
        {u"--check-private"_s, u"on"_s, u"--check-period"_s, u"1s"_s, u"--blocklist"_s, u"test="_s + feed});
    QVERIFY2(service.start(), qPrintable(service.errorString()));
    const QString code = shortenedCode(service.port(), 0, destination.origin() + u"/page"_s);
    QVERIFY(!code.isEmpty());
    QCOMPARE(statusOf(service, code), 302); // visited today: checked every period
    QTRY_VERIFY2_WITH_TIMEOUT(
        linkShown(service, code).contains(u", ok 200, final"_s), qPrintable(linkShown(service, code)), FoundWithinMs);

    if (turn == u"listed") {
        destination.setReply(redirectTo("http://listed.example/login"));
    } else if (turn == u"dies") {
        destination.close();
    } else {
        destination.setReply(redirectTo("/page"));
    }
    QTRY_VERIFY2_WITH_TIMEOUT(
        linkShown(service, code).contains(shown), qPrintable(linkShown(service, code)), FoundWithinMs);
    QCOMPARE(statusOf(service, code), status);
    QVERIFY2(service.stop(), qPrintable(service.errorString()));
}

// Two instances on one PostgreSQL database: one checks, the other waits, and takes over when the
// first dies without a word (its connection, and with it the lock, goes with it).
void ShortdChecksTest::oneInstanceChecksAtATime()
{
    PgCluster cluster;
    if (!cluster.start()) {
        QSKIP(qPrintable(u"no PostgreSQL cluster: "_s + cluster.errorString()));
    }
    const QString url = cluster.createDatabase(u"checks"_s);
    QVERIFY(!url.isEmpty());
    CannedServer destination;
    QVERIFY(destination.start());
    destination.setReply(CannedServer::response(200, "fine", "text/plain"));
    std::vector<std::unique_ptr<ShortdProcess>> instances;
    std::vector<quint16> metrics;
    for (int i = 0; i < 2; ++i) {
        metrics.push_back(freePort());
        instances.push_back(std::make_unique<ShortdProcess>(QStringList {u"--database"_s, url, u"--check-private"_s,
            u"on"_s, u"--check-period"_s, u"1s"_s, u"--metrics-listen"_s, u"127.0.0.1:%1"_s.arg(metrics.back())}));
        QVERIFY2(instances.back()->start(), qPrintable(instances.back()->errorString()));
    }
    const QString code = shortenedCode(instances.front()->port(), 0, destination.origin() + u"/page"_s);
    QVERIFY(!code.isEmpty());
    QCOMPARE(statusOf(*instances.front(), code), 302); // visited today: checked every period

    // Three checks by the holder prove the others had time to check too, had they held the lock.
    QTRY_VERIFY_WITH_TIMEOUT(okChecks(metrics[0]) + okChecks(metrics[1]) >= 3, FoundWithinMs);
    const size_t holder = okChecks(metrics[0]) > 0 ? 0 : 1;
    QCOMPARE(okChecks(metrics[1 - holder]), 0);
    const QString shown = linkShown({u"--database"_s, url}, code); // the holder wrote what it found
    QVERIFY2(shown.contains(u", ok 200, final"_s), qPrintable(shown));

    instances[holder]->kill9();
    QTRY_VERIFY_WITH_TIMEOUT(okChecks(metrics[1 - holder]) > 0, FoundWithinMs);
    QVERIFY2(instances[1 - holder]->stop(), qPrintable(instances[1 - holder]->errorString()));
}

QTEST_GUILESS_MAIN(ShortdChecksTest)
#include "tst_shortdchecks.moc"
