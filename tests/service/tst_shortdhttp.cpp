#include "httpprobe.h"
#include "protocol.h"
#include "shortdprocess.h"
#include "token.h"
#include "version.h"

#include <QFile>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QRegularExpression>
#include <QSslError>
#include <QTcpSocket>
#include <QTest>

using namespace Qt::StringLiterals;
using namespace Nolvex::Protocol;

namespace
{
QByteArray shortenWithToken(const QByteArray& type, const QString& address, const QByteArray& token)
{
    return ShortenPath.toLatin1() + '?' + TypeKey.toLatin1() + '=' + type + '&' + UrlKey.toLatin1() + '='
        + QUrl::toPercentEncoding(address) + '&' + TokenKey.toLatin1() + '=' + token;
}

// "sn=tkvr", the version check's form.
QByteArray productForm()
{
    return ProductKey.toLatin1() + '=' + ProductCode.toLatin1();
}

QByteArray validToken(const QString& address)
{
    return Nolvex::requestToken(address).toLatin1();
}

QString codeOf(const QString& shortLink)
{
    return shortLink.section(u'/', -1);
}

// What the front end writes itself when it refuses a request.
QByteArray refusal(const QByteArray& statusLine, const QString& message, const QByteArray& extraHeaders = {})
{
    const QByteArray body = R"({"result":0,"info":"","message":")" + message.toUtf8() + R"("})";
    return "HTTP/1.1 " + statusLine + "\r\nContent-Type: application/json; charset=utf-8\r\nContent-Length: "
        + QByteArray::number(body.size()) + "\r\n" + extraHeaders + "Connection: close\r\n\r\n" + body;
}

// The same refused on a path of the API: a problem, as every refusal there.
QByteArray problem(const QByteArray& statusLine, const QByteArray& title, const QString& detail)
{
    const QByteArray body = R"({"detail":")" + detail.toUtf8() + R"(","status":)" + statusLine.left(3) + R"(,"title":")"
        + title + R"(","type":"about:blank"})";
    return "HTTP/1.1 " + statusLine + "\r\nCache-Control: no-store\r\nContent-Type: application/problem+json; "
        + "charset=utf-8\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n"
        + body;
}

QByteArray jsonAnswer(const QByteArray& body)
{
    return "HTTP/1.1 200 OK\r\nCache-Control: no-store\r\nContent-Type: application/json; charset=utf-8\r\n"
           "Content-Length: "
        + QByteArray::number(body.size()) + "\r\n\r\n" + body;
}

// Connects from a given loopback address, so the service sees different clients.
bool connectFrom(QTcpSocket& socket, const QHostAddress& from, quint16 port)
{
    return socket.bind(from) && (socket.connectToHost(QHostAddress::LocalHost, port), socket.waitForConnected(5000));
}

// In a row of raw bytes: the client reads the answer to what it sent so far before it sends on.
constexpr char Then = '\x1e';

// Bytes the kernel holds of one loopback connection's replies: the service's send queue and the
// client's receive queue, from Linux's table of TCP sockets.
qint64 queuedInKernel(quint16 servicePort, quint16 clientPort)
{
    QFile table(u"/proc/net/tcp"_s);
    if (!table.open(QIODevice::ReadOnly)) {
        return -1;
    }
    const auto port
        = [](const QByteArray& address) { return address.sliced(address.indexOf(':') + 1).toUShort(nullptr, 16); };
    qint64 queued = 0;
    for (const QByteArray& line : table.readAll().split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() < 5) {
            continue;
        }
        const QList<QByteArray> queues = fields[4].split(':'); // tx_queue:rx_queue
        if (port(fields[1]) == servicePort && port(fields[2]) == clientPort) {
            queued += queues.value(0).toLongLong(nullptr, 16);
        } else if (port(fields[1]) == clientPort && port(fields[2]) == servicePort) {
            queued += queues.value(1).toLongLong(nullptr, 16);
        }
    }
    return queued;
}

// Sends request and reads until at least expectedSize bytes are in or the service closes.
QByteArray readAnswer(QTcpSocket& socket, const QByteArray& request, qsizetype expectedSize)
{
    socket.write(request);
    QByteArray received;
    while (received.size() < expectedSize && socket.state() == QAbstractSocket::ConnectedState
        && (socket.bytesAvailable() > 0 || socket.waitForReadyRead(5000))) {
        received += socket.readAll();
    }
    return received + socket.readAll();
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
    void openShortenOff();
    void linkBases();
    void oversizedRequestIsRefused();
    void connectionLimit();
    void perClientShare();
    void headerTimeout();
    void malformedRequestLine_data();
    void malformedRequestLine();
    void framing_data();
    void framing();
    void pipelinedFloodAnsweredInOrder();
    void previewShowsWhereItGoes_data();
    void previewShowsWhereItGoes();
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
    QCOMPARE(reply.value(ResultMember.toString()).toInt(), 1);
    QCOMPARE(reply.value(MessageMember.toString()).toString(), QString());
    const QString shortLink = reply.value(InfoMember.toString()).toString();
    QVERIFY2(shortLink.startsWith(m_service.origin() + u'/'), qPrintable(shortLink));
    QVERIFY(codeOf(shortLink).size() >= 6);

    const HttpResult followed = fetch(m_manager, QUrl(shortLink));
    QCOMPARE(followed.status, 302);
    QCOMPARE(followed.header("Location"), location);
    QCOMPARE(followed.header("Cache-Control"), QByteArray("no-store"));

    const HttpResult again = fetch(m_manager, url(shortenTarget(type, address)));
    QCOMPARE(again.json().value(InfoMember.toString()).toString(), shortLink);
}

void ShortdHttpTest::sameAddressSameLinkPerType()
{
    const QString address = u"http://example.com/types"_s;
    const QString first
        = fetch(m_manager, url(shortenTarget(0, address))).json().value(InfoMember.toString()).toString();
    const QString second
        = fetch(m_manager, url(shortenTarget(1, address))).json().value(InfoMember.toString()).toString();
    const QString firstAgain
        = fetch(m_manager, url(shortenTarget(0, address))).json().value(InfoMember.toString()).toString();
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
    const QByteArray api = ShortenPath.toLatin1();
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
    // The service's own port under every name of this machine.
    const std::pair<const char*, const char*> ownNames[] {{"localhost", "http://localhost"},
        {"IPv4-mapped IPv6", "http://[::ffff:127.0.0.1]"}, {"IPv4 shorthand", "http://127.1"},
        {"IPv6 loopback", "http://[::1]"}, {"upper-case host and trailing dot", "HTTP://LOCALHOST."},
        {"the unspecified address", "http://0.0.0.0"}, {"0", "http://0"}, {"[::]", "http://[::]"},
        {"the rest of 127/8", "http://127.2.3.4"}, {"a name under localhost", "http://app.localhost"},
        {"IPv4-translated IPv6", "http://[::ffff:0:127.0.0.1]"}, {"IPv4-compatible IPv6", "http://[::127.0.0.1]"},
        {"the other scheme", "https://127.0.0.1"}};
    for (const auto& [name, origin] : ownNames) {
        QTest::addRow("own link by %s", name)
            << signedAddress(u"%1:%2/abcdef"_s.arg(QLatin1StringView(origin)).arg(port)) << 400 << u"本服务"_s;
    }
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

    const QByteArray version = VersionPath.toLatin1();
    const QByteArray product = productForm();
    const QByteArray form = "application/x-www-form-urlencoded";
    QTest::newRow("version: unknown product") << rawPost(version, "sn=zzzz", form, port) << 200 << u"未知的产品"_s;
    QTest::newRow("version: no product") << rawPost(version, "", form, port) << 400 << u"缺少产品代号"_s;
    QTest::newRow("version: broken escape") << rawPost(version, "sn=%zz", form, port) << 400 << u"格式不正确"_s;
    QTest::newRow("version: broken UTF-8") << rawPost(version, "sn=%FE%FF", form, port) << 400 << u"格式不正确"_s;
    QTest::newRow("version: truncated escape")
        << rawPost(version, product + "%4", form, port) << 400 << u"格式不正确"_s;
    QTest::newRow("version: lone percent") << rawPost(version, product + "&%", form, port) << 400 << u"格式不正确"_s;
    QTest::newRow("version: raw binary") << rawPost(version, QByteArray("sn=\xff\xfe\x00\x01", 7), form, port) << 400
                                         << u"格式不正确"_s;
    QTest::newRow("version: only separators") << rawPost(version, "&&=&&", form, port) << 400 << u"缺少产品代号"_s;
    QTest::newRow("version: name without value") << rawPost(version, "sn", form, port) << 200 << u"未知的产品"_s;
    QTest::newRow("version: plus is a blank") << rawPost(version, "sn=tk+vr", form, port) << 200 << u"未知的产品"_s;
    QTest::newRow("version: 1000 fields")
        << rawPost(version, QByteArray("a=1&").repeated(1000) + product, form, port) << 400 << u"格式不正确"_s;
    QTest::newRow("version: SQL metacharacters")
        << rawPost(version, product + "'%20OR%20'1'%3D'1", form, port) << 200 << u"未知的产品"_s;
    QTest::newRow("version: plain text body")
        << rawPost(version, product, "text/plain", port) << 415 << u"格式不正确"_s;
    QTest::newRow("version: product twice")
        << rawPost(version, product + '&' + product, form, port) << 400 << u"格式不正确"_s;
    QTest::newRow("version: JSON body") << rawPost(version, R"({"sn":"tkvr"})", "application/json", port) << 415
                                        << u"格式不正确"_s;
    QTest::newRow("version: body too long")
        << rawPost(version, product + "&x=" + QByteArray(5000, 'x'), form, port) << 413 << u"过长"_s;
    QTest::newRow("version: GET") << get(version + '?' + product) << 405 << u"请求方法"_s;
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
    QCOMPARE(reply.value(ResultMember.toString()).toInt(-1), 0);
    QCOMPARE(reply.value(InfoMember.toString()), QJsonValue(QString()));
    QVERIFY2(reply.value(MessageMember.toString()).toString().contains(message), result.body.constData());
}

void ShortdHttpTest::storedAfterHostileInput()
{
    // Whatever the table above sent, the service still answers and still has its links.
    const QString address = u"http://example.com/after-hostile"_s;
    const HttpResult created = rawExchange(m_service.port(), rawGet(shortenTarget(2, address), m_service.port()));
    QCOMPARE(created.json().value(ResultMember.toString()).toInt(), 1);
    const HttpResult health = rawExchange(m_service.port(), rawGet("/healthz", m_service.port()));
    QCOMPARE(health.status, 200);
}

void ShortdHttpTest::previewCountsAndEscapes()
{
    const QString address = u"http://example.com/?q=\"><script>alert(1)</script>&amp"_s;
    const QString shortLink
        = fetch(m_manager, url(shortenTarget(0, address))).json().value(InfoMember.toString()).toString();
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
    const HttpResult version = fetch(m_manager, url(VersionPath.toLatin1()), productForm());
    QCOMPARE(version.status, 200);
    const QJsonObject reply = version.json();
    QCOMPARE(reply.value(ResultMember.toString()).toInt(), 1);
    const QJsonObject info = reply.value(InfoMember.toString()).toObject();
    QCOMPARE(info.value(VersionMember.toString()), QJsonValue(CurrentVersion.toString()));
    QCOMPARE(info.value(SidMember.toString()), QJsonValue(u"1"_s));
    QCOMPARE(info.value(MustMember.toString()), QJsonValue(u"0"_s));

    const HttpResult page = fetch(m_manager, url(ReleasePagePrefix.toLatin1() + "1"));
    QCOMPARE(page.status, 200);
    QVERIFY(page.body.contains(CurrentVersion.toLatin1()));
    QCOMPARE(fetch(m_manager, url(ReleasePagePrefix.toLatin1() + "2")).status, 404);

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
        = fetch(manager, origin.resolved(QUrl(VersionPath.toString())), productForm() + "&extra=1");
    const QJsonObject info = version.json().value(InfoMember.toString()).toObject();
    QCOMPARE(info.value(VersionMember.toString()), QJsonValue(u"3.0<b>"_s));
    QCOMPARE(info.value(SidMember.toString()), QJsonValue(u"42"_s));
    QCOMPARE(info.value(MustMember.toString()), QJsonValue(u"1"_s));

    const HttpResult page = fetch(manager, origin.resolved(QUrl(ReleasePagePrefix + u"42")));
    QCOMPARE(page.status, 200);
    QVERIFY(page.body.contains("3.0&lt;b&gt;"));
    QVERIFY(!page.body.contains("<b>"));
    QCOMPARE(fetch(manager, origin.resolved(QUrl(ReleasePagePrefix + u"1"))).status, 404);
    QVERIFY2(service.stop(), qPrintable(service.errorString()));
}

// Closed, the protocol creates nothing and says why in its own shape; links made before still work.
void ShortdHttpTest::openShortenOff()
{
    const HttpResult made
        = rawExchange(m_service.port(), rawGet(shortenTarget(0, u"http://example.com/closed"_s), m_service.port()));
    const QByteArray code = codeOf(made.json().value(InfoMember.toString()).toString()).toLatin1();
    QCOMPARE(code.size(), 6);

    const QString database = u"sqlite:"_s + m_service.dataDir() + u"/links.sqlite"_s;
    ShortdProcess service({u"--open-shorten"_s, u"off"_s, u"--rate-limit"_s, u"1"_s, u"--database"_s, database});
    QVERIFY2(service.start(), qPrintable(service.errorString()));
    for (const QString& address : {u"http://example.com/closed"_s, u"http://example.com/new"_s}) {
        const HttpResult refused = rawExchange(service.port(), rawGet(shortenTarget(0, address), service.port()));
        QCOMPARE(refused.status, 403); // never 429: a refusal uses up no creation
        QCOMPARE(refused.body, R"({"info":"","message":"本服务未开放匿名缩短，请联系管理员","result":0})"_ba);
    }
    QCOMPARE(rawExchange(service.port(), rawGet("/" + code, service.port())).status, 302);
    QCOMPARE(rawExchange(service.port(), rawGet("/" + code + "+", service.port())).status, 200);
    QCOMPARE(rawExchange(service.port(), rawGet("/" + code + ".svg", service.port())).status, 200);
    QCOMPARE(rawExchange(service.port(),
                 rawPost(VersionPath.toLatin1(), productForm(), "application/x-www-form-urlencoded", service.port()))
                 .status,
        200);
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
        QCOMPARE(ok.json().value(ResultMember.toString()).toInt(), 1);
    }
    const HttpResult limited
        = rawExchange(service.port(), rawGet(shortenTarget(0, u"http://example.com/r9"_s), service.port()));
    QCOMPARE(limited.status, 429);
    QCOMPARE(limited.json().value(ResultMember.toString()).toInt(-1), 0);
    QVERIFY(limited.json().value(MessageMember.toString()).toString().contains(u"太频繁"_s));
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
    const QString link = typed.json().value(InfoMember.toString()).toString();
    QVERIFY2(link.startsWith(u"https://s.example/x/"_s), qPrintable(link));
    QCOMPARE(link.count(u'/'), 4);
    // The redirect answers on the service's own address under the same code.
    const HttpResult followed = rawExchange(service.port(), rawGet('/' + codeOf(link).toLatin1(), service.port()));
    QCOMPARE(followed.header("Location"), QByteArray("http://example.com/based"));

    const HttpResult loop
        = rawExchange(service.port(), rawGet(shortenTarget(0, u"https://S.Example./x/abcdef"_s), service.port()));
    QCOMPARE(loop.status, 400);
    const HttpResult otherScheme
        = rawExchange(service.port(), rawGet(shortenTarget(0, u"http://s.example/x/abcdef"_s), service.port()));
    QCOMPARE(otherScheme.status, 400);
    const HttpResult sibling
        = rawExchange(service.port(), rawGet(shortenTarget(0, u"https://s.example/xy"_s), service.port()));
    QCOMPARE(sibling.json().value(ResultMember.toString()).toInt(), 1);
    const HttpResult otherType
        = rawExchange(service.port(), rawGet(shortenTarget(3, u"http://example.com/based"_s), service.port()));
    QVERIFY(otherType.json().value(InfoMember.toString()).toString().startsWith(service.origin()));
    QVERIFY2(service.stop(), qPrintable(service.errorString()));
}

void ShortdHttpTest::oversizedRequestIsRefused()
{
    const QByteArray body(qsizetype(512) * 1024, 'a');
    const HttpResult result = rawExchange(
        m_service.port(), rawPost(VersionPath.toLatin1(), body, "application/x-www-form-urlencoded", m_service.port()));
    QCOMPARE(result.status, 413);
    QCOMPARE(result.json().value(ResultMember.toString()).toInt(-1), 0);

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
    // connection may still be counted for a moment, so a refusal is retried, each try a round trip.
    QTcpSocket first;
    QTcpSocket second;
    for (QTcpSocket* socket : {&first, &second}) {
        QByteArray reply;
        for (int attempt = 0; attempt < 500 && !reply.startsWith("HTTP/1.1 200"); ++attempt) {
            socket->abort();
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
    QCOMPARE(refused.header("Retry-After"), QByteArray("5"));
    QCOMPARE(refused.header("Connection"), QByteArray("close"));
    QCOMPARE(refused.json().value(ResultMember.toString()).toInt(-1), 0);

    // A closed connection gives its place back. Counted in round trips rather than time: each
    // refusal is a turn of the service's event loop, in which it also sees the close.
    first.disconnectFromHost();
    int status = 0;
    for (int attempt = 0; attempt < 5000 && status != 200; ++attempt) {
        status = rawExchange(service.port(), rawGet("/healthz", service.port())).status;
    }
    QCOMPARE(status, 200);
    QVERIFY2(service.stop(), qPrintable(service.errorString()));
}

void ShortdHttpTest::malformedRequestLine_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::newRow("no request line") << QByteArray("GARBAGE\r\n\r\n");
}

void ShortdHttpTest::malformedRequestLine()
{
    QFETCH(QByteArray, request);
    const QByteArray answer = refusal("400 Bad Request", u"请求格式不正确"_s);
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, m_service.port());
    QVERIFY(socket.waitForConnected(5000));
    QCOMPARE(readAnswer(socket, request, answer.size()), answer);
    QTRY_COMPARE_WITH_TIMEOUT(socket.state(), QAbstractSocket::UnconnectedState, 5000);
    QCOMPARE(rawExchange(m_service.port(), rawGet("/healthz", m_service.port())).status, 200);
}

// The framing rules, byte by byte, are tst_framing's; here what only the whole shows: the answers
// on the wire, kept-alive or closed connections, interim answers and pipelined order.
void ShortdHttpTest::framing_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<bool>("closed");

    const QByteArray health = "GET /healthz HTTP/1.1\r\nHost: x\r\n";
    const QByteArray ok = jsonAnswer(R"({"status":"ok"})");
    const QByteArray post = "POST " + VersionPath.toLatin1() + " HTTP/1.1\r\nHost: x\r\n";
    const QByteArray form = productForm();
    const QByteArray version
        = jsonAnswer(R"({"info":{"must":"0","sid":"1","version":")" + CurrentVersion.toLatin1() + R"("},"result":1})");
    const QByteArray bad = refusal("400 Bad Request", u"请求格式不正确"_s);
    const QByteArray length = "Content-Length: " + QByteArray::number(form.size()) + "\r\n";
    const QByteArray chunks = "3\r\nsn=\r\n4\r\ntkvr\r\n0\r\n\r\n";
    const QByteArray chunked = "Transfer-Encoding: chunked\r\n\r\n" + chunks;
    const QByteArray expect = "Expect: 100-continue\r\n";
    const QByteArray proceed = "HTTP/1.1 100 Continue\r\n\r\n";

    QTest::newRow("keep-alive") << health + "\r\n" << ok << false;
    QTest::newRow("HTTP/1.0 without Host") << QByteArray("GET /healthz HTTP/1.0\r\n\r\n") << ok << false;
    QTest::newRow("bare LF line ends") << QByteArray("GET /healthz HTTP/1.1\nHost: x\n\n") << ok << false;
    QTest::newRow("form with Content-Length") << post + length + "\r\n" + form << version << false;
    QTest::newRow("chunked form") << post + chunked << version << false;
    QTest::newRow("pipelined, answered in order") << health + "\r\n" + post + chunked + health + "\r\n"
                                                  << ok + version + ok << false;
    QTest::newRow("Expect: 100-continue, body once told to go on")
        << health + "\r\n" + post + length + expect + "\r\n" + Then + form + health + "\r\n"
        << ok + proceed + Then + version + ok << false;
    QTest::newRow("Expect: 100-continue, body at once") << post + length + expect + "\r\n" + form + health + "\r\n"
                                                        << version + ok << false;
    QTest::newRow("Expect: 100-continue, chunked body")
        << post + expect + "Transfer-Encoding: chunked\r\n\r\n" + Then + chunks << proceed + Then + version << false;
    QTest::newRow("Expect: 100-continue without a body") << health + expect + "\r\n" << ok << false;
    // HTTP/1.0 has no interim answers: the body comes without one.
    QTest::newRow("Expect: 100-continue in HTTP/1.0") << "GET /healthz HTTP/1.0\r\n\r\nPOST " + VersionPath.toLatin1()
            + " HTTP/1.0\r\n" + length + expect + "\r\n" + Then
            + form << ok + Then + version << false;

    // The body, a request of its own, would be answered as a second request if the headers,
    // its Content-Length among them, were dropped.
    const QByteArray smuggled = "GET /smuggled HTTP/1.1\r\nHost: x\r\n\r\n";
    QTest::newRow("101 header fields") << health + "Content-Length: " + QByteArray::number(smuggled.size()) + "\r\n"
            + QByteArray("X: y\r\n").repeated(100) + "\r\n" + smuggled
                                       << refusal("431 Request Header Fields Too Large", u"请求头过多"_s) << true;
    const QByteArray unmet = refusal("417 Expectation Failed", u"无法满足请求头 Expect 的要求"_s);
    QTest::newRow("unknown expectation, answered before the body") << post + length + "Expect: x-fancy\r\n\r\n"
                                                                   << unmet << true;
    QTest::newRow("Expect: 100-continue over the size budget")
        << post + "Content-Length: 900000\r\n" + expect + "\r\n"
        << refusal("413 Payload Too Large", u"请求内容过长"_s) << true;
    QTest::newRow("a good request, then a bad one") << health + "\r\n" + "GET /healthz HTTP/1.1\r\n\r\n"
                                                    << ok + bad << true;

    // Refused before any route: under /api/ as the API refuses, elsewhere as the protocol does.
    const QByteArray links = "POST /api/v1/links HTTP/1.1\r\nHost: x\r\n";
    QTest::newRow("API: both Content-Length and Transfer-Encoding")
        << links + length + chunked << problem("400 Bad Request", "Bad Request", u"请求格式不正确"_s) << true;
    QTest::newRow("API: a 90 KiB body") << links + "Content-Length: 92160\r\n\r\n" + QByteArray(92160, 'x')
                                        << problem("413 Payload Too Large", "Content Too Large", u"请求内容过长"_s)
                                        << true;
    QTest::newRow("API: an unknown expectation")
        << links + length + "Expect: foo\r\n\r\n"
        << problem("417 Expectation Failed", "Expectation Failed", u"无法满足请求头 Expect 的要求"_s) << true;
    QTest::newRow("API: 101 header fields, absolute form")
        << "GET http://x/api/v1/links?limit=5 HTTP/1.1\r\nHost: x\r\n" + QByteArray("X: y\r\n").repeated(100) + "\r\n"
        << problem("431 Request Header Fields Too Large", "Request Header Fields Too Large", u"请求头过多"_s) << true;
    QTest::newRow("a path that only begins as the API's")
        << "POST /apix HTTP/1.1\r\nHost: x\r\n" + length + chunked << bad << true;
}

void ShortdHttpTest::framing()
{
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, answer);
    QFETCH(bool, closed);

    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, m_service.port());
    QVERIFY(socket.waitForConnected(5000));
    const QList<QByteArray> sent = request.split(Then);
    const QList<QByteArray> expected = answer.split(Then);
    QCOMPARE(sent.size(), expected.size());
    for (qsizetype turn = 0; turn < sent.size(); ++turn) {
        QCOMPARE(readAnswer(socket, sent[turn], expected[turn].size()), expected[turn]);
    }
    if (closed) {
        QTRY_COMPARE_WITH_TIMEOUT(socket.state(), QAbstractSocket::UnconnectedState, 5000);
    } else {
        // Still open: it serves the next request.
        QVERIFY(readAnswer(socket, rawGet("/healthz", m_service.port()), 1).startsWith("HTTP/1.1 200 OK"));
    }
}

void ShortdHttpTest::pipelinedFloodAnsweredInOrder()
{
    // 10,000 requests in one write (about 7 MB of 404 pages, more than the kernel holds) from a client
    // that reads nothing at first: the service stops reading requests once more than 256 KiB of
    // replies wait in its own buffer, and answers every one, in order, as the client reads.
    constexpr int Count = 10'000;
    constexpr qint64 UnreadBound = qint64(256) * 1024;
    const quint16 port = m_service.port();
    const auto target = [](int i) -> QByteArray { return "/flood" + QByteArray::number(i).rightJustified(5, '0'); };
    const HttpResult one = rawExchange(port, rawGet(target(Count), port)); // every page is this size
    const qint64 replySize = one.rawHeaders.size() + 4 + one.body.size();
    QFile log(m_service.accessLogPath());
    QVERIFY(log.open(QIODevice::ReadOnly));
    const auto logged = [&log] { return log.seek(0) ? log.readAll().count("\"GET /flood") : -1; };
    const qint64 before = logged();

    QByteArray requests;
    for (int i = 0; i < Count; ++i) {
        requests += rawGet(target(i), port);
    }
    QTcpSocket socket;
    socket.setReadBufferSize(4096); // what it takes from the kernel until told otherwise
    socket.connectToHost(QHostAddress::LocalHost, port);
    QVERIFY(socket.waitForConnected(5000));
    socket.write(requests);
    // What the service has answered and neither the kernel nor the client holds: its own buffer.
    const auto unread = [&] {
        const qint64 written = (logged() - before) * replySize;
        return written - queuedInKernel(port, socket.localPort()) - socket.bytesAvailable();
    };
    // Stopped: over the bound, and while the service answers another connection it reads no further
    // request. Seen once is enough: the kernel may take more of the replies later, and the service
    // then rightly reads on.
    qint64 answered = -1;
    qint64 held = 0;
    const auto stopped = [&] {
        if (const qint64 seen = logged(); answered < 0 && unread() > UnreadBound
            && rawExchange(port, rawGet("/healthz", port)).status == 200 && logged() == seen) {
            answered = seen - before;
            held = unread();
        }
        return answered >= 0;
    };
    QTRY_VERIFY_WITH_TIMEOUT(stopped(), 30'000);
    QVERIFY2(answered < Count, qPrintable(QString::number(answered)));
    // At most the reply that crossed the bound over it, and perhaps one being written as we look.
    QVERIFY2(held <= UnreadBound + 2 * replySize, qPrintable(QString::number(held)));

    socket.setReadBufferSize(0);
    QByteArray received = socket.readAll();
    while (received.size() < Count * replySize && socket.waitForReadyRead(5000)) {
        received += socket.readAll();
    }
    QCOMPARE(received.count("HTTP/1.1 404 Not Found"), Count);
    qsizetype at = 0;
    for (int i = 0; i < Count; ++i) {
        at = received.indexOf(QByteArray("<code>" + target(i).sliced(1) + "</code>"), at);
        QVERIFY2(at >= 0, qPrintable(QString::number(i)));
    }
    QCOMPARE(socket.state(), QAbstractSocket::ConnectedState);
}

void ShortdHttpTest::perClientShare()
{
    ShortdProcess service({u"--max-connections-per-client"_s, u"2"_s});
    QVERIFY2(service.start(), qPrintable(service.errorString()));
    const QHostAddress one(u"127.0.0.2"_s);
    const QHostAddress other(u"127.0.0.3"_s);
    const QByteArray health = rawGet("/healthz", service.port());

    // Two connections from one address are served and kept open.
    QTcpSocket first;
    QTcpSocket second;
    for (QTcpSocket* socket : {&first, &second}) {
        QVERIFY(connectFrom(*socket, one, service.port()));
        QVERIFY(readAnswer(*socket, health, 1).startsWith("HTTP/1.1 200 OK"));
    }
    // A third from that address is over its share; another address is not affected.
    QTcpSocket third;
    QVERIFY(connectFrom(third, one, service.port()));
    const QByteArray busy = refusal("503 Service Unavailable", u"服务繁忙，请稍后再试"_s, "Retry-After: 5\r\n");
    QCOMPARE(readAnswer(third, health, busy.size()), busy);
    QTRY_COMPARE_WITH_TIMEOUT(third.state(), QAbstractSocket::UnconnectedState, 5000);
    QTcpSocket newcomer;
    QVERIFY(connectFrom(newcomer, other, service.port()));
    QVERIFY(readAnswer(newcomer, health, 1).startsWith("HTTP/1.1 200 OK"));

    // A closed connection gives its place back: retried, each try a round trip.
    first.disconnectFromHost();
    QByteArray answer;
    for (int attempt = 0; attempt < 5000 && !answer.startsWith("HTTP/1.1 200"); ++attempt) {
        QTcpSocket again;
        QVERIFY(connectFrom(again, one, service.port()));
        answer = readAnswer(again, health, 1);
    }
    QVERIFY2(answer.startsWith("HTTP/1.1 200 OK"), answer.constData());
    QVERIFY2(service.stop(), qPrintable(service.errorString()));
}

void ShortdHttpTest::headerTimeout()
{
    ShortdProcess service({u"--header-timeout"_s, u"0.3"_s});
    QVERIFY2(service.start(), qPrintable(service.errorString()));
    QTcpSocket silent;
    QTcpSocket partial;
    QTcpSocket served;
    for (QTcpSocket* socket : {&silent, &partial, &served}) {
        socket->connectToHost(QHostAddress::LocalHost, service.port());
        QVERIFY(socket->waitForConnected(5000));
    }
    partial.write("GET /healthz HTTP/1.1\r\nHo");
    QVERIFY(readAnswer(served, rawGet("/healthz", service.port()), 1).startsWith("HTTP/1.1 200 OK"));
    // Neither of the others sent a whole head in time: closed without an answer.
    QTRY_COMPARE_WITH_TIMEOUT(silent.state(), QAbstractSocket::UnconnectedState, 5000);
    QTRY_COMPARE_WITH_TIMEOUT(partial.state(), QAbstractSocket::UnconnectedState, 5000);
    QCOMPARE(silent.readAll(), QByteArray());
    QCOMPARE(partial.readAll(), QByteArray());
    // The served one is idle, not in the middle of a request: the header time-out does not end it.
    QCOMPARE(served.state(), QAbstractSocket::ConnectedState);
    QVERIFY(readAnswer(served, rawGet("/healthz", service.port()), 1).startsWith("HTTP/1.1 200 OK"));
    QVERIFY2(service.stop(), qPrintable(service.errorString()));
}

void ShortdHttpTest::previewShowsWhereItGoes_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<QStringList>("shown");
    QTest::addColumn<QString>("hidden");
    QTest::newRow("right-to-left override")
        << u"https://example.com/invoice_\u202Efdp.exe"_s
        << QStringList {u"invoice_&lt;U+202E&gt;fdp.exe"_s, u"href=\"https://example.com/invoice_%E2%80%AEfdp.exe\""_s}
        << u"\u202E"_s;
    QTest::newRow("zero-width space and isolate") << u"https://example.com/a\u200Bb\u2066c"_s
                                                  << QStringList {u"a&lt;U+200B&gt;b&lt;U+2066&gt;c"_s} << u"\u200B"_s;
    QTest::newRow("Cyrillic look-alike host")
        << u"https://\u0430\u0440\u0440\u04CF\u0435.com/login"_s
        << QStringList {u"xn--80ak6aa92e.com"_s, u"\u0430\u0440\u0440\u04CF\u0435.com"_s} << QString();
}

void ShortdHttpTest::previewShowsWhereItGoes()
{
    QFETCH(QString, address);
    QFETCH(QStringList, shown);
    QFETCH(QString, hidden);
    const QString shortLink
        = fetch(m_manager, url(shortenTarget(4, address))).json().value(InfoMember.toString()).toString();
    QVERIFY(!shortLink.isEmpty());
    const HttpResult preview = fetch(m_manager, QUrl(shortLink + u'+'));
    QCOMPARE(preview.status, 200);
    const QString page = QString::fromUtf8(preview.body);
    for (const QString& text : shown) {
        QVERIFY2(page.contains(text), qPrintable(text));
    }
    if (!hidden.isEmpty()) {
        QVERIFY(!page.contains(hidden));
        // The 404 page shows such a character the same way.
        const HttpResult missing = fetch(m_manager, url("/x" + QUrl::toPercentEncoding(hidden)));
        QCOMPARE(missing.status, 404);
        QVERIFY(!QString::fromUtf8(missing.body).contains(hidden));
        QVERIFY(missing.body.contains("&lt;U+"));
    }
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
    // The whole answer: the health reply, with "Connection: close\r\n" when closing.
    const qsizetype size = jsonAnswer(R"({"status":"ok"})").size() + (closed ? 19 : 0);
    const QByteArray received = readAnswer(socket, request + "\r\n", size);
    QVERIFY2(received.startsWith("HTTP/1.1 200"), received.constData());
    QVERIFY(received.endsWith(R"({"status":"ok"})"));
    if (closed) {
        // Read to the end of the stream, as a client that relies on the close does.
        QTRY_COMPARE_WITH_TIMEOUT(socket.state(), QAbstractSocket::UnconnectedState, 5000);
    } else {
        // The kept connection still serves.
        QVERIFY(readAnswer(socket, rawGet("/healthz", m_service.port()), 1).startsWith("HTTP/1.1 200"));
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
    // Client addresses and destinations are the service user's alone: the log was made 0600.
    QCOMPARE(log.permissions() & ~(QFileDevice::ReadUser | QFileDevice::WriteUser),
        QFileDevice::ReadOwner | QFileDevice::WriteOwner);
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
    const QString link = created.json().value(InfoMember.toString()).toString();
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
