#include "protocol.h"
#include "token.h"
#include "version.h"

#include <QtTest>

using namespace Nolvex;

// The literal values every released client and every deployed service must agree on. A change
// here breaks the other side, so it has to be made on purpose.
class TestProtocol final : public QObject
{
    Q_OBJECT

private slots:
    void facts_data();
    void facts();
    void keyOrder();
    void token();
};

void TestProtocol::facts_data()
{
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("expected");
    using namespace Protocol;
    const auto row = [](const char* name, QStringView value, const char16_t* expected) {
        QTest::newRow(name) << value.toString() << QString::fromUtf16(expected);
    };
    row("shorten path", ShortenPath, u"/index.php/Index/weburl_zip");
    row("version path", VersionPath, u"/index.php/Index/soft_version");
    row("release page prefix", ReleasePagePrefix, u"/index.php/Works/detail/sid/");
    row("type key", TypeKey, u"type");
    row("url key", UrlKey, u"url");
    row("token key", TokenKey, u"token");
    row("product key", ProductKey, u"sn");
    row("product code", ProductCode, u"tkvr");
    row("salt", Salt, u"brisk");
    row("result member", ResultMember, u"result");
    row("info member", InfoMember, u"info");
    row("message member", MessageMember, u"message");
    row("version member", VersionMember, u"version");
    row("sid member", SidMember, u"sid");
    row("must member", MustMember, u"must");
    // From project(VERSION), as every file that states the version has it.
    row("version", CurrentVersion, u"" NOLVEX_PROJECT_VERSION);
    row("link types", QString::number(LinkTypeCount), u"6");
}

void TestProtocol::facts()
{
    QFETCH(QString, value);
    QFETCH(QString, expected);
    QCOMPARE(value, expected);
}

void TestProtocol::keyOrder()
{
    QStringList keys;
    for (const QStringView key : Protocol::ShortenQueryKeys) {
        keys << key.toString();
    }
    QCOMPARE(keys, QStringList({QStringLiteral("type"), QStringLiteral("url"), QStringLiteral("token")}));
}

void TestProtocol::token()
{
    // MD5 of the GBK bytes of "http://a.example/中" followed by "brisk", computed independently.
    const QString address = QString::fromUtf16(u"http://a.example/\u4E2D");
    QByteArray bytes = QByteArray("http://a.example/\xD6\xD0") + "brisk";
    QCOMPARE(requestToken(address),
        QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Md5).toHex().toUpper()));
}

QTEST_APPLESS_MAIN(TestProtocol)
#include "tst_protocol.moc"
