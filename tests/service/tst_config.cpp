#include "config.h"
#include "version.h"

#include <QRegularExpression>
#include <QTest>
#include <QThread>

using namespace Qt::StringLiterals;
using namespace Shortd;

namespace
{
// The options whose --help states their default, with what each sets in the configuration.
QVariantMap defaultedValues(const ServiceConfig& c)
{
    return {
        {u"listen"_s, QVariantList {c.listenAddress.toString(), int(c.port)}},
        {u"release-sid"_s, c.releaseSid},
        {u"release-must"_s, c.releaseMust},
        {u"rate-limit"_s, c.rateLimit},
        {u"host-create-limit"_s, c.hostCreateLimit},
        {u"report-threshold"_s, c.reportThreshold},
        {u"open-shorten"_s, c.openShorten},
        {u"max-connections"_s, c.limits.maxConnections},
        {u"max-connections-per-client"_s, c.limits.maxConnectionsPerClient},
        {u"header-timeout"_s, qint64(c.limits.headerTimeout.count())},
        {u"idle-timeout"_s, qint64(c.limits.idleTimeout.count())},
        {u"access-log"_s, c.accessLog},
        {u"qr-cache"_s, qint64(c.qrCacheBytes)},
        {u"sync"_s, c.syncEachCommit},
        {u"database-wait"_s, c.databaseWaitSeconds},
        {u"database-retry"_s, qint64(c.databaseRetry.count())},
        {u"cache-size"_s, c.cacheSize},
        {u"cache-ttl"_s, qint64(c.cacheTtl.count())},
        {u"max-pending-visits"_s, c.maxPendingVisits},
        {u"recent-visitors"_s, c.recentVisitors},
        {u"shutdown-timeout"_s, qint64(c.shutdownTimeout.count())},
        {u"visit-retention"_s, c.visitRetentionDays},
        {u"audit-retention"_s, c.auditRetentionDays},
        {u"visit-classes"_s, c.classifyVisits},
        {u"blocklist-refresh"_s, c.blocklistRefreshMinutes},
        {u"check-private"_s, c.checkPrivate},
        {u"check-period"_s, qint64(c.checkPeriod.count())},
        {u"check-rate"_s, c.checkRate},
    };
}

// Each option's lines of --help joined into one, by option name.
QHash<QString, QString> optionHelp()
{
    QHash<QString, QString> help;
    const QString text = parseConfig({u"nolvex-shortd"_s, u"--help"_s}, {}).helpText;
    static const QRegularExpression start(u"^  --([a-z-]+) <"_s, QRegularExpression::MultilineOption);
    for (auto match = start.globalMatch(text); match.hasNext();) {
        const QRegularExpressionMatch found = match.next();
        const qsizetype next = text.indexOf(u"\n  -"_s, found.capturedEnd());
        const qsizetype end = next < 0 ? text.size() : next;
        help.insert(found.captured(1), text.sliced(found.capturedStart(), end - found.capturedStart()).simplified());
    }
    return help;
}

// The default the help states: "(default X)", "(default X; ...", or among choices "X (default):".
QString statedDefault(const QString& help)
{
    static const QRegularExpression stated(u"\\(default ([^;)]+)[;)]|(?:> |; )(\\S+) \\(default\\):"_s);
    const QRegularExpressionMatch match = stated.match(help);
    return match.hasCaptured(1) ? match.captured(1) : match.captured(2);
}
} // namespace

class ConfigTest final : public QObject
{
    Q_OBJECT

private slots:
    void listen_data();
    void listen();
    void configSources();
    void configRejects_data();
    void configRejects();
    void helpStatesDefault_data();
    void helpStatesDefault();
    void everyStatedDefaultChecked();
};

void ConfigTest::listen_data()
{
    // url: how the start-up line shows the listener.
    QTest::addColumn<QString>("text"); // valid when a url is given
    QTest::addColumn<QString>("address");
    QTest::addColumn<int>("port");
    QTest::addColumn<QString>("url");
    QTest::newRow("ipv4") << u"127.0.0.1:8420"_s << u"127.0.0.1"_s << 8420 << u"http://127.0.0.1:8420"_s;
    QTest::newRow("all addresses") << u":80"_s << QHostAddress(QHostAddress::Any).toString() << 80
                                   << u"http://0.0.0.0:80"_s;
    QTest::newRow("ipv6") << u"[::1]:9000"_s << u"::1"_s << 9000 << u"http://[::1]:9000"_s;
    QTest::newRow("all IPv6 addresses") << u"[::]:80"_s << u"::"_s << 80 << u"http://[::]:80"_s;
    QTest::newRow("localhost") << u"localhost:1"_s << u"127.0.0.1"_s << 1 << u"http://127.0.0.1:1"_s;
    QTest::newRow("no port") << u"127.0.0.1"_s << QString() << 0 << QString();
    QTest::newRow("port zero") << u"127.0.0.1:0"_s << QString() << 0 << QString();
    QTest::newRow("port too big") << u"127.0.0.1:65536"_s << QString() << 0 << QString();
    QTest::newRow("host name") << u"example.com:80"_s << QString() << 0 << QString();
}

void ConfigTest::listen()
{
    QFETCH(QString, text);
    QFETCH(QString, address);
    QFETCH(int, port);
    QFETCH(QString, url);
    const bool valid = !url.isEmpty();
    QHostAddress parsedAddress;
    quint16 parsedPort = 0;
    QCOMPARE(parseListen(text, &parsedAddress, &parsedPort), valid);
    if (valid) {
        QCOMPARE(parsedAddress.toString(), address);
        QCOMPARE(int(parsedPort), port);
        QCOMPARE(listenUrl(parsedAddress, parsedPort), url);
    }
}

void ConfigTest::configSources()
{
    QProcessEnvironment environment;
    const ConfigResult defaults = parseConfig({u"nolvex-shortd"_s}, environment);
    QVERIFY(defaults.error.isEmpty());
    QCOMPARE(defaults.config.port, 8420);
    QCOMPARE(defaults.config.listenAddress, QHostAddress(QHostAddress::LocalHost));
    QCOMPARE(defaults.config.rateLimit, 60);
    QVERIFY(defaults.config.openShorten);
    QCOMPARE(defaults.config.limits.maxConnectionsPerClient, 32);
    QCOMPARE(defaults.config.limits.headerTimeout, std::chrono::seconds(10));
    QCOMPARE(defaults.config.limits.idleTimeout, std::chrono::seconds(30));
    QCOMPARE(defaults.config.metricsPort, 0); // off unless asked for
    QCOMPARE(defaults.config.shutdownTimeout, std::chrono::seconds(10));
    QCOMPARE(defaults.config.releaseVersion, Nolvex::Protocol::CurrentVersion.toString());
    QCOMPARE(defaults.config.releaseSid, u"1"_s);
    QCOMPARE(defaults.config.releaseMust, u"0"_s);
    QVERIFY(defaults.config.dataDir.endsWith(u"/nolvex-shortd"_s));
    QCOMPARE(defaults.config.ownOrigin(), QUrl(u"http://127.0.0.1:8420"_s));

    environment.insert(u"NOLVEX_SHORTD_RATE_LIMIT"_s, u"5"_s);
    environment.insert(u"NOLVEX_SHORTD_LINK_BASE"_s, u"0=https://a.example/ 5=https://b.example/s/"_s);
    environment.insert(u"NOLVEX_SHORTD_RELEASE_MUST"_s, u"1"_s);
    environment.insert(u"NOLVEX_SHORTD_OPEN_SHORTEN"_s, u"off"_s);
    const ConfigResult mixed = parseConfig({u"nolvex-shortd"_s, u"--rate-limit"_s, u"0"_s, u"--listen"_s, u":9000"_s,
                                               u"--tls-cert"_s, u"c.pem"_s, u"--tls-key"_s, u"k.pem"_s},
        environment);
    QVERIFY2(mixed.error.isEmpty(), qPrintable(mixed.error));
    QCOMPARE(mixed.config.rateLimit, 0); // the command line wins
    QCOMPARE(mixed.config.releaseMust, u"1"_s);
    QVERIFY(!mixed.config.openShorten);
    QCOMPARE(mixed.config.linkBases[0], QUrl(u"https://a.example"_s));
    QCOMPARE(mixed.config.linkBases[5], QUrl(u"https://b.example/s"_s));
    QVERIFY(mixed.config.linkBases[1].isEmpty());
    QCOMPARE(mixed.config.ownOrigin(), QUrl(u"https://127.0.0.1:9000"_s));

    // Several lists in the environment, blank-separated, in their order; a file and addresses.
    environment.insert(
        u"NOLVEX_SHORTD_BLOCKLIST"_s, u"  own=/etc/nolvex/own.txt  urlhaus=https://f.example/csv?x=1 "_s);
    const ConfigResult lists = parseConfig({u"nolvex-shortd"_s}, environment);
    QVERIFY2(lists.error.isEmpty(), qPrintable(lists.error));
    QCOMPARE(lists.config.blocklists,
        (QList<BlocklistSource> {
            {u"own"_s, u"/etc/nolvex/own.txt"_s}, {u"urlhaus"_s, u"https://f.example/csv?x=1"_s}}));
    QVERIFY(!lists.config.blocklists.at(0).isRemote());
    QVERIFY(lists.config.blocklists.at(1).isRemote());
    const ConfigResult given
        = parseConfig({u"nolvex-shortd"_s, u"--blocklist"_s, u"a_1-b=HTTP://F.example/l"_s}, environment);
    QCOMPARE(given.config.blocklists, (QList<BlocklistSource> {{u"a_1-b"_s, u"HTTP://F.example/l"_s}}));

    const ConfigResult help = parseConfig({u"nolvex-shortd"_s, u"--help"_s}, {});
    QVERIFY(help.helpRequested);
    for (const char* option : {"--listen", "--data-dir", "--link-base", "--release-version", "--release-sid",
             "--release-must", "--rate-limit", "--open-shorten", "--tls-cert", "--tls-key"}) {
        QVERIFY2(help.helpText.contains(QLatin1StringView(option)), option);
    }
}

void ConfigTest::configRejects_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("listen without port") << QStringList {u"--listen"_s, u"127.0.0.1"_s};
    QTest::newRow("negative rate") << QStringList {u"--rate-limit"_s, u"-1"_s};
    QTest::newRow("rate not a number") << QStringList {u"--rate-limit"_s, u"lots"_s};
    QTest::newRow("qr cache over 1 GiB") << QStringList {u"--qr-cache"_s, u"1025"_s};
    QTest::newRow("qr cache negative") << QStringList {u"--qr-cache"_s, u"-1"_s};
    QTest::newRow("link base type 6") << QStringList {u"--link-base"_s, u"6=https://a.example"_s};
    QTest::newRow("link base without type") << QStringList {u"--link-base"_s, u"https://a.example"_s};
    QTest::newRow("link base ftp") << QStringList {u"--link-base"_s, u"1=ftp://a.example"_s};
    QTest::newRow("link base with query") << QStringList {u"--link-base"_s, u"1=https://a.example/?x=1"_s};
    QTest::newRow("must 2") << QStringList {u"--release-must"_s, u"2"_s};
    QTest::newRow("sid with slash") << QStringList {u"--release-sid"_s, u"1/2"_s};
    QTest::newRow("version with line feed") << QStringList {u"--release-version"_s, u"2.2\n"_s};
    QTest::newRow("certificate without key") << QStringList {u"--tls-cert"_s, u"c.pem"_s};
    QTest::newRow("zero connections") << QStringList {u"--max-connections"_s, u"0"_s};
    QTest::newRow("zero connections per client") << QStringList {u"--max-connections-per-client"_s, u"0"_s};
    QTest::newRow("header time-out of nothing") << QStringList {u"--header-timeout"_s, u"0"_s};
    QTest::newRow("idle time-out not a number") << QStringList {u"--idle-timeout"_s, u"soon"_s};
    QTest::newRow("unknown option") << QStringList {u"--frobnicate"_s};
    QTest::newRow("stray argument") << QStringList {u"extra"_s};
    QTest::newRow("open shorten upper-case") << QStringList {u"--open-shorten"_s, u"OFF"_s};
    QTest::newRow("sync sometimes") << QStringList {u"--sync"_s, u"sometimes"_s};
    QTest::newRow("database of another kind") << QStringList {u"--database"_s, u"mysql://u:sekret@h/d"_s};
    QTest::newRow("database without a name") << QStringList {u"--database"_s, u"postgresql://u:sekret@h/"_s};
    QTest::newRow("database parameter unknown")
        << QStringList {u"--database"_s, u"postgresql://u:sekret@h/d?password=sekret"_s};
    QTest::newRow("300 database connections") << QStringList {u"--database-connections"_s, u"300"_s};
    QTest::newRow("cache ttl of nothing") << QStringList {u"--cache-ttl"_s, u"0"_s};
    QTest::newRow("trusted proxy not an address") << QStringList {u"--trusted-proxy"_s, u"proxy.example"_s};
    QTest::newRow("trusted proxy prefix 33") << QStringList {u"--trusted-proxy"_s, u"10.0.0.0/33"_s};
    QTest::newRow("metrics on the public port")
        << QStringList {u"--listen"_s, u":8420"_s, u"--metrics-listen"_s, u"127.0.0.1:8420"_s};
    QTest::newRow("metrics without a port") << QStringList {u"--metrics-listen"_s, u"127.0.0.1"_s};
    QTest::newRow("shutdown time-out of nothing") << QStringList {u"--shutdown-timeout"_s, u"0"_s};
    QTest::newRow("blocklist without a name") << QStringList {u"--blocklist"_s, u"/etc/list.txt"_s};
    QTest::newRow("blocklist of an empty name") << QStringList {u"--blocklist"_s, u"=/etc/list.txt"_s};
    QTest::newRow("blocklist name with a dot") << QStringList {u"--blocklist"_s, u"a.b=/etc/list.txt"_s};
    QTest::newRow("blocklist without a source") << QStringList {u"--blocklist"_s, u"feed="_s};
    QTest::newRow("blocklist named local") << QStringList {u"--blocklist"_s, u"local=/etc/list.txt"_s};
    QTest::newRow("blocklist named Reports") << QStringList {u"--blocklist"_s, u"Reports=/etc/list.txt"_s};
    QTest::newRow("blocklist fetched by ftp") << QStringList {u"--blocklist"_s, u"feed=ftp://f.example/l"_s};
    QTest::newRow("blocklist address without a host") << QStringList {u"--blocklist"_s, u"feed=https:///l"_s};
    QTest::newRow("blocklist name twice")
        << QStringList {u"--blocklist"_s, u"feed=/a.txt"_s, u"--blocklist"_s, u"feed=https://f.example/l"_s};
    QTest::newRow("blocklist refresh of nothing") << QStringList {u"--blocklist-refresh"_s, u"0"_s};
}

void ConfigTest::configRejects()
{
    QFETCH(QStringList, arguments);
    const ConfigResult result = parseConfig(QStringList {u"nolvex-shortd"_s} + arguments, {});
    QVERIFY(!result.error.isEmpty());
    QVERIFY2(!result.error.contains(u"sekret"_s), qPrintable(result.error)); // a password is never repeated
}

void ConfigTest::helpStatesDefault_data()
{
    QTest::addColumn<QString>("option");
    const QStringList options = defaultedValues(ServiceConfig {}).keys();
    for (const QString& option : options) {
        QTest::newRow(qPrintable(option)) << option;
    }
}

// Given as a value, the default --help states sets what a default-constructed configuration holds.
void ConfigTest::helpStatesDefault()
{
    QFETCH(QString, option);
    const QString help = optionHelp().value(option);
    const QString stated = statedDefault(help);
    QVERIFY2(!stated.isEmpty(), qPrintable(help));
    const ConfigResult given = parseConfig({u"nolvex-shortd"_s, u"--"_s + option, stated}, {});
    QVERIFY2(given.error.isEmpty(), qPrintable(given.error));
    QCOMPARE(defaultedValues(given.config).value(option), defaultedValues(ServiceConfig {}).value(option));
}

void ConfigTest::everyStatedDefaultChecked()
{
    const QHash<QString, QString> help = optionHelp();
    QStringList stating;
    for (auto it = help.cbegin(); it != help.cend(); ++it) {
        if (!statedDefault(it.value()).isEmpty()) {
            stating.append(it.key());
        }
    }
    // database-connections and http-threads: their defaults depend on the database and the machine, below.
    QStringList checked = defaultedValues(ServiceConfig {}).keys() << u"database-connections"_s << u"http-threads"_s;
    stating.sort();
    checked.sort();
    QCOMPARE(stating, checked);

    const ConfigResult postgres = parseConfig({u"nolvex-shortd"_s, u"--database"_s, u"postgresql://h/d"_s}, {});
    QVERIFY2(postgres.error.isEmpty(), qPrintable(postgres.error));
    QCOMPARE(statedDefault(help.value(u"database-connections"_s)),
        u"%1 for PostgreSQL, %2 for SQLite"_s.arg(postgres.config.storeConnections())
            .arg(ServiceConfig {}.storeConnections()));
    QCOMPARE(statedDefault(help.value(u"http-threads"_s)),
        u"the number of cores, here %1"_s.arg(ServiceConfig {}.httpThreadCount()));
    QCOMPARE(ServiceConfig {}.httpThreadCount(), std::max(1, QThread::idealThreadCount()));
}

QTEST_APPLESS_MAIN(ConfigTest)
#include "tst_config.moc"
