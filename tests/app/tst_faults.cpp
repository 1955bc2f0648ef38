#include "cannedserver.h"
#include "version.h"
#include "windowharness.h"

#include <QFile>
#include <QScopeGuard>
#include <QSslCertificate>
#include <QSslConfiguration>

using namespace Nolvex;
using namespace std::chrono_literals;
using Behaviour = CannedServer::Behaviour;

Q_DECLARE_METATYPE(Behaviour)

namespace
{

enum class Peer {
    Plain,
    SelfSigned, // https with a certificate nobody trusts
    TrustedTls, // https with a trusted certificate for 127.0.0.1
    WrongHost, // https with a trusted certificate for another name
};

QSslCertificate certificate(const char* name)
{
    QFile file(QStringLiteral(NOLVEX_TEST_DATA_DIR "/") + QLatin1StringView(name) + QStringLiteral(".crt"));
    return file.open(QIODevice::ReadOnly) ? QSslCertificate(file.readAll()) : QSslCertificate();
}

const QString NoConnection = QStringLiteral("无法连接短网址服务器,请检查网络后重试..");
const QString TimedOut = QStringLiteral("服务器响应超时,请稍后重试..");
const QString Unreadable = QStringLiteral("服务器返回的数据无法识别,请稍后重试..");

} // namespace

Q_DECLARE_METATYPE(Peer)

// Misbehaving shortening services, seen through the window: whatever the peer does, the user gets
// a clear status, no partial short link and a usable button. Peers that never finish meet a short
// time limit; the others an ample one, which a fault must not wait out.
class TestFaults final : public QObject
{
    Q_OBJECT

private slots:
    void misbehavingPeer_data();
    void misbehavingPeer();
};

void TestFaults::misbehavingPeer_data()
{
    QTest::addColumn<Peer>("peer");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<Behaviour>("behaviour");
    QTest::addColumn<QString>("status");
    QTest::addColumn<std::chrono::milliseconds>("limit");

    const QByteArray success = R"({"result":1,"info":"https://i.test/partial","message":""})";
    const QByteArray html = "<!DOCTYPE html><html><body><h1>Service Unavailable</h1></body></html>";
    QByteArray deep;
    for (int i = 0; i < 1025; ++i) {
        deep += "{\"a\":";
    }
    deep += "1" + QByteArray(1025, '}');

    QTest::newRow("never answers") << Peer::Plain << QByteArray() << Behaviour::Silent << TimedOut << 300ms;
    QTest::newRow("drips a byte every 100 ms")
        << Peer::Plain << CannedServer::response(200, success) << Behaviour::Drip << TimedOut << 500ms;
    QTest::newRow("resets mid-body")
        << Peer::Plain
        << QByteArray("HTTP/1.1 200 OK\r\nContent-Length: 120\r\n\r\n{\"result\":1,\"info\":\"https://i.te")
        << Behaviour::ResetAfterReply << NoConnection << AmpleTimeLimit;
    QTest::newRow("Content-Length longer than the body")
        << Peer::Plain << "HTTP/1.1 200 OK\r\nContent-Length: 200\r\nConnection: close\r\n\r\n" + success
        << Behaviour::Reply << NoConnection << AmpleTimeLimit;
    QTest::newRow("Content-Length shorter than the body")
        << Peer::Plain << "HTTP/1.1 200 OK\r\nContent-Length: 24\r\nConnection: close\r\n\r\n" + success
        << Behaviour::Reply << Unreadable << AmpleTimeLimit;
    QTest::newRow("10 MB") << Peer::Plain << CannedServer::response(200, QByteArray(qsizetype {10} * 1024 * 1024, '['))
                           << Behaviour::Reply << Unreadable << AmpleTimeLimit;
    QTest::newRow("HTML with 200") << Peer::Plain << CannedServer::response(200, html, "text/html") << Behaviour::Reply
                                   << Unreadable << AmpleTimeLimit;
    QTest::newRow("HTML with 500") << Peer::Plain << CannedServer::response(500, html, "text/html") << Behaviour::Reply
                                   << Unreadable << AmpleTimeLimit;
    QTest::newRow("invalid UTF-8") << Peer::Plain
                                   << CannedServer::response(200, "{\"result\":1,\"info\":\"https://i.test/\xFF\xFE\"}")
                                   << Behaviour::Reply << Unreadable << AmpleTimeLimit;
    QTest::newRow("nesting 1,025 deep") << Peer::Plain << CannedServer::response(200, deep) << Behaviour::Reply
                                        << Unreadable << AmpleTimeLimit;
    QTest::newRow("redirects in a loop") << Peer::Plain
                                         << CannedServer::response(302, {}, "text/plain", "Location: /again\r\n")
                                         << Behaviour::Reply << NoConnection << AmpleTimeLimit;
    QTest::newRow("redirects from https to http")
        << Peer::TrustedTls << QByteArray() << Behaviour::Reply << NoConnection << AmpleTimeLimit;
    QTest::newRow("self-signed certificate") << Peer::SelfSigned << CannedServer::response(200, success)
                                             << Behaviour::Reply << NoConnection << AmpleTimeLimit;
    QTest::newRow("certificate for another host") << Peer::WrongHost << CannedServer::response(200, success)
                                                  << Behaviour::Reply << NoConnection << AmpleTimeLimit;
}

void TestFaults::misbehavingPeer()
{
    QFETCH(Peer, peer);
    QFETCH(QByteArray, reply);
    QFETCH(Behaviour, behaviour);
    QFETCH(QString, status);
    QFETCH(std::chrono::milliseconds, limit);

    const QSslConfiguration saved = QSslConfiguration::defaultConfiguration();
    auto restore = qScopeGuard([&saved] { QSslConfiguration::setDefaultConfiguration(saved); });
    if (peer == Peer::TrustedTls || peer == Peer::WrongHost) {
        QSslConfiguration trusting = saved;
        trusting.addCaCertificate(certificate("selfsigned"));
        trusting.addCaCertificate(certificate("wronghost"));
        QSslConfiguration::setDefaultConfiguration(trusting);
    }

    CannedServer versions;
    QVERIFY(versions.start());
    versions.setReply(CannedServer::response(200,
        R"({"result":1,"info":{"version":")" + Protocol::CurrentVersion.toLatin1() + R"(","sid":"1","must":"0"}})"));
    CannedServer downgrade; // where the https peer sends the client
    QVERIFY(downgrade.start());
    downgrade.setReply(CannedServer::response(200, R"({"result":1,"info":"http://i.test/downgraded"})"));

    auto service = peer == Peer::Plain
        ? std::make_unique<CannedServer>()
        : std::make_unique<CannedServer>(
            peer == Peer::WrongHost ? QStringLiteral("wronghost") : QStringLiteral("selfsigned"));
    QVERIFY(service->start());
    if (peer == Peer::TrustedTls) {
        reply = CannedServer::response(302, {}, "text/plain", "Location: " + downgrade.origin().toUtf8() + "/x\r\n");
    }
    service->setReply(reply, behaviour);

    WindowHarness h(testSettings(service->origin(), versions.origin(), limit));
    QVERIFY(h.waitUntilReady());
    h.text("Text2")->setText(QStringLiteral("https://earlier.example/"));
    h.text("Text3")->setText(QStringLiteral("https://i.test/earlier"));
    h.text("Text1")->setText(QStringLiteral("https://e.example/faulty?a=1&b=2"));
    h.click("Command1");
    QVERIFY(!h.button("Command1")->isEnabled());
    QTRY_VERIFY(!h.window->requestPending());

    QCOMPARE(h.status(), status);
    QVERIFY(h.button("Command1")->isEnabled());
    QCOMPARE(h.text("Text2")->text(), QStringLiteral("https://earlier.example/"));
    QCOMPARE(h.text("Text3")->text(), QStringLiteral("https://i.test/earlier"));
    QVERIFY(downgrade.requests().isEmpty());
}

QTEST_MAIN(TestFaults)
#include "tst_faults.moc"
