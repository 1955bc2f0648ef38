#include "httpprobe.h"
#include "protocol.h"
#include "shortdprocess.h"
#include "store/databaseaddress.h"
#include "store/sqllinkstore.h"

#include <QDir>
#include <QTest>

using namespace Qt::StringLiterals;
using namespace Nolvex::Protocol;
using namespace Shortd;

// The whole service: redirects counted by who follows them, with classification on and off, and
// the counts written when the service stops.
class ShortdVisitsTest final : public QObject
{
    Q_OBJECT

private slots:
    void countedByClass_data();
    void countedByClass();
};

void ShortdVisitsTest::countedByClass_data()
{
    QTest::addColumn<QString>("classes");
    QTest::addColumn<VisitCounts>("expected");
    // Three browsers' visits (two from one client), a preview, a library, no user agent, and a HEAD.
    QTest::newRow("classified") << u"on"_s << VisitCounts {3, 2, 2, 1};
    QTest::newRow("every GET a person's") << u"off"_s << VisitCounts {6, 5, 0, 0};
}

void ShortdVisitsTest::countedByClass()
{
    QFETCH(QString, classes);
    QFETCH(VisitCounts, expected);
    ShortdProcess service({u"--rate-limit"_s, u"0"_s, u"--visit-classes"_s, classes});
    QVERIFY2(service.start(), qPrintable(service.errorString()));
    const quint16 port = service.port();
    const QString code = shortenedCode(port, 1, u"https://example.com/visits"_s);
    QVERIFY(!code.isEmpty());

    const auto visit = [&](const QByteArray& method, const QByteArray& headers) {
        return rawExchange(port,
            method + " /" + code.toLatin1() + " HTTP/1.1\r\nHost: 127.0.0.1:" + QByteArray::number(port) + "\r\n"
                + headers + "Connection: close\r\n\r\n")
            .status;
    };
    const QByteArray firefox = "User-Agent: Mozilla/5.0 (X11; Linux x86_64; rv:121.0) Gecko/20100101 Firefox/121.0\r\n";
    const QByteArray phone = "User-Agent: Mozilla/5.0 (iPhone; CPU iPhone OS 17_2 like Mac OS X) Mobile/15E148\r\n";
    QCOMPARE(visit("GET", firefox + "Referer: https://chat.example/room\r\n"), 302);
    QCOMPARE(visit("GET", firefox), 302);
    QCOMPARE(visit("GET", phone), 302);
    QCOMPARE(visit("GET", "User-Agent: Slackbot-LinkExpanding 1.0 (+https://api.slack.com/robots)\r\n"), 302);
    QCOMPARE(visit("GET", "User-Agent: python-requests/2.31.0\r\n"), 302);
    QCOMPARE(visit("GET", {}), 302);
    QCOMPARE(visit("HEAD", firefox), 302);
    QVERIFY2(service.stop(), qPrintable(service.errorString()));

    SqlLinkStore store(DatabaseAddress::sqliteFile(QDir(service.dataDir()).filePath(u"links.sqlite"_s)));
    QVERIFY2(store.open(), qPrintable(store.lastError()));
    QHash<QString, VisitCounts> counts;
    QCOMPARE(store.linkVisitCounts({code}, &counts), StoreStatus::Ok);
    QCOMPARE(counts.value(code), expected);
    QCOMPARE(store.findByCode(code).link.visits, expected.humans);
}

QTEST_GUILESS_MAIN(ShortdVisitsTest)
#include "tst_shortdvisits.moc"
