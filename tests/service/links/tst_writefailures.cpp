#include "links/ratelimiter.h"
#include "links/result.h"
#include "links/shortener.h"
#include "protocol.h"
#include "routes/routes.h"
#include "store/sqllinkstore.h"
#include "store/storepool.h"
#include "token.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;
using namespace Shortd;

namespace
{
// The routes over the embedded database, every answer given before the call returns.
struct Service {
    explicit Service(const QString& path)
        : store(DatabaseAddress::sqliteFile(path))
    {
    }

    SqlLinkStore store;
    StorePool pool {store};
    Shortener shortener {pool, ShortenerOptions {100, std::chrono::hours(1), std::chrono::hours(1)}};
    RateLimiter limiter {0};
    Routes routes {ServiceConfig {}, shortener, limiter};

    HttpReply get(const QString& path, const QByteArray& query = {})
    {
        HttpReply answer {0, {}, {}, {}};
        HttpRequest request;
        request.method = Method::Get;
        request.path = path;
        request.query = query;
        request.host = "127.0.0.1:8420";
        request.client = u"127.0.0.1"_s;
        routes.handle(request, 0, [&answer](HttpReply reply) { answer = std::move(reply); });
        return answer;
    }
    // The n-th new link: an automatic one through the client's protocol, or one with a chosen code.
    int create(int n)
    {
        using namespace Nolvex::Protocol;
        const QString address = u"https://example.com/%1/"_s.arg(n) + QString(200, u'x');
        if (chosenCodes) {
            StoredLink link {u"chosen-%1"_s.arg(n), 0, address, 1'700'000'000, 0};
            link.chosen = true;
            int status = 0;
            shortener.create(link, [&status](const Result<StoredLink>& created) {
                status = created ? 200 : created.fault().kind == FaultKind::Unavailable ? 503 : 409;
            });
            return status;
        }
        return get(ShortenPath.toString(),
            TypeKey.toLatin1() + "=0&" + UrlKey.toLatin1() + '=' + QUrl::toPercentEncoding(address) + '&'
                + TokenKey.toLatin1() + '=' + Nolvex::requestToken(address).toLatin1())
            .status;
    }
    // Lets the database grow by no page more, or lifts the limit.
    bool fillUp(bool full) const
    {
        QSqlQuery query(store.connection());
        return query.exec(u"PRAGMA page_count"_s) && query.next()
            && query.exec(u"PRAGMA max_page_count = %1"_s.arg(full ? query.value(0).toLongLong() : 1'000'000));
    }
    // Creates new links until one is refused; whether that was with 503.
    bool createUntilRefused(int* next)
    {
        int status = 200;
        for (int made = 0; made < 10'000 && status == 200; ++made) {
            status = create((*next)++);
        }
        return status == 503;
    }
    bool chosenCodes = false;
};
} // namespace

class WriteFailuresTest final : public QObject
{
    Q_OBJECT

private slots:
    void fullDatabaseIsToldOnceAndInHealth_data();
    void fullDatabaseIsToldOnceAndInHealth();
    void stoppingIsAliveButNotReady();
};

void WriteFailuresTest::fullDatabaseIsToldOnceAndInHealth_data()
{
    QTest::addColumn<bool>("chosenCodes");
    QTest::newRow("automatic codes") << false;
    // Made through the same shortener, a link with options is tracked the same way.
    QTest::newRow("chosen codes") << true;
}

void WriteFailuresTest::fullDatabaseIsToldOnceAndInHealth()
{
    QFETCH(bool, chosenCodes);
    QTemporaryDir dir;
    Service service(dir.filePath(u"links.sqlite"_s));
    service.chosenCodes = chosenCodes;
    QVERIFY(service.store.open());
    // Each cause once: a second warning of either kind fails the test.
    const QRegularExpression full(u"writing to the database fails: database or disk is full"_s);
    const QRegularExpression again(u"writing to the database works again"_s);
    QTest::failOnWarning(QRegularExpression(u"writing to the database"_s));
    int next = 0;
    QCOMPARE(service.get(u"/healthz"_s).status, 200);

    QTest::ignoreMessage(QtWarningMsg, full);
    QVERIFY(service.fillUp(true));
    QVERIFY(service.createUntilRefused(&next));
    for (int i = 0; i < 20; ++i) {
        QCOMPARE(service.create(next++), 503);
    }
    // Alive all along; not ready while writes fail, and /readyz says why.
    QCOMPARE(service.get(u"/healthz"_s).status, 200);
    const HttpReply failing = service.get(u"/readyz"_s);
    QCOMPARE(failing.status, 503);
    const QJsonObject health = QJsonDocument::fromJson(failing.body).object();
    QCOMPARE(health.value(u"status"_s).toString(), u"unavailable"_s);
    QVERIFY2(
        health.value(u"writeError"_s).toString().contains(u"database or disk is full"_s), failing.body.constData());

    QTest::ignoreMessage(QtWarningMsg, again);
    QVERIFY(service.fillUp(false));
    QCOMPARE(service.create(next++), 200);
    QCOMPARE(service.get(u"/readyz"_s).status, 200);

    // Failing again after it recovered is told again.
    QTest::ignoreMessage(QtWarningMsg, full);
    QVERIFY(service.fillUp(true));
    QVERIFY(service.createUntilRefused(&next));
    QCOMPARE(service.get(u"/readyz"_s).status, 503);
}

void WriteFailuresTest::stoppingIsAliveButNotReady()
{
    QTemporaryDir dir;
    Service service(dir.filePath(u"links.sqlite"_s));
    QVERIFY(service.store.open());
    QCOMPARE(service.get(u"/readyz"_s).status, 200);
    service.routes.setStopping();
    const HttpReply stopping = service.get(u"/readyz"_s);
    QCOMPARE(stopping.status, 503);
    QCOMPARE(QJsonDocument::fromJson(stopping.body).object().value(u"status"_s).toString(), u"stopping"_s);
    QCOMPARE(service.get(u"/healthz"_s).status, 200);
}

QTEST_GUILESS_MAIN(WriteFailuresTest)
#include "tst_writefailures.moc"
