#include "config.h"
#include "http/clientaddress.h"
#include "links/addresspolicy.h"
#include "links/codes.h"
#include "links/fields.h"
#include "links/ratelimiter.h"
#include "version.h"
#include "web/pages.h"

#include <QRandomGenerator>
#include <QSet>
#include <QTest>

using namespace Qt::StringLiterals;
using namespace Shortd;

class ShortdLogicTest final : public QObject
{
    Q_OBJECT

private slots:
    void decodeQuery_data();
    void decodeQuery();
    void formTreatsPlusAsBlank();
    void linkType_data();
    void linkType();
    void tokenComparison_data();
    void tokenComparison();
    void addressCheck_data();
    void addressCheck();
    void selfLinks_data();
    void selfLinks();
    void underBase_data();
    void underBase();
    void codesAvoidLookAlikes();
    void codeShape_data();
    void codeShape();
    void rateLimitBurstThenRefill();
    void rateLimitPerClientAndOff();
    void listen_data();
    void listen();
    void configSources();
    void configRejects_data();
    void configRejects();
    void forwardedClient_data();
    void forwardedClient();
    void pagesEscape();
};

void ShortdLogicTest::decodeQuery_data()
{
    QTest::addColumn<QByteArray>("raw");
    QTest::addColumn<int>("error");
    QTest::addColumn<QStringList>("pairs"); // name, value, name, value...

    const int ok = int(DecodeError::None);
    QTest::newRow("plain") << QByteArray("type=1&url=x") << ok << QStringList {u"type"_s, u"1"_s, u"url"_s, u"x"_s};
    QTest::newRow("plus stays a plus") << QByteArray("url=a+b") << ok << QStringList {u"url"_s, u"a+b"_s};
    QTest::newRow("encoded plus") << QByteArray("url=a%2Bb") << ok << QStringList {u"url"_s, u"a+b"_s};
    QTest::newRow("typed percent-twenty") << QByteArray("url=a%2520b") << ok << QStringList {u"url"_s, u"a%20b"_s};
    QTest::newRow("encoded ampersand and hash")
        << QByteArray("url=a%26b%23c&x=1") << ok << QStringList {u"url"_s, u"a&b#c"_s, u"x"_s, u"1"_s};
    QTest::newRow("chinese") << QByteArray("url=%E4%B8%AD%E6%96%87") << ok << QStringList {u"url"_s, u"中文"_s};
    QTest::newRow("equals inside value") << QByteArray("url=a=b") << ok << QStringList {u"url"_s, u"a=b"_s};
    QTest::newRow("no equals") << QByteArray("flag") << ok << QStringList {u"flag"_s, QString()};
    QTest::newRow("empty pieces skipped") << QByteArray("&&a=1&&") << ok << QStringList {u"a"_s, u"1"_s};
    QTest::newRow("empty") << QByteArray() << ok << QStringList();
    QTest::newRow("NUL decodes") << QByteArray("u=%00") << ok << QStringList {u"u"_s, QString(QChar(0))};
    QTest::newRow("bad escape") << QByteArray("url=%zz") << int(DecodeError::BadEscape) << QStringList();
    QTest::newRow("truncated escape") << QByteArray("url=%4") << int(DecodeError::BadEscape) << QStringList();
    QTest::newRow("escape in name") << QByteArray("u%l=1") << int(DecodeError::BadEscape) << QStringList();
    QTest::newRow("invalid UTF-8") << QByteArray("url=%FF") << int(DecodeError::BadUtf8) << QStringList();
    QTest::newRow("overlong UTF-8") << QByteArray("url=%C0%AF") << int(DecodeError::BadUtf8) << QStringList();
    QTest::newRow("surrogate in UTF-8") << QByteArray("url=%ED%A0%80") << int(DecodeError::BadUtf8) << QStringList();
    QByteArray many;
    for (int i = 0; i < MaximumQueryFields + 1; ++i) {
        many += "a=" + QByteArray::number(i) + '&';
    }
    QTest::newRow("one field too many") << many << int(DecodeError::TooManyFields) << QStringList();
    many.chop(many.size() - many.lastIndexOf("a="));
    QTest::newRow("fields at the limit") << many << ok << QStringList();
}

void ShortdLogicTest::decodeQuery()
{
    QFETCH(QByteArray, raw);
    QFETCH(int, error);
    QFETCH(QStringList, pairs);
    const DecodedFields decoded = Shortd::decodeQuery(raw);
    QCOMPARE(int(decoded.error), error);
    if (error != int(DecodeError::None)) {
        QVERIFY(decoded.fields.isEmpty());
        return;
    }
    if (QByteArray(QTest::currentDataTag()) == "fields at the limit") {
        QCOMPARE(decoded.fields.size(), MaximumQueryFields);
        return;
    }
    QStringList flat;
    for (const Field& field : decoded.fields) {
        flat << field.name << field.value;
    }
    QCOMPARE(flat, pairs);
}

void ShortdLogicTest::formTreatsPlusAsBlank()
{
    const DecodedFields form = decodeForm("sn=tk+vr&b=%2B");
    QCOMPARE(form.fields.size(), 2);
    QCOMPARE(form.fields.at(0).value, u"tk vr"_s);
    QCOMPARE(form.fields.at(1).value, u"+"_s);
    QCOMPARE(findField(form.fields, u"sn").count, 1);
    QCOMPARE(findField(decodeForm("sn=a&sn=b").fields, u"sn").count, 2);
    QCOMPARE(findField(decodeForm("sn=a&sn=b").fields, u"sn").value, u"a"_s);
}

void ShortdLogicTest::linkType_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("type"); // -1: rejected
    for (int i = 0; i < 6; ++i) {
        QTest::addRow("digit %d", i) << QString::number(i) << i;
    }
    QTest::newRow("six") << u"6"_s << -1;
    QTest::newRow("minus one") << u"-1"_s << -1;
    QTest::newRow("leading zero") << u"01"_s << -1;
    QTest::newRow("plus sign") << u"+1"_s << -1;
    QTest::newRow("blank") << u" 1"_s << -1;
    QTest::newRow("empty") << QString() << -1;
    QTest::newRow("fullwidth digit") << u"１"_s << -1;
    QTest::newRow("arabic-indic digit") << u"\u0661"_s << -1;
}

void ShortdLogicTest::linkType()
{
    QFETCH(QString, text);
    QFETCH(int, type);
    QCOMPARE(parseLinkType(text).value_or(-1), type);
}

void ShortdLogicTest::tokenComparison_data()
{
    QTest::addColumn<QString>("received");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<bool>("equal");
    const QString token = u"0123456789ABCDEF0123456789ABCDEF"_s;
    QTest::newRow("same") << token << token << true;
    QTest::newRow("first differs") << (u'1' + token.sliced(1)) << token << false;
    QTest::newRow("last differs") << (token.chopped(1) + u'E') << token << false;
    QTest::newRow("lower case") << token.toLower() << token << false;
    QTest::newRow("prefix") << token.chopped(1) << token << false;
    QTest::newRow("longer") << (token + u'0') << token << false;
    QTest::newRow("empty") << QString() << token << false;
    QTest::newRow("NUL padded") << (token.chopped(1) + QChar(0)) << token << false;
}

void ShortdLogicTest::tokenComparison()
{
    QFETCH(QString, received);
    QFETCH(QString, expected);
    QFETCH(bool, equal);
    QCOMPARE(tokensEqual(received, expected), equal);
}

void ShortdLogicTest::addressCheck_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<int>("problem");

    const auto row = [](const char* name, const QString& address, AddressProblem problem) {
        QTest::newRow(name) << address << int(problem);
    };
    row("http", u"http://example.com"_s, AddressProblem::None);
    row("https with everything", u"https://user@example.com:8443/p/a?q=1&r=%20#f"_s, AddressProblem::None);
    row("chinese", u"http://例子.测试/路径?词=值"_s, AddressProblem::None);
    row("upper-case scheme", u"HTTPS://example.com/"_s, AddressProblem::None);
    row("ip literal", u"http://[::1]:8080/"_s, AddressProblem::None);
    row("blank in path", u"http://example.com/a b"_s, AddressProblem::None);
    row("exactly the limit", u"http://e.com/"_s + QString(MaximumAddressLength - 13, u'x'), AddressProblem::None);
    row("empty", QString(), AddressProblem::Empty);
    row("one over the limit", u"http://e.com/"_s + QString(MaximumAddressLength - 12, u'x'), AddressProblem::TooLong);
    row("line feed", u"http://example.com/\n"_s, AddressProblem::ControlCharacter);
    row("carriage return", u"http://example.com/\r"_s, AddressProblem::ControlCharacter);
    row("NUL", QString(u"http://example.com/"_s + QChar(0)), AddressProblem::ControlCharacter);
    row("DEL", u"http://example.com/\x7f"_s, AddressProblem::ControlCharacter);
    row("C1 NEL", u"http://example.com/\u0085"_s, AddressProblem::ControlCharacter);
    row("javascript", u"javascript:alert(1)"_s, AddressProblem::UnsupportedScheme);
    row("data", u"data:text/plain,hi"_s, AddressProblem::UnsupportedScheme);
    row("file", u"file:///etc/passwd"_s, AddressProblem::UnsupportedScheme);
    row("scheme-relative", u"//example.com/"_s, AddressProblem::UnsupportedScheme);
    row("missing slashes", u"http:example.com"_s, AddressProblem::UnsupportedScheme);
    row("leading blank", u" http://example.com"_s, AddressProblem::UnsupportedScheme);
    row("httpx", u"httpx://example.com"_s, AddressProblem::UnsupportedScheme);
    row("no host", u"http:///path"_s, AddressProblem::NoHost);
    row("nothing after scheme", u"https://"_s, AddressProblem::NoHost);
    row("only a port", u"http://:80/"_s, AddressProblem::NoHost);
    row("blank in host", u"http://exa mple.com/"_s, AddressProblem::Malformed);
    row("bad port", u"http://example.com:99999/"_s, AddressProblem::Malformed);
    row("own base", u"https://s.example/x/abcdef"_s, AddressProblem::OwnLink);
    row("own base, other case and dot", u"https://S.EXAMPLE./x/abcdef"_s, AddressProblem::OwnLink);
    row("own base over http", u"http://s.example:443/x/abcdef"_s, AddressProblem::OwnLink);
    row("own origin", u"http://127.0.0.1:8420/abcdef"_s, AddressProblem::OwnLink);
    row("own origin, IPv4 shorthand", u"http://127.1:8420/abcdef"_s, AddressProblem::OwnLink);
    row("own origin, hexadecimal", u"http://0x7f000001:8420/abcdef"_s, AddressProblem::OwnLink);
    row("own origin, IPv4-mapped IPv6", u"http://[::ffff:127.0.0.1]:8420/abcdef"_s, AddressProblem::OwnLink);
    row("other IPv4-mapped IPv6", u"http://[::ffff:127.0.0.2]:8420/abcdef"_s, AddressProblem::None);
    row("beside the base path", u"https://s.example/xy"_s, AddressProblem::None);
    row("own host, other port", u"http://127.0.0.1:8421/abcdef"_s, AddressProblem::None);
}

void ShortdLogicTest::addressCheck()
{
    QFETCH(QString, address);
    QFETCH(int, problem);
    const QList<QUrl> bases {QUrl(u"https://s.example/x"_s), QUrl(u"http://127.0.0.1:8420"_s)};
    QCOMPARE(int(checkAddress(address, bases)), problem);
    QCOMPARE(addressProblemMessage(AddressProblem(problem)).isEmpty(), problem == int(AddressProblem::None));
}

void ShortdLogicTest::selfLinks_data()
{
    // On the service's own port 8420, every name of this machine leads back to it.
    QTest::addColumn<QString>("address");
    QTest::addColumn<bool>("refused");
    for (const char* host : {"127.0.0.1", "127.2.3.4", "127.1", "0x7f000001", "0.0.0.0", "0", "0.1.2.3", "[::1]",
             "[::]", "[::ffff:127.0.0.2]", "[::ffff:0:127.0.0.1]", "[::127.0.0.1]", "localhost", "LOCALHOST.",
             "app.localhost"}) {
        QTest::newRow(host) << u"http://%1:8420/abcdef"_s.arg(QLatin1StringView(host)) << true;
    }
    QTest::newRow("https on the own port") << u"https://127.0.0.1:8420/"_s << true;
    QTest::newRow("loopback, other port") << u"http://127.0.0.1:8421/abcdef"_s << false;
    QTest::newRow("loopback, default port") << u"http://localhost/abcdef"_s << false;
    QTest::newRow("name ending in localhost") << u"http://notlocalhost:8420/"_s << false;
    QTest::newRow("localhost as a subdomain") << u"http://localhost.example.com:8420/"_s << false;
    QTest::newRow("private address") << u"http://10.0.0.1:8420/"_s << false;
    QTest::newRow("other IPv6") << u"http://[2001:db8::1]:8420/"_s << false;
    QTest::newRow("base under the other scheme") << u"http://s.example/x/abcdef"_s << true;
    QTest::newRow("beside the base under the other scheme") << u"http://s.example/y"_s << false;
}

void ShortdLogicTest::selfLinks()
{
    QFETCH(QString, address);
    QFETCH(bool, refused);
    const QList<QUrl> bases {QUrl(u"https://s.example/x"_s)};
    QCOMPARE(checkAddress(address, bases, 8420) == AddressProblem::OwnLink, refused);
}

void ShortdLogicTest::underBase_data()
{
    QTest::addColumn<QString>("target");
    QTest::addColumn<QString>("base");
    QTest::addColumn<bool>("under");
    QTest::newRow("root base") << u"http://a.example/anything"_s << u"http://a.example"_s << true;
    QTest::newRow("default port spelled out") << u"http://a.example:80/c"_s << u"http://a.example/"_s << true;
    QTest::newRow("path base itself") << u"http://a.example/s"_s << u"http://a.example/s"_s << true;
    QTest::newRow("path base child") << u"http://a.example/s/c"_s << u"http://a.example/s/"_s << true;
    QTest::newRow("path base sibling") << u"http://a.example/sx"_s << u"http://a.example/s"_s << false;
    QTest::newRow("other host") << u"http://b.example/c"_s << u"http://a.example"_s << false;
    QTest::newRow("subdomain") << u"http://x.a.example/c"_s << u"http://a.example"_s << false;
    QTest::newRow("other port") << u"http://a.example:81/c"_s << u"http://a.example"_s << false;
}

void ShortdLogicTest::underBase()
{
    QFETCH(QString, target);
    QFETCH(QString, base);
    QFETCH(bool, under);
    QCOMPARE(isUnderBase(QUrl(target), QUrl(base)), under);
}

void ShortdLogicTest::codesAvoidLookAlikes()
{
    for (const char16_t lookAlike : {u'0', u'O', u'o', u'1', u'l', u'I'}) {
        QVERIFY(!codeAlphabet().contains(QChar(lookAlike)));
    }
    QRandomGenerator generator(42);
    QSet<QChar> seen;
    QSet<QString> codes;
    for (int i = 0; i < 2000; ++i) {
        const QString code = randomCode(MinimumCodeLength, generator);
        QCOMPARE(code.size(), MinimumCodeLength);
        QVERIFY(isCodeShaped(code));
        for (QChar c : code) {
            seen.insert(c);
        }
        codes.insert(code);
    }
    QCOMPARE(seen.size(), codeAlphabet().size()); // every character turns up
    QCOMPARE(codes.size(), 2000);
    QCOMPARE(randomCode(11, generator).size(), 11);
}

void ShortdLogicTest::codeShape_data()
{
    QTest::addColumn<QString>("candidate");
    QTest::addColumn<bool>("shaped");
    QTest::newRow("six") << u"abcDEF"_s << true;
    QTest::newRow("sixteen") << u"abcdefghijkmnpqr"_s << true;
    QTest::newRow("five") << u"abcde"_s << false;
    QTest::newRow("seventeen") << u"abcdefghijkmnpqrs"_s << false;
    QTest::newRow("look-alike zero") << u"abcde0"_s << false;
    QTest::newRow("look-alike ell") << u"abcdel"_s << false;
    QTest::newRow("plus") << u"abcde+"_s << false;
    QTest::newRow("chinese") << u"abcde中"_s << false;
    QTest::newRow("encoded") << u"%41bcdef"_s << false;
}

void ShortdLogicTest::codeShape()
{
    QFETCH(QString, candidate);
    QFETCH(bool, shaped);
    QCOMPARE(isCodeShaped(candidate), shaped);
}

void ShortdLogicTest::rateLimitBurstThenRefill()
{
    RateLimiter limiter(60);
    const QString client = u"192.0.2.1"_s;
    for (int i = 0; i < 60; ++i) {
        QVERIFY(limiter.take(client, 1000).allowed);
    }
    const RateLimiter::Decision refused = limiter.take(client, 1000);
    QVERIFY(!refused.allowed);
    QCOMPARE(refused.retryAfterSeconds, 1);
    QVERIFY(!limiter.take(client, 1500).allowed);
    QVERIFY(limiter.take(client, 2000).allowed); // one a second comes back
    QVERIFY(!limiter.take(client, 2000).allowed);
    // A clock stepping back gives nothing.
    QVERIFY(!limiter.take(client, 0).allowed);
    // A long pause refills to the full minute, not more.
    for (int i = 0; i < 60; ++i) {
        QVERIFY(limiter.take(client, 3'600'000).allowed);
    }
    QVERIFY(!limiter.take(client, 3'600'000).allowed);
}

void ShortdLogicTest::rateLimitPerClientAndOff()
{
    RateLimiter limiter(2);
    QVERIFY(limiter.take(u"a"_s, 0).allowed);
    QVERIFY(limiter.take(u"a"_s, 0).allowed);
    QVERIFY(!limiter.take(u"a"_s, 0).allowed);
    QCOMPARE(limiter.take(u"a"_s, 0).retryAfterSeconds, 30);
    QVERIFY(limiter.take(u"b"_s, 0).allowed);

    RateLimiter off(0);
    for (int i = 0; i < 10'000; ++i) {
        QVERIFY(off.take(u"a"_s, 0).allowed);
    }
    QCOMPARE(off.trackedClients(), 0);

    // Many one-off clients do not pile up once they have been idle for a minute.
    RateLimiter crowd(5);
    for (int i = 0; i < 10'000; ++i) {
        crowd.take(QString::number(i), 0);
    }
    crowd.take(u"late"_s, 120'000);
    QVERIFY(crowd.trackedClients() < 100);
}

void ShortdLogicTest::listen_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<QString>("address");
    QTest::addColumn<int>("port");
    QTest::newRow("ipv4") << u"127.0.0.1:8420"_s << true << u"127.0.0.1"_s << 8420;
    QTest::newRow("all addresses") << u":80"_s << true << QHostAddress(QHostAddress::Any).toString() << 80;
    QTest::newRow("ipv6") << u"[::1]:9000"_s << true << u"::1"_s << 9000;
    QTest::newRow("localhost") << u"localhost:1"_s << true << u"127.0.0.1"_s << 1;
    QTest::newRow("no port") << u"127.0.0.1"_s << false << QString() << 0;
    QTest::newRow("port zero") << u"127.0.0.1:0"_s << false << QString() << 0;
    QTest::newRow("port too big") << u"127.0.0.1:65536"_s << false << QString() << 0;
    QTest::newRow("host name") << u"example.com:80"_s << false << QString() << 0;
}

void ShortdLogicTest::listen()
{
    QFETCH(QString, text);
    QFETCH(bool, valid);
    QFETCH(QString, address);
    QFETCH(int, port);
    QHostAddress parsedAddress;
    quint16 parsedPort = 0;
    QCOMPARE(parseListen(text, &parsedAddress, &parsedPort), valid);
    if (valid) {
        QCOMPARE(parsedAddress.toString(), address);
        QCOMPARE(int(parsedPort), port);
    }
}

void ShortdLogicTest::configSources()
{
    QProcessEnvironment environment;
    const ConfigResult defaults = parseConfig({u"nolvex-shortd"_s}, environment);
    QVERIFY(defaults.error.isEmpty());
    QCOMPARE(defaults.config.port, 8420);
    QCOMPARE(defaults.config.listenAddress, QHostAddress(QHostAddress::LocalHost));
    QCOMPARE(defaults.config.rateLimit, 60);
    QCOMPARE(defaults.config.limits.maxConnectionsPerClient, 32);
    QCOMPARE(defaults.config.limits.headerTimeout, std::chrono::seconds(10));
    QCOMPARE(defaults.config.limits.idleTimeout, std::chrono::seconds(30));
    QCOMPARE(defaults.config.releaseVersion, Nolvex::Protocol::CurrentVersion.toString());
    QCOMPARE(defaults.config.releaseSid, u"1"_s);
    QCOMPARE(defaults.config.releaseMust, u"0"_s);
    QVERIFY(defaults.config.dataDir.endsWith(u"/nolvex-shortd"_s));
    QCOMPARE(defaults.config.ownOrigin(), QUrl(u"http://127.0.0.1:8420"_s));

    environment.insert(u"NOLVEX_SHORTD_RATE_LIMIT"_s, u"5"_s);
    environment.insert(u"NOLVEX_SHORTD_LINK_BASE"_s, u"0=https://a.example/ 5=https://b.example/s/"_s);
    environment.insert(u"NOLVEX_SHORTD_RELEASE_MUST"_s, u"1"_s);
    const ConfigResult mixed = parseConfig({u"nolvex-shortd"_s, u"--rate-limit"_s, u"0"_s, u"--listen"_s, u":9000"_s,
                                               u"--tls-cert"_s, u"c.pem"_s, u"--tls-key"_s, u"k.pem"_s},
        environment);
    QVERIFY2(mixed.error.isEmpty(), qPrintable(mixed.error));
    QCOMPARE(mixed.config.rateLimit, 0); // the command line wins
    QCOMPARE(mixed.config.releaseMust, u"1"_s);
    QCOMPARE(mixed.config.linkBases[0], QUrl(u"https://a.example"_s));
    QCOMPARE(mixed.config.linkBases[5], QUrl(u"https://b.example/s"_s));
    QVERIFY(mixed.config.linkBases[1].isEmpty());
    QCOMPARE(mixed.config.ownOrigin(), QUrl(u"https://127.0.0.1:9000"_s));

    const ConfigResult help = parseConfig({u"nolvex-shortd"_s, u"--help"_s}, {});
    QVERIFY(help.helpRequested);
    for (const char* option : {"--listen", "--data-dir", "--link-base", "--release-version", "--release-sid",
             "--release-must", "--rate-limit", "--tls-cert", "--tls-key"}) {
        QVERIFY2(help.helpText.contains(QLatin1StringView(option)), option);
    }
}

void ShortdLogicTest::configRejects_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("listen without port") << QStringList {u"--listen"_s, u"127.0.0.1"_s};
    QTest::newRow("negative rate") << QStringList {u"--rate-limit"_s, u"-1"_s};
    QTest::newRow("rate not a number") << QStringList {u"--rate-limit"_s, u"lots"_s};
    QTest::newRow("qr cache over 1 GiB") << QStringList {u"--qr-cache"_s, u"1025"_s};
    QTest::newRow("qr cache negative") << QStringList {u"--qr-cache"_s, u"-1"_s};
    QTest::newRow("link base type 6") << QStringList {u"--link-base"_s, u"6=https://a.example"_s};
    QTest::newRow("link base without type") << QStringList {u"--link-base"_s, u"https://a.example"_s};
    QTest::newRow("link base ftp") << QStringList {u"--link-base"_s, u"1=ftp://a.example"_s};
    QTest::newRow("link base with query") << QStringList {u"--link-base"_s, u"1=https://a.example/?x=1"_s};
    QTest::newRow("must 2") << QStringList {u"--release-must"_s, u"2"_s};
    QTest::newRow("sid with slash") << QStringList {u"--release-sid"_s, u"1/2"_s};
    QTest::newRow("version with line feed") << QStringList {u"--release-version"_s, u"2.2\n"_s};
    QTest::newRow("certificate without key") << QStringList {u"--tls-cert"_s, u"c.pem"_s};
    QTest::newRow("zero connections") << QStringList {u"--max-connections"_s, u"0"_s};
    QTest::newRow("zero connections per client") << QStringList {u"--max-connections-per-client"_s, u"0"_s};
    QTest::newRow("header time-out of nothing") << QStringList {u"--header-timeout"_s, u"0"_s};
    QTest::newRow("idle time-out not a number") << QStringList {u"--idle-timeout"_s, u"soon"_s};
    QTest::newRow("unknown option") << QStringList {u"--frobnicate"_s};
    QTest::newRow("stray argument") << QStringList {u"extra"_s};
    QTest::newRow("sync sometimes") << QStringList {u"--sync"_s, u"sometimes"_s};
    QTest::newRow("database of another kind") << QStringList {u"--database"_s, u"mysql://u:sekret@h/d"_s};
    QTest::newRow("database without a name") << QStringList {u"--database"_s, u"postgresql://u:sekret@h/"_s};
    QTest::newRow("database parameter unknown")
        << QStringList {u"--database"_s, u"postgresql://u:sekret@h/d?password=sekret"_s};
    QTest::newRow("300 database connections") << QStringList {u"--database-connections"_s, u"300"_s};
    QTest::newRow("cache ttl of nothing") << QStringList {u"--cache-ttl"_s, u"0"_s};
    QTest::newRow("trusted proxy not an address") << QStringList {u"--trusted-proxy"_s, u"proxy.example"_s};
    QTest::newRow("trusted proxy prefix 33") << QStringList {u"--trusted-proxy"_s, u"10.0.0.0/33"_s};
}

void ShortdLogicTest::configRejects()
{
    QFETCH(QStringList, arguments);
    const ConfigResult result = parseConfig(QStringList {u"nolvex-shortd"_s} + arguments, {});
    QVERIFY(!result.error.isEmpty());
    QVERIFY2(!result.error.contains(u"sekret"_s), qPrintable(result.error)); // a password is never repeated
}

void ShortdLogicTest::forwardedClient_data()
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

void ShortdLogicTest::forwardedClient()
{
    QFETCH(QString, peer);
    QFETCH(QByteArray, forwardedFor);
    const ConfigResult parsed
        = parseConfig({u"nolvex-shortd"_s, u"--trusted-proxy"_s, u"10.0.0.0/8"_s, u"--trusted-proxy"_s, u"::1"_s}, {});
    QVERIFY2(parsed.error.isEmpty(), qPrintable(parsed.error));
    QTEST(clientAddress(QHostAddress(peer), forwardedFor, parsed.config.trustedProxies), "client");
}

void ShortdLogicTest::pagesEscape()
{
    const QString hostile = u"http://e.com/?a=\"'><script>alert(1)</script>&"_s;
    for (const QByteArray& page : {previewPage(u"http://s/abc"_s, hostile, "http://e.com/", 7, 0, hostile),
             notFoundPage(hostile), releasePage(hostile, hostile, true), messagePage(hostile, hostile)}) {
        QVERIFY(!page.contains("<script>"));
        QVERIFY(!page.contains("\"'>"));
        QVERIFY(page.contains("&quot;&#39;&gt;&lt;script&gt;"));
    }
    QVERIFY(previewPage(u"http://s/abc"_s, hostile, "http://e.com/", 7, 0, u"abc.svg"_s).contains("7"));
}

QTEST_APPLESS_MAIN(ShortdLogicTest)
#include "tst_shortdlogic.moc"
