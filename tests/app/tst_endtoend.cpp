#include "shortdprocess.h"
#include "windowharness.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSignalSpy>

using namespace Nolvex;

// The real window against the real service on loopback: shorten, follow the link back.
class TestEndToEnd final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void roundTrip_data();
    void roundTrip();
    void refusalShowsTheServiceMessage();

private:
    QString shorten(const QString& address, int option);
    QNetworkReply* follow(const QString& link);

    std::unique_ptr<ShortdProcess> m_service;
    std::unique_ptr<WindowHarness> m_window;
    QNetworkAccessManager m_manager;
};

void TestEndToEnd::initTestCase()
{
    m_service = std::make_unique<ShortdProcess>(QStringList {QStringLiteral("--rate-limit"), QStringLiteral("0")});
    QVERIFY2(m_service->start(), qPrintable(m_service->errorString()));
    Settings settings = testSettings(m_service->origin(), m_service->origin());
    settings.siteOrigin = m_service->origin();
    m_window = std::make_unique<WindowHarness>(settings);
    QVERIFY(m_window->waitUntilReady());
    // The bundled service reports this very version: the client is up to date.
    QCOMPARE(m_window->status(), QStringLiteral("当前软件为最新版本,欢迎使用Nolvex软件.."));
    QVERIFY(m_window->platform.informed.isEmpty() && m_window->platform.asked.isEmpty());
}

void TestEndToEnd::cleanupTestCase()
{
    m_window.reset();
    if (m_service) {
        QVERIFY2(m_service->stop(), qPrintable(m_service->errorString()));
    }
}

QString TestEndToEnd::shorten(const QString& address, int option)
{
    return m_window->shorten(address, option) ? m_window->text("Text3")->text() : QString();
}

QNetworkReply* TestEndToEnd::follow(const QString& link)
{
    QNetworkRequest request {QUrl(link)};
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    QNetworkReply* reply = m_manager.get(request);
    QSignalSpy finished(reply, &QNetworkReply::finished);
    finished.wait(10000);
    return reply;
}

void TestEndToEnd::roundTrip_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<int>("option");
    QTest::newRow("plain") << QStringLiteral("https://www.example.com/articles/42") << 0;
    QTest::newRow("query and fragment") << QStringLiteral("https://e.example/p?a=1&b=2&c=x#section-3") << 1;
    QTest::newRow("plus") << QStringLiteral("https://e.example/search?q=c++&lang=en") << 2;
    QTest::newRow("literal %20") << QStringLiteral("https://e.example/a%20b?x=%41") << 3;
    QTest::newRow("blanks") << QStringLiteral("https://e.example/a b/c d") << 4;
    QTest::newRow("chinese") << QString::fromUtf16(u"https://e.example/\u641C\u7D22?\u8BCD=\u77ED\u7F51\u5740#\u9876")
                             << 5;
    QTest::newRow("scheme later in the text") << QStringLiteral("http://e.example/x?next=http://f.example/") << 0;
}

void TestEndToEnd::roundTrip()
{
    QFETCH(QString, address);
    QFETCH(int, option);
    const QString link = shorten(address, option);
    QCOMPARE(m_window->status(), QStringLiteral("短网址生成成功"));
    QVERIFY2(link.startsWith(m_service->origin() + QLatin1Char('/')), qPrintable(link));
    QCOMPARE(m_window->text("Text2")->text(), address);

    std::unique_ptr<QNetworkReply> reply(follow(link));
    QCOMPARE(reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 302);
    const QByteArray location = reply->rawHeader("Location");
    // The service writes the address percent-encoded; decoded, it is the address as typed.
    QCOMPARE(QUrl::fromEncoded(location).toString(QUrl::FullyEncoded),
        QUrl(address, QUrl::TolerantMode).toString(QUrl::FullyEncoded));
    QVERIFY(reply->rawHeader("Cache-Control").contains("no-store"));

    // The same address and service again: the same link, and the button is usable again.
    QCOMPARE(shorten(address, option), link);
    QVERIFY(m_window->button("Command1")->isEnabled());
}

void TestEndToEnd::refusalShowsTheServiceMessage()
{
    const QString before = m_window->text("Text3")->text();
    QVERIFY(!before.isEmpty());
    const QString link = shorten(QStringLiteral("javascript:alert('http://x')"), 0);
    QVERIFY(link.isEmpty());
    QVERIFY(m_window->text("Text2")->text().isEmpty());
    const QString message = m_window->status();
    QVERIFY(!message.isEmpty());
    QVERIFY2(message.front().unicode() >= 0x4E00, qPrintable(message)); // a Chinese reason from the service
    QVERIFY(m_window->button("Command1")->isEnabled());
}

QTEST_MAIN(TestEndToEnd)
#include "tst_endtoend.moc"
