#include "httpprobe.h"
#include "protocol.h"
#include "shortdprocess.h"
#include "store/databaseaddress.h"
#include "store/sqllinkstore.h"

#include <QDateTime>
#include <QDir>
#include <QTest>
#include <memory>

using namespace Qt::StringLiterals;
using namespace Nolvex::Protocol;
using namespace Shortd;

namespace
{
constexpr QByteArrayView Firefox = "Mozilla/5.0 (X11; Linux x86_64; rv:121.0) Gecko/20100101 Firefox/121.0";
constexpr QByteArrayView SameOrigin = "Origin: {origin}\r\nSec-Fetch-Site: same-origin\r\n";

// One request to a link of its own: who sends it (no User-Agent when empty), how, with which
// further header lines ({origin} for the service's), to a link with a visit limit of one or none,
// after a person's visits; then the answer: status, whether it has a Location, the page's button
// text for a 200, and the visits it used (read from the store for a limited link).
struct LinkRequest {
    const char* name;
    QByteArrayView agent;
    QByteArrayView method;
    QByteArrayView headers;
    bool limited;
    int before;
    int status;
    bool location;
    const char* button;
    int used;
};
const LinkRequest LinkRequests[] {
    {"browser GET", Firefox, "GET", {}, true, 0, 302, true, nullptr, 1},
    {"browser HEAD", Firefox, "HEAD", {}, true, 0, 200, false, nullptr, 0},
    {"browser POST from the button", Firefox, "POST", SameOrigin, true, 0, 303, true, nullptr, 1},
    {"curl GET", "curl/8.5.0", "GET", {}, true, 0, 200, false, "继续访问", 0},
    {"curl HEAD", "curl/8.5.0", "HEAD", {}, true, 0, 200, false, nullptr, 0},
    {"curl POST, no body", "curl/8.5.0", "POST", {}, true, 0, 303, true, nullptr, 1},
    {"Slackbot GET, English", "Slackbot-LinkExpanding 1.0", "GET", "Accept-Language: en-US,en;q=0.9\r\n", true, 0, 200,
        false, "Continue", 0},
    {"no agent GET", {}, "GET", {}, true, 0, 200, false, "继续访问", 0},
    {"no agent POST", {}, "POST", "Content-Length: 0\r\n", true, 0, 303, true, nullptr, 1},
    {"POST from another site", Firefox, "POST", "Origin: https://evil.example\r\nSec-Fetch-Site: cross-site\r\n", true,
        0, 403, false, nullptr, 0},
    {"POST from another origin, older browser", Firefox, "POST", "Origin: https://evil.example\r\n", true, 0, 403,
        false, nullptr, 0},
    {"curl GET, visits used up", "curl/8.5.0", "GET", {}, true, 1, 410, false, nullptr, 0},
    {"no limit: curl GET still redirected", "curl/8.5.0", "GET", {}, false, 0, 302, true, nullptr, 0},
    {"no limit: POST from the button", Firefox, "POST", SameOrigin, false, 0, 303, true, nullptr, 0},
};

QString linkAddress(qsizetype row)
{
    return u"https://example.com/limited/%1/secret-place"_s.arg(row);
}
} // namespace

// The whole service: redirects counted by who follows them, with classification on and off, and
// the counts written when the service stops; a limited link, which leads only those who use a visit.
class ShortdVisitsTest final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void countedByClass_data();
    void countedByClass();
    void limitedLink_data();
    void limitedLink();

private:
    ShortdProcess m_limited {{u"--rate-limit"_s, u"0"_s}};
    QStringList m_codes; // by LinkRequests' row
    std::unique_ptr<SqlLinkStore> m_store;
};

void ShortdVisitsTest::initTestCase()
{
    // A link of its own for each request; limited while the service is stopped, as it only reads
    // a link's limit when it loads it.
    QVERIFY2(m_limited.start(), qPrintable(m_limited.errorString()));
    for (qsizetype row = 0; row < qsizetype(std::size(LinkRequests)); ++row) {
        m_codes.append(shortenedCode(m_limited.port(), 1, linkAddress(row)));
        QVERIFY(!m_codes.constLast().isEmpty());
    }
    QVERIFY2(m_limited.stop(), qPrintable(m_limited.errorString()));
    m_store = std::make_unique<SqlLinkStore>(
        DatabaseAddress::sqliteFile(QDir(m_limited.dataDir()).filePath(u"links.sqlite"_s)));
    QVERIFY2(m_store->open(), qPrintable(m_store->lastError()));
    LinkPatch limit;
    limit.maxVisits = 1;
    for (qsizetype row = 0; row < m_codes.size(); ++row) {
        if (LinkRequests[row].limited) {
            QCOMPARE(m_store->updateLink(m_codes.at(row), limit, QDateTime::currentSecsSinceEpoch()).status,
                StoreStatus::Ok);
        }
    }
    QVERIFY2(m_limited.restart(), qPrintable(m_limited.errorString()));
}

void ShortdVisitsTest::countedByClass_data()
{
    QTest::addColumn<QString>("classes");
    QTest::addColumn<VisitCounts>("expected");
    // Three browsers' visits (two from one client), a preview, a library, no user agent, and a HEAD.
    QTest::newRow("classified") << u"on"_s << VisitCounts {3, 2, 2, 1};
    QTest::newRow("every GET a person's") << u"off"_s << VisitCounts {6, 5, 0, 0};
}

void ShortdVisitsTest::countedByClass()
{
    QFETCH(QString, classes);
    QFETCH(VisitCounts, expected);
    ShortdProcess service({u"--rate-limit"_s, u"0"_s, u"--visit-classes"_s, classes});
    QVERIFY2(service.start(), qPrintable(service.errorString()));
    const quint16 port = service.port();
    const QString code = shortenedCode(port, 1, u"https://example.com/visits"_s);
    QVERIFY(!code.isEmpty());

    const auto visit = [&](const QByteArray& method, const QByteArray& headers) {
        return rawExchange(port,
            method + " /" + code.toLatin1() + " HTTP/1.1\r\nHost: 127.0.0.1:" + QByteArray::number(port) + "\r\n"
                + headers + "Connection: close\r\n\r\n")
            .status;
    };
    const QByteArray firefox = "User-Agent: Mozilla/5.0 (X11; Linux x86_64; rv:121.0) Gecko/20100101 Firefox/121.0\r\n";
    const QByteArray phone = "User-Agent: Mozilla/5.0 (iPhone; CPU iPhone OS 17_2 like Mac OS X) Mobile/15E148\r\n";
    QCOMPARE(visit("GET", firefox + "Referer: https://chat.example/room\r\n"), 302);
    QCOMPARE(visit("GET", firefox), 302);
    QCOMPARE(visit("GET", phone), 302);
    QCOMPARE(visit("GET", "User-Agent: Slackbot-LinkExpanding 1.0 (+https://api.slack.com/robots)\r\n"), 302);
    QCOMPARE(visit("GET", "User-Agent: python-requests/2.31.0\r\n"), 302);
    QCOMPARE(visit("GET", {}), 302);
    QCOMPARE(visit("HEAD", firefox), 302);
    QVERIFY2(service.stop(), qPrintable(service.errorString()));

    SqlLinkStore store(DatabaseAddress::sqliteFile(QDir(service.dataDir()).filePath(u"links.sqlite"_s)));
    QVERIFY2(store.open(), qPrintable(store.lastError()));
    QHash<QString, VisitCounts> counts;
    QCOMPARE(store.linkVisitCounts({code}, &counts), StoreStatus::Ok);
    QCOMPARE(counts.value(code), expected);
    QCOMPARE(store.findByCode(code).link.visits, expected.humans);
}

void ShortdVisitsTest::limitedLink_data()
{
    QTest::addColumn<qsizetype>("row");
    for (qsizetype row = 0; row < qsizetype(std::size(LinkRequests)); ++row) {
        QTest::newRow(LinkRequests[row].name) << row;
    }
}

void ShortdVisitsTest::limitedLink()
{
    QFETCH(qsizetype, row);
    const LinkRequest& sent = LinkRequests[row];
    const QByteArray path = '/' + m_codes.at(row).toLatin1();
    const QByteArray origin = m_limited.origin().toLatin1();
    const auto exchange = [&](QByteArrayView method, QByteArrayView agent, QByteArray headers) {
        if (!agent.isEmpty()) {
            headers += "User-Agent: " + agent.toByteArray() + "\r\n";
        }
        return rawExchange(
            m_limited.port(), rawRequest(method, path, origin.sliced(7), headers.replace("{origin}", origin)));
    };
    for (int i = 0; i < sent.before; ++i) {
        QCOMPARE(exchange("GET", Firefox, {}).status, 302);
    }

    const HttpResult result = exchange(sent.method, sent.agent, sent.headers.toByteArray());
    QCOMPARE(result.status, sent.status);
    QCOMPARE(result.header("Location"), sent.location ? QByteArray(linkAddress(row).toLatin1()) : QByteArray());
    if (!sent.location) {
        QVERIFY2(!result.body.contains("secret-place"), result.body.constData());
    }
    if (sent.status == 200) {
        // Kept by no one, indexed by no one, framed by no one; its one form goes to this service.
        QCOMPARE(result.header("Cache-Control"), "no-store"_ba);
        QCOMPARE(result.header("X-Robots-Tag"), "noindex"_ba);
        QCOMPARE(result.header("X-Frame-Options"), "DENY"_ba);
        const QByteArray policy = result.header("Content-Security-Policy");
        QVERIFY2(
            policy.contains("form-action 'self'") && policy.contains("frame-ancestors 'none'"), policy.constData());
        if (sent.button != nullptr) {
            QVERIFY(result.body.contains(R"(<meta name="robots" content="noindex">)"));
            QVERIFY(result.body.contains(QByteArray(R"(<form method="post" action=")" + path + "\">")));
            QVERIFY(QString::fromUtf8(result.body).contains(QString::fromUtf8(sent.button)));
        }
    }
    if (sent.limited) {
        QCOMPARE(m_store->findByCode(m_codes.at(row)).link.visits, sent.before + sent.used);
    }
}

QTEST_GUILESS_MAIN(ShortdVisitsTest)
#include "tst_shortdvisits.moc"
