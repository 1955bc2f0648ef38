#include "httpprobe.h"
#include "pgcluster.h"
#include "shortdprocess.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTest>
#include <memory>

using namespace Qt::StringLiterals;

// Links with an end or a visit limit, served by two instances on one PostgreSQL cluster. Links are
// cached for an hour, so only a link's end can make an instance read it again; every request
// comes from one address, so the per-client share of connections is raised.
class ShortdLimitsTest final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void lastVisitServedOnce();
    void endSeenByEveryInstance();
    void usedUpSeenByBotsEverywhere();
    void cleanupTestCase();

private:
    QString newLink(const QString& address);
    bool sql(const QString& statement, QVariant* value = nullptr);
    // The statuses of requests sent all at once, each to its instance (0 or 1) and path.
    QList<int> send(const QList<std::tuple<int, QByteArray, QString>>& requests);
    int status(int instance, const QString& path, const QByteArray& method = "GET")
    {
        return send({{instance, method, path}}).constFirst();
    }

    PgCluster m_cluster;
    std::unique_ptr<ShortdProcess> m_instances[2];
    QNetworkAccessManager m_manager;
};

void ShortdLimitsTest::initTestCase()
{
    QVERIFY2(m_cluster.start(), qPrintable(m_cluster.errorString()));
    const QString url = m_cluster.createDatabase(u"limits"_s);
    QVERIFY(!url.isEmpty());
    for (auto& instance : m_instances) {
        instance = std::make_unique<ShortdProcess>(QStringList {u"--database"_s, url, u"--rate-limit"_s, u"0"_s,
            u"--cache-ttl"_s, u"3600"_s, u"--max-connections-per-client"_s, u"512"_s});
        QVERIFY2(instance->start(), qPrintable(instance->errorString()));
    }
    QSqlDatabase db = QSqlDatabase::addDatabase(u"QPSQL"_s);
    db.setHostName(u"127.0.0.1"_s);
    db.setPort(m_cluster.port());
    db.setUserName(u"postgres"_s);
    db.setDatabaseName(u"limits"_s);
    QVERIFY(db.open());
}

void ShortdLimitsTest::cleanupTestCase()
{
    for (auto& instance : m_instances) {
        QVERIFY2(!instance || instance->stop(), qPrintable(instance->errorString()));
    }
}

QString ShortdLimitsTest::newLink(const QString& address)
{
    return shortenedCode(m_instances[0]->port(), 0, address);
}

bool ShortdLimitsTest::sql(const QString& statement, QVariant* value)
{
    QSqlQuery query;
    const bool done = query.exec(statement) && (!value || query.next());
    if (done && value) {
        *value = query.value(0);
    }
    return done;
}

QList<int> ShortdLimitsTest::send(const QList<std::tuple<int, QByteArray, QString>>& requests)
{
    std::vector<std::unique_ptr<QNetworkReply>> replies;
    for (const auto& [instance, method, path] : requests) {
        QNetworkRequest request(QUrl(m_instances[instance]->origin() + path));
        request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
        // "BOT" stands for a crawler's GET, which never uses up a visit.
        if (method == "BOT") {
            request.setHeader(QNetworkRequest::UserAgentHeader, u"curl/8.5.0"_s);
        }
        replies.emplace_back(method == "HEAD" ? m_manager.head(request) : m_manager.get(request));
    }
    const auto finished = [&replies] {
        return std::all_of(replies.cbegin(), replies.cend(), [](const auto& reply) { return reply->isFinished(); });
    };
    [&finished] { QTRY_VERIFY_WITH_TIMEOUT(finished(), 60'000); }();
    QList<int> statuses;
    for (const auto& reply : replies) {
        statuses.append(reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt());
    }
    return statuses;
}

void ShortdLimitsTest::lastVisitServedOnce()
{
    constexpr int Limit = 7;
    const QString code = newLink(u"https://example.com/limited"_s);
    QVERIFY(sql(u"UPDATE links SET max_visits = %1 WHERE code = '%2'"_s.arg(Limit).arg(code)));

    // Visits to both instances at once, with looks at the link and its preview that use up none.
    QList<std::tuple<int, QByteArray, QString>> requests;
    for (int i = 0; i < 120; ++i) {
        requests.append({i % 2, "GET", u'/' + code});
    }
    for (int i = 0; i < 40; ++i) {
        requests.append({i % 2, i % 4 < 2 ? "HEAD" : "GET", u'/' + code + (i % 4 < 2 ? u""_s : u"+"_s)});
    }
    const QList<int> statuses = send(requests);
    QCOMPARE(statuses.first(120).count(302), Limit);
    QCOMPARE(statuses.first(120).count(410), 120 - Limit);
    QCOMPARE(statuses.sliced(120).count(302) + statuses.sliced(120).count(200) + statuses.sliced(120).count(410), 40);

    for (const int instance : {0, 1}) {
        for (const QString& suffix : {u""_s, u"+"_s, u".svg"_s}) {
            QCOMPARE(status(instance, u'/' + code + suffix), 410);
        }
        QCOMPARE(status(instance, u'/' + code, "HEAD"), 410);
    }
    QVariant visits;
    QVERIFY(sql(u"SELECT visits FROM links WHERE code = '%1'"_s.arg(code), &visits));
    QCOMPARE(visits.toInt(), Limit);
}

void ShortdLimitsTest::endSeenByEveryInstance()
{
    const QString ending = u'/' + newLink(u"https://example.com/ending"_s);
    const QString extended = u'/' + newLink(u"https://example.com/extended"_s);
    QVERIFY(sql(u"UPDATE links SET expires_at = extract(epoch FROM now())::bigint + 4 WHERE code IN ('%1', '%2')"_s.arg(
        ending.sliced(1), extended.sliced(1))));
    QCOMPARE(send({{0, "GET", ending}, {1, "GET", ending}, {0, "GET", extended}, {1, "GET", extended}}),
        QList({302, 302, 302, 302}));
    // One end put off where no instance sees it: each reads it again once the end it knows comes.
    QVERIFY(sql(u"UPDATE links SET expires_at = expires_at + 3600 WHERE code = '%1'"_s.arg(extended.sliced(1))));
    QTRY_COMPARE_WITH_TIMEOUT(status(0, ending), 410, 10'000);
    QCOMPARE(send({{1, "GET", ending}, {1, "GET", ending + u'+'}, {0, "GET", ending + u".png"_s}, {0, "GET", extended},
                 {1, "GET", extended}}),
        QList({410, 410, 410, 302, 302}));
}

void ShortdLimitsTest::usedUpSeenByBotsEverywhere()
{
    const QString code = u'/' + newLink(u"https://example.com/once"_s);
    QVERIFY(sql(u"UPDATE links SET max_visits = 1 WHERE code = '%1'"_s.arg(code.sliced(1))));
    // Both instances hold the link (a bot's look uses up nothing and gets the limited page, not the
    // address); a person's visit on one uses it up.
    QTRY_COMPARE_WITH_TIMEOUT(send({{0, "BOT", code}, {1, "BOT", code}}), QList({200, 200}), 5'000);
    QCOMPARE(status(0, code), 302);
    // The other's copy, cached for an hour, must not keep leading bots to the address.
    QTRY_COMPARE_WITH_TIMEOUT(status(1, code, "BOT"), 410, 5'000);
}

QTEST_GUILESS_MAIN(ShortdLimitsTest)
#include "tst_shortdlimits.moc"
