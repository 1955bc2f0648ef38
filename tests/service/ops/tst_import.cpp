#include "httpprobe.h"
#include "links/addresspolicy.h"
#include "links/fields.h"
#include "ops/importer.h"
#include "ops/operatorcommands.h"
#include "opsrun.h"
#include "shortdprocess.h"

#include <QBuffer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;
using namespace Shortd;

namespace
{
using Run = OpsRun;

// The service these commands belong to listens on 127.0.0.1:9555 and serves type 3 under a base.
QProcessEnvironment serviceEnvironment()
{
    QProcessEnvironment environment;
    environment.insert(u"NOLVEX_SHORTD_LISTEN"_s, u"127.0.0.1:9555"_s);
    environment.insert(u"NOLVEX_SHORTD_LINK_BASE"_s, u"3=https://s.example/x"_s);
    return environment;
}

// The members of a row both formats share, in the export's column order.
const QStringList Members {
    u"code"_s, u"type"_s, u"target"_s, u"created"_s, u"visits"_s, u"state"_s, u"reason"_s, u"changed"_s};

// The members a row has: those of the first exports, and a later one a row names.
QStringList membersWith(const QString& member)
{
    return member.isEmpty() || member == u"*" || Members.contains(member) ? Members : Members + QStringList {member};
}

// A valid row, as a JSON line or a CSV row, with one member given raw (or left out when raw is
// null); member "*" gives the whole row.
QByteArray row(const QString& format, const QString& code, const QString& member = {}, const QString& raw = {})
{
    if (member == u"*") {
        return raw.toUtf8() + '\n';
    }
    const bool json = format == u"jsonl";
    const QStringList members = membersWith(member);
    QStringList values {json ? u"\"%1\""_s.arg(code) : code, u"1"_s,
        json ? u"\"https://example.com/%1\""_s.arg(code) : u"https://example.com/"_s + code,
        json ? u"\"2026-01-01T00:00:00Z\""_s : u"2026-01-01T00:00:00Z"_s, u"3"_s, json ? u"\"active\""_s : u"active"_s,
        QString(), QString()};
    values.resize(members.size());
    QStringList parts;
    for (qsizetype i = 0; i < members.size(); ++i) {
        const QString value = members.at(i) == member ? raw : values.at(i);
        if (json && !value.isNull()) {
            parts.append(u"\"%1\":%2"_s.arg(members.at(i), value));
        } else if (!json) {
            parts.append(value);
        }
    }
    return (json ? u'{' + parts.join(u',') + u'}' : parts.join(u',')).toUtf8() + '\n';
}

// A store in memory whose transactions fail as busy on the attempts a test names.
class BusyStore final : public Store, public LinkStore, public LinkArchive
{
public:
    QHash<QString, StoredLink> committed;
    qsizetype busyFrom = -1; // the first commit attempt (from 0) that fails as busy
    qsizetype busyCount = 0; // how many in a row do

    bool open() override { return true; }
    LookupResult findByCode(const QString& code) override
    {
        const QHash<QString, StoredLink>& where = m_pending.contains(code) ? m_pending : committed;
        return where.contains(code) ? LookupResult {StoreStatus::Ok, where.value(code)} : LookupResult {};
    }
    LookupResult findByTarget(int /*type*/, const QString& /*target*/) override { return {}; }
    InsertResult insert(const StoredLink& /*link*/) override { return {}; }
    StoreStatus exportLinks(const std::function<bool(const StoredLink&)>& /*visit*/) override
    {
        return StoreStatus::Failed;
    }
    LinkStore& links() override { return *this; }
    LinkArchive* linkArchive() override { return this; }
    bool isHealthy() override { return true; }
    StoreStatus restoreLink(const StoredLink& link) override
    {
        m_pending.insert(link.code, link);
        return StoreStatus::Ok;
    }
    bool beginGroup() override { return true; }
    bool commitGroup() override
    {
        const qsizetype attempt = m_commits++;
        if (attempt >= busyFrom && attempt < busyFrom + busyCount) {
            abandonGroup();
            return false;
        }
        committed.insert(m_pending);
        m_pending.clear();
        return true;
    }
    void abandonGroup() override { m_pending.clear(); }
    QString lastError() const override { return u"database is locked"_s; }
    bool lastFailureIsTransient() const override { return true; }

private:
    QHash<QString, StoredLink> m_pending;
    qsizetype m_commits = 0;
};

// Codes no random code of the running service can take: ten characters, from a counter.
QString countedCode(int i)
{
    const QStringView alphabet = u"abcdefghjk";
    QString code = u"imp"_s;
    for (int place = 1'000'000; place > 0; place /= 10) {
        code += alphabet.at(i / place % 10);
    }
    return code;
}

QByteArray manyRows(int count, int from = 0)
{
    QByteArray rows;
    for (int i = from; i < from + count; ++i) {
        rows += row(u"jsonl"_s, countedCode(i));
    }
    return rows;
}

// Keeps requests to create links in flight from several clients until told to stop.
class CreateLoad final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CreateLoad)

public:
    CreateLoad(QString origin, int clients, int inFlight)
        : m_origin(std::move(origin))
    {
        for (int i = 0; i < clients; ++i) {
            auto* manager = new QNetworkAccessManager(this);
            for (int j = 0; j < inFlight; ++j) {
                send(*manager);
            }
        }
    }
    void stop() { m_stopped = true; }
    qint64 created() const { return m_created; }
    qint64 failed() const { return m_failed; }
    QString lastFailure() const { return m_lastFailure; }

private:
    void send(QNetworkAccessManager& manager)
    {
        const QString address = u"https://load.example/%1"_s.arg(m_sent++);
        QNetworkRequest request(QUrl::fromEncoded(m_origin.toLatin1() + shortenTarget(1, address)));
        request.setTransferTimeout(60'000);
        QNetworkReply* reply = manager.get(request);
        connect(reply, &QNetworkReply::finished, this, [this, reply, &manager] {
            const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
            const QByteArray body = reply->readAll();
            if (status == 200 && body.contains("\"result\":1")) {
                ++m_created;
            } else {
                ++m_failed;
                m_lastFailure = u"%1 %2"_s.arg(status).arg(QString::fromUtf8(body));
            }
            reply->deleteLater();
            if (!m_stopped) {
                send(manager);
            }
        });
    }

    QString m_origin;
    qint64 m_sent = 0;
    qint64 m_created = 0;
    qint64 m_failed = 0;
    QString m_lastFailure;
    bool m_stopped = false;
};
} // namespace

// links import: what it refuses and why, what export writes for it to read back, and how it
// shares the database with a running service.
class ImportTest final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void refusedRows_data();
    void refusedRows();
    void roundTrip_data();
    void roundTrip();
    void busyBatches_data();
    void busyBatches();
    void importUnderLoad();

private:
    QString freshDatabase() { return u"sqlite:"_s + m_dir.filePath(u"links%1.sqlite"_s.arg(++m_databases)); }
    Run run(const QString& database, QStringList arguments, const QByteArray& input = {});

    QTemporaryDir m_dir;
    int m_databases = 0;
};

void ImportTest::initTestCase()
{
    QVERIFY(m_dir.isValid());
    // The service's list, which every import here reads as the service would.
    QFile list(m_dir.filePath(u"listed.txt"_s));
    QVERIFY(list.open(QIODevice::WriteOnly) && list.write("0.0.0.0 listed.example\n") > 0);
}

Run ImportTest::run(const QString& database, QStringList arguments, const QByteArray& input)
{
    if (!input.isNull()) {
        QFile file(m_dir.filePath(u"input"_s));
        if (!file.open(QIODevice::WriteOnly) || file.write(input) != input.size()) {
            return {};
        }
        arguments.append(file.fileName());
    }
    QProcessEnvironment environment = serviceEnvironment();
    environment.insert(u"NOLVEX_SHORTD_BLOCKLIST"_s, u"test="_s + m_dir.filePath(u"listed.txt"_s));
    return runOps(arguments + QStringList {u"--database"_s, database}, environment);
}

void ImportTest::refusedRows_data()
{
    QTest::addColumn<QString>("format");
    QTest::addColumn<QString>("member"); // "*": the whole row
    QTest::addColumn<QString>("raw"); // as it stands in the file; null: left out
    QTest::addColumn<QString>("why"); // a word of the reason given

    const QString scheme = u"http:// or https://"_s;
    const QString own = u"link of this service"_s;
    const QString control = u"control character"_s;
    const QString chosenRow = u"{\"code\":\"%1\",\"chosen\":true,\"type\":1,\"target\":\"https://example.com/x\","
                              u"\"created\":\"2026-01-01T00:00:00Z\"}"_s;
    QStringList manyTags;
    for (int i = 0; i <= 20; ++i) {
        manyTags.append(u"t%1"_s.arg(i));
    }
    struct Row {
        const char* name;
        const char* format;
        QString member;
        QString raw;
        QString why;
    };
    const QList<Row> rows {
        {"javascript", "jsonl", u"target"_s, u"\"javascript:alert(1)\""_s, scheme},
        {"data", "jsonl", u"target"_s, u"\"data:text/html,<script>alert(1)</script>\""_s, scheme},
        {"file", "jsonl", u"target"_s, u"\"file:///etc/passwd\""_s, scheme},
        {"ftp", "jsonl", u"target"_s, u"\"ftp://example.com/f\""_s, scheme},
        {"leading blank", "jsonl", u"target"_s, u"\" https://example.com/\""_s, scheme},
        {"NUL", "jsonl", u"target"_s, u"\"https://example.com/\\u0000x\""_s, control},
        {"CR LF", "jsonl", u"target"_s, u"\"https://example.com/\\r\\nSet-Cookie: a=b\""_s, control},
        {"own origin", "jsonl", u"target"_s, u"\"http://127.0.0.1:9555/abcdef\""_s, own},
        {"own origin as localhost", "jsonl", u"target"_s, u"\"http://localhost:9555/abcdef\""_s, own},
        {"own port, another loopback", "jsonl", u"target"_s, u"\"http://127.0.0.2:9555/abcdef\""_s, own},
        {"link base", "jsonl", u"target"_s, u"\"https://s.example/x/abcdef\""_s, own},
        {"link base, other scheme", "jsonl", u"target"_s, u"\"http://s.example/x/abcdef\""_s, own},
        {"empty target", "jsonl", u"target"_s, u"\"\""_s, u"empty"_s},
        {"target too long", "jsonl", u"target"_s, u"\"https://example.com/%1\""_s.arg(QString(8000, u'a')),
            u"longer than 8000"_s},
        {"target a number", "jsonl", u"target"_s, u"42"_s, u"\"target\" is not a JSON string"_s},
        {"type a fraction", "jsonl", u"type"_s, u"0.5"_s, u"\"type\" is not a whole number"_s},
        {"type a string", "jsonl", u"type"_s, u"\"1\""_s, u"\"type\" is not a whole number"_s},
        {"type too big", "jsonl", u"type"_s, u"6"_s, u"type is not a whole number from 0 to 5"_s},
        {"type left out", "jsonl", u"type"_s, QString(), u"from 0 to 5"_s},
        {"visits huge", "jsonl", u"visits"_s, u"1e300"_s, u"\"visits\" is not a whole number"_s},
        {"visits negative", "jsonl", u"visits"_s, u"-1"_s, u"visits are not a whole number"_s},
        {"visits a fraction", "jsonl", u"visits"_s, u"2.5"_s, u"\"visits\" is not a whole number"_s},
        {"visits a string", "jsonl", u"visits"_s, u"\"3\""_s, u"\"visits\" is not a whole number"_s},
        {"created not a time", "jsonl", u"created"_s, u"\"yesterday\""_s, u"creation time"_s},
        {"created before 1970", "jsonl", u"created"_s, u"\"1969-07-20T20:17:00Z\""_s, u"not after 1970"_s},
        {"created in the future", "jsonl", u"created"_s, u"\"2999-01-01T00:00:00Z\""_s, u"future"_s},
        {"created left out", "jsonl", u"created"_s, QString(), u"creation time"_s},
        {"changed not a time", "jsonl", u"changed"_s, u"\"soon\""_s, u"time changed"_s},
        {"state unknown", "jsonl", u"state"_s, u"\"archived\""_s, u"state"_s},
        {"code too short", "jsonl", u"code"_s, u"\"abc\""_s, u"code"_s},
        {"code outside the alphabet", "jsonl", u"code"_s, u"\"aaaa0a\""_s, u"code"_s},
        {"code a reserved name", "jsonl", u"code"_s, u"\"Static\""_s, u"path of the service"_s},
        {"reason too long", "jsonl", u"reason"_s, u"\"%1\""_s.arg(QString(1001, u'r')), u"longer than 1000"_s},
        {"reason with NUL", "jsonl", u"reason"_s, u"\"a\\u0000b\""_s, u"NUL"_s},
        {"chosen code a reserved name", "jsonl", u"*"_s, chosenRow.arg(u"Admin"_s), u"path of the service"_s},
        {"chosen code with a dot", "jsonl", u"*"_s, chosenRow.arg(u"my.sale"_s), u"other than A-Z"_s},
        {"chosen code too short", "jsonl", u"*"_s, chosenRow.arg(u"ab"_s), u"shorter than 3"_s},
        {"a chosen code not marked so", "jsonl", u"code"_s, u"\"my-sale\""_s, u"code alphabet"_s},
        {"chosen not true or false", "jsonl", u"chosen"_s, u"\"yes\""_s, u"\"chosen\" is not true or false"_s},
        {"end not a time", "jsonl", u"expires"_s, u"\"soon\""_s, u"the end is not"_s},
        {"visit limit negative", "jsonl", u"maxVisits"_s, u"-1"_s, u"visit limit is not"_s},
        {"visit limit too big", "jsonl", u"maxVisits"_s, u"1000000001"_s, u"from 1 to 1000000000"_s},
        {"tags a string", "jsonl", u"tags"_s, u"\"a,b\""_s, u"\"tags\" is not an array"_s},
        {"tags with a number", "jsonl", u"tags"_s, u"[\"a\",1]"_s, u"array of texts"_s},
        {"tag blank", "jsonl", u"tags"_s, u"[\" \"]"_s, u"a tag is not 1 to 40"_s},
        {"tag too long", "jsonl", u"tags"_s, u"[\"%1\"]"_s.arg(QString(41, u't')), u"a tag is not 1 to 40"_s},
        {"tag twice", "jsonl", u"tags"_s, u"[\"a\",\"b\",\"a\"]"_s, u"the tag a is given twice"_s},
        {"too many tags", "jsonl", u"tags"_s, u"[\"%1\"]"_s.arg(manyTags.join(u"\",\""_s)), u"more than 20 tags"_s},
        {"title too long", "jsonl", u"title"_s, u"\"%1\""_s.arg(QString(201, u't')), u"title is not at most 200"_s},
        {"title with an escape", "jsonl", u"title"_s, u"\"a\\u001b[2Jb\""_s, control},
        {"owner too long", "jsonl", u"owner"_s, u"\"%1\""_s.arg(QString(65, u'o')), u"owner"_s},
        {"title with a bidirectional override", "jsonl", u"title"_s, u"\"abc\\u202egnp.exe\""_s, u"bidirectional"_s},
        {"tag with a lone surrogate", "jsonl", u"tags"_s, u"[\"a\\ud800\"]"_s, u"a tag is not 1 to 40"_s},
        {"disabledBy neither a key nor the shell", "jsonl", u"disabledBy"_s, u"\"admin\""_s,
            u"key:NAME or shell:USER"_s},
        {"takedown not true or false", "csv", u"takedown"_s, u"yes"_s, u"takedown is not true or false"_s},
        {"not JSON", "jsonl", u"*"_s, u"{\"code\":"_s, u"not a JSON object"_s},
        {"listed by the service's list", "jsonl", u"target"_s, u"\"https://www.listed.example/x\""_s,
            u"listed by test (listed.example)"_s},
        {"javascript", "csv", u"target"_s, u"javascript:alert(1)"_s, scheme},
        {"formula", "csv", u"target"_s, u"'=HYPERLINK(\"\"https://evil.example\"\")"_s, scheme},
        {"CR LF", "csv", u"target"_s, u"\"https://example.com/a\r\nb\""_s, control},
        {"own origin", "csv", u"target"_s, u"http://[::ffff:127.0.0.1]:9555/abcdef"_s, own},
        {"type a fraction", "csv", u"type"_s, u"0.5"_s, u"from 0 to 5"_s},
        {"type empty", "csv", u"type"_s, u""_s, u"from 0 to 5"_s},
        {"visits huge", "csv", u"visits"_s, u"1e300"_s, u"visits"_s},
        {"visits past qint64", "csv", u"visits"_s, u"9223372036854775808"_s, u"visits"_s},
        {"created empty", "csv", u"created"_s, u""_s, u"creation time"_s},
        {"state unknown", "csv", u"state"_s, u"gone"_s, u"state"_s},
        {"quarantined without its list", "csv", u"state"_s, u"quarantined"_s, u"names no list"_s},
        {"quarantine time not a time", "csv", u"quarantined"_s, u"yesterday"_s, u"time quarantined"_s},
        {"code a reserved name", "csv", u"code"_s, u"readyz"_s, u"path of the service"_s},
        {"reason too long", "csv", u"reason"_s, QString(1001, u'r'), u"longer than 1000"_s},
        {"chosen not true or false", "csv", u"chosen"_s, u"1"_s, u"chosen is not true or false"_s},
        {"tags not JSON", "csv", u"tags"_s, u"a;b"_s, u"array of texts"_s},
        {"visit limit a fraction", "csv", u"maxVisits"_s, u"2.5"_s, u"visit limit"_s},
        {"a field too many", "csv", u"*"_s, u"cccccc,1,https://example.com/c,2026-01-01T00:00:00Z,3,active,,,x"_s,
            u"9 fields, the header has 8"_s},
    };
    for (const Row& row : rows) {
        QTest::addRow("%s: %s", row.format, row.name)
            << QString::fromLatin1(row.format) << row.member << row.raw << row.why;
    }
}

// One bad row between two good ones: it is named with its line and why, the others go in.
void ImportTest::refusedRows()
{
    QFETCH(QString, format);
    QFETCH(QString, member);
    QFETCH(QString, raw);
    QFETCH(QString, why);
    const bool csv = format == u"csv";
    // A file from before a member was added has none of it: the good rows leave it out.
    const QString added = membersWith(member) == Members ? QString() : member;
    const QByteArray header = csv ? membersWith(member).join(u',').toUtf8() + '\n' : QByteArray();
    const QByteArray file = header + row(format, u"aaaaaa"_s, added) + row(format, u"cccccc"_s, member, raw)
        + row(format, u"bbbbbb"_s, added);

    const QString database = freshDatabase();
    const Run imported = run(database, {u"links"_s, u"import"_s}, file);
    QVERIFY2(imported.status == 1, qPrintable(imported.err));
    const QString line = u"line %1: "_s.arg(csv ? 3 : 2);
    QVERIFY2(imported.err.contains(line) && imported.err.section(line, 1).section(u'\n', 0, 0).contains(why),
        qPrintable(imported.err));
    QCOMPARE(imported.err.count(u"line "_s), 1);
    QVERIFY2(imported.err.contains(u"imported 2, already there 0, refused 1"_s), qPrintable(imported.err));
    const QString exported = run(database, {u"links"_s, u"export"_s}).out;
    QCOMPARE(exported.count(u'\n'), 2);
    QVERIFY(!exported.contains(u"cccccc"_s));
}

void ImportTest::roundTrip_data()
{
    QTest::addColumn<QString>("format");
    QTest::newRow("csv") << u"csv"_s;
    QTest::newRow("jsonl") << u"jsonl"_s;
}

// Reasons a spreadsheet would run, and the longest row there can be, through export and import:
// every value as it was, and in CSV each formula a text.
void ImportTest::roundTrip()
{
    QFETCH(QString, format);
    const QStringList reasons {u"=HYPERLINK(\"https://evil.example\",\"x\")"_s, u"+1"_s, u"-1"_s, u"@SUM(A1)"_s,
        u"\tTAB"_s, u"\rCR"_s, u"'quoted"_s, u"''twice"_s, u"plain"_s, QString(MaximumReasonLength, QChar(u'\x01'))};
    const QString database = freshDatabase();
    QByteArray file;
    for (qsizetype i = 0; i < reasons.size(); ++i) {
        QJsonObject object {{u"code"_s, countedCode(int(i))}, {u"type"_s, 2},
            {u"target"_s, u"https://example.com/%1"_s.arg(i)}, {u"created"_s, u"2026-01-01T00:00:00Z"_s},
            {u"visits"_s, 7}, {u"state"_s, u"disabled"_s}, {u"reason"_s, reasons.at(i)},
            {u"changed"_s, u"2026-02-01T00:00:00Z"_s}};
        if (i % 2 == 0) {
            // Who took it down, as a later export carries it.
            object.insert(u"disabledBy"_s, i == 0 ? u"shell:root"_s : u"key:k%1"_s.arg(i));
            object.insert(u"takedown"_s, i == 0);
        }
        file += QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n';
    }
    // The longest address, every character three bytes in UTF-8.
    const QString prefix = u"https://例子.测试/"_s;
    const QString longest = prefix + QString(MaximumAddressLength - prefix.size(), u'路');
    file += row(u"jsonl"_s, u"zzzzzzzzzzzzzzzz"_s, u"target"_s, u'"' + longest + u'"');
    // The longest chosen code, title, tags and owner, with what CSV must quote and a formula start.
    QJsonArray tags;
    for (int i = 0; i < 20; ++i) {
        tags.append(QString(u"=\"%1\",'"_s.arg(i) + QString(33, u'标')));
    }
    const QJsonObject fullest {{u"code"_s, QString(64, u'-')}, {u"chosen"_s, true}, {u"type"_s, 5},
        {u"target"_s, u"https://example.com/fullest"_s}, {u"created"_s, u"2026-01-01T00:00:00Z"_s}, {u"visits"_s, 9},
        {u"state"_s, u"active"_s}, {u"expires"_s, u"2099-12-31T23:59:59Z"_s}, {u"maxVisits"_s, 1'000'000'000},
        {u"title"_s, QString(u"=SUM(A1) \""_s + QString(190, u'题'))}, {u"tags"_s, tags},
        {u"owner"_s, QString(64, u'k')}};
    file += QJsonDocument(fullest).toJson(QJsonDocument::Compact) + '\n';
    // The longest record of all: a quarantined link whose address and matching entry are both the longest.
    const QJsonObject quarantined {{u"code"_s, u"qqqqqq"_s}, {u"type"_s, 3}, {u"target"_s, longest},
        {u"created"_s, u"2026-01-01T00:00:00Z"_s}, {u"visits"_s, 0}, {u"state"_s, u"quarantined"_s},
        {u"changed"_s, u"2026-03-01T00:00:00Z"_s}, {u"quarantineList"_s, QString(64, u'l')},
        {u"quarantineEntry"_s, longest}, {u"quarantined"_s, u"2026-03-01T00:00:00Z"_s}};
    file += QJsonDocument(quarantined).toJson(QJsonDocument::Compact) + '\n';
    QCOMPARE(run(database, {u"links"_s, u"import"_s}, file).status, 0);

    const Run exported = run(database, {u"links"_s, u"export"_s, u"--format"_s, format});
    QCOMPARE(exported.status, 0);
    if (format == u"csv") {
        for (const QString& expected :
            {u",\"'=HYPERLINK(\"\"https://evil.example\"\",\"\"x\"\")\","_s, u",'+1,"_s, u",'-1,"_s, u",'@SUM(A1),"_s,
                u",'\tTAB,"_s, u",\"'\rCR\","_s, u",''quoted,"_s, u",'''twice,"_s, u",plain,"_s}) {
            QVERIFY2(exported.out.contains(expected), qPrintable(expected));
        }
    }
    const QString copy = freshDatabase();
    const Run imported = run(copy, {u"links"_s, u"import"_s}, exported.out.toUtf8());
    QVERIFY2(imported.status == 0, qPrintable(imported.err));
    QVERIFY2(imported.err.contains(u"imported 13, already there 0, refused 0"_s), qPrintable(imported.err));
    // JSON lines carry the values plainly: both stores hold the same.
    QCOMPARE(run(copy, {u"links"_s, u"export"_s}).out, run(database, {u"links"_s, u"export"_s}).out);
    QVERIFY(run(copy, {u"links"_s, u"export"_s}).out.contains(longest));
    const QString copied = run(copy, {u"links"_s, u"export"_s}).out;
    QCOMPARE(copied.count(u"\"disabledBy\":\"shell:root\""_s), 1);
    QCOMPARE(copied.count(u"\"takedown\":true"_s), 1);
    QCOMPARE(copied.count(u"\"disabledBy\":\"key:k"_s), 4);
    for (const QJsonObject& whole : {fullest, quarantined}) {
        QVERIFY(copied.contains(QString::fromUtf8(QJsonDocument(whole).toJson(QJsonDocument::Compact))));
    }
}

void ImportTest::busyBatches_data()
{
    QTest::addColumn<int>("busyFrom");
    QTest::addColumn<int>("busyCount");
    QTest::addColumn<int>("stored");
    QTest::addColumn<QString>("failure");
    QTest::newRow("never busy") << -1 << 0 << 2500 << QString();
    QTest::newRow("first batch busy twice") << 0 << 2 << 2500 << QString();
    QTest::newRow("last batch busy twice") << 2 << 2 << 2500 << QString();
    QTest::newRow("third batch always busy")
        << 2 << 100 << 1999
        << u"the database stayed busy after 3 tries: database is locked. 1999 links went in (every row before "
           u"line 2002 is settled); run the same import again to continue"_s;
}

// A batch the database was too busy for is rolled back and tried again; its refused rows are
// said once. When it stays busy, the message says how far the import got and how to go on.
void ImportTest::busyBatches()
{
    QFETCH(int, busyFrom);
    QFETCH(int, busyCount);
    QFETCH(int, stored);
    QFETCH(QString, failure);
    BusyStore store;
    store.busyFrom = busyFrom;
    store.busyCount = busyCount;
    store.committed.insert(u"cccccc"_s, {u"cccccc"_s, 1, u"https://example.com/elsewhere"_s, 1, 0});
    QByteArray rows = manyRows(2, 0) + row(u"jsonl"_s, u"bad"_s) + manyRows(2, 2) + row(u"jsonl"_s, u"cccccc"_s);
    rows += manyRows(2496, 4);
    QBuffer input(&rows);
    input.open(QIODevice::ReadOnly);
    QStringList said;
    QList<FaultKind> kinds;
    const ImportResult result = importLinks(input, store, {{}, -1, 1'800'000'000},
        [&](const RowFault& row) {
            said.append(row.said());
            kinds.append(row.fault.kind);
        },
        {3, std::chrono::milliseconds(1)});

    QCOMPARE(result.failure, failure);
    QCOMPARE(store.committed.size(), stored + 1);
    QCOMPARE(result.imported, stored);
    QCOMPARE(result.refused, 2);
    QCOMPARE(said,
        QStringList({u"line 3: the code is not 6 to 16 characters of the code alphabet"_s,
            u"line 6: the code cccccc is taken by another address (type 1): https://example.com/elsewhere"_s}));
    QCOMPARE(kinds, QList<FaultKind>({FaultKind::Invalid, FaultKind::Conflict}));
}

// An import while the service creates links as fast as several clients can ask: the import waits
// its turn for the database, and every row goes in.
void ImportTest::importUnderLoad()
{
    constexpr int Rows = 20'000;
    const QString database = freshDatabase();
    ShortdProcess service({u"--rate-limit"_s, u"0"_s, u"--database"_s, database});
    QVERIFY2(service.start(), qPrintable(service.errorString()));
    CreateLoad load(service.origin(), 4, 6);
    QTRY_VERIFY_WITH_TIMEOUT(load.created() >= 200, 30'000);

    QFile file(m_dir.filePath(u"many.jsonl"_s));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(manyRows(Rows));
    file.close();
    QProcess importer;
    QSignalSpy finished(&importer, &QProcess::finished);
    importer.start(ShortdProcess::binaryPath(), {u"links"_s, u"import"_s, file.fileName(), u"--database"_s, database});
    const qint64 createdBefore = load.created();
    QVERIFY(finished.wait(300'000));
    const qint64 createdDuring = load.created() - createdBefore;
    load.stop();
    const QString err = QString::fromUtf8(importer.readAllStandardError());

    QVERIFY2(importer.exitStatus() == QProcess::NormalExit && importer.exitCode() == 0, qPrintable(err));
    QVERIFY2(err.contains(u"imported %1, already there 0, refused 0"_s.arg(Rows)), qPrintable(err));
    QVERIFY2(createdDuring > 0, "the service created nothing while the import ran");
    QVERIFY2(load.failed() == 0, qPrintable(load.lastFailure()));
    qInfo("%lld links created while the import ran", createdDuring);
    QVERIFY2(service.stop(), qPrintable(service.errorString()));
}

QTEST_GUILESS_MAIN(ImportTest)
#include "tst_import.moc"
