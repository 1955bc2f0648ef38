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
    void versionStatedOnce_data();
    void versionStatedOnce();
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

// The release comes from project(VERSION) alone: every file a package carries that states it is made
// from the same number, so none can be left behind at the next release.
void TestProtocol::versionStatedOnce_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QString>("statement");
    const QString tag = QStringLiteral("\"Nolvex %1\"").arg(Protocol::CurrentVersion);
    QTest::newRow("service's man page") << QStringLiteral("man-pages/nolvex-shortd.8") << tag;
    QTest::newRow("terminal client's man page") << QStringLiteral("man-pages/nolvex-shorten.1") << tag;
    QTest::newRow("window's man page") << QStringLiteral("man-pages/nolvex-shortener.1") << tag;
    QTest::newRow("service's settings file") << QStringLiteral(
        "nolvex-shortd.default") << QStringLiteral("NOLVEX_SHORTD_RELEASE_VERSION=%1\n").arg(Protocol::CurrentVersion);
}

void TestProtocol::versionStatedOnce()
{
    QFETCH(QString, file);
    QFETCH(QString, statement);
    QVERIFY(QRegularExpression(QStringLiteral("^\\d+\\.\\d+(\\.\\d+)?$")).match(Protocol::CurrentVersion).hasMatch());
    QFile configured(QStringLiteral(NOLVEX_SHARE_BUILD_DIR "/") + file);
    QVERIFY2(configured.open(QIODevice::ReadOnly), qPrintable(configured.fileName()));
    QVERIFY(QString::fromUtf8(configured.readAll()).contains(statement));
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
