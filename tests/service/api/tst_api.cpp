#include "httpprobe.h"
#include "pgcluster.h"
#include "shortdprocess.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryFile>
#include <QTest>
#include <map>
#include <memory>

using namespace Qt::StringLiterals;

namespace
{
// The anonymous creations a minute each client may make: small, so one row can use them up.
constexpr int RateLimit = 5;
const QByteArray UnknownKey = "nvx_" + QByteArray(43, 'A');

// One API call and what it must answer. as: whose key ("admin", "creator", "other", "reader",
// "revoked", "unknown", "malformed", "none"; "admin@console" as the console sends it). body: JSON
// text, or "@big" (over the limit) or "@latin1" (not UTF-8). checks: ';'-separated "member=value" (a top-level member,
// JSON text), "field=name" (the first refused member), "fields=a,b" (every refused member, in order), "says=text" (in
// the first's message), "count=n" (items), "header=Name". repeat: sent that many times, the last answer checked.
// client: an X-Forwarded-For of its own, for the limits.
struct ApiCase {
    const char* name;
    const char* method;
    const char* target;
    const char* as;
    const char* body;
    int status;
    const char* checks = "";
    int repeat = 1;
    const char* client = nullptr;
    const char* contentType = "application/json";
    bool closed = false; // sent to the instance with open shortening off
};

// In order: later rows use the links earlier ones made.
const ApiCase Cases[] {
    {"anonymous plain create", "POST", "/api/v1/links", "none", R"({"url":"https://example.com/a"})", 201,
        "member=state=\"active\";header=Location"},
    {"anonymous same address is the same link", "POST", "/api/v1/links", "none",
        R"({"url":"https://example.com/a","type":0})", 200, "member=url=\"https://example.com/a\""},
    {"anonymous with a code needs a key", "POST", "/api/v1/links", "none",
        R"({"url":"https://example.com/b","code":"anon-code"})", 401, "header=WWW-Authenticate"},
    {"anonymous address refused", "POST", "/api/v1/links", "none", R"({"url":"ftp://example.com/"})", 422, "field=url"},
    {"anonymous while closed", "POST", "/api/v1/links", "none", R"({"url":"https://example.com/c"})", 401, "", 1,
        nullptr, "application/json", true},
    {"anonymous listed address", "POST", "/api/v1/links", "none", R"({"url":"https://www.listed.example/"})", 422,
        "field=url;says=列表 test"},
    {"a key does not pass the lists", "POST", "/api/v1/links", "creator",
        R"({"url":"https://listed.example/x","code":"listed-one"})", 422, "field=url;says=列表 test"},
    {"anonymous over the rate", "POST", "/api/v1/links", "none", R"({"url":"https://example.com/d"})", 429,
        "header=Retry-After", RateLimit + 1, "192.0.2.1"},
    {"creator chosen code", "POST", "/api/v1/links", "creator",
        R"({"url":"https://example.com/a","code":"cre-own","title":"Launch","tags":["launch","x"],"maxVisits":5,"expiresAt":"2099-01-01T08:00:00+08:00"})",
        201, R"(member=code="cre-own";member=maxVisits=5;member=expiresAt="2099-01-01T00:00:00Z")"},
    {"a chosen code leaves the address its own link", "POST", "/api/v1/links", "none",
        R"({"url":"https://example.com/a"})", 200, "member=title=null"},
    {"text escaped", "POST", "/api/v1/links", "creator",
        R"({"url":"https://example.com/h?q=\u00e9","code":"esc","title":"引号\"与\\反斜杠"})", 201,
        R"(member=title="引号\"与\\反斜杠";member=url="https://example.com/h?q=é")"},
    {"creator code taken", "POST", "/api/v1/links", "creator", R"({"url":"https://example.com/e","code":"cre-own"})",
        409, "field=code"},
    {"code naming a service path", "POST", "/api/v1/links", "creator",
        R"({"url":"https://example.com/e","code":"HealthZ"})", 422, "field=code"},
    {"code too short", "POST", "/api/v1/links", "creator", R"({"url":"https://example.com/e","code":"ab"})", 422,
        "field=code"},
    {"code like an image", "POST", "/api/v1/links", "creator", R"({"url":"https://example.com/e","code":"logo.png"})",
        422, "field=code"},
    {"unknown member", "POST", "/api/v1/links", "creator", R"({"url":"https://example.com/e","colour":"red"})", 422,
        "field=colour"},
    {"end in the past", "POST", "/api/v1/links", "creator",
        R"({"url":"https://example.com/e","expiresAt":"2001-01-01T00:00:00Z"})", 422, "field=expiresAt"},
    {"end not RFC 3339", "POST", "/api/v1/links", "creator",
        R"({"url":"https://example.com/e","expiresAt":"2099-01-01"})", 422, "field=expiresAt"},
    {"type out of range", "POST", "/api/v1/links", "creator", R"({"url":"https://example.com/e","type":6})", 422,
        "field=type"},
    {"visit limit not a count", "POST", "/api/v1/links", "creator",
        R"({"url":"https://example.com/e","maxVisits":1.5})", 422, "field=maxVisits"},
    {"options with a drawn code", "POST", "/api/v1/links", "creator", R"({"url":"https://example.com/a","title":"t"})",
        201, "member=title=\"t\""},
    {"reader creates", "POST", "/api/v1/links", "reader", R"({"url":"https://example.com/e"})", 403},
    {"malformed JSON", "POST", "/api/v1/links", "creator", R"({"url":)", 400},
    {"JSON not an object", "POST", "/api/v1/links", "creator", R"(["https://example.com/e"])", 400},
    {"not UTF-8", "POST", "/api/v1/links", "creator", "@latin1", 400},
    {"not JSON", "POST", "/api/v1/links", "creator", "url=https://example.com/e", 415, "", 1, nullptr,
        "application/x-www-form-urlencoded"},
    {"another charset", "POST", "/api/v1/links", "creator", R"({"url":"https://example.com/e"})", 415, "", 1, nullptr,
        "application/json; charset=iso-8859-1"},
    {"body too long", "POST", "/api/v1/links", "creator", "@big", 413},
    // One member given twice is refused wherever a body is read, whichever spelling repeats it.
    {"member given twice", "POST", "/api/v1/links", "creator",
        R"({"url":"javascript:x","url":"https://example.com/e"})", 400},
    {"member given twice, once escaped", "POST", "/api/v1/keys", "admin",
        R"({"name":"twice","role":"reader","r\u006fle":"admin"})", 400},
    {"a value that names a member is no repeat", "POST", "/api/v1/links", "creator",
        R"({"url":"https://example.com/e","title":"url","code":"two-objs"})", 201},
    {"one name in two objects is no repeat", "POST", "/api/v1/links", "creator",
        R"({"url":"https://example.com/e","x":{"a":[{"a":1}]},"y":{"a":2}})", 422, "field=x"},
    {"a member twice deeper down", "POST", "/api/v1/links", "creator",
        R"({"url":"https://example.com/e","x":[{"a":1,"b":{},"a":2}]})", 400},
    {"title with a bidirectional override", "POST", "/api/v1/links", "creator",
        R"({"url":"https://example.com/e","title":"abc\u202Egnp.exe"})", 422, "field=title"},
    {"tag with a lone surrogate", "POST", "/api/v1/links", "creator",
        R"({"url":"https://example.com/e","tags":["ok","x\ud800"]})", 422, "field=tags"},
    {"title with a paired surrogate", "POST", "/api/v1/links", "creator",
        R"({"url":"https://example.com/e","title":"\ud83d\ude00 ok","code":"emoji-ok"})", 201,
        R"(member=title="😀 ok")"},
    {"other creator's link", "POST", "/api/v1/links", "other", R"({"url":"https://example.com/f","code":"oth-own"})",
        201},
    {"list", "GET", "/api/v1/links", "reader", nullptr, 200, "member=next=null"},
    {"list a page", "GET", "/api/v1/links?limit=1", "reader", nullptr, 200, "count=1"},
    {"pages follow one another", "GET", "/api/v1/links?limit=2", "reader", nullptr, 200, "pages=all"},
    {"list by tag", "GET", "/api/v1/links?tag=launch", "reader", nullptr, 200, "count=1"},
    {"list limit out of range", "GET", "/api/v1/links?limit=201", "reader", nullptr, 422, "field=limit"},
    {"list bad cursor", "GET", "/api/v1/links?cursor=%25%25", "reader", nullptr, 422, "field=cursor"},
    {"list unknown parameter", "GET", "/api/v1/links?owner=me", "reader", nullptr, 422, "field=owner"},
    {"list unknown state", "GET", "/api/v1/links?state=gone", "reader", nullptr, 422, "field=state"},
    // Every member that cannot be used is named, up to a parameter given twice, after which none is read.
    {"list several refused", "GET", "/api/v1/links?owner=me&limit=0&state=gone", "reader", nullptr, 422,
        R"(fields=owner,limit,state;member=detail="请求中有不正确的内容，详见 errors")"},
    {"list stops at a repeat", "GET", "/api/v1/links?owner=me&limit=5&limit=6&state=gone", "reader", nullptr, 422,
        "fields=owner,limit"},
    {"list without a key", "GET", "/api/v1/links", "none", nullptr, 401},
    {"read", "GET", "/api/v1/links/cre-own", "reader", nullptr, 200, "member=title=\"Launch\";member=visits=0"},
    {"read missing", "GET", "/api/v1/links/no-such", "reader", nullptr, 404},
    {"read without a key", "GET", "/api/v1/links/cre-own", "none", nullptr, 401},
    {"visits by hour", "GET", "/api/v1/links/cre-own/visits?bucket=hour&to=2099-01-01", "reader", nullptr, 200,
        R"(member=bucket="hour";member=code="cre-own";member=from="2098-12-30T00:00:00Z")"},
    {"visits bucket unknown", "GET", "/api/v1/links/cre-own/visits?bucket=week", "reader", nullptr, 422,
        "field=bucket;says=hour 或 day"},
    {"visits time without a zone", "GET", "/api/v1/links/cre-own/visits?from=2026-12-07T10:00:00", "reader", nullptr,
        422, "field=from;says=带时区的时间"},
    {"visits of a missing link", "GET", "/api/v1/links/no-such/visits", "reader", nullptr, 404},
    {"visits without a key", "GET", "/api/v1/links/cre-own/visits", "none", nullptr, 401},
    {"service stats", "GET", "/api/v1/stats?from=2026-01-01", "reader", nullptr, 200},
    {"service stats hourly too long", "GET", "/api/v1/stats?bucket=hour&from=2026-01-01&to=2026-03-01", "reader",
        nullptr, 422, "field=from;says=按小时最多 31 天"},
    {"edit own", "PATCH", "/api/v1/links/cre-own", "creator", R"({"title":"Renamed","maxVisits":null})", 200,
        R"(member=title="Renamed";member=maxVisits=null;member=expiresAt="2099-01-01T00:00:00Z")"},
    {"edit another's", "PATCH", "/api/v1/links/oth-own", "creator", R"({"title":"mine now"})", 403},
    {"admin disables another's", "PATCH", "/api/v1/links/oth-own", "admin", R"({"state":"disabled","reason":"spam"})",
        200, R"(member=state="disabled";member=reason="spam")"},
    {"reader edits", "PATCH", "/api/v1/links/cre-own", "reader", R"({"title":"x"})", 403},
    // Each change in the audit log under who made it: a key, or the same key from the console.
    {"audit: an edit by a creator's key", "GET", "/api/v1/audit?code=cre-own&actor=key:creator&limit=1", "admin",
        nullptr, 200, "count=1"},
    {"the console enables", "PATCH", "/api/v1/links/oth-own", "admin@console", R"({"state":"active"})", 200},
    {"audit: the console's enable", "GET", "/api/v1/audit?code=oth-own&actor=console:admin", "admin", nullptr, 200,
        "count=1;member=next=null"},
    {"audit: a creator may not read it", "GET", "/api/v1/audit", "creator", nullptr, 403},
    {"audit since no time", "GET", "/api/v1/audit?since=yesterday", "admin", nullptr, 422, "field=since"},
    {"admin disables again", "PATCH", "/api/v1/links/oth-own", "admin", R"({"state":"disabled","reason":"spam"})", 200},
    {"admin blocks the address", "PATCH", "/api/v1/links/oth-own", "admin", R"({"state":"disabled","block":"address"})",
        200},
    {"list blocks", "GET", "/api/v1/blocks", "admin", nullptr, 200, "count=1"},
    {"creator lists blocks", "GET", "/api/v1/blocks", "creator", nullptr, 403},
    {"creator removes a block", "DELETE", "/api/v1/blocks/https%3A%2F%2Fexample.com%2Ff", "creator", nullptr, 403},
    {"remove a block as typed", "DELETE", "/api/v1/blocks/HTTPS%3A%2F%2FExample.com%3A443%2Ff", "admin", nullptr, 204},
    {"remove a missing block", "DELETE", "/api/v1/blocks/https%3A%2F%2Fexample.com%2Ff", "admin", nullptr, 404},
    {"creator blocks the destination", "PATCH", "/api/v1/links/cre-own", "creator",
        R"({"state":"disabled","block":"host"})", 403},
    {"edit with an isolate in a tag", "PATCH", "/api/v1/links/cre-own", "creator", R"({"tags":["\u2067x"]})", 422,
        "field=tags"},
    {"edit with a member twice", "PATCH", "/api/v1/links/cre-own", "creator", R"({"title":"a","title":"b"})", 400},
    {"admins see who disabled", "GET", "/api/v1/links/oth-own", "admin", nullptr, 200,
        R"(member=disabledBy="key:admin")"},
    {"others do not", "GET", "/api/v1/links/oth-own", "reader", nullptr, 200, "absent=disabledBy"},
    {"edit unknown member", "PATCH", "/api/v1/links/cre-own", "creator", R"({"url":"https://example.com/x"})", 422,
        "field=url"},
    {"edit state deleted", "PATCH", "/api/v1/links/cre-own", "creator", R"({"state":"deleted"})", 422, "field=state"},
    {"edit missing", "PATCH", "/api/v1/links/no-such", "admin", R"({"title":"x"})", 404},
    {"delete another's", "DELETE", "/api/v1/links/oth-own", "creator", nullptr, 403},
    {"delete own", "DELETE", "/api/v1/links/cre-own", "creator", nullptr, 204},
    {"delete again", "DELETE", "/api/v1/links/cre-own", "creator", nullptr, 204},
    {"edit deleted", "PATCH", "/api/v1/links/cre-own", "admin", R"({"title":"x"})", 409},
    {"read deleted", "GET", "/api/v1/links/cre-own", "reader", nullptr, 200, "member=state=\"deleted\""},
    {"deleted code stays taken", "POST", "/api/v1/links", "admin",
        R"({"url":"https://example.com/g","code":"cre-own"})", 409, "field=code"},
    {"method not allowed", "PUT", "/api/v1/links", "admin", R"({})", 405, "header=Allow"},
    {"options", "OPTIONS", "/api/v1/links/cre-own", "none", nullptr, 204, "header=Allow"},
    {"unknown path", "GET", "/api/v2/links", "admin", nullptr, 404},
    {"list keys", "GET", "/api/v1/keys", "admin", nullptr, 200},
    {"creator lists keys", "GET", "/api/v1/keys", "creator", nullptr, 403},
    {"make a key", "POST", "/api/v1/keys", "admin", R"({"name":"made","role":"reader"})", 201,
        "member=role=\"reader\";member=lastUsedAt=null;header=Location"},
    {"key name taken", "POST", "/api/v1/keys", "admin", R"({"name":"made","role":"admin"})", 409, "field=name"},
    {"key role unknown", "POST", "/api/v1/keys", "admin", R"({"name":"other2","role":"owner"})", 422, "field=role"},
    {"key refused on three counts", "POST", "/api/v1/keys", "admin", R"({"colour":1,"name":"-x","role":"owner"})", 422,
        "fields=colour,name,role;says=不认识"},
    {"own key: admin", "GET", "/api/v1/key", "admin", nullptr, 200,
        R"(member=name="admin";member=role="admin";member=expiresAt=null)"},
    {"own key: reader", "GET", "/api/v1/key", "reader", nullptr, 200, R"(member=name="reader";member=role="reader")"},
    {"make a key that ends", "POST", "/api/v1/keys", "admin",
        R"({"name":"ending","role":"creator","expiresAt":"2099-01-01T08:00:00+08:00"})", 201},
    {"own key: creator that ends", "GET", "/api/v1/key", "ending", nullptr, 200,
        R"(member=name="ending";member=role="creator";member=expiresAt="2099-01-01T00:00:00Z")"},
    {"own key without a key", "GET", "/api/v1/key", "none", nullptr, 401, "header=WWW-Authenticate"},
    {"own key revoked", "GET", "/api/v1/key", "revoked", nullptr, 401, "header=WWW-Authenticate"},
    {"own key by another method", "POST", "/api/v1/key", "admin", R"({})", 405, "header=Allow"},
    {"own key failures blocked", "GET", "/api/v1/key", "unknown", nullptr, 429, "header=Retry-After", 11, "192.0.2.3"},
    {"the made key reads", "GET", "/api/v1/links/esc", "made", nullptr, 200},
    {"revoke a key", "DELETE", "/api/v1/keys/made", "admin", nullptr, 204},
    {"a key revoked here is refused at once", "GET", "/api/v1/links/esc", "made", nullptr, 401},
    {"revoke missing key", "DELETE", "/api/v1/keys/never", "admin", nullptr, 404},
    // The only active admin key ("revoked" is revoked): kept, until another admin key exists.
    {"the last admin key is kept", "DELETE", "/api/v1/keys/admin", "admin", nullptr, 409},
    {"make a second admin", "POST", "/api/v1/keys", "admin", R"({"name":"spare","role":"admin"})", 201},
    {"an admin with another left is revoked", "DELETE", "/api/v1/keys/spare", "admin", nullptr, 204},
    {"and the last one kept again", "DELETE", "/api/v1/keys/admin", "admin", nullptr, 409},
    {"revoked key", "GET", "/api/v1/links", "revoked", nullptr, 401, "header=WWW-Authenticate"},
    {"another scheme", "GET", "/api/v1/links", "malformed", nullptr, 401, "header=WWW-Authenticate"},
    {"description", "GET", "/api/v1/openapi.json", "none", nullptr, 200, "member=openapi=\"3.1.0\""},
    // Last: the failed keys block this client for the rest of the minute.
    {"failed keys blocked", "GET", "/api/v1/links", "unknown", nullptr, 429, "header=Retry-After", 11, "192.0.2.2"},
};

struct Instance {
    std::unique_ptr<ShortdProcess> open;
    std::unique_ptr<ShortdProcess> closed;
    QHash<QString, QByteArray> keys;
};

// The service's blocklist, for as long as the test runs: one host the rows above ask for.
QString blocklistFile()
{
    static QTemporaryFile file;
    if (!file.isOpen() && file.open()) {
        file.write("0.0.0.0 listed.example\n");
        file.flush();
    }
    return file.fileName();
}

QStringList serviceArguments(const QString& database, bool open)
{
    QStringList arguments {u"--rate-limit"_s, QString::number(RateLimit), u"--trusted-proxy"_s, u"127.0.0.1/32"_s,
        u"--open-shorten"_s, open ? u"on"_s : u"off"_s, u"--blocklist"_s, u"test="_s + blocklistFile()};
    if (!database.isEmpty()) {
        arguments << u"--database"_s << database;
    }
    return arguments;
}

// Runs an operator command against the instance's store; its standard output, and in ok whether
// it succeeded.
QByteArray operatorCommand(
    const ShortdProcess& service, const QString& database, const QStringList& arguments, bool* ok = nullptr)
{
    QProcess command;
    command.setProgram(ShortdProcess::binaryPath());
    command.setArguments(arguments
        + (database.isEmpty() ? QStringList {u"--data-dir"_s, service.dataDir()}
                              : QStringList {u"--database"_s, database}));
    command.start();
    const bool done = command.waitForFinished(30'000) && command.exitCode() == 0;
    if (ok) {
        *ok = done;
    }
    return done ? command.readAllStandardOutput().trimmed() : QByteArray();
}

// Who disables a link (owner: the creator key that made it; other: another creator; admin; shell:
// an operator's command), then who enables it, disables it, gives another reason or deletes it:
// the status (for shell, 200 when the command succeeds), the link after, and whether the public
// 410 page shows the reason.
const struct {
    const char* disabler;
    const char* actor;
    const char* action; // enable, disable, reason (a new one), delete, none
    int status;
    const char* state;
    const char* reason; // after; empty: none
    const char* by;
    bool shown;
} Takedowns[] {
    {"owner", "owner", "enable", 200, "active", "", "", false},
    {"owner", "owner", "reason", 200, "disabled", "second", "key:creator", false},
    {"owner", "other", "enable", 403, "disabled", "first", "key:creator", false},
    {"owner", "admin", "reason", 200, "disabled", "second", "key:admin", true},
    {"owner", "shell", "enable", 200, "active", "", "", false},
    {"other", "none", "none", 403, "active", "", "", false},
    {"admin", "owner", "enable", 403, "disabled", "first", "key:admin", true},
    {"admin", "owner", "reason", 403, "disabled", "first", "key:admin", true},
    {"admin", "owner", "delete", 403, "disabled", "first", "key:admin", true},
    {"admin", "admin", "enable", 200, "active", "", "", false},
    {"admin", "shell", "reason", 200, "disabled", "second", "shell:", true},
    {"shell", "owner", "disable", 403, "disabled", "first", "shell:", true},
    {"shell", "admin", "enable", 200, "active", "", "", false},
    {"shell", "shell", "reason", 200, "disabled", "second", "shell:", true},
};
} // namespace

class ApiTest final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void calls_data();
    void calls();
    void takedowns_data();
    void takedowns();
    void quarantined_data() { revokedFromTheShell_data(); }
    void quarantined();
    void reports_data() { revokedFromTheShell_data(); }
    void reports();
    void revokedFromTheShell_data();
    void revokedFromTheShell();
    void storeDown();
    void keysNeverLogged();

private:
    bool startInstance(const QString& store, const QString& database);
    // One call with the key of as (or none), from client when given; the reply recorded for the
    // description's check.
    HttpResult call(const QString& store, const QByteArray& method, const QByteArray& target, const QString& as,
        const QByteArray& body = {}, const QByteArray& client = {});
    // As the operator, on the store's database: whether the command succeeded.
    bool shell(const QString& store, const QStringList& arguments);
    void record(const QByteArray& method, const QByteArray& target, const HttpResult& result);

    PgCluster m_cluster;
    std::map<QString, Instance> m_instances;
    QFile m_replies {QStringLiteral(NOLVEX_API_REPLIES)};
};

bool ApiTest::startInstance(const QString& store, const QString& database)
{
    Instance& instance = m_instances[store];
    instance.open = std::make_unique<ShortdProcess>(serviceArguments(database, true));
    instance.closed = std::make_unique<ShortdProcess>(serviceArguments(QString(), false));
    if (!instance.open->start() || !instance.closed->start()) {
        qWarning("%s", qPrintable(instance.open->errorString() + instance.closed->errorString()));
        return false;
    }
    for (const auto& [label, role] : {std::pair {u"admin"_s, u"admin"_s}, {u"creator"_s, u"creator"_s},
             {u"other"_s, u"creator"_s}, {u"reader"_s, u"reader"_s}, {u"revoked"_s, u"admin"_s}}) {
        instance.keys.insert(label,
            operatorCommand(*instance.open, database, {u"keys"_s, u"create"_s, u"--name"_s, label, u"--role"_s, role}));
        if (instance.keys.value(label).isEmpty()) {
            return false;
        }
    }
    operatorCommand(*instance.open, database, {u"keys"_s, u"revoke"_s, u"revoked"_s});
    instance.keys.insert(u"unknown"_s, UnknownKey);
    return true;
}

void ApiTest::initTestCase()
{
    QVERIFY(m_replies.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QVERIFY(startInstance(u"sqlite"_s, QString()));
    QVERIFY2(m_cluster.start(), qPrintable(m_cluster.errorString()));
    const QString database = m_cluster.createDatabase(u"api"_s);
    QVERIFY(!database.isEmpty());
    QVERIFY(startInstance(u"postgres"_s, database));
}

void ApiTest::record(const QByteArray& method, const QByteArray& target, const HttpResult& result)
{
    QJsonObject headers;
    for (const QByteArray& line : result.rawHeaders.split('\n').mid(1)) {
        const qsizetype colon = line.indexOf(':');
        headers.insert(QString::fromLatin1(line.first(colon).trimmed().toLower()),
            QString::fromLatin1(line.sliced(colon + 1).trimmed()));
    }
    const QJsonDocument body = QJsonDocument::fromJson(result.body);
    const QJsonObject reply {{u"method"_s, QString::fromLatin1(method)},
        {u"path"_s, QString::fromLatin1(target.split('?').constFirst())}, {u"status"_s, result.status},
        {u"headers"_s, headers},
        {u"body"_s, body.isObject() ? QJsonValue(body.object()) : QJsonValue(QJsonValue::Null)}};
    m_replies.write(QJsonDocument(reply).toJson(QJsonDocument::Compact) + '\n');
    m_replies.flush();
}

void ApiTest::calls_data()
{
    QTest::addColumn<QString>("store");
    QTest::addColumn<int>("index");
    for (const QString& store : {u"sqlite"_s, u"postgres"_s}) {
        for (int i = 0; i < int(std::size(Cases)); ++i) {
            QTest::newRow(qPrintable(store + u": "_s + QString::fromLatin1(Cases[i].name))) << store << i;
        }
    }
}

void ApiTest::calls()
{
    QFETCH(QString, store);
    QFETCH(int, index);
    const ApiCase& call = Cases[index];
    Instance& instance = m_instances[store];
    const ShortdProcess& service = call.closed ? *instance.closed : *instance.open;

    QByteArray body = call.body;
    if (body == "@big") {
        body = R"({"url":"https://example.com/","title":")" + QByteArray(20'000, 'x') + "\"}";
    } else if (body == "@latin1") {
        body = "{\"url\":\"https://example.com/caf\xe9\"}";
    }
    QByteArray request = QByteArray(call.method) + ' ' + call.target
        + " HTTP/1.1\r\nHost: 127.0.0.1:" + QByteArray::number(service.port()) + "\r\nConnection: close\r\n";
    // "NAME@console": the key sent as the console sends it.
    const QString as = QString::fromLatin1(call.as).remove(u"@console"_s);
    if (QByteArrayView(call.as).endsWith("@console")) {
        request += "X-Nolvex-Console: 1\r\n";
    }
    if (as == u"malformed") {
        request += "Authorization: Basic YWRtaW46YWRtaW4=\r\n";
    } else if (as != u"none") {
        request += "Authorization: Bearer " + instance.keys.value(as) + "\r\n";
    }
    if (call.client) {
        request += "X-Forwarded-For: " + QByteArray(call.client) + "\r\n";
    }
    if (call.body) {
        request += "Content-Type: " + QByteArray(call.contentType)
            + "\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n";
    }
    request += "\r\n" + body;

    HttpResult result;
    for (int i = 0; i < call.repeat; ++i) {
        result = rawExchange(service.port(), request);
    }
    record(call.method, call.target, result);
    QVERIFY2(result.status == call.status, QByteArray(result.rawHeaders + "\n\n" + result.body).constData());

    const QJsonObject reply = result.json();
    const QByteArray type = result.header("Content-Type");
    if (call.status >= 400) {
        QCOMPARE(type, "application/problem+json; charset=utf-8");
        QCOMPARE(reply.value(u"status"_s).toInt(), call.status);
        QVERIFY(!reply.value(u"detail"_s).toString().isEmpty());
    }
    // The keys of the table never come back, whoever asks and whatever goes wrong.
    for (const QByteArray& key : instance.keys) {
        QVERIFY(!result.body.contains(key) && !result.rawHeaders.contains(key));
    }
    if (const QString made = reply.value(u"key"_s).toString(); !made.isEmpty()) {
        instance.keys.insert(reply.value(u"name"_s).toString(), made.toLatin1());
    }
    for (const QString& check : QString::fromUtf8(call.checks).split(u';', Qt::SkipEmptyParts)) {
        const QString kind = check.section(u'=', 0, 0);
        const QString expected = check.section(u'=', 1);
        if (kind == u"header") {
            QVERIFY2(!result.header(expected.toLatin1()).isEmpty(), qPrintable(check));
        } else if (kind == u"field") {
            QCOMPARE(reply.value(u"errors"_s).toArray().at(0).toObject().value(u"field"_s).toString(), expected);
        } else if (kind == u"fields") {
            QStringList named;
            for (const auto& error : reply.value(u"errors"_s).toArray()) {
                named.append(error.toObject().value(u"field"_s).toString());
            }
            QCOMPARE(named.join(u','), expected);
        } else if (kind == u"says") {
            const QString said = reply.value(u"errors"_s).toArray().at(0).toObject().value(u"message"_s).toString();
            QVERIFY2(said.contains(expected), qPrintable(said));
        } else if (kind == u"pages") {
            // Following next from page to page gives every link once, in the order of one listing.
            const QByteArray first = request.left(request.indexOf(' ') + 1) + "/api/v1/links?limit=200";
            const QJsonArray all = rawExchange(service.port(), first + request.sliced(request.indexOf(" HTTP/")))
                                       .json()
                                       .value(u"items"_s)
                                       .toArray();
            QJsonArray walked = reply.value(u"items"_s).toArray();
            for (QString next = reply.value(u"next"_s).toString(); !next.isEmpty();) {
                const QByteArray target = "/api/v1/links?limit=2&cursor=" + next.toLatin1();
                const QJsonObject page
                    = rawExchange(service.port(), "GET " + target + request.sliced(request.indexOf(" HTTP/"))).json();
                const QJsonArray items = page.value(u"items"_s).toArray();
                for (const auto& item : items) {
                    walked.append(item);
                }
                next = page.value(u"next"_s).toString();
                QVERIFY(walked.size() <= all.size());
            }
            QVERIFY(all.size() > 2);
            QCOMPARE(walked, all);
        } else if (kind == u"absent") {
            QVERIFY2(!reply.contains(expected), qPrintable(check));
        } else if (kind == u"count") {
            QCOMPARE(reply.value(u"items"_s).toArray().size(), expected.toInt());
        } else {
            const QString member = expected.section(u'=', 0, 0);
            const QJsonValue value = reply.value(member);
            const QByteArray text = value.isNull()
                ? QByteArray("null")
                : QJsonDocument(QJsonArray {value}).toJson(QJsonDocument::Compact).mid(1).chopped(1);
            QCOMPARE(QString::fromUtf8(text), expected.section(u'=', 1));
        }
    }
}

HttpResult ApiTest::call(const QString& store, const QByteArray& method, const QByteArray& target, const QString& as,
    const QByteArray& body, const QByteArray& client)
{
    const Instance& instance = m_instances[store];
    QByteArray headers = as == u"none" ? QByteArray() : "Authorization: Bearer " + instance.keys.value(as) + "\r\n";
    if (!client.isEmpty()) {
        headers += "X-Forwarded-For: " + client + "\r\n";
    }
    HttpResult result = rawExchange(instance.open->port(), rawRequest(method, target, "127.0.0.1", headers, body));
    if (target.startsWith("/api/")) {
        record(method, target, result);
    }
    return result;
}

bool ApiTest::shell(const QString& store, const QStringList& arguments)
{
    bool ok = false;
    operatorCommand(
        *m_instances[store].open, store == u"postgres" ? m_cluster.url(u"api"_s) : QString(), arguments, &ok);
    return ok;
}

void ApiTest::takedowns_data()
{
    QTest::addColumn<QString>("store");
    QTest::addColumn<int>("index");
    for (const QString& store : {u"sqlite"_s, u"postgres"_s}) {
        for (int i = 0; i < int(std::size(Takedowns)); ++i) {
            const auto& row = Takedowns[i];
            QTest::addRow("%s: %s disables, %s %s", qPrintable(store), row.disabler, row.actor, row.action)
                << store << i;
        }
    }
}

void ApiTest::takedowns()
{
    QFETCH(QString, store);
    QFETCH(int, index);
    const auto& row = Takedowns[index];
    const QString state = QString::fromLatin1(row.state);
    const QString reason = QString::fromLatin1(row.reason);
    const QString code = u"td-"_s + QString::number(qHash(QTest::currentDataTag()) % 1000000U);
    const QByteArray item = "/api/v1/links/" + code.toLatin1();
    const QByteArray made = R"({"url":"https://example.com/td","code":")" + code.toLatin1() + "\"}";
    QCOMPARE(call(store, "POST", "/api/v1/links", u"creator"_s, made).status, 201);
    // Run by whoever it names: an API key's PATCH, or the operator's command; the status as the API
    // would give it.
    const auto act = [&](const QString& who, const QString& what, const QString& why) {
        if (who == u"shell") {
            return shell(store,
                       what == u"enable" ? QStringList {u"links"_s, u"enable"_s, code}
                                         : QStringList {u"links"_s, u"disable"_s, code, u"--reason"_s, why})
                ? 200
                : 1;
        }
        const QByteArray body = what == u"enable" ? QByteArray(R"({"state":"active"})")
            : what == u"disable"                  ? QByteArray(R"({"state":"disabled"})")
                                 : QByteArray(R"({"state":"disabled","reason":")" + why.toUtf8() + "\"}");
        const QString key = who == u"owner" ? u"creator"_s : who;
        return what == u"delete" ? call(store, "DELETE", item, key).status
                                 : call(store, "PATCH", item, key, body).status;
    };
    const int disabled = act(QString::fromLatin1(row.disabler), u"reason"_s, u"first"_s);
    if (qstrcmp(row.action, "none") == 0) {
        QCOMPARE(disabled, row.status);
    } else {
        QCOMPARE(disabled, 200);
        QCOMPARE(act(QString::fromLatin1(row.actor), QString::fromLatin1(row.action), u"second"_s), row.status);
    }
    // A change from the shell reaches the service's copy within moments.
    QJsonObject link;
    QTRY_COMPARE((link = call(store, "GET", item, u"admin"_s).json()).value(u"state"_s).toString(), state);
    QCOMPARE(link.value(u"reason"_s).toString(), reason);
    const QJsonValue by = link.value(u"disabledBy"_s);
    QVERIFY2(
        *row.by == 0 ? by.isNull() : by.toString().startsWith(QLatin1StringView(row.by)), qPrintable(by.toString()));
    const HttpResult page = call(store, "GET", "/" + code.toLatin1(), u"none"_s);
    QCOMPARE(page.status, state == u"active" ? 302 : 410);
    QCOMPARE(page.body.contains(reason.toUtf8()) && !reason.isEmpty(), row.shown);
}

// A link a blocklist stopped, as imported with its evidence: everyone sees why, its creator may not
// put it back, an admin may, and it leads again.
void ApiTest::quarantined()
{
    QFETCH(QString, store);
    QTemporaryFile file;
    QVERIFY(file.open());
    file.write(
        R"({"code":"quar-1","chosen":true,"type":0,"target":"https://q.example/x","created":"2026-01-01T00:00:00Z",)"
        R"("state":"quarantined","owner":"creator","quarantineList":"feed","quarantineEntry":"q.example",)"
        R"("quarantined":"2026-02-01T00:00:00Z"})"
        "\n");
    file.close();
    QVERIFY(shell(store, {u"links"_s, u"import"_s, file.fileName()}));
    const QJsonObject evidence {
        {u"list"_s, u"feed"_s}, {u"entry"_s, u"q.example"_s}, {u"at"_s, u"2026-02-01T00:00:00Z"_s}};
    const struct {
        const char* method;
        const char* target;
        const char* as;
        const char* body;
        int status;
        const char* state; // the link's after, as an admin reads it
        int page; // what its short link answers after
    } steps[] {
        {"GET", "/api/v1/links?state=quarantined", "reader", nullptr, 200, "quarantined", 403},
        {"PATCH", "/api/v1/links/quar-1", "creator", R"({"state":"active"})", 403, "quarantined", 403},
        {"DELETE", "/api/v1/links/quar-1", "creator", nullptr, 403, "quarantined", 403},
        {"PATCH", "/api/v1/links/quar-1", "admin", R"({"state":"active","title":"Back"})", 200, "active", 302},
    };
    for (const auto& step : steps) {
        const HttpResult result = call(store, step.method, step.target, QString::fromLatin1(step.as), step.body);
        QVERIFY2(result.status == step.status, result.body.constData());
        if (step.method == QByteArrayView("GET")) { // the list holds it, and only quarantined links
            QVERIFY(result.body.contains("quar-1") && !result.body.contains(R"("state":"active")"));
        }
        const QJsonObject link = call(store, "GET", "/api/v1/links/quar-1", u"admin"_s).json();
        QCOMPARE(link.value(u"state"_s).toString(), QString::fromLatin1(step.state));
        QCOMPARE(link.value(u"quarantine"_s),
            link.value(u"state"_s) == u"active"_s ? QJsonValue(QJsonValue::Null) : QJsonValue(evidence));
        QTRY_COMPARE(call(store, "GET", "/quar-1", u"none"_s).status, step.page);
    }
    QCOMPARE(call(store, "GET", "/api/v1/links/quar-1", u"reader"_s).json().value(u"title"_s).toString(), u"Back"_s);
}

// Reports from anyone, told apart by the address the trusted proxy forwards: one a link and five an
// hour from an address, three addresses quarantine the link until an admin dismisses them, and
// nobody but an admin sees a reporter.
void ApiTest::reports()
{
    QFETCH(QString, store);
    for (int i = 1; i <= 6; ++i) {
        const QByteArray made = R"({"url":"https://example.com/rep","code":"rep-)" + QByteArray::number(i) + "\"}";
        QCOMPARE(call(store, "POST", "/api/v1/links", u"creator"_s, made).status, 201);
    }
    const auto report = [](const char* code, const char* reason) -> QByteArray {
        return QByteArray(R"({"code":")") + code + R"(","reason":")" + reason + R"(","text":"假冒银行"})";
    };
    const struct {
        const char* client;
        const char* as;
        const char* method;
        const char* target;
        QByteArray body;
        int status;
        int page; // what /rep-1 answers after
        const char* says; // in the reply; after "!", not in it
    } steps[] {
        {"198.51.100.1", "none", "POST", "/api/v1/reports", report("rep-1", "phishing"), 201, 302, "!198.51.100"},
        {"198.51.100.1", "none", "POST", "/api/v1/reports", report("rep-1", "spam"), 429, 302, ""},
        {"198.51.100.1", "none", "POST", "/api/v1/reports", report("rep-2", "spam"), 201, 302, ""},
        {"198.51.100.1", "none", "POST", "/api/v1/reports", report("rep-3", "spam"), 201, 302, ""},
        {"198.51.100.1", "none", "POST", "/api/v1/reports", report("rep-4", "spam"), 201, 302, ""},
        {"198.51.100.1", "none", "POST", "/api/v1/reports", report("rep-5", "spam"), 201, 302, ""},
        {"198.51.100.1", "none", "POST", "/api/v1/reports", report("rep-6", "spam"), 429, 302, ""},
        {"198.51.100.2", "none", "POST", "/api/v1/reports", report("rep-1", "rude"), 422, 302, "reason"},
        {"198.51.100.2", "none", "POST", "/api/v1/reports", report("no-such", "spam"), 404, 302, ""},
        {"198.51.100.2", "none", "POST", "/api/v1/reports", report("rep-1", "malware"), 201, 302, ""},
        {"198.51.100.3", "reader", "GET", "/api/v1/reports", {}, 403, 302, "!198.51.100"},
        {"198.51.100.3", "creator", "POST", "/api/v1/reports/rep-1/dismiss", {}, 403, 302, ""},
        {"198.51.100.3", "none", "POST", "/api/v1/reports", report("rep-1", "other"), 201, 403, "!malware"},
        {"", "reader", "GET", "/api/v1/links/rep-1", {}, 200, 403, "!198.51.100"},
        {"", "admin", "GET", "/api/v1/reports?limit=1", {}, 200, 403, R"("reporters":3)"},
        {"", "admin", "POST", "/api/v1/reports/rep-1/dismiss", {}, 200, 302, R"("released":true)"},
        {"", "admin", "POST", "/api/v1/reports/rep-1/dismiss", {}, 404, 302, ""},
        {"", "admin", "GET", "/api/v1/reports", {}, 200, 302, "!rep-1"},
    };
    for (const auto& step : steps) {
        const HttpResult result
            = call(store, step.method, step.target, QString::fromLatin1(step.as), step.body, QByteArray(step.client));
        QVERIFY2(result.status == step.status, result.body.constData());
        const QByteArrayView says(step.says);
        QVERIFY2(says.startsWith('!') ? !result.body.contains(says.sliced(1)) : result.body.contains(says),
            result.body.constData());
        HttpResult page;
        QTRY_COMPARE((page = call(store, "GET", "/rep-1", u"none"_s)).status, step.page);
        if (step.page == 403) { // the warning names the list, and still offers the form
            QVERIFY(page.body.contains("reports") && page.body.contains(R"(action="/report")"));
            QVERIFY(page.header("Content-Security-Policy").contains("form-action 'self'"));
        }
    }
}

void ApiTest::revokedFromTheShell_data()
{
    QTest::addColumn<QString>("store");
    QTest::newRow("sqlite") << u"sqlite"_s;
    QTest::newRow("postgres") << u"postgres"_s;
}

// A key the service has just accepted, revoked by another process: refused within a second, as a
// link taken down elsewhere is.
void ApiTest::revokedFromTheShell()
{
    QFETCH(QString, store);
    Instance& instance = m_instances[store];
    const QString database = store == u"postgres" ? m_cluster.url(u"api"_s) : QString();
    const QByteArray key = operatorCommand(
        *instance.open, database, {u"keys"_s, u"create"_s, u"--name"_s, u"late"_s, u"--role"_s, u"reader"_s});
    QVERIFY(!key.isEmpty());
    instance.keys.insert(u"late"_s, key);
    const QByteArray request = "GET /api/v1/key HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n"
                               "X-Forwarded-For: 192.0.2.9\r\nAuthorization: Bearer "
        + key + "\r\n\r\n";
    QCOMPARE(rawExchange(instance.open->port(), request).status, 200);
    operatorCommand(*instance.open, database, {u"keys"_s, u"revoke"_s, u"late"_s});
    // Trusted for a second from the last acceptance, which came before the revocation.
    HttpResult result;
    QTRY_VERIFY_WITH_TIMEOUT((result = rawExchange(instance.open->port(), request)).status == 401, 2000);
    record("GET", "/api/v1/key", result);
}

void ApiTest::storeDown()
{
    const Instance& instance = m_instances[u"postgres"_s];
    QVERIFY(m_cluster.stop());
    const QByteArray request
        = "GET /api/v1/links HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\nAuthorization: Bearer "
        + instance.keys.value(u"reader"_s) + "\r\n\r\n";
    const HttpResult result = rawExchange(instance.open->port(), request);
    record("GET", "/api/v1/links", result);
    QCOMPARE(result.status, 503);
    QCOMPARE(result.header("Content-Type"), "application/problem+json; charset=utf-8");
    QVERIFY(!result.header("Retry-After").isEmpty());
}

void ApiTest::keysNeverLogged()
{
    for (const auto& [store, instance] : m_instances) {
        QFile log(instance.open->accessLogPath());
        QVERIFY(log.open(QIODevice::ReadOnly));
        const QByteArray logged = log.readAll();
        QVERIFY(logged.contains("/api/v1/links"));
        for (const QByteArray& key : instance.keys) {
            QVERIFY(!logged.contains(key));
            // Nor any part long enough to tell it by.
            QVERIFY(!logged.contains(key.mid(4, 12)));
        }
    }
}

QTEST_MAIN(ApiTest)
#include "tst_api.moc"
