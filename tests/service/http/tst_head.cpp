#include "httpprobe.h"
#include "protocol.h"
#include "shortdprocess.h"

#include <QTcpSocket>
#include <QTest>

using namespace Qt::StringLiterals;
using namespace Nolvex::Protocol;

namespace
{
// Everything the service sends on one connection until it closes it.
QByteArray exchangeUntilClosed(quint16 port, const QByteArray& requests)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    if (!socket.waitForConnected(10'000)) {
        return {};
    }
    socket.write(requests);
    QByteArray received;
    while (socket.state() == QAbstractSocket::ConnectedState && socket.waitForReadyRead(10'000)) {
        received += socket.readAll();
    }
    return received + socket.readAll();
}
} // namespace

class HeadTest final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void headAnnouncesWhatGetSends_data();
    void headAnnouncesWhatGetSends();

private:
    ShortdProcess m_service {{u"--rate-limit"_s, u"0"_s}};
    QString m_code;
};

void HeadTest::initTestCase()
{
    QVERIFY2(m_service.start(), qPrintable(m_service.errorString()));
    m_code = shortenedCode(m_service.port(), 1, u"https://example.com/head"_s);
    QVERIFY(!m_code.isEmpty());
}

void HeadTest::cleanupTestCase()
{
    QVERIFY2(m_service.stop(), qPrintable(m_service.errorString()));
}

void HeadTest::headAnnouncesWhatGetSends_data()
{
    // %1 stands for a stored link's code.
    QTest::addColumn<QString>("target");
    QTest::addColumn<int>("status");
    QTest::newRow("home page") << u"/"_s << 200;
    QTest::newRow("release page") << ReleasePagePrefix.toString() + u"1"_s << 200;
    QTest::newRow("release page, unknown") << ReleasePagePrefix.toString() + u"9"_s << 404;
    QTest::newRow("preview") << u"/%1+"_s << 200;
    QTest::newRow("QR code, SVG") << u"/%1.svg"_s << 200;
    QTest::newRow("QR code, PNG") << u"/%1.png?size=64"_s << 200;
    QTest::newRow("QR code, bad size") << u"/%1.png?size=9"_s << 400;
    QTest::newRow("redirect") << u"/%1"_s << 302;
    QTest::newRow("unknown code") << u"/zzzzzz"_s << 404;
    QTest::newRow("health") << u"/healthz"_s << 200;
    QTest::newRow("version check, POST only") << VersionPath.toString() << 405;
}

void HeadTest::headAnnouncesWhatGetSends()
{
    QFETCH(QString, target);
    QFETCH(int, status);
    const QByteArray path = target.arg(m_code).toUtf8();
    const QByteArray host = "Host: 127.0.0.1:" + QByteArray::number(m_service.port()) + "\r\n";

    const HttpResult got = rawExchange(m_service.port(), rawGet(path, m_service.port()));
    QCOMPARE(got.status, status);

    // A second request on the same connection: its answer must follow HEAD's headers at once,
    // with no body between them.
    const QByteArray received = exchangeUntilClosed(m_service.port(),
        "HEAD " + path + " HTTP/1.1\r\n" + host + "\r\nGET /healthz HTTP/1.1\r\n" + host + "Connection: close\r\n\r\n");
    const qsizetype headEnd = received.indexOf("\r\n\r\n");
    QVERIFY2(headEnd > 0, received.constData());
    HttpResult headed;
    headed.rawHeaders = received.first(headEnd);
    QVERIFY2(
        headed.rawHeaders.startsWith(QByteArray("HTTP/1.1 " + QByteArray::number(status) + ' ')), received.constData());
    QCOMPARE(headed.header("Content-Length"), QByteArray::number(got.body.size()));
    QCOMPARE(headed.header("Content-Type"), got.header("Content-Type"));
    QVERIFY2(received.sliced(headEnd + 4).startsWith("HTTP/1.1 200 OK\r\n"), received.constData());
}

QTEST_GUILESS_MAIN(HeadTest)
#include "tst_head.moc"
