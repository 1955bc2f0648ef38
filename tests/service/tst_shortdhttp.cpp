#include "httpprobe.h"
#include "shortdprocess.h"
#include "token.h"

#include <QElapsedTimer>
#include <QFile>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QRegularExpression>
#include <QSslError>
#include <QTcpSocket>
#include <QTest>
#include <QThread>

using namespace Qt::StringLiterals;

namespace
{
QByteArray shortenWithToken(const QByteArray& type, const QString& address, const QByteArray& token)
{
    return "/index.php/Index/weburl_zip?type=" + type + "&url=" + QUrl::toPercentEncoding(address) + "&token=" + token;
}

QByteArray validToken(const QString& address)
{
    return Nolvex::requestToken(address).toLatin1();
}

QString codeOf(const QString& shortLink)
{
    return shortLink.section(u'/', -1);
}
} // namespace

class ShortdHttpTest final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    void roundTrip_data();
    void roundTrip();
    void sameAddressSameLinkPerType();
    void badInput_data();
    void badInput();
    void storedAfterHostileInput();
    void previewCountsAndEscapes();
    void unknownCodes_data();
    void unknownCodes();
    void versionReplyAndReleasePage();
    void configuredRelease();
    void rateLimit();
    void linkBases();
    void oversizedRequestIsRefused();
    void connectionLimit();
    void malformedRequestLine();
    void closesWhenAsked_data();
    void closesWhenAsked();
    void accessLogLinePerRequest();
    void servesTls();

private:
    QUrl url(const QByteArray& target) const;

    ShortdProcess m_service {{u"--rate-limit"_s, u"0"_s}};
    QNetworkAccessManager m_manager;
};

QUrl ShortdHttpTest::url(const QByteArray& target) const
{
    return QUrl::fromEncoded(m_service.origin().toLatin1() + target, QUrl::StrictMode);
}

void ShortdHttpTest::initTestCase()
{
    QVERIFY2(m_service.start(), qPrintable(m_service.errorString()));
}

void ShortdHttpTest::cleanupTestCase()
{
    QVERIFY2(m_service.stop(), qPrintable(m_service.errorString()));
}

void ShortdHttpTest::roundTrip_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<QString>("address");
    QTest::addColumn<QByteArray>("location");

    QTest::newRow("plain") << 0 << u"http://example.com/"_s << QByteArray("http://example.com/");
    QTest::newRow("https with port and query")
        << 1 << u"https://example.com:8443/a/b?x=1&y=2"_s << QByteArray("https://example.com:8443/a/b?x=1&y=2");
    QTest::newRow("chinese path and query") << 2 << u"http://example.com/中文/路径?词=值"_s
                                            << QByteArray("http://example.com/%E4%B8%AD%E6%96%87/%E8%B7%AF%E5%BE%84"
                                                          "?%E8%AF%8D=%E5%80%BC");
    QTest::newRow("reserved characters") << 3 << u"http://example.com/p?a=1&b=x+y&c=%26#frag"_s
                                         << QByteArray("http://example.com/p?a=1&b=x+y&c=%26#frag");
    QTest::newRow("typed percent-twenty stays")
        << 4 << u"http://example.com/a%20b"_s << QByteArray("http://example.com/a%20b");
    QTest::newRow("blank is encoded") << 5 << u"http://example.com/a b"_s << QByteArray("http://example.com/a%20b");
    QTest::newRow("plus is not a blank") << 0 << u"http://example.com/?q=c++"_s
                                         << QByteArray("http://example.com/?q=c++");
    QTest::newRow("sql metacharacters") << 1 << u"http://example.com/?q=';DROP TABLE links;--"_s
                                        << QByteArray("http://example.com/?q=';DROP%20TABLE%20links;--");
    QTest::newRow("upper-case scheme") << 2 << u"HTTP://Example.COM/X"_s << QByteArray("http://example.com/X");
    QTest::newRow("international host") << 3 << u"http://例子.测试/"_s << QByteArray("http://xn--fsqu00a.xn--0zwm56d/");
    QTest::newRow("8000 characters is allowed") << 4 << QString(u"http://example.com/"_s + QString(8000 - 19, u'z'))
                                                << QByteArray("http://example.com/" + QByteArray(8000 - 19, 'z'));
    // Nine bytes a character on the wire: the longest request the client can make fits the limits.
    QTest::newRow("8000 chinese characters")
        << 5 << QString(u"http://example.com/"_s + QString(8000 - 19, u'中'))
        << QByteArray("http://example.com/" + QByteArray("%E4%B8%AD").repeated(8000 - 19));
}

void ShortdHttpTest::roundTrip()
{
    QFETCH(int, type);
    QFETCH(QString, address);
    QFETCH(QByteArray, location);

    const HttpResult created = fetch(m_manager, url(shortenTarget(type, address)));
    QCOMPARE(created.status, 200);
    QCOMPARE(created.header("Content-Type"), QByteArray("application/json; charset=utf-8"));
    const QJsonObject reply = created.json();
    QCOMPARE(reply.value(u"result"_s).toInt(), 1);
    QCOMPARE(reply.value(u"message"_s).toString(), QString());
    const QString shortLink = reply.value(u"info"_s).toString();
    QVERIFY2(shortLink.startsWith(m_service.origin() + u'/'), qPrintable(shortLink));
    QVERIFY(codeOf(shortLink).size() >= 6);

    const HttpResult followed = fetch(m_manager, QUrl(shortLink));
    QCOMPARE(followed.status, 302);
    QCOMPARE(followed.header("Location"), location);
    QCOMPARE(followed.header("Cache-Control"), QByteArray("no-store"));

    const HttpResult again = fetch(m_manager, url(shortenTarget(type, address)));
    QCOMPARE(again.json().value(u"info"_s).toString(), shortLink);
}

void ShortdHttpTest::sameAddressSameLinkPerType()
{
    const QString address = u"http://example.com/types"_s;
    const QString first = fetch(m_manager, url(shortenTarget(0, address))).json().value(u"info"_s).toString();
    const QString second = fetch(m_manager, url(shortenTarget(1, address))).json().value(u"info"_s).toString();
    const QString firstAgain = fetch(m_manager, url(shortenTarget(0, address))).json().value(u"info"_s).toString();
    QVERIFY(!first.isEmpty());
    QVERIFY(!second.isEmpty());
    QCOMPARE(firstAgain, first);
    QVERIFY(first != second);
}

void ShortdHttpTest::badInput_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("message"); // a part of the reason given

    const quint16 port = m_service.port();
    const QString good = u"http://example.com/ok"_s;
    const QByteArray goodToken = validToken(good);
    const QByteArray encodedGood = QUrl::toPercentEncoding(good);
    const QByteArray api = "/index.php/Index/weburl_zip";
    const auto get = [port](const QByteArray& target) { return rawGet(target, port); };
    const auto signedAddress = [&](const QString& address) { return get(shortenTarget(1, address)); };

    QTest::newRow("no token") << get(api + "?type=1&url=" + encodedGood) << 400 << u"缺少参数 token"_s;
    QTest::newRow("empty token") << get(api + "?type=1&url=" + encodedGood + "&token=") << 403 << u"校验码不正确"_s;
    QTest::newRow("wrong token") << get(shortenWithToken("1", good, validToken(u"http://example.com/other"_s))) << 403
                                 << u"校验码不正确"_s;
    QTest::newRow("lower-case token") << get(shortenWithToken("1", good, goodToken.toLower())) << 403
                                      << u"校验码不正确"_s;
    QTest::newRow("token one digit short")
        << get(shortenWithToken("1", good, goodToken.chopped(1))) << 403 << u"校验码不正确"_s;
    QTest::newRow("token one digit long")
        << get(shortenWithToken("1", good, goodToken + "0")) << 403 << u"校验码不正确"_s;
    QTest::newRow("token not hexadecimal")
        << get(shortenWithToken("1", good, QByteArray(32, 'Z'))) << 403 << u"校验码不正确"_s;
    QTest::newRow("token SQL metacharacters")
        << get(shortenWithToken("1", good, QUrl::toPercentEncoding(u"' OR '1'='1' --"_s))) << 403 << u"校验码不正确"_s;
    QTest::newRow("token with NUL") << get(shortenWithToken("1", good, goodToken.chopped(1) + "%00")) << 403
                                    << u"校验码不正确"_s;
    QTest::newRow("token repeated") << get(shortenWithToken("1", good, goodToken) + "&token=" + goodToken) << 400
                                    << u"重复"_s;
    QTest::newRow("no type") << get(api + "?url=" + encodedGood + "&token=" + goodToken) << 400 << u"缺少参数 type"_s;
    QTest::newRow("type 6") << get(shortenWithToken("6", good, goodToken)) << 400 << u"类型不正确"_s;
    QTest::newRow("type -1") << get(shortenWithToken("-1", good, goodToken)) << 400 << u"类型不正确"_s;
    QTest::newRow("type 01") << get(shortenWithToken("01", good, goodToken)) << 400 << u"类型不正确"_s;
    QTest::newRow("type empty") << get(shortenWithToken("", good, goodToken)) << 400 << u"类型不正确"_s;
    QTest::newRow("type full-width digit")
        << get(shortenWithToken("%EF%BC%91", good, goodToken)) << 400 << u"类型不正确"_s;
    QTest::newRow("type with blank") << get(shortenWithToken("1%20", good, goodToken)) << 400 << u"类型不正确"_s;
    QTest::newRow("type SQL metacharacters")
        << get(shortenWithToken(QUrl::toPercentEncoding(u"1 OR 1=1; DROP TABLE links"_s), good, goodToken)) << 400
        << u"类型不正确"_s;
    QTest::newRow("type NUL") << get(shortenWithToken("%00", good, goodToken)) << 400 << u"类型不正确"_s;
    QTest::newRow("type repeated") << get(shortenWithToken("1", good, goodToken) + "&type=2") << 400 << u"重复"_s;
    QTest::newRow("no url") << get(api + "?type=1&token=" + goodToken) << 400 << u"缺少参数 url"_s;
    QTest::newRow("url repeated") << get(shortenWithToken("1", good, goodToken) + "&url=" + encodedGood) << 400
                                  << u"重复"_s;
    QTest::newRow("empty url") << signedAddress(QString()) << 400 << u"请填写"_s;
    QTest::newRow("javascript") << signedAddress(u"javascript:alert(1)"_s) << 400 << u"http://"_s;
    QTest::newRow("javascript disguised")
        << signedAddress(u"javascript://example.com/%0aalert(1)"_s) << 400 << u"http://"_s;
    QTest::newRow("javascript upper-case") << signedAddress(u"JAVASCRIPT:alert(1)//http://x"_s) << 400 << u"http://"_s;
    QTest::newRow("data") << signedAddress(u"data:text/html,<script>alert(1)</script>"_s) << 400 << u"http://"_s;
    QTest::newRow("file") << signedAddress(u"file:///etc/passwd"_s) << 400 << u"http://"_s;
    QTest::newRow("file with host") << signedAddress(u"file://localhost/etc/passwd"_s) << 400 << u"http://"_s;
    QTest::newRow("ftp") << signedAddress(u"ftp://example.com/"_s) << 400 << u"http://"_s;
    QTest::newRow("relative") << signedAddress(u"example.com/page"_s) << 400 << u"http://"_s;
    QTest::newRow("leading blank") << signedAddress(u" http://example.com/"_s) << 400 << u"http://"_s;
    QTest::newRow("no host") << signedAddress(u"http:///path"_s) << 400 << u"主机名"_s;
    QTest::newRow("http without slashes") << signedAddress(u"http:example.com"_s) << 400 << u"http://"_s;
    QTest::newRow("no host, port only") << signedAddress(u"http://:8080/x"_s) << 400 << u"主机名"_s;
    QTest::newRow("scheme only") << signedAddress(u"https://"_s) << 400 << u"主机名"_s;
    QTest::newRow("CR LF") << signedAddress(u"http://example.com/\r\nSet-Cookie: a=b"_s) << 400 << u"控制字符"_s;
    QTest::newRow("NUL") << signedAddress(u"http://example.com/\0x"_s) << 400 << u"控制字符"_s;
    QTest::newRow("LF alone") << signedAddress(u"http://example.com/a\nb"_s) << 400 << u"控制字符"_s;
    QTest::newRow("CR in host") << signedAddress(u"http://exam\rple.com/"_s) << 400 << u"控制字符"_s;
    QTest::newRow("NUL at the end") << signedAddress(u"http://example.com/"_s + QChar(u'\0')) << 400 << u"控制字符"_s;
    QTest::newRow("DEL") << signedAddress(u"http://example.com/\u007fx"_s) << 400 << u"控制字符"_s;
    QTest::newRow("tab") << signedAddress(u"http://example.com/\tx"_s) << 400 << u"控制字符"_s;
    QTest::newRow("C1 control") << signedAddress(u"http://example.com/\u0085x"_s) << 400 << u"控制字符"_s;
    QTest::newRow("bad host") << signedAddress(u"http://exa mple.com/"_s) << 400 << u"格式不正确"_s;
    QTest::newRow("8001 characters") << signedAddress(u"http://example.com/"_s + QString(8001 - 19, u'a')) << 414
                                     << u"8000"_s;
    QTest::newRow("8001 characters, unsigned")
        << get(shortenWithToken("1", u"http://example.com/"_s + QString(8001 - 19, u'a'), goodToken)) << 414
        << u"8000"_s;
    QTest::newRow("8001 chinese characters")
        << signedAddress(u"http://example.com/"_s + QString(8001 - 19, u'中')) << 414 << u"8000"_s;
    QTest::newRow("own short link") << signedAddress(m_service.origin() + u"/abcdef"_s) << 400 << u"本服务"_s;
    QTest::newRow("own link by localhost")
        << signedAddress(u"http://localhost:%1/abcdef"_s.arg(port)) << 400 << u"本服务"_s;
    QTest::newRow("own link by IPv4-mapped IPv6")
        << signedAddress(u"http://[::ffff:127.0.0.1]:%1/abcdef"_s.arg(port)) << 400 << u"本服务"_s;
    QTest::newRow("own link by IPv4 shorthand")
        << signedAddress(u"http://127.1:%1/abcdef"_s.arg(port)) << 400 << u"本服务"_s;
    QTest::newRow("own link by IPv6 loopback")
        << signedAddress(u"http://[::1]:%1/abcdef"_s.arg(port)) << 400 << u"本服务"_s;
    QTest::newRow("own link, upper-case host and trailing dot")
        << signedAddress(u"HTTP://LOCALHOST.:%1/abcdef"_s.arg(port)) << 400 << u"本服务"_s;
    QTest::newRow("own preview link") << signedAddress(m_service.origin() + u"/abcdef+"_s) << 400 << u"本服务"_s;
    QTest::newRow("own origin") << signedAddress(m_service.origin()) << 400 << u"本服务"_s;
    QString manyFields;
    for (int i = 0; i < 1000; ++i) {
        manyFields += u"p%1=%1&"_s.arg(i);
    }
    QTest::newRow("1000 parameters") << get(
        api + '?' + manyFields.toLatin1() + shortenTarget(1, good).sliced(api.size() + 1))
                                     << 400 << u"参数过多"_s;
    QTest::newRow("1000 parameters, all named url")
        << get(api + "?type=1&token=" + goodToken + QByteArray("&url=" + encodedGood).repeated(1000)) << 400
        << u"参数过多"_s;
    QTest::newRow("SQL metacharacters in names")
        << get(api + "?type%27%3B--=1&url=" + encodedGood + "&token=" + goodToken) << 400 << u"缺少参数 type"_s;
    QTest::newRow("address SQL metacharacters, unsigned")
        << get(shortenWithToken("1", u"http://example.com/');DROP TABLE links;--"_s, goodToken)) << 403
        << u"校验码不正确"_s;
    // The HTTP stack reads a '%' that starts no escape as a literal percent sign (as "%25"), so the
    // address ends in '%' and the token for the address without it does not match.
    QTest::newRow("lone percent") << get(api + "?type=1&url=" + encodedGood + "%&token=" + goodToken) << 403
                                  << u"校验码不正确"_s;
    QTest::newRow("invalid UTF-8") << get(api + "?type=1&url=http%3A%2F%2Fexample.com%2F%FF&token=" + goodToken) << 400
                                   << u"编码"_s;
    QTest::newRow("overlong UTF-8") << get(api + "?type=1&url=http%3A%2F%2Fexample.com%2F%C0%AF&token=" + goodToken)
                                    << 400 << u"编码"_s;
    QTest::newRow("POST to shorten") << rawPost(api, "type=1", "application/x-www-form-urlencoded", port) << 405
                                     << u"请求方法"_s;

    const QByteArray version = "/index.php/Index/soft_version";
    const QByteArray form = "application/x-www-form-urlencoded";
    QTest::newRow("version: unknown product") << rawPost(version, "sn=zzzz", form, port) << 200 << u"未知的产品"_s;
    QTest::newRow("version: no product") << rawPost(version, "", form, port) << 400 << u"缺少产品代号"_s;
    QTest::newRow("version: broken escape") << rawPost(version, "sn=%zz", form, port) << 400 << u"格式不正确"_s;
    QTest::newRow("version: broken UTF-8") << rawPost(version, "sn=%FE%FF", form, port) << 400 << u"格式不正确"_s;
    QTest::newRow("version: truncated escape") << rawPost(version, "sn=tkvr%4", form, port) << 400 << u"格式不正确"_s;
    QTest::newRow("version: lone percent") << rawPost(version, "sn=tkvr&%", form, port) << 400 << u"格式不正确"_s;
    QTest::newRow("version: raw binary") << rawPost(version, QByteArray("sn=\xff\xfe\x00\x01", 7), form, port) << 400
                                         << u"格式不正确"_s;
    QTest::newRow("version: only separators") << rawPost(version, "&&=&&", form, port) << 400 << u"缺少产品代号"_s;
    QTest::newRow("version: name without value") << rawPost(version, "sn", form, port) << 200 << u"未知的产品"_s;
    QTest::newRow("version: plus is a blank") << rawPost(version, "sn=tk+vr", form, port) << 200 << u"未知的产品"_s;
    QTest::newRow("version: 1000 fields")
        << rawPost(version, QByteArray("a=1&").repeated(1000) + "sn=tkvr", form, port) << 400 << u"格式不正确"_s;
    QTest::newRow("version: SQL metacharacters")
        << rawPost(version, "sn=tkvr'%20OR%20'1'%3D'1", form, port) << 200 << u"未知的产品"_s;
    QTest::newRow("version: plain text body")
        << rawPost(version, "sn=tkvr", "text/plain", port) << 415 << u"格式不正确"_s;
    QTest::newRow("version: product twice")
        << rawPost(version, "sn=tkvr&sn=tkvr", form, port) << 400 << u"格式不正确"_s;
    QTest::newRow("version: JSON body") << rawPost(version, R"({"sn":"tkvr"})", "application/json", port) << 415
                                        << u"格式不正确"_s;
    QTest::newRow("version: body too long")
        << rawPost(version, "sn=tkvr&x=" + QByteArray(5000, 'x'), form, port) << 413 << u"过长"_s;
    QTest::newRow("version: GET") << get(version + "?sn=tkvr") << 405 << u"请求方法"_s;
}

void ShortdHttpTest::badInput()
{
    QFETCH(QByteArray, request);
    QFETCH(int, status);
    QFETCH(QString, message);

    const HttpResult result = rawExchange(m_service.port(), request);
    QCOMPARE(result.status, status);
    QCOMPARE(result.header("Content-Type"), QByteArray("application/json; charset=utf-8"));
    const QJsonObject reply = result.json();
    QCOMPARE(reply.value(u"result"_s).toInt(-1), 0);
    QCOMPARE(reply.value(u"info"_s), QJsonValue(QString()));
    QVERIFY2(reply.value(u"message"_s).toString().contains(message), result.body.constData());
}

void ShortdHttpTest::storedAfterHostileInput()
{
    // Whatever the table above sent, the service still answers and still has its links.
    const QString address = u"http://example.com/after-hostile"_s;
    const HttpResult created = rawExchange(m_service.port(), rawGet(shortenTarget(2, address), m_service.port()));
    QCOMPARE(created.json().value(u"result"_s).toInt(), 1);
    const HttpResult health = rawExchange(m_service.port(), rawGet("/healthz", m_service.port()));
    QCOMPARE(health.status, 200);
}

void ShortdHttpTest::previewCountsAndEscapes()
{
    const QString address = u"http://example.com/?q=\"><script>alert(1)</script>&amp"_s;
    const QString shortLink = fetch(m_manager, url(shortenTarget(0, address))).json().value(u"info"_s).toString();
    QVERIFY(!shortLink.isEmpty());
    for (int i = 0; i < 3; ++i) {
        QCOMPARE(fetch(m_manager, QUrl(shortLink)).status, 302);
    }
    const QByteArray code = codeOf(shortLink).toLatin1();
    const QByteArray head = "HEAD /" + code + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    const HttpResult headed = rawExchange(m_service.port(), head);
    QCOMPARE(headed.status, 302);
    QVERIFY(!headed.header("Location").isEmpty());
    QVERIFY(headed.body.isEmpty());

    const HttpResult preview = fetch(m_manager, QUrl(shortLink + u'+'));
    QCOMPARE(preview.status, 200);
    QVERIFY(preview.header("Location").isEmpty());
    QCOMPARE(preview.header("Content-Type"), QByteArray("text/html; charset=utf-8"));
    const QString page = QString::fromUtf8(preview.body);
    QVERIFY(!page.contains(u"<script>"_s));
    QVERIFY(page.contains(u"&quot;&gt;&lt;script&gt;alert(1)&lt;/script&gt;&amp;amp"_s));
    QVERIFY2(page.contains(u"访问次数：3"_s), qPrintable(page));
    QVERIFY(page.contains(shortLink));
}

void ShortdHttpTest::unknownCodes_data()
{
    QTest::addColumn<QByteArray>("target");
    QTest::newRow("unknown code") << QByteArray("/zzzzzz");
    QTest::newRow("unknown code preview") << QByteArray("/zzzzzz+");
    QTest::newRow("look-alike characters") << QByteArray("/O0l1I0");
    QTest::newRow("too short") << QByteArray("/abc");
    QTest::newRow("markup") << QByteArray("/%3Cscript%3Ealert(1)%3C/script%3E");
    QTest::newRow("nested path") << QByteArray("/abcdef/ghijkm");
    QTest::newRow("bare plus") << QByteArray("/+");
}

void ShortdHttpTest::unknownCodes()
{
    QFETCH(QByteArray, target);
    const HttpResult result = rawExchange(m_service.port(), rawGet(target, m_service.port()));
    QCOMPARE(result.status, 404);
    QCOMPARE(result.header("Content-Type"), QByteArray("text/html; charset=utf-8"));
    QVERIFY(!result.body.contains("<script>"));
    QVERIFY(result.body.contains("找不到短网址"));
}

void ShortdHttpTest::versionReplyAndReleasePage()
{
    const HttpResult version = fetch(m_manager, url("/index.php/Index/soft_version"), "sn=tkvr");
    QCOMPARE(version.status, 200);
    const QJsonObject reply = version.json();
    QCOMPARE(reply.value(u"result"_s).toInt(), 1);
    const QJsonObject info = reply.value(u"info"_s).toObject();
    QCOMPARE(info.value(u"version"_s), QJsonValue(u"2.1"_s));
    QCOMPARE(info.value(u"sid"_s), QJsonValue(u"1"_s));
    QCOMPARE(info.value(u"must"_s), QJsonValue(u"0"_s));

    const HttpResult page = fetch(m_manager, url("/index.php/Works/detail/sid/1"));
    QCOMPARE(page.status, 200);
    QVERIFY(page.body.contains("2.1"));
    QCOMPARE(fetch(m_manager, url("/index.php/Works/detail/sid/2")).status, 404);

    const HttpResult health = fetch(m_manager, url("/healthz"));
    QCOMPARE(health.status, 200);
    QCOMPARE(health.json().value(u"status"_s).toString(), u"ok"_s);
}

void ShortdHttpTest::configuredRelease()
{
    ShortdProcess service(
        {u"--release-version"_s, u"3.0<b>"_s, u"--release-sid"_s, u"42"_s, u"--release-must"_s, u"1"_s});
    QVERIFY2(service.start(), qPrintable(service.errorString()));
    QNetworkAccessManager manager;
    const QUrl origin(service.origin());
    const HttpResult version
        = fetch(manager, origin.resolved(QUrl(u"/index.php/Index/soft_version"_s)), "sn=tkvr&extra=1");
    const QJsonObject info = version.json().value(u"info"_s).toObject();
    QCOMPARE(info.value(u"version"_s), QJsonValue(u"3.0<b>"_s));
    QCOMPARE(info.value(u"sid"_s), QJsonValue(u"42"_s));
    QCOMPARE(info.value(u"must"_s), QJsonValue(u"1"_s));

    const HttpResult page = fetch(manager, origin.resolved(QUrl(u"/index.php/Works/detail/sid/42"_s)));
    QCOMPARE(page.status, 200);
    QVERIFY(page.body.contains("3.0&lt;b&gt;"));
    QVERIFY(!page.body.contains("<b>"));
    QCOMPARE(fetch(manager, origin.resolved(QUrl(u"/index.php/Works/detail/sid/1"_s))).status, 404);
    QVERIFY2(service.stop(), qPrintable(service.errorString()));
}

void ShortdHttpTest::rateLimit()
{
    ShortdProcess service({u"--rate-limit"_s, u"3"_s});
    QVERIFY2(service.start(), qPrintable(service.errorString()));
    for (int i = 0; i < 3; ++i) {
        const HttpResult ok = rawExchange(
            service.port(), rawGet(shortenTarget(i % 6, u"http://example.com/r%1"_s.arg(i)), service.port()));
        QCOMPARE(ok.status, 200);
        QCOMPARE(ok.json().value(u"result"_s).toInt(), 1);
    }
    const HttpResult limited
        = rawExchange(service.port(), rawGet(shortenTarget(0, u"http://example.com/r9"_s), service.port()));
    QCOMPARE(limited.status, 429);
    QCOMPARE(limited.json().value(u"result"_s).toInt(-1), 0);
    QVERIFY(limited.json().value(u"message"_s).toString().contains(u"太频繁"_s));
    QVERIFY(limited.header("Retry-After").toInt() >= 1);
    // Following links is not limited.
    QCOMPARE(rawExchange(service.port(), rawGet("/healthz", service.port())).status, 200);
    QVERIFY2(service.stop(), qPrintable(service.errorString()));
}

void ShortdHttpTest::linkBases()
{
    ShortdProcess service({u"--link-base"_s, u"2=https://s.example/x/"_s, u"--rate-limit"_s, u"0"_s});
    QVERIFY2(service.start(), qPrintable(service.errorString()));
    const HttpResult typed
        = rawExchange(service.port(), rawGet(shortenTarget(2, u"http://example.com/based"_s), service.port()));
    const QString link = typed.json().value(u"info"_s).toString();
    QVERIFY2(link.startsWith(u"https://s.example/x/"_s), qPrintable(link));
    QCOMPARE(link.count(u'/'), 4);
    // The redirect answers on the service's own address under the same code.
    const HttpResult followed = rawExchange(service.port(), rawGet('/' + codeOf(link).toLatin1(), service.port()));
    QCOMPARE(followed.header("Location"), QByteArray("http://example.com/based"));

    const HttpResult loop
        = rawExchange(service.port(), rawGet(shortenTarget(0, u"https://S.Example./x/abcdef"_s), service.port()));
    QCOMPARE(loop.status, 400);
    const HttpResult sibling
        = rawExchange(service.port(), rawGet(shortenTarget(0, u"https://s.example/xy"_s), service.port()));
    QCOMPARE(sibling.json().value(u"result"_s).toInt(), 1);
    const HttpResult otherType
        = rawExchange(service.port(), rawGet(shortenTarget(3, u"http://example.com/based"_s), service.port()));
    QVERIFY(otherType.json().value(u"info"_s).toString().startsWith(service.origin()));
    QVERIFY2(service.stop(), qPrintable(service.errorString()));
}

void ShortdHttpTest::oversizedRequestIsRefused()
{
    const QByteArray body(qsizetype(512) * 1024, 'a');
    const HttpResult result = rawExchange(m_service.port(),
        rawPost("/index.php/Index/soft_version", body, "application/x-www-form-urlencoded", m_service.port()));
    QCOMPARE(result.status, 413);
    QCOMPARE(result.json().value(u"result"_s).toInt(-1), 0);

    const QByteArray longHeader
        = "GET /healthz HTTP/1.1\r\nHost: x\r\nX-Big: " + QByteArray(qsizetype(200) * 1024, 'h') + "\r\n\r\n";
    QCOMPARE(rawExchange(m_service.port(), longHeader).status, 413);
    QCOMPARE(rawExchange(m_service.port(), rawGet("/healthz", m_service.port())).status, 200);
}

void ShortdHttpTest::connectionLimit()
{
    ShortdProcess service({u"--max-connections"_s, u"2"_s});
    QVERIFY2(service.start(), qPrintable(service.errorString()));
    // Each admitted connection proves itself with a request and stays open. The start-up probe's
    // connection may still be counted for a moment, so a refusal is retried briefly.
    QTcpSocket first;
    QTcpSocket second;
    for (QTcpSocket* socket : {&first, &second}) {
        QByteArray reply;
        for (int attempt = 0; attempt < 50 && !reply.startsWith("HTTP/1.1 200"); ++attempt) {
            socket->abort();
            QTest::qWait(attempt == 0 ? 0 : 50);
            socket->connectToHost(QHostAddress::LocalHost, service.port());
            QVERIFY(socket->waitForConnected(5000));
            socket->write(rawGet("/healthz", service.port()));
            QVERIFY(socket->waitForReadyRead(5000));
            reply = socket->readAll();
        }
        QVERIFY2(reply.startsWith("HTTP/1.1 200"), reply.constData());
    }

    const HttpResult refused = rawExchange(service.port(), rawGet("/healthz", service.port()));
    QCOMPARE(refused.status, 503);
    QCOMPARE(refused.json().value(u"result"_s).toInt(-1), 0);

    // A closed connection gives its place back. Counted in round trips rather than time: each
    // refusal is a turn of the service's event loop, in which it also sees the close.
    first.disconnectFromHost();
    int status = 0;
    for (int attempt = 0; attempt < 500 && status != 200; ++attempt) {
        status = rawExchange(service.port(), rawGet("/healthz", service.port())).status;
        if (status != 200) {
            QThread::msleep(10);
        }
    }
    QCOMPARE(status, 200);
    QVERIFY2(service.stop(), qPrintable(service.errorString()));
}

void ShortdHttpTest::malformedRequestLine()
{
    for (const QByteArray& garbage : {QByteArray("GARBAGE\r\n\r\n"), QByteArray("GET / HTTP/9.9 x\r\n\r\n"),
             QByteArray("GET /\x01\x02 HTTP/1.1\r\nHost: x\r\n\r\n"),
             QByteArray("POST /index.php/Index/soft_version HTTP/1.1\r\nContent-Length: -5\r\n\r\n")}) {
        const HttpResult result = rawExchange(m_service.port(), garbage, 2000);
        QVERIFY2(result.status < 500, garbage.constData());
    }
    QCOMPARE(rawExchange(m_service.port(), rawGet("/healthz", m_service.port())).status, 200);
}

void ShortdHttpTest::closesWhenAsked_data()
{
    QTest::addColumn<QByteArray>("connection");
    QTest::addColumn<bool>("closed");
    QTest::newRow("close") << QByteArray("close") << true;
    QTest::newRow("Close among other options") << QByteArray("TE, Close") << true;
    QTest::newRow("keep-alive") << QByteArray("keep-alive") << false;
    QTest::newRow("no header") << QByteArray() << false;
}

void ShortdHttpTest::closesWhenAsked()
{
    QFETCH(QByteArray, connection);
    QFETCH(bool, closed);

    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, m_service.port());
    QVERIFY(socket.waitForConnected(5000));
    QByteArray request = "GET /healthz HTTP/1.1\r\nHost: 127.0.0.1\r\n";
    if (!connection.isEmpty()) {
        request += "Connection: " + connection + "\r\n";
    }
    socket.write(request + "\r\n");
    // Read to the end of the stream, as a client that relies on the close does; at most 1.5 s.
    QByteArray received;
    QElapsedTimer clock;
    clock.start();
    while (socket.state() == QAbstractSocket::ConnectedState && clock.elapsed() < 1500) {
        socket.waitForReadyRead(100);
        received += socket.readAll();
    }
    received += socket.readAll();
    QVERIFY2(received.startsWith("HTTP/1.1 200"), received.constData());
    QVERIFY(received.endsWith(R"({"status":"ok"})"));
    QCOMPARE(socket.state() != QAbstractSocket::ConnectedState, closed);
    if (!closed) {
        // The kept connection still serves.
        socket.write(rawGet("/healthz", m_service.port()));
        QVERIFY(socket.waitForReadyRead(5000));
        QVERIFY(socket.readAll().startsWith("HTTP/1.1 200"));
    }
}

void ShortdHttpTest::accessLogLinePerRequest()
{
    const QByteArray marker = "/log-marker-" + QByteArray::number(QDateTime::currentMSecsSinceEpoch());
    QCOMPARE(rawExchange(m_service.port(), rawGet(marker, m_service.port())).status, 404);
    QFile log(m_service.accessLogPath());
    QVERIFY(log.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = log.readAll().split('\n');
    const auto matching
        = std::count_if(lines.begin(), lines.end(), [&](const QByteArray& line) { return line.contains(marker); });
    QCOMPARE(matching, 1);
    const QByteArray line
        = *std::find_if(lines.begin(), lines.end(), [&](const QByteArray& l) { return l.contains(marker); });
    static const QRegularExpression common(
        uR"(^127\.0\.0\.1 - - \[\d\d/[A-Z][a-z]{2}/\d{4}:\d\d:\d\d:\d\d \+0000\] "GET /log-marker-\d+ HTTP/1\.1" 404 \d+$)"_s);
    QVERIFY2(common.match(QString::fromLatin1(line)).hasMatch(), line.constData());
}

void ShortdHttpTest::servesTls()
{
    const QString support = QStringLiteral(NOLVEX_TEST_SUPPORT_DIR);
    ShortdProcess service(
        {u"--tls-cert"_s, support + u"/selfsigned.crt"_s, u"--tls-key"_s, support + u"/selfsigned.key"_s});
    QVERIFY2(service.start(), qPrintable(service.errorString()));
    QVERIFY(service.origin().startsWith(u"https://"_s));

    QNetworkAccessManager manager;
    connect(&manager, &QNetworkAccessManager::sslErrors, this,
        [](QNetworkReply* reply, const QList<QSslError>&) { reply->ignoreSslErrors(); });
    const QUrl origin(service.origin());
    const HttpResult created
        = fetch(manager, origin.resolved(QUrl::fromEncoded(shortenTarget(1, u"https://example.com/secure"_s))));
    const QString link = created.json().value(u"info"_s).toString();
    QVERIFY2(link.startsWith(service.origin() + u'/'), created.body.constData());
    const HttpResult followed = fetch(manager, QUrl(link));
    QCOMPARE(followed.status, 302);
    QCOMPARE(followed.header("Location"), QByteArray("https://example.com/secure"));

    // Plain HTTP on the TLS port gets no answer, and the service carries on.
    QCOMPARE(rawExchange(service.port(), rawGet("/healthz", service.port()), 2000).status, 0);
    QCOMPARE(fetch(manager, origin.resolved(QUrl(u"/healthz"_s))).status, 200);
    QVERIFY2(service.stop(), qPrintable(service.errorString()));
}

QTEST_GUILESS_MAIN(ShortdHttpTest)
#include "tst_shortdhttp.moc"
