#include "httpprobe.h"
#include "shortdprocess.h"

#include <QJsonObject>
#include <QTest>

using namespace Qt::StringLiterals;

// Links the service acknowledged must outlive the process, however it ends.
class ShortdDurabilityTest final : public QObject {
    Q_OBJECT

private slots:
    void acknowledgedLinksSurviveKill9();
    void visitsSurviveOrderlyStop();
};

void ShortdDurabilityTest::acknowledgedLinksSurviveKill9()
{
    ShortdProcess service({ u"--rate-limit"_s, u"0"_s });
    QVERIFY2(service.start(), qPrintable(service.errorString()));

    struct Made {
        int type;
        QString address;
        QString code;
    };
    QList<Made> made;
    for (int i = 0; i < 300; ++i) {
        const int type = i % 6;
        const QString address = u"https://example.com/durable/%1?中文=%2&x=a+b"_s.arg(i).arg(i * 7);
        const HttpResult reply = rawExchange(service.port(), rawGet(shortenTarget(type, address), service.port()));
        QCOMPARE(reply.json().value(u"result"_s).toInt(), 1);
        made.append({ type, address, reply.json().value(u"info"_s).toString().section(u'/', -1) });
    }
    // No orderly shutdown: whatever was acknowledged must already be on disk.
    service.kill9();
    QVERIFY(!service.isRunning());
    QVERIFY2(service.restart(), qPrintable(service.errorString()));

    for (const Made& link : made) {
        const HttpResult followed = rawExchange(service.port(), rawGet('/' + link.code.toLatin1(), service.port()));
        QCOMPARE(followed.status, 302);
        QCOMPARE(QUrl::fromEncoded(followed.header("Location")), QUrl(link.address));
    }
    // The same address still gives the same link after the restart.
    const Made& sample = made.at(123);
    const HttpResult again
        = rawExchange(service.port(), rawGet(shortenTarget(sample.type, sample.address), service.port()));
    QCOMPARE(again.json().value(u"info"_s).toString().section(u'/', -1), sample.code);
    QVERIFY2(service.stop(), qPrintable(service.errorString()));
}

void ShortdDurabilityTest::visitsSurviveOrderlyStop()
{
    ShortdProcess service;
    QVERIFY2(service.start(), qPrintable(service.errorString()));
    const HttpResult created
        = rawExchange(service.port(), rawGet(shortenTarget(1, u"http://example.com/counted"_s), service.port()));
    const QByteArray code = created.json().value(u"info"_s).toString().section(u'/', -1).toLatin1();
    QVERIFY(!code.isEmpty());
    for (int i = 0; i < 5; ++i) {
        QCOMPARE(rawExchange(service.port(), rawGet('/' + code, service.port())).status, 302);
    }
    QVERIFY2(service.stop(), qPrintable(service.errorString()));
    QVERIFY2(service.restart(), qPrintable(service.errorString()));
    const HttpResult preview = rawExchange(service.port(), rawGet('/' + code + '+', service.port()));
    QCOMPARE(preview.status, 200);
    QVERIFY2(QString::fromUtf8(preview.body).contains(u"访问次数：5"_s), preview.body.constData());
}

QTEST_GUILESS_MAIN(ShortdDurabilityTest)
#include "tst_shortddurability.moc"
