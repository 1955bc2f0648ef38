#include "metrics/metrics.h"
#include "metrics/servicemetrics.h"
#include "routes/routetable.h"

#include <QTest>
#include <cmath>
#include <limits>

using namespace Qt::StringLiterals;
using namespace Shortd;
using namespace Shortd::Metrics;

class MetricsTest final : public QObject
{
    Q_OBJECT

private slots:
    void escaping_data();
    void escaping();
    void values_data();
    void values();
    void histogramBuckets_data();
    void histogramBuckets();
    void labelledSeries();
    void routeLabels_data();
    void routeLabels();
    void serviceSeries();
};

void MetricsTest::escaping_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QByteArray>("label");
    QTest::addColumn<QByteArray>("help");
    QTest::newRow("plain") << QByteArray("2.1") << QByteArray("2.1") << QByteArray("2.1");
    QTest::newRow("backslash") << QByteArray("a\\b") << QByteArray("a\\\\b") << QByteArray("a\\\\b");
    QTest::newRow("quote only matters in a label")
        << QByteArray(R"(say "hi")") << QByteArray(R"(say \"hi\")") << QByteArray(R"(say "hi")");
    QTest::newRow("line feed") << QByteArray("one\ntwo") << QByteArray("one\\ntwo") << QByteArray("one\\ntwo");
    QTest::newRow("UTF-8 kept") << u"版本 ✓"_s.toUtf8() << u"版本 ✓"_s.toUtf8() << u"版本 ✓"_s.toUtf8();
    QTest::newRow("an escape already spelled is escaped again")
        << QByteArray("\\n") << QByteArray("\\\\n") << QByteArray("\\\\n");
}

void MetricsTest::escaping()
{
    QFETCH(QByteArray, text);
    QFETCH(QByteArray, label);
    QFETCH(QByteArray, help);
    QCOMPARE(escapeLabelValue(text), label);
    QCOMPARE(escapeHelp(text), help);
}

void MetricsTest::values_data()
{
    QTest::addColumn<double>("value");
    QTest::addColumn<QByteArray>("text");
    QTest::newRow("zero") << 0.0 << QByteArray("0");
    QTest::newRow("a count") << 1234567.0 << QByteArray("1234567");
    QTest::newRow("largest exact integer") << 9007199254740991.0 << QByteArray("9007199254740991");
    QTest::newRow("a bucket bound") << 0.00025 << QByteArray("0.00025");
    QTest::newRow("a tenth, not its binary neighbour") << 0.1 << QByteArray("0.1");
    QTest::newRow("negative") << -2.5 << QByteArray("-2.5");
    QTest::newRow("tiny, with an exponent") << 1.5e-9 << QByteArray("1.5e-09");
    QTest::newRow("huge, with an exponent") << 1e300 << QByteArray("1e+300");
    QTest::newRow("+Inf") << std::numeric_limits<double>::infinity() << QByteArray("+Inf");
    QTest::newRow("-Inf") << -std::numeric_limits<double>::infinity() << QByteArray("-Inf");
    QTest::newRow("NaN") << std::numeric_limits<double>::quiet_NaN() << QByteArray("NaN");
}

void MetricsTest::values()
{
    QFETCH(double, value);
    QFETCH(QByteArray, text);
    QCOMPARE(formatValue(value), text);
    if (std::isfinite(value)) {
        QCOMPARE(text.toDouble(), value); // reads back exactly
    }
}

namespace
{
constexpr std::array<double, 3> Bounds {0.001, 0.01, 0.1};
}

void MetricsTest::histogramBuckets_data()
{
    QTest::addColumn<QList<qint64>>("observedUs");
    QTest::addColumn<QByteArray>("buckets"); // the cumulative counts of le=0.001, 0.01, 0.1, +Inf
    QTest::addColumn<QByteArray>("sum");
    QTest::newRow("none") << QList<qint64> {} << QByteArray("0 0 0 0") << QByteArray("0");
    QTest::newRow("a bound is inclusive")
        << QList<qint64> {1000, 10'000} << QByteArray("1 2 2 2") << QByteArray("0.011");
    QTest::newRow("just above a bound") << QList<qint64> {1001} << QByteArray("0 1 1 1") << QByteArray("0.001001");
    QTest::newRow("beyond the last only in +Inf")
        << QList<qint64> {5'000'000, 50} << QByteArray("1 1 1 2") << QByteArray("5.00005");
    QTest::newRow("a clock that stepped back counts as zero")
        << QList<qint64> {-7} << QByteArray("1 1 1 1") << QByteArray("0");
}

void MetricsTest::histogramBuckets()
{
    QFETCH(QList<qint64>, observedUs);
    QFETCH(QByteArray, buckets);
    QFETCH(QByteArray, sum);
    Histogram histogram(Bounds);
    for (const qint64 us : std::as_const(observedUs)) {
        histogram.observe(std::chrono::microseconds(us));
    }
    Exposition out;
    out.histogram("t", {}, histogram.snapshot());
    const QList<QByteArray> lines = out.text().trimmed().split('\n');
    QCOMPARE(lines.size(), 6);
    const QList<QByteArray> les {"0.001", "0.01", "0.1", "+Inf"};
    const QList<QByteArray> counts = buckets.split(' ');
    for (qsizetype i = 0; i < les.size(); ++i) {
        QCOMPARE(lines.at(i), "t_bucket{le=\"" + les.at(i) + "\"} " + counts.at(i));
    }
    QCOMPARE(lines.at(4), "t_sum " + sum);
    QCOMPARE(lines.at(5), "t_count " + counts.constLast());
}

void MetricsTest::labelledSeries()
{
    Histogram histogram(Bounds);
    histogram.observe(std::chrono::milliseconds(2));
    Exposition out;
    out.family("x_seconds", "Took\nthis \\ long.", Exposition::Type::Histogram);
    out.histogram("x_seconds", {{"route", "a\"b"}}, histogram.snapshot());
    out.family("y_total", "Things.", Exposition::Type::Counter);
    out.sample("y_total", {{"route", "r"}, {"status", "302"}}, 3);
    QCOMPARE(out.text(),
        QByteArray("# HELP x_seconds Took\\nthis \\\\ long.\n"
                   "# TYPE x_seconds histogram\n"
                   "x_seconds_bucket{route=\"a\\\"b\",le=\"0.001\"} 0\n"
                   "x_seconds_bucket{route=\"a\\\"b\",le=\"0.01\"} 1\n"
                   "x_seconds_bucket{route=\"a\\\"b\",le=\"0.1\"} 1\n"
                   "x_seconds_bucket{route=\"a\\\"b\",le=\"+Inf\"} 1\n"
                   "x_seconds_sum{route=\"a\\\"b\"} 0.002\n"
                   "x_seconds_count{route=\"a\\\"b\"} 1\n"
                   "# HELP y_total Things.\n"
                   "# TYPE y_total counter\n"
                   "y_total{route=\"r\",status=\"302\"} 3\n"));
}

void MetricsTest::routeLabels_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("post");
    QTest::addColumn<QByteArray>("route");
    QTest::newRow("shorten") << u"/index.php/Index/weburl_zip"_s << false << QByteArray("shorten");
    QTest::newRow("version") << u"/index.php/Index/soft_version"_s << true << QByteArray("version");
    QTest::newRow("release page") << u"/index.php/Works/detail/sid/1"_s << false << QByteArray("release");
    QTest::newRow("other protocol path") << u"/index.php/Index/x"_s << false << QByteArray("other");
    QTest::newRow("home") << u"/"_s << false << QByteArray("home");
    QTest::newRow("alive") << u"/healthz"_s << false << QByteArray("healthz");
    QTest::newRow("ready") << u"/readyz"_s << false << QByteArray("readyz");
    QTest::newRow("a code") << u"/aB3dEf"_s << false << QByteArray("redirect");
    QTest::newRow("a limited link's button") << u"/aB3dEf"_s << true << QByteArray("continue");
    QTest::newRow("an unknown code is still a redirect") << u"/zzzzzzzzzzzzzzzzzz"_s << false << QByteArray("redirect");
    QTest::newRow("reserved name, other case") << u"/Metrics"_s << false << QByteArray("other");
    QTest::newRow("preview") << u"/aB3dEf+"_s << false << QByteArray("preview");
    QTest::newRow("svg") << u"/aB3dEf.svg"_s << false << QByteArray("qr");
    QTest::newRow("png") << u"/aB3dEf.png"_s << false << QByteArray("qr");
    QTest::newRow("API create") << u"/api/v1/links"_s << true << QByteArray("api_create");
    QTest::newRow("API listing") << u"/api/v1/links"_s << false << QByteArray("api");
    QTest::newRow("API link") << u"/api/v1/links/aB3dEf"_s << true << QByteArray("api");
    QTest::newRow("deeper path") << u"/a/b"_s << false << QByteArray("other");
    QTest::newRow("empty") << QString() << false << QByteArray("other");
}

void MetricsTest::routeLabels()
{
    QFETCH(QString, path);
    QFETCH(bool, post);
    QFETCH(QByteArray, route);
    QCOMPARE(routeName(routeLabel(path, post)).toByteArray(), route);
}

void MetricsTest::serviceSeries()
{
    ServiceMetrics metrics;
    metrics.countRequest(Route::Redirect, 302, std::chrono::microseconds(300));
    metrics.countRequest(Route::Redirect, 302, std::chrono::microseconds(300));
    metrics.countRequest(Route::ApiCreate, 201, std::chrono::milliseconds(3));
    metrics.countRequest(Route::Other, 99, {}); // no such status: not a series
    metrics.countRefusal(Refusal::PerClient);
    Gauges gauges;
    gauges.visitsPending = 5;
    gauges.ready = true;
    const QByteArray text = metrics.render(gauges, u"2.1 \"beta\""_s);
    for (const QByteArray& line :
        {QByteArray(R"(nolvex_shortd_build_info{version="2.1 \"beta\""} 1)"), QByteArray("nolvex_shortd_ready 1"),
            QByteArray(R"(nolvex_shortd_requests_total{route="redirect",status="302"} 2)"),
            QByteArray(R"(nolvex_shortd_requests_total{route="api_create",status="201"} 1)"),
            QByteArray(R"(nolvex_shortd_redirect_duration_seconds_bucket{le="0.00025"} 0)"),
            QByteArray(R"(nolvex_shortd_redirect_duration_seconds_bucket{le="0.0005"} 2)"),
            QByteArray("nolvex_shortd_redirect_duration_seconds_count 2"),
            QByteArray("nolvex_shortd_create_duration_seconds_count 1"),
            QByteArray(R"(nolvex_shortd_connections_refused_total{reason="per_client"} 1)"),
            QByteArray(R"(nolvex_shortd_connections_refused_total{reason="max_connections"} 0)"),
            QByteArray("nolvex_shortd_visits_pending 5")}) {
        QVERIFY2(text.contains(QByteArray('\n' + line + '\n')), line.constData());
    }
    QVERIFY(!text.contains("status=\"99\""));
    // Every family is announced once, before its samples.
    QCOMPARE(text.count("# TYPE nolvex_shortd_requests_total counter\n"), 1);
    QVERIFY(text.indexOf("# TYPE nolvex_shortd_requests_total") < text.indexOf("nolvex_shortd_requests_total{"));

    // The one set of the process, as the parts that receive notifications bump it.
    const quint64 before = service().notificationsReceived.value();
    countNotificationReceived();
    QCOMPARE(service().notificationsReceived.value(), before + 1);
}

QTEST_GUILESS_MAIN(MetricsTest)
#include "tst_metrics.moc"
