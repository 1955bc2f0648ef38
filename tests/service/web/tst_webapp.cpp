#include "web/webapp.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTest>

using namespace Qt::StringLiterals;
using namespace Shortd;

namespace
{
QByteArray header(const HttpReply& reply, QByteArrayView name)
{
    for (const auto& [field, value] : reply.headers) {
        if (field.compare(name, Qt::CaseInsensitive) == 0) {
            return value;
        }
    }
    return {};
}
} // namespace

class WebAppTest final : public QObject
{
    Q_OBJECT

private slots:
    void language_data();
    void language();
    void etag_data();
    void etag();
    void served_data();
    void served();
    void everyTextInEveryLanguage();

private:
    WebApp m_web;
};

void WebAppTest::language_data()
{
    QTest::addColumn<QByteArray>("acceptLanguage");
    QTest::addColumn<bool>("english");
    QTest::newRow("none") << QByteArray() << false;
    QTest::newRow("English only") << "en-US"_ba << true;
    QTest::newRow("Chinese first") << "zh-CN,zh;q=0.9,en;q=0.8"_ba << false;
    QTest::newRow("English first, Chinese lower") << "en-GB,en;q=0.9,zh-CN;q=0.5"_ba << true;
    QTest::newRow("weights over order") << "zh;q=0.2, en;q=0.7"_ba << true;
    QTest::newRow("equal weights, earlier wins") << "zh-TW;q=0.5,en;q=0.5"_ba << false;
    QTest::newRow("neither, default Chinese") << "fr-FR,de;q=0.8"_ba << false;
    QTest::newRow("another first, then English") << "fr-FR,en;q=0.5"_ba << true;
    QTest::newRow("English refused") << "en;q=0"_ba << false;
    QTest::newRow("bad weight counts as absent") << "en;q=2,zh;q=0.1"_ba << false;
    QTest::newRow("a prefix is no language") << "english,enx"_ba << false;
    QTest::newRow("case and blanks") << "  EN-us ;q=0.9 , ZH ; q=0.1"_ba << true;
}

void WebAppTest::language()
{
    QFETCH(QByteArray, acceptLanguage);
    QFETCH(bool, english);
    QCOMPARE(preferredLanguage(acceptLanguage) == Language::English, english);
}

void WebAppTest::etag_data()
{
    QTest::addColumn<QByteArray>("ifNoneMatch");
    QTest::addColumn<bool>("matches");
    QTest::newRow("absent") << QByteArray() << false;
    QTest::newRow("same") << R"("abc")"_ba << true;
    QTest::newRow("weak form of the same") << R"(W/"abc")"_ba << true;
    QTest::newRow("in a list") << R"("x", "abc")"_ba << true;
    QTest::newRow("any") << "*"_ba << true;
    QTest::newRow("another") << R"("abd")"_ba << false;
    QTest::newRow("unquoted") << "abc"_ba << false;
    QTest::newRow("empty members") << " , ,"_ba << false;
}

void WebAppTest::etag()
{
    QFETCH(QByteArray, ifNoneMatch);
    QFETCH(bool, matches);
    QCOMPARE(etagMatches(ifNoneMatch, "\"abc\""), matches);
}

void WebAppTest::served_data()
{
    // %1 stands for the asset prefix; ETAG in If-None-Match for the answer's own tag.
    QTest::addColumn<QString>("path");
    QTest::addColumn<QByteArray>("acceptLanguage");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("contentType");
    QTest::addColumn<QByteArray>("caching");
    QTest::addColumn<QByteArray>("contains");
    const QByteArray page = "no-cache";
    const QByteArray asset = "public, max-age=31536000, immutable";
    QTest::newRow("home, Chinese") << u"/"_s << QByteArray() << 200 << "text/html"_ba << page
                                   << R"(<html lang="zh-CN">)"_ba;
    QTest::newRow("home, English") << u"/"_s << "en"_ba << 200 << "text/html"_ba << page << R"(<html lang="en">)"_ba;
    QTest::newRow("console") << u"/admin"_s << QByteArray() << 200 << "text/html"_ba << page << "console.js"_ba;
    QTest::newRow("script") << u"%1/home.js"_s << QByteArray() << 200 << "text/javascript"_ba << asset << "import"_ba;
    QTest::newRow("style") << u"%1/site.css"_s << QByteArray() << 200 << "text/css"_ba << asset << ":root"_ba;
    QTest::newRow("table with the window's words")
        << u"%1/lang/zh.json"_s << QByteArray() << 200 << "application/json"_ba << asset
        << "\"shorten.button\":\"生成短网址\""_ba;
    QTest::newRow("template is no asset")
        << u"%1/home.html"_s << QByteArray() << 0 << QByteArray() << QByteArray() << QByteArray();
    QTest::newRow("old version") << u"/static/000000000000/home.js"_s << QByteArray() << 0 << QByteArray()
                                 << QByteArray() << QByteArray();
    QTest::newRow("prefix without slash")
        << u"%1home.js"_s << QByteArray() << 0 << QByteArray() << QByteArray() << QByteArray();
    QTest::newRow("console, trailing slash")
        << u"/admin/"_s << QByteArray() << 0 << QByteArray() << QByteArray() << QByteArray();
    QTest::newRow("a short link") << u"/abc123"_s << QByteArray() << 0 << QByteArray() << QByteArray() << QByteArray();
}

void WebAppTest::served()
{
    QFETCH(QString, path);
    QFETCH(QByteArray, acceptLanguage);
    QFETCH(int, status);
    QFETCH(QByteArray, contentType);
    QFETCH(QByteArray, caching);
    QFETCH(QByteArray, contains);

    HttpRequest request;
    request.path = path.contains(u"%1"_s) ? path.arg(m_web.staticPrefix()) : path;
    request.acceptLanguage = acceptLanguage;
    const std::optional<HttpReply> reply = m_web.reply(request);
    if (status == 0) {
        QVERIFY(!reply);
        return;
    }
    QVERIFY(reply);
    QCOMPARE(reply->status, status);
    QVERIFY2(reply->contentType.startsWith(contentType), reply->contentType.constData());
    QCOMPARE(header(*reply, "Cache-Control"), caching);
    QVERIFY(reply->body.contains(contains));
    const QByteArray etag = header(*reply, "ETag");
    QVERIFY(etag.startsWith('"') && etag.endsWith('"') && etag.size() > 10);
    if (caching == "no-cache") {
        QVERIFY(header(*reply, "Content-Security-Policy").startsWith("default-src 'self';"));
        QVERIFY(header(*reply, "Content-Security-Policy").contains("frame-ancestors 'none'"));
        QCOMPARE(header(*reply, "X-Frame-Options"), "DENY"_ba);
        QVERIFY(!reply->body.contains("<script>") && !reply->body.contains("style="));
        QVERIFY(reply->body.contains(QByteArray(m_web.staticPrefix().toUtf8() + '/')));
    }

    // Revalidated with its own tag: 304 with the tag and no body; with another tag, the whole again.
    request.ifNoneMatch = "\"other\", " + etag;
    const std::optional<HttpReply> again = m_web.reply(request);
    QCOMPARE(again->status, 304);
    QVERIFY(again->body.isEmpty());
    QCOMPARE(header(*again, "ETag"), etag);
    request.ifNoneMatch = "\"other\"";
    QCOMPARE(m_web.reply(request)->body, reply->body);
}

void WebAppTest::everyTextInEveryLanguage()
{
    QCOMPARE(m_web.missingTexts(), QStringList());
    HttpRequest request;
    for (const QByteArray& language : {"zh"_ba, "en"_ba}) {
        request.acceptLanguage = language;
        for (const QString& path : {u"/"_s, u"/admin"_s}) {
            request.path = path;
            const QByteArray body = m_web.reply(request)->body;
            QVERIFY2(!body.contains("{{"), qPrintable(path));
            // The scripts' texts ride in the page, whole JSON with no '<' that could end the block.
            const qsizetype from = body.indexOf(R"(<script type="application/json" id="texts">)") + 43;
            const QByteArray texts = body.sliced(from, body.indexOf("</script>", from) - from);
            QVERIFY2(!texts.contains('<') && QJsonDocument::fromJson(texts).object().contains(u"links.none"_s),
                qPrintable(path));
        }
    }
    // The asset version follows the content: 12 hex digits after /static/.
    QVERIFY(QRegularExpression(u"^/static/[0-9a-f]{12}$"_s).match(m_web.staticPrefix()).hasMatch());
}

QTEST_GUILESS_MAIN(WebAppTest)
#include "tst_webapp.moc"
