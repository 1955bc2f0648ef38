#include "config.h"
#include "http/clientaddress.h"

#include <QTest>

using namespace Qt::StringLiterals;
using namespace Shortd;

class ClientAddressTest final : public QObject
{
    Q_OBJECT

private slots:
    void forwardedClient_data();
    void forwardedClient();
};

void ClientAddressTest::forwardedClient_data()
{
    QTest::addColumn<QString>("peer");
    QTest::addColumn<QByteArray>("forwardedFor");
    QTest::addColumn<QString>("client");
    // Trusted: 10.0.0.0/8 and ::1.
    QTest::newRow("no proxy in between") << u"203.0.113.9"_s << QByteArray() << u"203.0.113.9"_s;
    QTest::newRow("untrusted peer: header ignored")
        << u"203.0.113.9"_s << QByteArray("198.51.100.1") << u"203.0.113.9"_s;
    QTest::newRow("one proxy") << u"10.1.2.3"_s << QByteArray("198.51.100.1") << u"198.51.100.1"_s;
    QTest::newRow("client's own claim on the left ignored")
        << u"10.1.2.3"_s << QByteArray("1.2.3.4, 198.51.100.1") << u"198.51.100.1"_s;
    QTest::newRow("chain of trusted proxies")
        << u"10.1.2.3"_s << QByteArray("198.51.100.1, 10.9.9.9 ,10.8.8.8") << u"198.51.100.1"_s;
    QTest::newRow("every hop trusted: the left-most")
        << u"10.1.2.3"_s << QByteArray("10.5.5.5, 10.6.6.6") << u"10.5.5.5"_s;
    QTest::newRow("garbage stops the walk")
        << u"10.1.2.3"_s << QByteArray("198.51.100.1, not-an-address") << u"10.1.2.3"_s;
    QTest::newRow("IPv6 proxy, IPv6 client") << u"::1"_s << QByteArray("2001:db8::7") << u"2001:db8::7"_s;
    QTest::newRow("IPv4-mapped peer") << u"::ffff:10.1.2.3"_s << QByteArray("198.51.100.1") << u"198.51.100.1"_s;
    QTest::newRow("mapped, untrusted") << u"::ffff:203.0.113.9"_s << QByteArray("198.51.100.1") << u"203.0.113.9"_s;
}

void ClientAddressTest::forwardedClient()
{
    QFETCH(QString, peer);
    QFETCH(QByteArray, forwardedFor);
    const ConfigResult parsed
        = parseConfig({u"nolvex-shortd"_s, u"--trusted-proxy"_s, u"10.0.0.0/8"_s, u"--trusted-proxy"_s, u"::1"_s}, {});
    QVERIFY2(parsed.error.isEmpty(), qPrintable(parsed.error));
    QTEST(clientAddress(QHostAddress(peer), forwardedFor, parsed.config.trustedProxies), "client");
}

QTEST_APPLESS_MAIN(ClientAddressTest)
#include "tst_clientaddress.moc"
