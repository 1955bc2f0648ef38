#include "formbody.h"
#include "jsonreply.h"

#include <QTest>

using namespace Nolvex;

namespace
{
QString json(const char* text)
{
    return QString::fromUtf8(text);
}
} // namespace

class TestReply final : public QObject
{
    Q_OBJECT

private slots:
    void formBody_data();
    void formBody();
    void memberToText_data();
    void memberToText();
    void unusableReplies_data();
    void unusableReplies();
};

void TestReply::formBody_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("encoded");
    QTest::newRow("empty") << QString() << QString();
    QTest::newRow("product code") << QStringLiteral("sn=tkvr") << QStringLiteral("sn=tkvr");
    QTest::newRow("ascii specials pass") << QStringLiteral("a&b=c%d+e f") << QStringLiteral("a&b=c%d+e f");
    QTest::newRow("B0A1") << QString::fromUtf16(u"\u554A") << QStringLiteral("%B0%A1");
    QTest::newRow("run of hanzi, text around")
        << QString::fromUtf16(u"x=\u4E2D\u6587&y") << QStringLiteral("x=%D6%D0%CE%C4&y");
    QTest::newRow("unrepresentable passes as itself") << QString::fromUtf16(u"\u0E01") << QString::fromUtf16(u"\u0E01");
    QTest::newRow("euro is single-byte 0x80") << QString::fromUtf16(u"\u20AC") << QString::fromUtf16(u"\u20AC");
    QTest::newRow("e acute is double-byte") << QString::fromUtf16(u"\u00E9") << QStringLiteral("%A8%A6");
    QTest::newRow("trail byte below 0x10 unpadded") << QString::fromUtf16(u"\u3000") << QStringLiteral("%A1%A1");
}

void TestReply::formBody()
{
    QFETCH(QString, text);
    QFETCH(QString, encoded);
    QCOMPARE(EncodeFormBody(text), encoded);
}

void TestReply::memberToText_data()
{
    QTest::addColumn<QString>("json");
    QTest::addColumn<bool>("hasText");
    QTest::addColumn<QString>("text");
    QTest::newRow("text") << json(R"({"m":"https://x.example/a"})") << true << QStringLiteral("https://x.example/a");
    QTest::newRow("text one") << json(R"({"m":"1"})") << true << QStringLiteral("1");
    QTest::newRow("number one") << json(R"({"m":1})") << true << QStringLiteral("1");
    QTest::newRow("number one point zero") << json(R"({"m":1.0})") << true << QStringLiteral("1");
    QTest::newRow("number zero") << json(R"({"m":0})") << true << QStringLiteral("0");
    QTest::newRow("negative") << json(R"({"m":-12})") << true << QStringLiteral("-12");
    QTest::newRow("fraction shortest") << json(R"({"m":2.1})") << true << QStringLiteral("2.1");
    QTest::newRow("two point ten is 2.1") << json(R"({"m":2.10})") << true << QStringLiteral("2.1");
    QTest::newRow("big integral") << json(R"({"m":1234567890123})") << true << QStringLiteral("1234567890123");
    QTest::newRow("true") << json(R"({"m":true})") << true << QStringLiteral("True");
    QTest::newRow("false") << json(R"({"m":false})") << true << QStringLiteral("False");
    QTest::newRow("chinese") << json(R"({"m":"\u7f51\u5740\u4e0d\u5408\u6cd5"})") << true
                             << QString::fromUtf16(u"\u7F51\u5740\u4E0D\u5408\u6CD5");
    QTest::newRow("empty text") << json(R"({"m":""})") << true << QString();
    QTest::newRow("null") << json(R"({"m":null})") << false << QString();
    QTest::newRow("object") << json(R"({"m":{"a":1}})") << false << QString();
    QTest::newRow("array") << json(R"({"m":[1]})") << false << QString();
    QTest::newRow("missing") << json(R"({"n":"1"})") << false << QString();
}

void TestReply::memberToText()
{
    QFETCH(QString, json);
    QFETCH(bool, hasText);
    QFETCH(QString, text);
    const std::optional<QJsonObject> reply = EvaluateJsonReply(json);
    QVERIFY(reply.has_value());
    const std::optional<QString> member = memberText(*reply, u"m");
    QCOMPARE(member.has_value(), hasText);
    if (hasText) {
        QCOMPARE(*member, text);
    }
}

void TestReply::unusableReplies_data()
{
    QTest::addColumn<QString>("text");
    QTest::newRow("empty") << QString();
    QTest::newRow("blank") << QStringLiteral("  \r\n");
    QTest::newRow("not json") << QStringLiteral("result=1");
    QTest::newRow("truncated") << json(R"({"result":1,"info":"https://x)");
    QTest::newRow("html error page") << QStringLiteral(
        "<html><head><title>500 Internal Server Error</title></head><body>oops</body></html>");
    QTest::newRow("array") << json(R"([{"result":1}])");
    QTest::newRow("bare number") << QStringLiteral("1");
    QTest::newRow("bare string") << json(R"("1")");
    QTest::newRow("script, never run") << json(R"({"result":1,"info":(function(){return "x"})()})");
    QTest::newRow("trailing garbage") << json(R"({"result":1} x)");
    QString deep;
    for (int i = 0; i < 1025; ++i) {
        deep += QStringLiteral("{\"a\":");
    }
    deep += QStringLiteral("1") + QString(1025, QLatin1Char('}'));
    QTest::newRow("nesting 1025 deep") << deep;
}

void TestReply::unusableReplies()
{
    QFETCH(QString, text);
    QVERIFY(!EvaluateJsonReply(text).has_value());
}

QTEST_APPLESS_MAIN(TestReply)
#include "tst_reply.moc"
