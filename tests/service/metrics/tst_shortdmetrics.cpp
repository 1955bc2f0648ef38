#include "httpprobe.h"
#include "shortdprocess.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QUrlQuery>
#include <memory>
#include <vector>

using namespace Qt::StringLiterals;

namespace
{
quint16 freePort()
{
    QTcpServer probe;
    return probe.listen(QHostAddress::LocalHost) ? probe.serverPort() : 0;
}

// The value of one series in a scrape, -1 when it is absent.
double seriesValue(const QByteArray& scrape, const QByteArray& series)
{
    for (const QByteArray& line : scrape.split('\n')) {
        if (line.startsWith(QByteArray(series + ' '))) {
            return line.sliced(series.size() + 1).toDouble();
        }
    }
    return -1;
}

} // namespace

// The real service, its metrics read by the tools operators use.
class ShortdMetricsTest final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void scrapeUnderLoadPassesPromtool();
    void onlyOnItsOwnListener();
    void scrapedPastIdleConnections() const;
    void prometheusScrapesIt() const;

private:
    QByteArray scrape() const;

    quint16 m_metricsPort = 0;
    QTemporaryDir m_lists;
    std::unique_ptr<ShortdProcess> m_service;
    int m_redirects = 0;
};

void ShortdMetricsTest::initTestCase()
{
    m_metricsPort = freePort();
    QVERIFY(m_metricsPort != 0);
    // A list from a file, and one at an address that answers nothing, for their series.
    QFile list(m_lists.filePath(u"own.txt"_s));
    QVERIFY(list.open(QIODevice::WriteOnly) && list.write("evil.example\n203.0.113.0/24\n") > 0);
    list.close();
    m_service = std::make_unique<ShortdProcess>(QStringList {u"--metrics-listen"_s,
        u"127.0.0.1:%1"_s.arg(m_metricsPort), u"--rate-limit"_s, u"0"_s, u"--blocklist"_s, u"own="_s + list.fileName(),
        u"--blocklist"_s, u"away=http://127.0.0.1:%1/feed"_s.arg(freePort())});
    QVERIFY2(m_service->start(), qPrintable(m_service->errorString()));
}

QByteArray ShortdMetricsTest::scrape() const
{
    return rawExchange(m_metricsPort, rawGet("/metrics", m_metricsPort)).body;
}

void ShortdMetricsTest::scrapeUnderLoadPassesPromtool()
{
    const quint16 port = m_service->port();
    QStringList codes;
    for (int i = 0; i < 40; ++i) {
        codes.append(shortenedCode(port, 0, u"https://example.com/metrics/%1"_s.arg(i)));
        QVERIFY(!codes.constLast().isEmpty());
    }
    // Each code twice: once from the database, once from memory.
    for (int round = 0; round < 2; ++round) {
        for (const QString& code : std::as_const(codes)) {
            QCOMPARE(rawExchange(port, rawGet('/' + code.toLatin1(), port)).status, 302);
            ++m_redirects;
        }
    }
    QCOMPARE(rawExchange(port, rawGet("/nosuchcode", port)).status, 404);
    QCOMPARE(rawExchange(port, rawGet("/readyz", port)).status, 200);

    const HttpResult answer = rawExchange(m_metricsPort, rawGet("/metrics", m_metricsPort));
    QCOMPARE(answer.status, 200);
    QVERIFY(answer.header("Content-Type").startsWith("text/plain; version=0.0.4"));
    const QByteArray& text = answer.body;
    QCOMPARE(seriesValue(text, R"(nolvex_shortd_requests_total{route="redirect",status="302"})"), m_redirects);
    QCOMPARE(seriesValue(text, R"(nolvex_shortd_requests_total{route="redirect",status="404"})"), 1);
    QCOMPARE(seriesValue(text, R"(nolvex_shortd_requests_total{route="shorten",status="200"})"), 40);
    QCOMPARE(seriesValue(text, "nolvex_shortd_redirect_duration_seconds_count"), m_redirects + 1);
    QCOMPARE(seriesValue(text, "nolvex_shortd_create_duration_seconds_count"), 40);
    QVERIFY(seriesValue(text, "nolvex_shortd_cache_hits_total") >= 40);
    QVERIFY(seriesValue(text, "nolvex_shortd_cache_entries") >= 40);
    QCOMPARE(seriesValue(text, "nolvex_shortd_ready"), 1);
    QVERIFY(seriesValue(text, "nolvex_shortd_visits_pending") >= 0);
    QVERIFY(text.contains("\nnolvex_shortd_build_info{version=\""));
    QCOMPARE(seriesValue(text, R"(nolvex_shortd_blocklist_entries{list="own"})"), 2);
    QVERIFY(seriesValue(text, R"(nolvex_shortd_blocklist_last_success_timestamp_seconds{list="own"})") > 0);
    QCOMPARE(seriesValue(text, R"(nolvex_shortd_blocklist_last_success_timestamp_seconds{list="away"})"), 0);
    QCOMPARE(seriesValue(text, R"(nolvex_shortd_blocklist_reload_failures_total{list="own"})"), 0);
    QCOMPARE(seriesValue(text, R"(nolvex_shortd_blocklist_reload_failures_total{list="away"})"), 1);

#ifdef NOLVEX_PROMTOOL
    QProcess check;
    check.start(QStringLiteral(NOLVEX_PROMTOOL), {u"check"_s, u"metrics"_s});
    QVERIFY(check.waitForStarted());
    check.write(text);
    check.closeWriteChannel();
    QVERIFY(check.waitForFinished(30'000));
    const QByteArray said = check.readAllStandardOutput() + check.readAllStandardError();
    QVERIFY2(check.exitCode() == 0 && said.trimmed().isEmpty(), said.constData());
#else
    QSKIP("promtool was missing at configure: the Debian package prometheus (./test installs it)");
#endif
}

void ShortdMetricsTest::onlyOnItsOwnListener()
{
    const quint16 port = m_service->port();
    // The public port knows no /metrics; it is a reserved name, never a link.
    QCOMPARE(rawExchange(port, rawGet("/metrics", port)).status, 404);
    QCOMPARE(rawExchange(m_metricsPort, rawGet("/healthz", m_metricsPort)).status, 404);
    QCOMPARE(rawExchange(m_metricsPort, rawPost("/metrics", "x", "text/plain", m_metricsPort)).status, 405);
    // A scrape is no request of the service's own.
    const double before = seriesValue(scrape(), R"(nolvex_shortd_requests_total{route="other",status="404"})");
    QCOMPARE(seriesValue(scrape(), R"(nolvex_shortd_requests_total{route="other",status="404"})"), before);
}

void ShortdMetricsTest::scrapedPastIdleConnections() const
{
    // More idle connections than the listener holds (16): each newcomer, a scrape among them, takes
    // the place of the one idle the longest, so scrapes are answered, never refused.
    std::vector<std::unique_ptr<QTcpSocket>> idle;
    for (int i = 0; i < 20; ++i) {
        idle.push_back(std::make_unique<QTcpSocket>());
        idle.back()->connectToHost(QHostAddress::LocalHost, m_metricsPort);
        QVERIFY(idle.back()->waitForConnected(5000));
    }
    for (int i = 0; i < 3; ++i) {
        QCOMPARE(rawExchange(m_metricsPort, rawGet("/metrics", m_metricsPort)).status, 200);
    }
    QTRY_COMPARE(idle.front()->state(), QAbstractSocket::UnconnectedState);
    QCOMPARE(idle.front()->readAll(), QByteArray());
}

void ShortdMetricsTest::prometheusScrapesIt() const
{
#ifndef NOLVEX_PROMETHEUS
    QSKIP("prometheus was missing at configure: the Debian package prometheus (./test installs it)");
#else
    const QString prometheus = QStringLiteral(NOLVEX_PROMETHEUS);
    QTemporaryDir dir;
    const quint16 webPort = freePort();
    QFile config(dir.filePath(u"prometheus.yml"_s));
    QVERIFY(config.open(QIODevice::WriteOnly));
    config.write("global:\n  scrape_interval: 1s\n  evaluation_interval: 1s\n"
                 "scrape_configs:\n  - job_name: nolvex-shortd\n    static_configs:\n      - targets: ['127.0.0.1:"
        + QByteArray::number(m_metricsPort) + "']\n");
    config.close();
    QProcess server;
    server.setProcessChannelMode(QProcess::MergedChannels);
    server.setStandardOutputFile(dir.filePath(u"prometheus.log"_s));
    server.start(prometheus,
        {u"--config.file="_s + config.fileName(), u"--storage.tsdb.path="_s + dir.filePath(u"data"_s),
            u"--web.listen-address=127.0.0.1:%1"_s.arg(webPort)});
    QVERIFY(server.waitForStarted());
    QNetworkAccessManager manager;
    const auto query = [&manager, webPort](const QString& expression) {
        QUrl url(u"http://127.0.0.1:%1/api/v1/query"_s.arg(webPort));
        url.setQuery(QUrlQuery {{u"query"_s, expression}});
        const QJsonArray result = fetch(manager, url).json().value(u"data"_s).toObject().value(u"result"_s).toArray();
        return result.isEmpty() ? QString() : result.first().toObject().value(u"value"_s).toArray().last().toString();
    };
    QTRY_COMPARE_WITH_TIMEOUT(query(u"up{job=\"nolvex-shortd\"}"_s), u"1"_s, 60'000);
    QTRY_VERIFY_WITH_TIMEOUT(
        query(u"nolvex_shortd_requests_total{route=\"redirect\",status=\"302\"}"_s).toInt() >= m_redirects, 30'000);
    server.terminate();
    QVERIFY(server.waitForFinished(30'000));
#endif
}

QTEST_GUILESS_MAIN(ShortdMetricsTest)
#include "tst_shortdmetrics.moc"
