#include "links/addresspolicy.h"
#include "links/ownaddresses.h"

#include <QTest>

using namespace Qt::StringLiterals;
using namespace Shortd;

class AddressPolicyTest final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void addressCheck_data();
    void addressCheck();
    void selfLinks_data();
    void selfLinks();
    void underBase_data();
    void underBase();
    void machineChanges();
};

namespace
{
// The machine the rows run on, whatever the one running them has.
MachineAddresses testMachine()
{
    return {{QHostAddress(u"127.0.0.1"_s), QHostAddress(u"::1"_s), QHostAddress(u"10.9.9.9"_s),
                QHostAddress(u"2001:db8::5"_s), QHostAddress(u"fe80::1%eth0"_s)},
        {u"web1"_s, u"web1.corp.example"_s}};
}
} // namespace

void AddressPolicyTest::initTestCase()
{
    setMachineAddresses(testMachine());
}

void AddressPolicyTest::addressCheck_data()
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
    row("other IPv4-mapped IPv6", u"http://[::ffff:203.0.113.2]:8420/abcdef"_s, AddressProblem::None);
    // Another loopback address on the own origin's port reaches this machine as well.
    row("loopback IPv4-mapped IPv6", u"http://[::ffff:127.0.0.2]:8420/abcdef"_s, AddressProblem::OwnLink);
    row("beside the base path", u"https://s.example/xy"_s, AddressProblem::None);
    row("own host, other port", u"http://127.0.0.1:8421/abcdef"_s, AddressProblem::None);
}

void AddressPolicyTest::addressCheck()
{
    QFETCH(QString, address);
    QFETCH(int, problem);
    const QList<QUrl> bases {QUrl(u"https://s.example/x"_s), QUrl(u"http://127.0.0.1:8420"_s)};
    QCOMPARE(int(checkAddress(address, bases)), problem);
    QCOMPARE(addressProblemMessage(AddressProblem(problem)).isEmpty(), problem == int(AddressProblem::None));
}

void AddressPolicyTest::selfLinks_data()
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

    // The machine's interfaces (10.9.9.9, 2001:db8::5, fe80::1) and names (web1, web1.corp.example).
    const auto row = [](const char* name, const char* address, bool refused) {
        QTest::newRow(name) << QString::fromLatin1(address) << refused;
    };
    row("interface IPv4", "http://10.9.9.9:8420/abcdef", true);
    row("interface IPv4 over https", "https://10.9.9.9:8420/", true);
    row("interface IPv4 inside IPv6", "http://[::ffff:10.9.9.9]:8420/abcdef", true);
    row("interface IPv4, other port", "http://10.9.9.9:8421/abcdef", false);
    row("interface IPv6", "http://[2001:db8::5]:8420/abcdef", true);
    row("interface link-local IPv6 with a zone", "http://[fe80::1%25eth1]:8420/", true);
    row("neighbour IPv4", "http://10.9.9.10:8420/abcdef", false);
    row("host name", "http://web1:8420/abcdef", true);
    row("host name, other case, final dot", "http://WEB1.:8420/abcdef", true);
    row("host name in the local domain", "https://web1.corp.example:8420/", true);
    row("under the host name", "http://x.web1:8420/abcdef", false);
    row("link base's host on the service's port", "http://s.example:8420/abcdef", true);
    // A front that serves the link bases on this machine: a link's path on their ports comes back.
    row("link path, interface, https", "https://10.9.9.9/x/Ab3dEf", true);
    row("link path, host name, http", "http://web1/x/Ab3dEf", true);
    row("chosen code's path, localhost", "https://localhost/x/Spring_Sale-2026", true);
    row("link path, IPv6, port spelled out", "http://[2001:db8::5]:443/x/Ab3dEf", true);
    row("link path, base with a port", "http://10.9.9.9:8080/Ab3dEf", true);
    row("link path, base with a port, on 80", "http://10.9.9.9/Ab3dEf", false);
    row("link path, other port", "https://10.9.9.9:8443/x/Ab3dEf", false);
    row("link path, other host", "https://203.0.113.9/x/Ab3dEf", false);
    row("preview path", "https://10.9.9.9/x/Ab3dEf+", false);
    row("two segments", "https://10.9.9.9/x/Ab3dEf/more", false);
    row("outside the base path", "https://10.9.9.9/y/Ab3dEf", false);
    row("the base path itself", "https://10.9.9.9/x/", false);
    row("reserved name", "https://10.9.9.9/x/healthz", false);
}

void AddressPolicyTest::selfLinks()
{
    QFETCH(QString, address);
    QFETCH(bool, refused);
    const QList<QUrl> bases {QUrl(u"https://s.example/x"_s), QUrl(u"http://links.example:8080"_s)};
    QCOMPARE(checkAddress(address, bases, 8420) == AddressProblem::OwnLink, refused);
}

void AddressPolicyTest::machineChanges()
{
    // An address the machine gains is refused from then on, one it loses is free again; the same
    // set read again is no change.
    const auto refused
        = [] { return checkAddress(u"http://10.9.9.9:8420/abcdef"_s, {}, 8420) != AddressProblem::None; };
    const quint64 before = machineAddresses()->generation;
    setMachineAddresses(testMachine());
    QCOMPARE(machineAddresses()->generation, before);
    QVERIFY(refused());
    setMachineAddresses({{QHostAddress(u"10.9.9.10"_s)}, {}});
    QVERIFY(machineAddresses()->generation != before);
    QVERIFY(!refused());
    setMachineAddresses(testMachine());
    QVERIFY(refused());
}

void AddressPolicyTest::underBase_data()
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

void AddressPolicyTest::underBase()
{
    QFETCH(QString, target);
    QFETCH(QString, base);
    QFETCH(bool, under);
    QCOMPARE(isUnderBase(QUrl(target), QUrl(base)), under);
}

QTEST_APPLESS_MAIN(AddressPolicyTest)
#include "tst_addresspolicy.moc"
