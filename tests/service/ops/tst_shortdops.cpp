#include "config.h"
#include "httpprobe.h"
#include "ops/operatorcommands.h"
#include "ops/storeopener.h"
#include "opsrun.h"
#include "pgcluster.h"
#include "shortdprocess.h"

#include <QBuffer>
#include <QNetworkAccessManager>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QTest>

using namespace Qt::StringLiterals;
using namespace Shortd;

namespace
{
using Run = OpsRun;

// A code a person chose, with every field a link may have; its visits used up.
StoredLink chosenLink()
{
    StoredLink link {u"my-sale_26"_s, 4, u"https://shop.example/sale"_s, 1'767'268'800, 3, LinkState::Active, {}, 0};
    link.chosen = true;
    link.expiresSecs = 2'000'000'000;
    link.maxVisits = 3;
    link.title = u"Sale, \"big\" 春"_s;
    link.tags = {u"promo"_s, u"a,b"_s};
    link.owner = u"deploy"_s;
    return link;
}

// The links every row starts from: one of each state, types and dates apart, awkward characters.
QList<StoredLink> fixture()
{
    return {
        chosenLink(),
        {u"aaaaaa"_s, 0, u"https://example.com/a,b\"c"_s, 1'767'225'600, 5, LinkState::Active, {}, 0},
        {u"bbbbbb"_s, 1, u"https://phish.example/login"_s, 1'767'312'000, 40, LinkState::Disabled,
            u"phishing, reported"_s, 1'767'400'000},
        {u"cccccc"_s, 2, u"https://example.com/mistake"_s, 1'767'398'400, 2, LinkState::Deleted, {}, 1'767'500'000},
        {u"dddddd"_s, 3, u"https://例子.测试/路径?q=1"_s, 1'772'323'200, 900, LinkState::Active, {}, 0},
    };
}

// A service running on a fresh database, its cache keeping links far longer than a test runs: a
// change reaches it only because it hears of it.
struct RunningService {
    explicit RunningService(const QString& fresh)
        : database(fresh)
        , service({u"--rate-limit"_s, u"0"_s, u"--cache-ttl"_s, u"600"_s, u"--database"_s, fresh})
    {
    }
    HttpResult get(const QString& target)
    {
        return fetch(manager, QUrl::fromEncoded(service.origin().toLatin1() + target.toLatin1()));
    }
    HttpResult shorten(int type, const QString& address)
    {
        return fetch(manager, QUrl::fromEncoded(service.origin().toLatin1() + shortenTarget(type, address)));
    }

    QString database;
    ShortdProcess service;
    QNetworkAccessManager manager;
};
} // namespace

// The operator commands, one table run against the embedded store and PostgreSQL.
class ShortdOpsTest final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void commands_data();
    void commands();
    void roundTrip_data();
    void roundTrip();
    void takenDown_data();
    void takenDown();
    void quarantined_data() { takenDown_data(); }
    void quarantined();
    void blocked_data() { takenDown_data(); }
    void blocked();

private:
    // A fresh database of the kind ("sqlite" or "postgres") holding the fixture; its --database.
    QString freshDatabase(const QString& kind, bool filled = true);
    Run run(const QString& database, QStringList arguments, const QByteArray& input = {});
    // The service for the row's kind, started; none when the row is skipped or it did not start.
    std::unique_ptr<RunningService> startService();

    QTemporaryDir m_dir;
    PgCluster m_cluster;
    bool m_postgres = false;
    int m_databases = 0;
};

void ShortdOpsTest::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_postgres = m_cluster.start();
    if (!m_postgres) {
        qWarning("PostgreSQL rows are skipped: %s", qPrintable(m_cluster.errorString()));
    }
}

QString ShortdOpsTest::freshDatabase(const QString& kind, bool filled)
{
    ++m_databases;
    QString database = kind == u"postgres" ? m_cluster.createDatabase(u"ops%1"_s.arg(m_databases))
                                           : u"sqlite:"_s + m_dir.filePath(u"ops%1.sqlite"_s.arg(m_databases));
    const ConfigResult config = parseConfig({u"nolvex-shortd"_s, u"--database"_s, database}, {});
    const Result<std::unique_ptr<Store>> opened = openLinkStore(config.config, StoreAccess::Create);
    if (!opened) {
        qWarning("%s", qPrintable(opened.fault().english));
        return {};
    }
    Store* const store = opened->get();
    for (const StoredLink& link : fixture()) {
        if (filled && store->linkArchive()->restoreLink(link) != StoreStatus::Ok) {
            qWarning("cannot store %s: %s", qPrintable(link.code), qPrintable(store->lastError()));
            return {};
        }
    }
    return database;
}

Run ShortdOpsTest::run(const QString& database, QStringList arguments, const QByteArray& input)
{
    QTemporaryFile file(m_dir.filePath(u"input-XXXXXX"_s));
    if (!input.isNull() && file.open()) {
        file.write(input);
        file.close();
        arguments.replaceInStrings(u"INPUT"_s, file.fileName());
    }
    return runOps(arguments + QStringList {u"--database"_s, database});
}

void ShortdOpsTest::commands_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QStringList>("arguments"); // then, as a second command: CHECK and what follows
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("out"); // what standard output holds; "=" first: exactly, "!" first: not
    QTest::addColumn<QString>("err");

    struct Row {
        const char* name;
        QStringList arguments;
        int status;
        QString out;
        QString err;
    };
    const QList<Row> rows {
        {"list table", {u"links"_s, u"list"_s}, 0, u"dddddd           3    active          900"_s, {}},
        {"list newest first", {u"links"_s, u"list"_s, u"--format"_s, u"csv"_s, u"--limit"_s, u"1"_s}, 0,
            u"=code,type,target,created,visits,state,reason,changed,chosen,expires,maxVisits,title,tags,owner,"
            u"disabledBy,takedown,quarantineList,quarantineEntry,quarantined\r\n"
            u"dddddd,3,https://例子.测试/路径?q=1,2026-03-01T00:00:00Z,900,active,,,false,,,,,,,false,,,\r\n"_s,
            {}},
        {"list json", {u"links"_s, u"list"_s, u"--format"_s, u"json"_s, u"--type"_s, u"1"_s}, 0,
            u"=[\n{\"changed\":\"2026-01-03T00:26:40Z\",\"code\":\"bbbbbb\",\"created\":\"2026-01-02T00:00:00Z\","
            u"\"reason\":\"phishing, reported\",\"state\":\"disabled\",\"target\":\"https://phish.example/login\","
            u"\"type\":1,\"visits\":40}\n]\n"_s,
            {}},
        {"list json empty", {u"links"_s, u"list"_s, u"--format"_s, u"json"_s, u"--type"_s, u"5"_s}, 0, u"=[]\n"_s, {}},
        {"list expired, every field", {u"links"_s, u"list"_s, u"--state"_s, u"expired"_s, u"--format"_s, u"csv"_s}, 0,
            u"=code,type,target,created,visits,state,reason,changed,chosen,expires,maxVisits,title,tags,owner,"
            u"disabledBy,takedown,quarantineList,quarantineEntry,quarantined\r\n"
            u"my-sale_26,4,https://shop.example/sale,2026-01-01T12:00:00Z,3,active,,,true,2033-05-18T03:33:20Z,3,"
            u"\"Sale, \"\"big\"\" 春\",\"[\"\"promo\"\",\"\"a,b\"\"]\",deploy,,false,,,\r\n"_s,
            {}},
        {"list active leaves the expired out", {u"links"_s, u"list"_s, u"--state"_s, u"active"_s}, 0, u"!my-sale"_s,
            {}},
        {"list disabled", {u"links"_s, u"list"_s, u"--state"_s, u"disabled"_s}, 0, u"!aaaaaa"_s, {}},
        {"list a tag", {u"links"_s, u"list"_s, u"--tag"_s, u"a,b"_s}, 0,
            u"my-sale_26       4    expired         3/3  2026-01-01 12:00 2033-05-18 03:33 https://shop.example/sale\n"_s,
            {}},
        {"list part of a tag", {u"links"_s, u"list"_s, u"--tag"_s, u"prom"_s}, 0, u"!my-sale"_s, {}},
        {"list json, every field", {u"links"_s, u"list"_s, u"--format"_s, u"json"_s, u"--tag"_s, u"promo"_s}, 0,
            u"=[\n{\"chosen\":true,\"code\":\"my-sale_26\",\"created\":\"2026-01-01T12:00:00Z\","
            u"\"expires\":\"2033-05-18T03:33:20Z\",\"maxVisits\":3,\"owner\":\"deploy\",\"state\":\"active\","
            u"\"tags\":[\"promo\",\"a,b\"],\"target\":\"https://shop.example/sale\",\"title\":\"Sale, \\\"big\\\" 春\","
            u"\"type\":4,\"visits\":3}\n]\n"_s,
            {}},
        {"list bad state", {u"links"_s, u"list"_s, u"--state"_s, u"gone"_s}, 2, {}, u"--state"_s},
        {"list search address", {u"links"_s, u"list"_s, u"--search"_s, u"mistake"_s}, 0, u"cccccc"_s, {}},
        {"list search code", {u"links"_s, u"list"_s, u"--search"_s, u"ddd"_s}, 0, u"!aaaaaa"_s, {}},
        {"list since", {u"links"_s, u"list"_s, u"--since"_s, u"2026-01-02"_s}, 0, u"!aaaaaa"_s, {}},
        {"list bad type", {u"links"_s, u"list"_s, u"--type"_s, u"6"_s}, 2, {}, u"--type"_s},
        {"list bad format", {u"links"_s, u"list"_s, u"--format"_s, u"xml"_s}, 2, {}, u"--format"_s},
        {"list bad date", {u"links"_s, u"list"_s, u"--since"_s, u"yesterday"_s}, 2, {}, u"--since"_s},
        {"list bad limit", {u"links"_s, u"list"_s, u"--limit"_s, u"-3"_s}, 2, {}, u"--limit"_s},
        {"list help", {u"links"_s, u"list"_s, u"--help"_s}, 0, u"Usage: nolvex-shortd links list"_s, {}},
        {"show", {u"links"_s, u"show"_s, u"bbbbbb"_s}, 0, u"reason:  phishing, reported"_s, {}},
        {"show every field", {u"links"_s, u"show"_s, u"my-sale_26"_s}, 0,
            u"=code:    my-sale_26 (chosen)\ntype:    4\nstate:   active (expired)\naddress: "
            u"https://shop.example/sale\n"
            u"created: 2026-01-01T12:00:00Z\nvisits:  3 of at most 3\nends:    2033-05-18T03:33:20Z\n"
            u"title:   Sale, \"big\" 春\ntags:    promo, a,b\nowner:   deploy\n"_s,
            {}},
        {"set",
            {u"links"_s, u"set"_s, u"aaaaaa"_s, u"--expires"_s, u"2030-01-01"_s, u"--max-visits"_s, u"9"_s,
                u"--title"_s, u"新"_s, u"--tag"_s, u"x"_s, u"--tag"_s, u"y"_s, u"--tag"_s, u"x"_s, u"CHECK"_s,
                u"links"_s, u"show"_s, u"aaaaaa"_s},
            0, u"visits:  5 of at most 9\nends:    2030-01-01T00:00:00Z\ntitle:   新\ntags:    x, y\n"_s,
            u"aaaaaa: changed"_s},
        {"set clears, and the link is active again",
            {u"links"_s, u"set"_s, u"my-sale_26"_s, u"--expires"_s, u"never"_s, u"--max-visits"_s, u"none"_s,
                u"--title"_s, u""_s, u"--no-tags"_s, u"CHECK"_s, u"links"_s, u"list"_s, u"--state"_s, u"active"_s,
                u"--format"_s, u"csv"_s, u"--search"_s, u"sale"_s},
            0,
            u"my-sale_26,4,https://shop.example/sale,2026-01-01T12:00:00Z,3,active,,,true,,,,,deploy,,false,,,\r\n"_s,
            {}},
        {"set shows the link", {u"links"_s, u"set"_s, u"bbbbbb"_s, u"--title"_s, u"t"_s}, 0, u"title:   t\n"_s, {}},
        {"set nothing", {u"links"_s, u"set"_s, u"aaaaaa"_s}, 2, {}, u"nothing to change"_s},
        {"set deleted", {u"links"_s, u"set"_s, u"cccccc"_s, u"--title"_s, u"t"_s}, 1, {}, u"stays deleted"_s},
        {"set unknown", {u"links"_s, u"set"_s, u"zzzzzz"_s, u"--title"_s, u"t"_s}, 1, {}, u"no link zzzzzz"_s},
        {"set bad end", {u"links"_s, u"set"_s, u"aaaaaa"_s, u"--expires"_s, u"soon"_s}, 2, {}, u"--expires"_s},
        {"set no visits", {u"links"_s, u"set"_s, u"aaaaaa"_s, u"--max-visits"_s, u"0"_s}, 2, {}, u"--max-visits"_s},
        {"set tags and none", {u"links"_s, u"set"_s, u"aaaaaa"_s, u"--tag"_s, u"x"_s, u"--no-tags"_s}, 2, {},
            u"exclude each other"_s},
        {"set a tag too long", {u"links"_s, u"set"_s, u"aaaaaa"_s, u"--tag"_s, QString(41, u't')}, 2, {},
            u"a tag is not 1 to 40"_s},
        {"set a title with an escape", {u"links"_s, u"set"_s, u"aaaaaa"_s, u"--title"_s, u"\x1b[2J"_s}, 2, {},
            u"control characters"_s},
        {"show unknown", {u"links"_s, u"show"_s, u"zzzzzz"_s}, 1, {}, u"no link zzzzzz"_s},
        {"show not a code", {u"links"_s, u"show"_s, u"a/b"_s}, 1, {}, u"no link a/b"_s},
        {"show without code", {u"links"_s, u"show"_s}, 2, {}, u"exactly one CODE"_s},
        {"disable",
            {u"links"_s, u"disable"_s, u"aaaaaa"_s, u"--reason"_s, u"spam"_s, u"CHECK"_s, u"links"_s, u"show"_s,
                u"aaaaaa"_s},
            0, u"reason:  spam"_s, u"aaaaaa: disabled"_s},
        {"disable deleted", {u"links"_s, u"disable"_s, u"cccccc"_s}, 1, {}, u"stays deleted"_s},
        {"disable unknown", {u"links"_s, u"disable"_s, u"zzzzzz"_s}, 1, {}, u"no link"_s},
        {"enable", {u"links"_s, u"enable"_s, u"bbbbbb"_s, u"CHECK"_s, u"links"_s, u"show"_s, u"bbbbbb"_s}, 0,
            u"state:   active"_s, u"bbbbbb: active"_s},
        {"enable active", {u"links"_s, u"enable"_s, u"aaaaaa"_s}, 0, {}, u"active already"_s},
        {"enable deleted", {u"links"_s, u"enable"_s, u"cccccc"_s}, 1, {}, u"stays deleted"_s},
        {"delete", {u"links"_s, u"delete"_s, u"dddddd"_s, u"CHECK"_s, u"links"_s, u"show"_s, u"dddddd"_s}, 0,
            u"state:   deleted"_s, u"dddddd: deleted"_s},
        {"delete twice", {u"links"_s, u"delete"_s, u"cccccc"_s}, 1, {}, u"stays deleted"_s},
        {"delete extra argument", {u"links"_s, u"delete"_s, u"aaaaaa"_s, u"bbbbbb"_s}, 2, {}, u"exactly one"_s},
        {"export jsonl", {u"links"_s, u"export"_s}, 0, u"{\"code\":\"aaaaaa\""_s, {}},
        {"export bad format", {u"links"_s, u"export"_s, u"--format"_s, u"table"_s}, 2, {}, u"--format"_s},
        {"import missing file", {u"links"_s, u"import"_s, u"/nonexistent/links.jsonl"_s}, 1, {}, u"cannot read"_s},
        {"stats", {u"stats"_s, u"--top"_s, u"2"_s}, 0,
            u"links: 5 (active 3, disabled 1, deleted 1)\nvisits: 950 by people (0 new visitors)\nbots: 0\npreviews: 0\nblocked: 0\nmost visited:\n"_s,
            {}},
        {"stats top leaves out deleted", {u"stats"_s, u"--top"_s, u"5"_s}, 0, u"!cccccc"_s, {}},
        {"stats bad top", {u"stats"_s, u"--top"_s, u"many"_s}, 2, {}, u"--top"_s},
        // A visit report's refusals name the command's own options.
        {"stats bad bucket", {u"stats"_s, u"--by"_s, u"week"_s}, 2, {}, u"--by is hour or day"_s},
        {"stats bad since", {u"stats"_s, u"--since"_s, u"soon"_s}, 2, {}, u"--since is a date"_s},
        {"stats since ahead", {u"stats"_s, u"--since"_s, u"2999-01-01"_s}, 2, {}, u"--since must come before now"_s},
        {"unknown command", {u"links"_s, u"purge"_s}, 2, {}, u"unknown command"_s},
        {"unknown option", {u"links"_s, u"show"_s, u"aaaaaa"_s, u"--colour"_s}, 2, {}, u"colour"_s},
    };
    for (const QString& kind : {u"sqlite"_s, u"postgres"_s}) {
        for (const Row& row : rows) {
            QTest::addRow("%s: %s", qPrintable(kind), row.name)
                << kind << row.arguments << row.status << row.out << row.err;
        }
    }
}

void ShortdOpsTest::commands()
{
    QFETCH(QString, kind);
    QFETCH(QStringList, arguments);
    QFETCH(int, status);
    QFETCH(QString, out);
    QFETCH(QString, err);
    if (kind == u"postgres" && !m_postgres) {
        QSKIP("no PostgreSQL cluster");
    }
    const QString database = freshDatabase(kind);
    QVERIFY(!database.isEmpty());

    const qsizetype check = arguments.indexOf(u"CHECK"_s);
    const Run first = run(database, check < 0 ? arguments : arguments.first(check));
    QVERIFY2(first.status == status, qPrintable(u"status %1: %2"_s.arg(first.status).arg(first.err)));
    QVERIFY2(first.err.contains(err), qPrintable(first.err));
    const Run shown = check < 0 ? first : run(database, arguments.sliced(check + 1));
    if (out.startsWith(u'=')) {
        QCOMPARE(shown.out, out.sliced(1));
    } else if (out.startsWith(u'!')) {
        QVERIFY2(!shown.out.contains(out.sliced(1)), qPrintable(shown.out));
    } else {
        QVERIFY2(shown.out.contains(out), qPrintable(shown.out));
    }
}

void ShortdOpsTest::roundTrip_data()
{
    QTest::addColumn<QString>("from");
    QTest::addColumn<QString>("to");
    QTest::addColumn<QString>("format");
    QTest::newRow("sqlite to postgres, jsonl") << u"sqlite"_s << u"postgres"_s << u"jsonl"_s;
    QTest::newRow("sqlite to postgres, csv") << u"sqlite"_s << u"postgres"_s << u"csv"_s;
    QTest::newRow("postgres to sqlite, jsonl") << u"postgres"_s << u"sqlite"_s << u"jsonl"_s;
    QTest::newRow("sqlite to sqlite, csv") << u"sqlite"_s << u"sqlite"_s << u"csv"_s;
}

// Export, import into an empty database, export again: the same bytes. Importing again changes
// nothing; a code held by another address is refused with that address named.
void ShortdOpsTest::roundTrip()
{
    QFETCH(QString, from);
    QFETCH(QString, to);
    QFETCH(QString, format);
    if ((from == u"postgres" || to == u"postgres") && !m_postgres) {
        QSKIP("no PostgreSQL cluster");
    }
    const QString source = freshDatabase(from);
    const QString target = freshDatabase(to, false);
    QVERIFY(!source.isEmpty() && !target.isEmpty());

    const Run exported = run(source, {u"links"_s, u"export"_s, u"--format"_s, format});
    QCOMPARE(exported.status, 0);
    const Run imported = run(target, {u"links"_s, u"import"_s, u"INPUT"_s}, exported.out.toUtf8());
    QCOMPARE(imported.status, 0);
    QVERIFY2(imported.err.contains(u"imported 5, already there 0, refused 0"_s), qPrintable(imported.err));
    QCOMPARE(run(target, {u"links"_s, u"export"_s, u"--format"_s, format}).out, exported.out);

    const Run again = run(target, {u"links"_s, u"import"_s, u"INPUT"_s}, exported.out.toUtf8());
    QCOMPARE(again.status, 0);
    QVERIFY2(again.err.contains(u"imported 0, already there 5, refused 0"_s), qPrintable(again.err));

    QString clash = exported.out;
    clash.replace(u"https://example.com/mistake"_s, u"https://example.com/other"_s);
    const Run refused = run(target, {u"links"_s, u"import"_s, u"INPUT"_s}, clash.toUtf8());
    QCOMPARE(refused.status, 1);
    QVERIFY2(
        refused.err.contains(u"the code cccccc is taken by another address (type 2): https://example.com/mistake"_s),
        qPrintable(refused.err));

    // More links than one commit takes: every one in.
    if (format == u"jsonl") {
        const QString letters = u"abcdefghjkmnpqrstuvw"_s;
        QByteArray many;
        for (int i = 0; i < 2500; ++i) {
            const QString code = u"bxyz"_s + letters.at(i / 400) + letters.at(i / 20 % 20) + letters.at(i % 20);
            many += u"{\"code\":\"%1\",\"type\":1,\"target\":\"https://example.com/many/%2\","
                    u"\"created\":\"2024-01-01T00:00:00Z\",\"visits\":3,\"state\":\"active\"}\n"_s.arg(code)
                        .arg(i)
                        .toUtf8();
        }
        const Run bulk = run(target, {u"links"_s, u"import"_s, u"INPUT"_s}, many);
        QVERIFY2(bulk.err.contains(u"imported 2500, already there 0, refused 0"_s), qPrintable(bulk.err));
        QCOMPARE(run(target, {u"links"_s, u"export"_s}).out.count(u"https://example.com/many/"_s), 2500);
    }
}

void ShortdOpsTest::takenDown_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("sqlite") << u"sqlite"_s;
    QTest::newRow("postgres") << u"postgres"_s;
}

// What a running service makes of a link disabled, enabled and deleted by the commands. The
// cache keeps links far longer than the test runs: each change reaches the service because it
// hears of it, and the command says the service acted on it.
std::unique_ptr<RunningService> ShortdOpsTest::startService()
{
    QFETCH(QString, kind);
    if (kind == u"postgres" && !m_postgres) {
        QTest::qSkip("no PostgreSQL cluster", __FILE__, __LINE__);
        return {};
    }
    const QString database = freshDatabase(kind, false);
    if (database.isEmpty()) {
        QTest::qFail("no fresh database", __FILE__, __LINE__);
        return {};
    }
    auto running = std::make_unique<RunningService>(database);
    if (!running->service.start()) {
        QTest::qFail(qPrintable(running->service.errorString()), __FILE__, __LINE__);
        return {};
    }
    return running;
}

void ShortdOpsTest::takenDown()
{
    const std::unique_ptr<RunningService> running = startService();
    if (!running) {
        return;
    }
    const QString& database = running->database;
    ShortdProcess& service = running->service;
    const auto get = [&](const QString& target) { return running->get(target); };
    const QString address = u"https://example.com/offer"_s;
    const auto shorten = [&](int type) { return running->shorten(type, address); };
    const QString link = shorten(1).json().value(u"info"_s).toString();
    const QString code = link.section(u'/', -1);
    QVERIFY2(!code.isEmpty(), qPrintable(link));
    QCOMPARE(get(u'/' + code).status, 302);

    const auto disabled = run(database, {u"links"_s, u"disable"_s, code, u"--reason"_s, u"phishing <b>"_s});
    QCOMPARE(disabled.status, 0);
    QVERIFY2(disabled.err.contains(u"acknowledged by 1 of 1 running instances"_s), qPrintable(disabled.err));
    QCOMPARE(get(u'/' + code).status, 410);
    for (const QString& suffix : {u""_s, u"+"_s, u".svg"_s, u".png?size=128"_s}) {
        const HttpResult gone = get(u'/' + code + suffix);
        QCOMPARE(gone.status, 410);
        QVERIFY2(gone.body.contains("已停用") && gone.body.contains("phishing &lt;b&gt;"), gone.body.constData());
        QVERIFY(!gone.body.contains(address.toUtf8()));
    }
    const HttpResult refused = shorten(1);
    QCOMPARE(refused.status, 403);
    QCOMPARE(refused.json().value(u"result"_s).toInt(), 0);
    QVERIFY(refused.json().value(u"message"_s).toString().contains(u"停用"_s));
    QCOMPARE(shorten(2).json().value(u"result"_s).toInt(), 1); // another type is another link

    QCOMPARE(run(database, {u"links"_s, u"enable"_s, code}).status, 0);
    QTRY_COMPARE(get(u'/' + code).status, 302);

    QCOMPARE(run(database, {u"links"_s, u"delete"_s, code}).status, 0);
    QTRY_COMPARE(get(u'/' + code).status, 410);
    QVERIFY(get(u'/' + code + u'+').body.contains("已删除"));
    const QString again = shorten(1).json().value(u"info"_s).toString();
    QVERIFY2(!again.isEmpty() && again != link, qPrintable(again));
    QCOMPARE(get(u'/' + again.section(u'/', -1)).header("Location"), address.toUtf8());
    QCOMPARE(get(u'/' + code).status, 410);
    QVERIFY2(service.stop(), qPrintable(service.errorString()));

    // The deleted code is never handed out again: the store refuses it to any new link.
    const ConfigResult config = parseConfig({u"nolvex-shortd"_s, u"--database"_s, database}, {});
    const Result<std::unique_ptr<Store>> store = openLinkStore(config.config, StoreAccess::Change);
    QVERIFY2(store, qPrintable(store ? QString() : store.fault().english));
    QCOMPARE(
        (*store)->links().insert({code, 4, u"https://example.com/elsewhere"_s, 1, 0}).status, StoreStatus::CodeTaken);
}

// A link whose destination a blocklist names: the running service hears of it, and its redirect,
// preview and images all answer the warning, which shows the destination only defanged.
void ShortdOpsTest::quarantined()
{
    const std::unique_ptr<RunningService> running = startService();
    if (!running) {
        return;
    }
    const QString& database = running->database;
    const auto get = [&](const QString& target) { return running->get(target); };
    const QString address = u"https://login.evil.example/a.php?next=https://bank.example/"_s;
    const QString code = running->shorten(1, address).json().value(u"info"_s).toString().section(u'/', -1);
    QVERIFY(!code.isEmpty());
    QCOMPARE(get(u'/' + code).status, 302);
    {
        const ConfigResult config = parseConfig({u"nolvex-shortd"_s, u"--database"_s, database}, {});
        const Result<std::unique_ptr<Store>> store = openLinkStore(config.config, StoreAccess::Change);
        QVERIFY(store && (*store)->linkQuarantine());
        QCOMPARE((*store)->linkQuarantine()->quarantine(code, u"feed<1>"_s, u"evil.example"_s, 1'767'225'600),
            StoreStatus::Ok);
    }
    QTRY_COMPARE(get(u'/' + code).status, 403);
    for (const QString& suffix : {u""_s, u"+"_s, u".svg"_s, u".png?size=128"_s}) {
        const HttpResult warned = get(u'/' + code + suffix);
        QCOMPARE(warned.status, 403);
        QVERIFY(warned.header("Location").isEmpty());
        QCOMPARE(warned.header("Cache-Control"), "no-store");
        QCOMPARE(warned.header("X-Robots-Tag"), "noindex");
        const QString page = QString::fromUtf8(warned.body);
        for (const QString& shown : {u"hxxps://login[.]evil[.]example/a.php?next=https://bank.example/"_s,
                 u"<code class=\"target\">evil[.]example</code>"_s, u"feed&lt;1&gt;"_s, u"2026-01-01 00:00 UTC"_s}) {
            QVERIFY2(page.contains(shown), qPrintable(shown + u" missing from "_s + page));
        }
        QVERIFY2(!page.contains(u"evil.example"_s) && !page.contains(u"<a "_s), qPrintable(page));
    }
    // Shortening the address again hands out no link that answers 403.
    const HttpResult again = running->shorten(1, address);
    QCOMPARE(again.status, 403);
    QVERIFY2(again.json().value(u"message"_s).toString().contains(u"不安全"_s), again.body.constData());
    // The operator sees why, may not merely enable it, and releases it once.
    const Run shown = run(database, {u"links"_s, u"show"_s, code});
    QVERIFY2(shown.out.contains(u"state:   quarantined\n"_s)
            && shown.out.contains(u"quarantined: 2026-01-01T00:00:00Z, list feed<1>, entry evil.example\n"_s),
        qPrintable(shown.out));
    // Every request the warning answered is kept as evidence: at least the four above.
    const auto blocked = [&] {
        static const QRegularExpression line(u"blocked: (\\d+) requests turned away\n"_s);
        return line.match(run(database, {u"links"_s, u"show"_s, code}).out).captured(1).toInt();
    };
    QTRY_VERIFY(blocked() >= 4);
    const struct {
        const char* command;
        int status;
        QString err;
        int page;
    } steps[] {
        {"enable", 1, u"links release"_s, 403},
        {"release", 0, u"no longer stopped by feed<1> evil.example"_s, 302},
        {"release", 1, u"is not quarantined; it is active"_s, 302},
    };
    for (const auto& step : steps) {
        const Run done = run(database, {u"links"_s, QString::fromLatin1(step.command), code});
        QCOMPARE(done.status, step.status);
        QVERIFY2(done.err.contains(step.err), qPrintable(done.err));
        QTRY_COMPARE(get(u'/' + code).status, step.page);
    }
    QVERIFY(!run(database, {u"links"_s, u"show"_s, code}).out.contains(u"quarantined"_s));
    QVERIFY2(running->service.stop(), qPrintable(running->service.errorString()));
}

// A take-down that blocks its destination's host: every name under it is refused from then on,
// another live link to it is quarantined, and removing the entry lets it be shortened again.
void ShortdOpsTest::blocked()
{
    const std::unique_ptr<RunningService> running = startService();
    if (!running) {
        return;
    }
    const QString& database = running->database;
    const auto shorten = [&](const QString& address) { return running->shorten(1, address); };
    const auto status = [&](const QString& code) { return running->get(u'/' + code).status; };
    const QString code = shorten(u"https://Evil.example/x"_s).json().value(u"info"_s).toString().section(u'/', -1);
    const QString other = shorten(u"https://evil.example/y"_s).json().value(u"info"_s).toString().section(u'/', -1);
    QVERIFY(!code.isEmpty() && !other.isEmpty());
    // A name under the host not shortened before, each time: one made before the instance read the
    // list is quarantined, not refused.
    int probes = 0;
    const auto later = [&] { return shorten(u"https://n%1.evil.example/z"_s.arg(++probes)).json(); };
    const struct {
        QStringList command;
        QString said; // in standard error, or with "out:" first in standard output
        int created; // what shortening a new name under the host answers once the instance has read the list
    } steps[] {
        {{u"links"_s, u"disable"_s, code, u"--block"_s, u"host"_s, u"--reason"_s, u"phish kit"_s},
            u"blocked: evil.example"_s, 0},
        {{u"links"_s, u"disable"_s, code, u"--block"_s, u"host"_s}, u"evil.example is blocked already"_s, 0},
        {{u"blocks"_s, u"list"_s}, u"out:evil.example  phish kit"_s, 0},
        {{u"links"_s, u"import"_s, u"INPUT"_s}, u"line 1: listed by local (evil.example)"_s, 0},
        {{u"blocks"_s, u"remove"_s, u"EVIL.example"_s}, u"evil.example removed"_s, 1},
        {{u"blocks"_s, u"remove"_s, u"evil.example"_s}, u"evil.example is not on the list"_s, 1},
    };
    const QByteArray imported
        = R"({"code":"LEFDAx","created":"2026-01-01T00:00:00Z","state":"active","target":"https://b.evil.example/",)"
          R"("type":0,"visits":0})";
    for (const auto& step : steps) {
        const Run done = run(database, step.command, imported);
        const bool out = step.said.startsWith(u"out:");
        QVERIFY2(
            (out ? done.out : done.err).contains(out ? step.said.mid(4) : step.said), qPrintable(done.out + done.err));
        QTRY_COMPARE_WITH_TIMEOUT(later().value(u"result"_s).toInt(), step.created, 15'000);
    }
    QCOMPARE(status(other), 403); // quarantined by the entry while it was listed, and stays so
    QVERIFY(run(database, {u"links"_s, u"show"_s, other}).out.contains(u"list local, entry evil.example"_s));
    QVERIFY2(running->service.stop(), qPrintable(running->service.errorString()));
}

QTEST_GUILESS_MAIN(ShortdOpsTest)
#include "tst_shortdops.moc"
