#include "batch.h"
#include "cannedserver.h"
#include "command.h"
#include "progress.h"
#include "protocol.h"
#include "row.h"
#include "shorten.h"
#include "version.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QTest>
#include <QUrlQuery>

#ifdef NOLVEX_WITH_SHORTD
#include "shortdprocess.h"
#endif

using namespace Nolvex;
using namespace Nolvex::Cli;
using namespace std::chrono_literals;
using Behaviour = CannedServer::Behaviour;

Q_DECLARE_METATYPE(Behaviour)

namespace
{

// Retries back off in milliseconds here; only a Retry-After header makes a row wait a real second.
constexpr RetryTiming FastRetries {10ms, 40ms, 60000ms};

struct Run {
    int status = -1;
    QByteArray out;
    QByteArray err;
};

Run run(const QStringList& arguments, const QProcessEnvironment& environment = {})
{
    QTemporaryFile out;
    QTemporaryFile err;
    Run result;
    if (!out.open() || !err.open()) {
        return result;
    }
    ShortenCommand command(Streams {&out, &err, false, false}, FastRetries);
    QSignalSpy finished(&command, &ShortenCommand::finished);
    command.start(QStringList {QStringLiteral("nolvex-shorten")} + arguments, environment);
    if (!finished.wait(60000)) {
        return result;
    }
    result.status = finished.first().first().toInt();
    out.seek(0);
    err.seek(0);
    result.out = out.readAll();
    result.err = err.readAll();
    return result;
}

QList<QJsonObject> jsonRows(const QByteArray& out)
{
    QList<QJsonObject> rows;
    for (const QByteArray& line : out.split('\n')) {
        if (!line.isEmpty()) {
            rows.append(QJsonDocument::fromJson(line).object());
        }
    }
    return rows;
}

QByteArray success(const QString& link)
{
    return CannedServer::response(200, QStringLiteral(R"({"result":"1","info":"%1","message":""})").arg(link).toUtf8());
}

QStringList baseArguments(const QString& origin)
{
    return {
        QStringLiteral("--shorten-host"), origin, QStringLiteral("-q"), QStringLiteral("-f"), QStringLiteral("jsonl")};
}

constexpr QByteArrayView ApiKey = "nvx_SeCrEt0123456789";

constexpr QByteArrayView LinkObject
    = R"({"code":"Ab1","shortUrl":"https://s.example/Ab1","url":"https://a.example/",)"
      R"("type":0,"state":"active","createdAt":"2026-12-07T10:00:00Z","expiresAt":null,)"
      R"("maxVisits":null,"visits":0,"title":null,"tags":[],"reason":null})";

QByteArray problem(int status, const QByteArray& detail, const QByteArray& errors = "[]")
{
    return CannedServer::response(status,
        R"({"type":"about:blank","title":"Refused","status":)" + QByteArray::number(status) + R"(,"detail":")" + detail
            + R"(","errors":)" + errors + "}",
        "application/problem+json", status == 401 ? "WWW-Authenticate: Bearer\r\n" : "");
}

// A request's header value, by name without case; empty when missing.
QByteArray requestHeader(const QByteArray& request, QByteArrayView name)
{
    for (const QByteArray& line : request.left(request.indexOf("\r\n\r\n")).split('\n')) {
        const qsizetype colon = line.indexOf(':');
        if (colon > 0 && line.left(colon).trimmed().compare(name, Qt::CaseInsensitive) == 0) {
            return line.mid(colon + 1).trimmed();
        }
    }
    return {};
}

// The address a request carries: the protocol's url query item or the API's url member; empty for
// a GET of the API.
QString requestedAddress(const QByteArray& request)
{
    if (request.startsWith("POST ")) {
        return QJsonDocument::fromJson(CannedServer::body(request)).object().value(QLatin1StringView("url")).toString();
    }
    const QUrl target = QUrl::fromEncoded(CannedServer::target(request));
    return QUrlQuery(target).queryItemValue(Protocol::UrlKey.toString(), QUrl::FullyDecoded);
}

// The canned link object, for an address and, when given, its short link.
QByteArray linkObject(const QString& address, const QString& shortUrl = {})
{
    QJsonObject link = QJsonDocument::fromJson(LinkObject.toByteArray()).object();
    link.insert(QStringLiteral("url"), address);
    if (!shortUrl.isEmpty()) {
        link.insert(QStringLiteral("shortUrl"), shortUrl);
    }
    return QJsonDocument(link).toJson(QJsonDocument::Compact);
}

// A canned reply with the canned link object's address made the request's.
QByteArray echoAddress(QByteArray reply, const QByteArray& request)
{
    if (!reply.endsWith(LinkObject.toByteArray())) {
        return reply;
    }
    const QByteArray link = linkObject(requestedAddress(request));
    const auto length
        = [](qsizetype size) -> QByteArray { return "Content-Length: " + QByteArray::number(size) + "\r\n"; };
    return reply.chopped(LinkObject.size()).replace(length(LinkObject.size()), length(link.size())) + link;
}

// Counts the connections a canned server takes: each is a socket it makes its child.
struct ConnectionCount final : QObject {
    int connections = 0;
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        connections += event->type() == QEvent::ChildAdded ? 1 : 0;
        return QObject::eventFilter(watched, event);
    }
};

QString writeLines(QTemporaryDir& dir, const QByteArray& bytes)
{
    QString path = dir.filePath(QStringLiteral("in.txt"));
    QFile file(path);
    if (file.open(QIODevice::WriteOnly)) {
        file.write(bytes);
    }
    return path;
}

} // namespace

class TestCli final : public QObject
{
    Q_OBJECT

private slots:
    void shortening_data();
    void shortening();
    void formats_data();
    void formats();
    void retryDelay_data();
    void retryDelay();
    void progressLine_data();
    void progressLine();
    void usage_data();
    void usage();
    void expand_data();
    void expand();
    void checkUpdate_data();
    void checkUpdate();
    void apiOptions_data();
    void apiOptions();
    void apiReplies_data();
    void apiReplies();
    void brokenServers_data();
    void brokenServers();
    void qrCodeDecodesToTheShortLink();
    void messagesFollowTheLocale_data();
    void messagesFollowTheLocale();
    void endToEnd();
};

void TestCli::shortening_data()
{
    QTest::addColumn<QByteArray>("line"); // as it stands in the file
    QTest::addColumn<QList<QByteArray>>("replies"); // by attempt; the last one repeats
    QTest::addColumn<Behaviour>("behaviour");
    QTest::addColumn<int>("requests"); // negative: at least that many (the network stack resends on a reset)
    QTest::addColumn<QString>("input"); // the row's input; empty: no row
    QTest::addColumn<QString>("error"); // empty: success
    QTest::addColumn<QString>("message");
    QTest::addColumn<int>("status");

    const QByteArray ok = success(QStringLiteral("https://s.example/Ab1"));
    // Lines as they stand in a file: skipped, or shortened at the first attempt.
    const auto line = [&](const char* name, const QByteArray& bytes, const QString& input) {
        QTest::newRow(name) << bytes << QList<QByteArray> {ok} << Behaviour::Reply << (input.isEmpty() ? 0 : 1) << input
                            << QString() << QString() << 0;
    };
    line("blank", " \t \n", {});
    line("comment", "# https://a.example/\n", {});
    line("indented comment", "   #x\n", {});
    line("CRLF and blanks", "  https://a.example/p \r\n", QStringLiteral("https://a.example/p"));
    line("no line end", "https://a.example/", QStringLiteral("https://a.example/"));
    line("Chinese", "https://例子.测试/路径?q=短网址\n", QStringLiteral("https://例子.测试/路径?q=短网址"));
    line("ampersand, hash, plus, percent", "http://a.example/?x=1&y=2+3%20#frag\n",
        QStringLiteral("http://a.example/?x=1&y=2+3%20#frag"));
    line("hash inside is no comment", "https://a.example/#/route\n", QStringLiteral("https://a.example/#/route"));
    QTest::newRow("no scheme") << QByteArray("www.a.example/x\n") << QList<QByteArray> {ok} << Behaviour::Reply << 0
                               << QStringLiteral("www.a.example/x") << QStringLiteral("scheme")
                               << QStringLiteral("The address must contain http:// or https://") << 1;

    // One address and what the service does with it, attempt after attempt.
    const auto attempts = [](const char* name, const QList<QByteArray>& replies, Behaviour behaviour, int requests,
                              const QString& error, const QString& message, int status) {
        QTest::newRow(name) << QByteArray("https://a.example/\n") << replies << behaviour << requests
                            << QStringLiteral("https://a.example/") << error << message << status;
    };
    const QByteArray busy = CannedServer::response(503, "busy", "text/plain");
    attempts("429 with Retry-After, then success",
        {CannedServer::response(429, "{}", "application/json", "Retry-After: 1\r\n"), ok}, Behaviour::Reply, 2, {}, {},
        0);
    attempts("503 twice, then success", {busy, busy, ok}, Behaviour::Reply, 3, {}, {}, 0);
    attempts("503 until the retries run out", {busy}, Behaviour::Reply, 4, QStringLiteral("busy"),
        QStringLiteral("The service stayed busy; no retries left"), 1);
    attempts("refusal is final",
        {CannedServer::response(200, R"({"result":"0","info":"","message":"该网址已被禁止"})")}, Behaviour::Reply, 1,
        QStringLiteral("refused"), QStringLiteral("该网址已被禁止"), 1);
    attempts("HTML error page is final", {CannedServer::response(500, "<html>oops</html>", "text/html")},
        Behaviour::Reply, 1, QStringLiteral("unreadable"),
        QStringLiteral("The server's reply cannot be read; try again later"), 1);
    // The service answered: the request is not sent again, and the batch is no "cannot connect".
    attempts("reset mid-reply", {QByteArray("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n{\"result\"")},
        Behaviour::ResetAfterReply, 1, QStringLiteral("unreadable"),
        QStringLiteral("The server's reply cannot be read; try again later"), 1);
    attempts("never answers", {QByteArray()}, Behaviour::Silent, 4, QStringLiteral("timeout"),
        QStringLiteral("The server took too long to answer; try again later"), 4);
}

void TestCli::shortening()
{
    QFETCH(QByteArray, line);
    QFETCH(QList<QByteArray>, replies);
    QFETCH(Behaviour, behaviour);
    QFETCH(int, requests);
    QFETCH(QString, input);
    QFETCH(QString, error);
    QFETCH(QString, message);
    QFETCH(int, status);

    CannedServer server;
    QVERIFY(server.start());
    int calls = 0;
    server.setHandler(
        [&](const QByteArray&) { return replies.at(std::min<qsizetype>(calls++, replies.size() - 1)); }, behaviour);
    QTemporaryDir dir;
    // A comment comes first, so the row's line number counts skipped lines too.
    QStringList arguments {QStringLiteral("-i"), writeLines(dir, "# first\n" + line)};
    if (behaviour == Behaviour::Silent) {
        arguments << QStringLiteral("--timeout") << QStringLiteral("0.3");
    }
    const Run result = run(baseArguments(server.origin()) + arguments);
    QCOMPARE(result.status, status);
    if (requests < 0) {
        QVERIFY(server.requests().size() >= -requests);
    } else {
        QCOMPARE(server.requests().size(), requests);
    }
    const QList<QJsonObject> rows = jsonRows(result.out);
    QCOMPARE(rows.size(), input.isEmpty() ? 0 : 1);
    if (input.isEmpty()) {
        return;
    }
    const QJsonObject& row = rows.constFirst();
    QCOMPARE(row.value(QLatin1StringView("line")).toInt(), 2);
    QCOMPARE(row.value(QLatin1StringView("input")).toString(), input);
    QCOMPARE(row.value(QLatin1StringView("ok")).toBool(), error.isEmpty());
    QCOMPARE(row.value(QLatin1StringView("error")).toString(), error);
    QCOMPARE(row.value(QLatin1StringView("message")).toString(), message);
    QCOMPARE(row.value(QLatin1StringView("short")).toString(),
        error.isEmpty() ? QStringLiteral("https://s.example/Ab1") : QString());
    if (requests != 0) {
        // The request is the window's, byte for byte: same encoding, same token.
        const QString expected = shortenRequestAddress(server.origin(), QStringLiteral("0"), input);
        QCOMPARE(QString::fromLatin1(CannedServer::target(server.requests().constFirst())),
            expected.mid(server.origin().size()));
    }
}

void TestCli::formats_data()
{
    QTest::addColumn<int>("format");
    QTest::addColumn<QByteArray>("bytes");

    // The same two rows in every format: a success whose input needs quoting, and a refusal.
    QTest::newRow("text") << int(Format::Text) << QByteArray("https://s.example/Ab1\n\n");
    QTest::newRow("tsv") << int(Format::Tsv)
                         << QByteArray("https://a.example/?q=\"x\",y\\tz\\\\\thttps://s.example/Ab1\n"
                                       "网址 中\t\n");
    QTest::newRow("csv") << int(Format::Csv)
                         << QByteArray("\"https://a.example/?q=\"\"x\"\",y\tz\\\",https://s.example/Ab1\r\n"
                                       "网址 中,\r\n");
    QTest::newRow("jsonl") << int(Format::Jsonl)
                           << QByteArray("{\"line\":3,\"input\":\"https://a.example/?q=\\\"x\\\",y\\tz\\\\\","
                                         "\"ok\":true,\"short\":\"https://s.example/Ab1\",\"error\":null,"
                                         "\"message\":null}\n"
                                         "{\"line\":7,\"input\":\"网址 中\",\"ok\":false,\"short\":null,"
                                         "\"error\":\"refused\",\"message\":\"不支持\\n\\\"该\\\"网址\\u0001\"}\n");
}

void TestCli::formats()
{
    QFETCH(int, format);
    QFETCH(QByteArray, bytes);

    Row shortened;
    shortened.line = 3;
    shortened.input = QStringLiteral("https://a.example/?q=\"x\",y\tz\\");
    shortened.shortLink = QStringLiteral("https://s.example/Ab1");
    Row refused;
    refused.line = 7;
    refused.input = QStringLiteral("网址 中");
    refused.failure = Failure::Refused;
    refused.message = QStringLiteral("不支持\n\"该\"网址\x01");
    const auto chosen = static_cast<Format>(format);
    QCOMPARE(formatRow(chosen, shortened) + formatRow(chosen, refused), bytes);
    if (chosen == Format::Jsonl) {
        QCOMPARE(QJsonDocument::fromJson(formatRow(chosen, refused)).object().value(QLatin1StringView("message")),
            refused.message);
    }
}

void TestCli::retryDelay_data()
{
    QTest::addColumn<int>("retry");
    QTest::addColumn<QByteArray>("retryAfter");
    QTest::addColumn<qint64>("low");
    QTest::addColumn<qint64>("high");

    QTest::newRow("first back-off, jittered") << 1 << QByteArray() << qint64 {250} << qint64 {500};
    QTest::newRow("third back-off doubles twice") << 3 << QByteArray() << qint64 {1000} << qint64 {2000};
    QTest::newRow("back-off capped") << 12 << QByteArray() << qint64 {15000} << qint64 {30000};
    QTest::newRow("Retry-After seconds") << 1 << QByteArray("7") << qint64 {7000} << qint64 {7000};
    QTest::newRow("Retry-After cut to 60 s") << 1 << QByteArray("86400") << qint64 {60000} << qint64 {60000};
    QTest::newRow("Retry-After date in the past")
        << 1 << QByteArray("Wed, 21 Oct 2015 07:28:00 GMT") << qint64 {0} << qint64 {0};
    QTest::newRow("Retry-After nonsense backs off") << 2 << QByteArray("soon") << qint64 {500} << qint64 {1000};
    QTest::newRow("negative Retry-After backs off") << 1 << QByteArray("-5") << qint64 {250} << qint64 {500};
}

void TestCli::retryDelay()
{
    QFETCH(int, retry);
    QFETCH(QByteArray, retryAfter);
    QFETCH(qint64, low);
    QFETCH(qint64, high);
    for (int i = 0; i < 50; ++i) {
        const qint64 delay = Batch::retryDelay(retry, retryAfter, RetryTiming {}).count();
        QVERIFY2(delay >= low && delay <= high, qPrintable(QString::number(delay)));
    }
}

void TestCli::progressLine_data()
{
    QTest::addColumn<qint64>("done");
    QTest::addColumn<qint64>("total"); // negative: unknown
    QTest::addColumn<qint64>("elapsedMs");
    QTest::addColumn<int>("width");
    QTest::addColumn<QString>("line");

    QTest::newRow("half of a file") << qint64 {50} << qint64 {100} << qint64 {10000} << 79
                                    << QStringLiteral("[############............] 50/100  5/s  0:10 left");
    QTest::newRow("all done, nothing left") << qint64 {100} << qint64 {100} << qint64 {10000} << 79
                                            << QStringLiteral("[########################] 100/100  10/s");
    QTest::newRow("a pipe: no total") << qint64 {1234} << qint64 {-1} << qint64 {2000} << 79
                                      << QStringLiteral("1234 done  617/s");
    QTest::newRow("hours left") << qint64 {1000} << qint64 {10000000} << qint64 {1000} << 79
                                << QStringLiteral("[........................] 1000/10000000  1000/s  2:46:39 left");
    QTest::newRow("nothing done yet") << qint64 {0} << qint64 {10} << qint64 {0} << 79
                                      << QStringLiteral("[........................] 0/10  0/s");
    QTest::newRow("cut to the terminal") << qint64 {5} << qint64 {10} << qint64 {1000} << 12
                                         << QStringLiteral("[###########");
}

void TestCli::progressLine()
{
    QFETCH(qint64, done);
    QFETCH(qint64, total);
    QFETCH(qint64, elapsedMs);
    QFETCH(int, width);
    QFETCH(QString, line);
    const QLocale before;
    QLocale::setDefault(QLocale::c()); // no group separators, whatever the machine's locale
    const QString drawn = Progress::line(done, total, elapsedMs, width);
    QLocale::setDefault(before);
    QCOMPARE(drawn, line);
}

void TestCli::usage_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("environmentHost"); // NOLVEX_SHORTEN_HOST
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("says");

    const QString a = QStringLiteral("https://a.example/");
    QTest::newRow("nothing to shorten") << QStringList() << QString() << 2 << QStringLiteral("either as arguments");
    QTest::newRow("arguments and a file")
        << QStringList {QStringLiteral("-i"), QStringLiteral("x"), a} << QString() << 2 << QStringLiteral("not both");
    QTest::newRow("unknown option") << QStringList {QStringLiteral("--colour"), a} << QString() << 2
                                    << QStringLiteral("colour");
    QTest::newRow("type 6") << QStringList {QStringLiteral("-t"), QStringLiteral("6"), a} << QString() << 2
                            << QStringLiteral("--type");
    QTest::newRow("65 jobs") << QStringList {QStringLiteral("-j"), QStringLiteral("65"), a} << QString() << 2
                             << QStringLiteral("--jobs");
    QTest::newRow("format xml") << QStringList {QStringLiteral("-f"), QStringLiteral("xml"), a} << QString() << 2
                                << QStringLiteral("--format");
    QTest::newRow("qr for two") << QStringList {QStringLiteral("--qr"), a, a} << QString() << 2
                                << QStringLiteral("exactly one");
    QTest::newRow("missing file") << QStringList {QStringLiteral("-i"), QStringLiteral("/nonexistent/in.txt")}
                                  << QString() << 2 << QStringLiteral("/nonexistent/in.txt");
    QTest::newRow("plain http off this machine")
        << QStringList {QStringLiteral("--shorten-host"), QStringLiteral("http://remote.example"), a} << QString() << 3
        << QStringLiteral("--shorten-host");
    QTest::newRow("environment, same rule")
        << QStringList {a} << QStringLiteral("http://10.0.0.1:80") << 3 << QStringLiteral("10.0.0.1");
    QTest::newRow("help") << QStringList {QStringLiteral("--help")} << QString() << 0 << QString();
}

void TestCli::usage()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, environmentHost);
    QFETCH(int, status);
    QFETCH(QString, says);
    QProcessEnvironment environment;
    if (!environmentHost.isEmpty()) {
        environment.insert(QStringLiteral("NOLVEX_SHORTEN_HOST"), environmentHost);
    }
    const Run result = run(arguments, environment);
    QCOMPARE(result.status, status);
    QVERIFY2(QString::fromUtf8(result.err).contains(says), result.err.constData());
    if (status == 0) {
        QVERIFY(result.out.contains("--check-update") && result.out.contains("--shorten-host"));
    }
}

void TestCli::expand_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QByteArray>("requests"); // method and target of each, "|" between them
    QTest::addColumn<QByteArray>("output"); // ORIGIN stands for the server
    QTest::addColumn<int>("status");

    QTest::newRow("two redirects, then the page") << QStringLiteral("/a") << QByteArray("HEAD /a|HEAD /b|HEAD /c")
                                                  << QByteArray("301  ORIGIN/a\n302  ORIGIN/b\n200  ORIGIN/c\n") << 0;
    QTest::newRow("HEAD refused, a GET stops at the headers")
        << QStringLiteral("/nohead") << QByteArray("HEAD /nohead|GET /nohead")
        << QByteArray("302  ORIGIN/nohead\n      mailto:a@b.example\n"
                      "      (stops here: not an http or https address)\n")
        << 0;
    QTest::newRow("redirect loop") << QStringLiteral("/loop")
                                   << QByteArray("HEAD /loop|HEAD /loop|HEAD /loop|HEAD /loop|HEAD /loop|HEAD /loop")
                                   << QByteArray("301  ORIGIN/loop\n301  ORIGIN/loop\n301  ORIGIN/loop\n"
                                                 "301  ORIGIN/loop\n301  ORIGIN/loop\n301  ORIGIN/loop\n"
                                                 "      ORIGIN/loop\n      (failed: more than 5 redirects)\n")
                                   << 1;
    QTest::newRow("plain http elsewhere is named, not visited")
        << QStringLiteral("/away") << QByteArray("HEAD /away")
        << QByteArray("302  ORIGIN/away\n      http://elsewhere.example/\n"
                      "      (not followed: plain http to another machine)\n")
        << 0;
}

void TestCli::expand()
{
    QFETCH(QString, path);
    QFETCH(QByteArray, requests);
    QFETCH(QByteArray, output);
    QFETCH(int, status);

    CannedServer server;
    QVERIFY(server.start());
    const QByteArray big(qsizetype {1} << 20, 'x'); // a body that must never be read
    server.setHandler([&](const QByteArray& request) {
        const QByteArray target = CannedServer::target(request);
        const bool head = request.startsWith("HEAD ");
        if (target == "/a") {
            return CannedServer::response(301, {}, "text/html", "Location: /b\r\n");
        }
        if (target == "/b") {
            return CannedServer::response(302, {}, "text/html", "Location: " + server.origin().toUtf8() + "/c\r\n");
        }
        if (target == "/nohead") {
            return head ? CannedServer::response(405, {}, "text/plain")
                        : CannedServer::response(302, big, "text/html", "Location: mailto:a@b.example\r\n");
        }
        if (target == "/loop") {
            return CannedServer::response(301, {}, "text/html", "Location: /loop\r\n");
        }
        if (target == "/away") {
            return CannedServer::response(302, {}, "text/html", "Location: http://elsewhere.example/\r\n");
        }
        return CannedServer::response(200, big, "text/html");
    });
    const Run result
        = run({QStringLiteral("--expand"), QStringLiteral("--timeout"), QStringLiteral("5"), server.origin() + path});
    QCOMPARE(result.status, status);
    QByteArrayList seen;
    for (const QByteArray& request : server.requests()) {
        seen.append(request.left(request.indexOf(' ')) + ' ' + CannedServer::target(request));
    }
    QCOMPARE(seen.join('|'), requests);
    QCOMPARE(QByteArray(result.out).replace(server.origin().toUtf8(), "ORIGIN"), output);
}

void TestCli::checkUpdate_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("says");

    const QString current = Protocol::CurrentVersion.toString();
    QTest::newRow("up to date") << CannedServer::response(
        200, QStringLiteral(R"({"result":"1","info":{"version":"%1","sid":"7","must":"0"}})").arg(current).toUtf8())
                                << 0 << QStringLiteral("Version %1 is the latest.").arg(current);
    QTest::newRow("newer, required") << CannedServer::response(
        200, R"({"result":"1","info":{"version":"9.0","sid":"a b","must":"1"}})")
                                     << 1
                                     << QStringLiteral("Version 9.0 is out (this is %1): https://site.example/"
                                                       "index.php/Works/detail/sid/a%20b\nThis update is required.")
                                            .arg(current);
    QTest::newRow("unreadable") << CannedServer::response(200, "<html/>", "text/html") << 4
                                << QStringLiteral("The check failed");
}

void TestCli::checkUpdate()
{
    QFETCH(QByteArray, reply);
    QFETCH(int, status);
    QFETCH(QString, says);

    CannedServer server;
    QVERIFY(server.start());
    server.setReply(reply);
    const Run result = run({QStringLiteral("--check-update"), QStringLiteral("--version-host"), server.origin(),
        QStringLiteral("--site-host"), QStringLiteral("site.example")});
    QCOMPARE(result.status, status);
    const QByteArray both = result.out + result.err;
    QVERIFY2(QString::fromUtf8(both).contains(says), both.constData());
    QCOMPARE(server.requests().size(), 1);
    QCOMPARE(CannedServer::body(server.requests().constFirst()), QByteArray("sn=tkvr"));
}

void TestCli::apiOptions_data()
{
    QTest::addColumn<QString>("arguments"); // split at blanks; A an address, FILE a key file, LINES two lines
    QTest::addColumn<QByteArray>("key"); // the environment's; the file's with --api-key-file
    QTest::addColumn<bool>("shared"); // the key file is readable by others
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>(
        "expected"); // the first request's body (its target for the protocol), or a part of the error

    const QByteArray key = ApiKey.toByteArray();
    const auto row = [&](const char* name, const char* arguments, const QByteArray& keyText, int status,
                         const QByteArray& expected, bool shared = false) {
        QTest::newRow(name) << QString::fromUtf8(arguments) << keyText << shared << status << expected;
    };
    row("title alone picks the API", "--title 周报 A", key, 0,
        R"({"title":"周报","type":0,"url":"https://a.example/?x=1&y=短"})");
    row("every option", "--code promo-1 --expires 2999-01-01T08:00:00+08:00 --max-visits 100 --tag b --tag a -t 2 A",
        key, 0,
        R"({"code":"promo-1","expiresAt":"2999-01-01T00:00:00Z","maxVisits":100,"tags":["b","a"],"type":2,)"
        R"("url":"https://a.example/?x=1&y=短"})");
    row("a key file alone picks the API", "--api-key-file FILE A", "\n  " + key + "\r\n", 0,
        R"({"type":0,"url":"https://a.example/?x=1&y=短"})");
    row("tags apply to each line", "-j 1 --tag x -i LINES", key, 0,
        R"({"tags":["x"],"type":0,"url":"https://a.example/1"})");
    row("a key in the environment alone keeps the protocol", "A", key, 0, "/index.php/Index/weburl_zip?");

    row("--code for two addresses", "--code c1 A A", key, 2, "exactly one address");
    row("--code with --input", "--code c1 -i LINES", key, 2, "exactly one address");
    row("--expires in the past", "--expires 2001-02-03 A", key, 2, "already past");
    row("--max-visits 0", "--max-visits 0 A", key, 2, "--max-visits must");
    row("link options with --expand", "--expand --tag x A", key, 2, "only go with shortening");
    row("the key as an option", "--api-key=nvx_SeCrEt0123456789 A", key, 2, "not taken on the command line");
    row("no key", "--title t A", QByteArray(), 3, "needs a key: set NOLVEX_API_KEY");
    row("a key with a line break inside", "--title t A", key + "\nX-Admin: 1", 3, "NOLVEX_API_KEY: the API key holds");
    row("a key file others can read", "--api-key-file FILE A", key, 3, "can be read by other users", true);
    row("an empty key file", "--api-key-file FILE A", "\n", 3, "the API key is empty");
}

void TestCli::apiOptions()
{
    QFETCH(QString, arguments);
    QFETCH(QByteArray, key);
    QFETCH(bool, shared);
    QFETCH(int, status);
    QFETCH(QByteArray, expected);

    CannedServer server;
    QVERIFY(server.start());
    server.setHandler([](const QByteArray& request) {
        return request.startsWith("POST ") ? CannedServer::response(201, linkObject(requestedAddress(request)))
                                           : success(QStringLiteral("https://s.example/p"));
    });
    QTemporaryDir dir;
    QProcessEnvironment environment;
    const bool keyFile = arguments.contains(QStringLiteral("FILE"));
    const bool lines = arguments.contains(QStringLiteral("LINES"));
    QFile file(dir.filePath(QStringLiteral("key")));
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(keyFile ? key : "unused") >= 0);
    file.close();
    const QFile::Permissions own = QFile::ReadOwner | QFile::WriteOwner;
    QVERIFY(file.setPermissions(shared ? own | QFile::ReadGroup | QFile::ReadOther : own));
    if (!keyFile && !key.isEmpty()) {
        environment.insert(QStringLiteral("NOLVEX_API_KEY"), QString::fromUtf8(key));
    }
    QStringList words = arguments.split(u' ');
    words.replaceInStrings(QRegularExpression(QStringLiteral("^A$")), QStringLiteral("https://a.example/?x=1&y=短"));
    words.replaceInStrings(QStringLiteral("FILE"), file.fileName());
    words.replaceInStrings(QStringLiteral("LINES"), writeLines(dir, "https://a.example/1\nhttps://a.example/2\n"));
    const Run result = run(baseArguments(server.origin()) + words, environment);
    QCOMPARE(result.status, status);
    // The key shows nowhere, whatever went wrong.
    QVERIFY(!result.out.contains(ApiKey) && !result.err.contains(ApiKey));
    if (status != 0) {
        QVERIFY2(result.err.contains(expected), result.err.constData());
        QVERIFY(server.requests().isEmpty());
        return;
    }
    QVERIFY(!server.requests().isEmpty());
    const QByteArray& first = server.requests().constFirst();
    if (first.startsWith("GET ")) {
        QVERIFY(CannedServer::target(first).startsWith(expected));
        QVERIFY(requestHeader(first, "Authorization").isEmpty());
        return;
    }
    QCOMPARE(server.requests().size(), lines ? 2 : 1);
    QCOMPARE(CannedServer::target(first), QByteArray("/api/v1/links"));
    QCOMPARE(requestHeader(first, "Content-Type"), QByteArray("application/json"));
    QCOMPARE(requestHeader(first, "Authorization"), "Bearer " + ApiKey.toByteArray());
    QCOMPARE(CannedServer::body(first), expected);
}

void TestCli::apiReplies_data()
{
    QTest::addColumn<QList<QByteArray>>("replies"); // by attempt; the last one repeats
    QTest::addColumn<int>("requests");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("error"); // of both rows; empty: success
    QTest::addColumn<QString>("message");

    const auto row = [](const char* name, const QList<QByteArray>& replies, int requests, int status, const char* error,
                         const char* message) {
        QTest::newRow(name) << replies << requests << status << QString::fromUtf8(error) << QString::fromUtf8(message);
    };
    const QByteArray created
        = CannedServer::response(201, LinkObject.toByteArray(), "application/json", "Location: /Ab1\r\n");
    const char* unreadable = "The server's reply cannot be read; try again later";
    row("201 created", {created}, 2, 0, "", "");
    row("200 the existing link", {CannedServer::response(200, LinkObject.toByteArray())}, 2, 0, "", "");
    row("401 stops the batch", {problem(401, "The key is revoked")}, 1, 3, "key-refused", "The key is revoked");
    row("403 without a body", {CannedServer::response(403, {}, "text/plain")}, 1, 3, "key-refused",
        "The service refused the API key");
    row("409 code taken", {problem(409, "The code Ab1 is taken")}, 2, 1, "refused", "The code Ab1 is taken");
    row("422 with field errors",
        {problem(422, "Invalid fields",
            R"([{"field":"maxVisits","message":"must be at least 1"},{"field":"tags","message":"too many"}])")},
        2, 1, "refused", "Invalid fields; maxVisits: must be at least 1; tags: too many");
    row("429 then created", {CannedServer::response(429, "{}", "application/json", "Retry-After: 0\r\n"), created}, 3,
        0, "", "");
    row("503 until the retries run out", {problem(503, "The store is down")}, 4, 1, "busy",
        "The service stayed busy; no retries left");
    row("not JSON", {CannedServer::response(500, "<h1>oops</h1>", "text/html")}, 2, 1, "unreadable", unreadable);
    row("201 without a short address", {CannedServer::response(201, R"({"code":"Ab1"})")}, 2, 1, "unreadable",
        unreadable);
    // Followed, the key would go along to wherever the redirect points.
    row("a redirect is not followed", {CannedServer::response(307, {}, "text/plain", "Location: /elsewhere\r\n")}, 2, 1,
        "unreadable", unreadable);
}

void TestCli::apiReplies()
{
    QFETCH(QList<QByteArray>, replies);
    QFETCH(int, requests);
    QFETCH(int, status);
    QFETCH(QString, error);
    QFETCH(QString, message);

    CannedServer server;
    QVERIFY(server.start());
    int calls = 0;
    server.setHandler([&](const QByteArray& request) {
        return echoAddress(replies.at(std::min<qsizetype>(calls++, replies.size() - 1)), request);
    });
    QProcessEnvironment environment;
    environment.insert(QStringLiteral("NOLVEX_API_KEY"), QString::fromLatin1(ApiKey));
    const Run result = run(baseArguments(server.origin())
            + QStringList {QStringLiteral("-j"), QStringLiteral("1"), QStringLiteral("--retries"), QStringLiteral("1"),
                QStringLiteral("--tag"), QStringLiteral("t"), QStringLiteral("https://a.example/1"),
                QStringLiteral("https://a.example/2")},
        environment);
    QCOMPARE(result.status, status);
    QCOMPARE(server.requests().size(), requests);
    for (const QByteArray& request : server.requests()) {
        QCOMPARE(requestHeader(request, "Authorization"), "Bearer " + ApiKey.toByteArray());
    }
    QVERIFY(!result.out.contains(ApiKey) && !result.err.contains(ApiKey));
    const QList<QJsonObject> rows = jsonRows(result.out);
    QCOMPARE(rows.size(), 2);
    for (const QJsonObject& row : rows) {
        QCOMPARE(row.value(QLatin1StringView("error")).toString(), error);
        QCOMPARE(row.value(QLatin1StringView("message")).toString(), message);
        QCOMPARE(row.value(QLatin1StringView("short")).toString(),
            error.isEmpty() ? QStringLiteral("https://s.example/Ab1") : QString());
    }
}

void TestCli::brokenServers_data()
{
    QTest::addColumn<bool>("api");
    QTest::addColumn<QList<QByteArray>>("replies"); // by request; the last one repeats. {BODY}: the answer
    QTest::addColumn<Behaviour>("behaviour");
    QTest::addColumn<bool>("otherAddress"); // {BODY} answers for an address nobody sent
    // "ok" (the address's own link) or the error, row after row, for https://a.example/1, /2, …; one
    // address alone is sent with --code. The exit status is 1 when a row failed.
    QTest::addColumn<QString>("rows");
    QTest::addColumn<int>("requests");
    QTest::addColumn<QString>("says"); // in the first row's message

    const QByteArray json = "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n";
    const QByteArray ok = json + "Content-Length: {LENGTH}\r\n\r\n{BODY}";
    // on: "protocol", "API" or "both".
    const auto row = [](const char* on, const char* name, const QList<QByteArray>& replies, Behaviour behaviour,
                         const char* rows, int requests, bool otherAddress = false, const char* says = "") {
        for (const bool api : {false, true}) {
            if (qstrcmp(on, "both") == 0 || qstrcmp(on, api ? "API" : "protocol") == 0) {
                QTest::addRow("%s, %s", api ? "API" : "protocol", name)
                    << api << replies << behaviour << otherAddress << QString::fromLatin1(rows) << requests
                    << QString::fromLatin1(says);
            }
        }
    };
    row("both", "interim replies before the reply",
        {"HTTP/1.1 103 Early Hints\r\nLink: </s.css>; rel=preload\r\n\r\nHTTP/1.1 100 Continue\n\n" + ok},
        Behaviour::KeepOpen, "ok|ok|ok", 3);
    row("both", "101 ends the attempt",
        {"HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n\r\n" + ok},
        Behaviour::KeepOpen, "unreadable|unreadable", 2);
    row("API", "a second reply in a later write", {ok}, Behaviour::Repeated, "ok|ok|ok", 3);
    // Each reply sent again 50 ms later, each after the first 50 ms late: on a kept connection the
    // first's repeat would come in before the second's reply. The API's replies name their address.
    const QList<QByteArray> repeatedLate {ok + "<pause>" + ok, "<pause>" + ok};
    row("protocol", "a reply repeated after a delay", repeatedLate, Behaviour::TwoWrites, "ok|ok|ok", 3);
    row("API", "a reply repeated after a delay", repeatedLate, Behaviour::TwoWrites, "ok|unreadable|ok", 3);
    row("both", "endless chunks", {json + "Transfer-Encoding: chunked\r\n\r\n"}, Behaviour::Endless,
        "unreadable|unreadable", 2);
    row("both", "a body that ends at the close", {json + "\r\n{BODY}"}, Behaviour::Reply, "ok|ok|ok", 3);
    row("both", "heads with LF alone",
        {"HTTP/1.1 200 OK\nContent-Type: application/json\nContent-Length: {LENGTH}\n\n{BODY}"}, Behaviour::KeepOpen,
        "ok|ok|ok", 3);
    // The service answered: each a failed row of its own, the next address still sent, and no exit 4.
    row("both", "a head of 1 MB", {"HTTP/1.1 200 OK\r\nX-Pad: " + QByteArray(1 << 20, 'a') + "\r\n\r\n{BODY}"},
        Behaviour::Reply, "unreadable|unreadable", 2);
    row("both", "a length of 10 GB", {"HTTP/1.1 200 OK\r\nContent-Length: 10000000000\r\n\r\n{BODY}"}, Behaviour::Reply,
        "unreadable|unreadable", 2);
    row("API", "reset after the head", {"HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n{\"code\""},
        Behaviour::ResetAfterReply, "unreadable|unreadable", 2);
    // The create went through and its reply was lost: the 409 of the second try is our own link.
    row("protocol", "a lost reply", {"", ok}, Behaviour::Reply, "ok", 2);
    const QByteArray taken = problem(409, "The code Ab1 is taken");
    row("API", "a lost create reply, then 409", {"", taken, ok}, Behaviour::Reply, "ok", 3);
    row("API", "a lost create reply, then 409 for another address", {"", taken, ok}, Behaviour::Reply, "refused", 3,
        true);
    row("API", "a link for another address", {ok}, Behaviour::KeepOpen, "unreadable|unreadable", 2, true);
    // Followed, the address (and the API's key) would go to that host.
    const QByteArray away = "HTTP/1.1 302 Found\r\nLocation: http://elsewhere.example/x\r\nContent-Length: 0\r\n\r\n";
    row("protocol", "a redirect to another host", {away}, Behaviour::KeepOpen, "unreadable|unreadable", 2, false,
        "http://elsewhere.example/x");
    row("API", "a redirect to another host", {away}, Behaviour::KeepOpen, "unreadable|unreadable", 2);
}

void TestCli::brokenServers()
{
    QFETCH(bool, api);
    QFETCH(QList<QByteArray>, replies);
    QFETCH(Behaviour, behaviour);
    QFETCH(bool, otherAddress);
    QFETCH(QString, rows);
    QFETCH(int, requests);
    QFETCH(QString, says);

    const auto linkOf = [](const QString& address) -> QString {
        return QStringLiteral("https://s.example/k") + address.section(u'/', -1);
    };
    CannedServer server;
    QVERIFY(server.start());
    ConnectionCount count;
    server.installEventFilter(&count);
    QString lastAddress; // a GET of the API names a code, not an address
    server.setHandler(
        [&](const QByteArray& request) {
            lastAddress = requestedAddress(request).isEmpty() ? lastAddress : requestedAddress(request);
            const QString address = otherAddress ? QStringLiteral("https://a.example/other") : lastAddress;
            const QByteArray body
                = api ? linkObject(address, linkOf(address)) : CannedServer::body(success(linkOf(address)));
            QByteArray reply = replies.at(std::min(server.requests().size(), replies.size()) - 1);
            return reply.replace("{LENGTH}", QByteArray::number(body.size())).replace("{BODY}", body);
        },
        behaviour);
    QStringList arguments = baseArguments(server.origin()) + QStringList {QStringLiteral("-j"), QStringLiteral("1")};
    const qsizetype addresses = rows.count(u'|') + 1;
    if (api) {
        arguments << (addresses == 1 ? QStringLiteral("--code") : QStringLiteral("--tag")) << QStringLiteral("Ab1");
    }
    QStringList sent;
    for (int i = 1; i <= addresses; ++i) {
        sent << QStringLiteral("https://a.example/%1").arg(i);
    }
    QProcessEnvironment environment;
    environment.insert(QStringLiteral("NOLVEX_API_KEY"), QString::fromLatin1(ApiKey));
    const Run result = run(arguments + sent, environment);

    const QList<QJsonObject> printed = jsonRows(result.out);
    QStringList seen;
    for (qsizetype i = 0; i < printed.size(); ++i) {
        const QJsonObject& row = printed.at(i);
        QCOMPARE(row.value(QLatin1StringView("input")).toString(), sent.value(i));
        const QString link = row.value(QLatin1StringView("short")).toString();
        // Never another address's link: a success is the link of this row's own address.
        QCOMPARE(link, row.value(QLatin1StringView("ok")).toBool() ? linkOf(sent.value(i)) : QString());
        seen << (link.isEmpty() ? row.value(QLatin1StringView("error")).toString() : QStringLiteral("ok"));
    }
    QCOMPARE(seen.join(u'|'), rows);
    QVERIFY(printed.first().value(QLatin1StringView("message")).toString().contains(says));
    QCOMPARE(result.status, rows.split(u'|').count(QStringLiteral("ok")) == addresses ? 0 : 1);
    QCOMPARE(server.requests().size(), requests);
    if (!api) {
        QCOMPARE(count.connections, requests); // the protocol's replies name no address: one request a connection
    }
}

void TestCli::qrCodeDecodesToTheShortLink()
{
    const QString zbarimg = QStandardPaths::findExecutable(QStringLiteral("zbarimg"));
    QVERIFY2(!zbarimg.isEmpty(), "zbarimg (zbar-tools) is needed");
    CannedServer server;
    QVERIFY(server.start());
    const QString link = QStringLiteral("https://s.example/Qr7xZ");
    server.setReply(success(link));
    QTemporaryDir dir;
    const QString png = dir.filePath(QStringLiteral("code.png"));
    const Run result = run({QStringLiteral("--shorten-host"), server.origin(), QStringLiteral("--qr"),
        QStringLiteral("--qr-png"), png, QStringLiteral("https://a.example/long/address")});
    QCOMPARE(result.status, 0);
    QVERIFY(result.out.startsWith(QByteArray(link.toUtf8() + '\n')));
    QVERIFY(result.out.contains("█") && result.out.contains("▀")); // the code drawn after the link

    QProcess decoder;
    decoder.start(zbarimg, {QStringLiteral("--raw"), QStringLiteral("-q"), png});
    QVERIFY(decoder.waitForFinished(30000));
    QCOMPARE(decoder.exitCode(), 0);
    QCOMPARE(QString::fromUtf8(decoder.readAllStandardOutput()).trimmed(), link);
}

void TestCli::messagesFollowTheLocale_data()
{
    QTest::addColumn<QString>("lang");
    QTest::addColumn<QString>("says");
    QTest::newRow("English") << QStringLiteral("C.UTF-8")
                             << QStringLiteral("line 1: a.example: The address must contain http:// or https://");
    QTest::newRow("Simplified Chinese") << QStringLiteral("zh_CN.UTF-8")
                                        << QStringLiteral("第 1 行：a.example：网址必须包含http://或https://");
}

void TestCli::messagesFollowTheLocale()
{
    QFETCH(QString, lang);
    QFETCH(QString, says);
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("LC_ALL"));
    environment.remove(QStringLiteral("LC_MESSAGES"));
    environment.insert(QStringLiteral("LANG"), lang);
    process.setProcessEnvironment(environment);
    process.start(QStringLiteral(NOLVEX_SHORTEN_BINARY),
        {QStringLiteral("--shorten-host"), QStringLiteral("http://127.0.0.1:9"), QStringLiteral("a.example")});
    QVERIFY(process.waitForFinished(30000));
    QCOMPARE(process.exitCode(), 1);
    QCOMPARE(process.readAllStandardOutput(), QByteArray("\n"));
    QCOMPARE(QString::fromUtf8(process.readAllStandardError()).trimmed(), QStringLiteral("nolvex-shorten: ") + says);
}

void TestCli::endToEnd()
{
#ifndef NOLVEX_WITH_SHORTD
    QSKIP("built without the service");
#else
    ShortdProcess service({QStringLiteral("--rate-limit"), QStringLiteral("0")});
    QVERIFY2(service.start(), qPrintable(service.errorString()));

    // 1,000 lines, every fourth a repeat of an earlier one, with the characters the encoding must keep.
    QStringList lines;
    for (int i = 0; i < 1000; ++i) {
        if (i % 4 == 3) {
            lines.append(lines.at(i / 2));
        } else if (i % 10 == 0) {
            lines.append(QStringLiteral("https://例子.测试/页面/%1?q=短网址&x=a+b%25#节").arg(i));
        } else {
            lines.append(QStringLiteral("http://e2e.example/item/%1?a=1&b=2").arg(i));
        }
    }
    QTemporaryDir dir;
    const QString path = writeLines(dir, lines.join(u'\n').toUtf8() + '\n');
    const Run result = run(baseArguments(service.origin())
        + QStringList {QStringLiteral("-j"), QStringLiteral("8"), QStringLiteral("-i"), path});
    QCOMPARE(result.status, 0);
    const QList<QJsonObject> rows = jsonRows(result.out);
    QCOMPARE(rows.size(), lines.size());
    QHash<QString, QString> linkOf;
    for (qsizetype i = 0; i < rows.size(); ++i) {
        const QJsonObject& row = rows.at(i);
        QCOMPARE(row.value(QLatin1StringView("line")).toInteger(), i + 1);
        QCOMPARE(row.value(QLatin1StringView("input")).toString(), lines.at(i));
        QVERIFY2(row.value(QLatin1StringView("ok")).toBool(),
            qPrintable(row.value(QLatin1StringView("message")).toString()));
        const QString link = row.value(QLatin1StringView("short")).toString();
        QCOMPARE(linkOf.value(lines.at(i), link), link); // a repeat gives the same link
        linkOf.insert(lines.at(i), link);
    }
    QCOMPARE(linkOf.size(), 750);

    // The service stored the addresses as sent: a link leads back to its address.
    QNetworkAccessManager manager;
    for (const qsizetype i : {qsizetype {0}, qsizetype {1}, qsizetype {10}}) {
        QNetworkRequest request {QUrl(linkOf.value(lines.at(i)))};
        request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
        QNetworkReply* reply = manager.get(request);
        QSignalSpy done(reply, &QNetworkReply::finished);
        QVERIFY(done.wait(10000));
        QCOMPARE(QUrl::fromEncoded(reply->rawHeader("Location")), QUrl(lines.at(i)));
        reply->deleteLater();
    }
    QVERIFY2(service.stop(), qPrintable(service.errorString()));
#endif
}

QTEST_GUILESS_MAIN(TestCli)
#include "tst_cli.moc"
