#include "cannedserver.h"
#include "httpprobe.h"
#include "shortdprocess.h"

#include <QProcess>
#include <QSaveFile>
#include <QTest>

using namespace Qt::StringLiterals;

// The service's own checks, on a period of a second, against local servers that go bad: each
// destination's server turns at the row's moment, and the link ends as the row says.
class ShortdChecksTest final : public QObject
{
    Q_OBJECT

private slots:
    void destinationGoesBad_data();
    void destinationGoesBad();
};

namespace
{
// How long a change may take to be found: a few periods, the host gap and the writes.
constexpr int FoundWithinMs = 30'000;

QString linkShown(const ShortdProcess& service, const QString& code)
{
    QProcess process;
    process.start(ShortdProcess::binaryPath(), {u"links"_s, u"show"_s, code, u"--data-dir"_s, service.dataDir()});
    process.waitForFinished(10'000);
    return QString::fromUtf8(process.readAllStandardOutput());
}

QByteArray redirectTo(const QByteArray& location)
{
    return CannedServer::response(302, {}, "text/plain", "Location: " + location + "\r\n");
}

int statusOf(const ShortdProcess& service, const QString& code)
{
    return rawExchange(service.port(), rawGet('/' + code.toLatin1(), service.port())).status;
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

QTEST_GUILESS_MAIN(ShortdChecksTest)
#include "tst_shortdchecks.moc"
