#include "httpprobe.h"
#include "pgcluster.h"
#include "shortdprocess.h"

#include <QElapsedTimer>
#include <QSaveFile>
#include <QTemporaryDir>
#include <QTest>
#include <memory>
#include <vector>

using namespace Qt::StringLiterals;

// A feed file rewritten to list the destination of a link already made: every instance stops
// serving it, through the store's change log, within the feed's poll time and a sweep.
class ShortdQuarantineTest final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void feedChangeStopsEveryInstance_data();
    void feedChangeStopsEveryInstance();

private:
    PgCluster m_cluster;
    bool m_clusterUp = false;
};

namespace
{
bool writeFeed(const QString& path, const QByteArray& text)
{
    QSaveFile file(path); // replaced whole, as feeds are usually published
    return file.open(QIODevice::WriteOnly) && file.write(text) == text.size() && file.commit();
}

int statusOf(const ShortdProcess& instance, const QString& code)
{
    return rawExchange(instance.port(), rawGet('/' + code.toLatin1(), instance.port())).status;
}
} // namespace

void ShortdQuarantineTest::initTestCase()
{
    m_clusterUp = m_cluster.start();
}

void ShortdQuarantineTest::feedChangeStopsEveryInstance_data()
{
    QTest::addColumn<bool>("postgres");
    QTest::addColumn<int>("instances");
    QTest::newRow("embedded file, one instance") << false << 1;
    QTest::newRow("PostgreSQL, two instances, one reading the list") << true << 2;
}

void ShortdQuarantineTest::feedChangeStopsEveryInstance()
{
    QFETCH(bool, postgres);
    QFETCH(int, instances);
    if (postgres && !m_clusterUp) {
        QSKIP(qPrintable(u"no PostgreSQL cluster: "_s + m_cluster.errorString()));
    }
    QTemporaryDir feeds;
    const QString feed = feeds.filePath(u"test.txt"_s);
    QVERIFY(writeFeed(feed, "unrelated.example\n"));
    // The cache keeps a link far longer than the test runs: only hearing of the change drops it.
    QStringList arguments {u"--cache-ttl"_s, u"600"_s};
    if (postgres) {
        const QString url = m_cluster.createDatabase(u"quarantine"_s);
        QVERIFY(!url.isEmpty());
        arguments << u"--database"_s << url;
    }
    std::vector<std::unique_ptr<ShortdProcess>> running;
    for (int i = 0; i < instances; ++i) {
        // The others read no list: they learn of the quarantine from the change log alone.
        const QStringList lists = i == 0 ? QStringList {u"--blocklist"_s, u"test="_s + feed} : QStringList {};
        running.push_back(std::make_unique<ShortdProcess>(arguments + lists));
        QVERIFY2(running.back()->start(), qPrintable(running.back()->errorString()));
    }
    const QString code = shortenedCode(running.front()->port(), 0, u"https://phish.example/login"_s);
    QVERIFY(!code.isEmpty());
    const QString kept = shortenedCode(running.front()->port(), 0, u"https://fine.example/"_s);
    for (const auto& instance : running) {
        QCOMPARE(statusOf(*instance, code), 302); // in every cache now
    }

    QElapsedTimer sinceChange;
    QVERIFY(writeFeed(feed, "unrelated.example\n# added\nphish.example\n"));
    sinceChange.start();
    for (const auto& instance : running) {
        QTRY_VERIFY_WITH_TIMEOUT(statusOf(*instance, code) != 302, 10'000);
        qInfo("instance on port %u stopped the link %lld ms after the feed changed", instance->port(),
            sinceChange.elapsed());
    }
    for (const auto& instance : running) {
        QCOMPARE(statusOf(*instance, code), 403);
        QCOMPARE(statusOf(*instance, kept), 302);
    }
    for (const auto& instance : running) {
        QVERIFY2(instance->stop(), qPrintable(instance->errorString()));
    }
}

QTEST_GUILESS_MAIN(ShortdQuarantineTest)
#include "tst_shortdquarantine.moc"
