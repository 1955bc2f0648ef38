#include "protocol.h"
#include "settings.h"
#include "shorten.h"
#include "update.h"
#include "version.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QStringEncoder>
#include <QTemporaryDir>
#include <QTest>

using namespace Nolvex;

Q_DECLARE_METATYPE(AddressCheck)
Q_DECLARE_METATYPE(ShortenReply::Kind)
Q_DECLARE_METATYPE(UpdateStep)
Q_DECLARE_METATYPE(PromptOutcome)

namespace
{
QString json(const char* text)
{
    return QString::fromUtf8(text);
}
} // namespace

class TestLogic final : public QObject
{
    Q_OBJECT

private slots:
    void origins_data();
    void origins();
    void settingsPrecedence();
    void shippedTimeLimits();
    void settingsRefused_data();
    void settingsRefused();
    void addressCheck_data();
    void addressCheck();
    void requestAddress();
    void shortenReply_data();
    void shortenReply();
    void versionDecision_data();
    void versionDecision();
    void prompt_data();
    void prompt();
    void releasePage_data();
    void releasePage();
};

void TestLogic::origins_data()
{
    QTest::addColumn<QString>("setting");
    QTest::addColumn<QString>("origin"); // empty: refused
    QTest::newRow("host") << QStringLiteral("api.example.com") << QStringLiteral("https://api.example.com");
    QTest::newRow("host and port") << QStringLiteral("api.example.com:8443")
                                   << QStringLiteral("https://api.example.com:8443");
    QTest::newRow("explicit https") << QStringLiteral("https://api.example.com/")
                                    << QStringLiteral("https://api.example.com");
    QTest::newRow("http loopback v4") << QStringLiteral("http://127.0.0.1:8420")
                                      << QStringLiteral("http://127.0.0.1:8420");
    QTest::newRow("http loopback 127/8") << QStringLiteral("http://127.1.2.3") << QStringLiteral("http://127.1.2.3");
    QTest::newRow("http loopback v6") << QStringLiteral("http://[::1]:9000") << QStringLiteral("http://[::1]:9000");
    QTest::newRow("http localhost") << QStringLiteral("http://localhost:8420")
                                    << QStringLiteral("http://localhost:8420");
    QTest::newRow("http elsewhere refused") << QStringLiteral("http://api.example.com") << QString();
    QTest::newRow("http private address refused") << QStringLiteral("http://192.168.0.10") << QString();
    QTest::newRow("http lookalike of localhost refused")
        << QStringLiteral("http://localhost.evil.example") << QString();
    QTest::newRow("ftp refused") << QStringLiteral("ftp://api.example.com") << QString();
    QTest::newRow("path refused") << QStringLiteral("api.example.com/x") << QString();
    QTest::newRow("query refused") << QStringLiteral("https://api.example.com?x=1") << QString();
    QTest::newRow("user info refused") << QStringLiteral("https://u:p@api.example.com") << QString();
    QTest::newRow("empty refused") << QString() << QString();
    QTest::newRow("blank inside refused") << QStringLiteral("api example.com") << QString();
}

void TestLogic::origins()
{
    QFETCH(QString, setting);
    QFETCH(QString, origin);
    QString error;
    const std::optional<QString> result = originFromSetting(setting, &error);
    QCOMPARE(result.value_or(QString()), origin);
    QCOMPARE(error.isEmpty(), !origin.isEmpty());
}

void TestLogic::settingsPrecedence()
{
    // The administrator's file is below the environment and the command line, above what is compiled in.
    QTemporaryDir configDirs;
    QVERIFY(QDir(configDirs.path()).mkpath(QStringLiteral("second/nolvex")));
    QFile system(configDirs.filePath(QStringLiteral("second/nolvex/nolvex-shortener.conf")));
    QVERIFY(system.open(QIODevice::WriteOnly));
    system.write("shorten-host=system.example\nversion-host=system.example\nsite-host=site.system.example:8443\n");
    system.close();
    QProcessEnvironment environment;
    environment.insert(QStringLiteral("XDG_CONFIG_DIRS"),
        configDirs.filePath(QStringLiteral("first")) + u':' + configDirs.filePath(QStringLiteral("second")));
    environment.insert(QStringLiteral("NOLVEX_SHORTEN_HOST"), QStringLiteral("env.example"));
    environment.insert(QStringLiteral("NOLVEX_VERSION_HOST"), QStringLiteral("env-version.example"));
    environment.insert(QStringLiteral("NOLVEX_COMPANY_HOME"), QStringLiteral("https://company.example/"));
    const SettingsOutcome outcome = loadSettings(
        {QStringLiteral("nolvex-shortener"), QStringLiteral("--shorten-host"), QStringLiteral("http://127.0.0.1:1")},
        environment);
    QVERIFY2(outcome.settings.has_value(), qPrintable(outcome.message));
    QCOMPARE(outcome.settings->shortenOrigin, QStringLiteral("http://127.0.0.1:1"));
    QCOMPARE(outcome.settings->versionOrigin, QStringLiteral("https://env-version.example"));
    QCOMPARE(outcome.settings->companyHome, QUrl(QStringLiteral("https://company.example/")));
    QCOMPARE(outcome.settings->siteOrigin, QStringLiteral("https://site.system.example:8443"));
    QVERIFY(outcome.settings->makerHome.toString().startsWith(QStringLiteral("http://")));

    QVERIFY(system.open(QIODevice::WriteOnly | QIODevice::Truncate));
    system.write("maker-home=javascript:alert(1)\n");
    system.close();
    const SettingsOutcome refused = loadSettings({QStringLiteral("nolvex-shortener")}, environment);
    QVERIFY(!refused.settings.has_value());
    QVERIFY2(
        refused.message.startsWith(system.fileName() + QStringLiteral(" maker-home: ")), qPrintable(refused.message));

    const SettingsOutcome help = loadSettings({QStringLiteral("x"), QStringLiteral("--help")}, {});
    QVERIFY(help.helpRequested);
    for (const char* option : {"--shorten-host", "--version-host", "--site-host", "--maker-home", "--company-home"}) {
        QVERIFY2(help.message.contains(QLatin1StringView(option)), option);
    }
}

void TestLogic::shippedTimeLimits()
{
    // What the client ships with; tests of the limits themselves set them short.
    using namespace std::chrono_literals;
    const SettingsOutcome outcome = loadSettings({QStringLiteral("nolvex-shortener")}, {});
    QVERIFY2(outcome.settings.has_value(), qPrintable(outcome.message));
    QCOMPARE(outcome.settings->shortenTimeLimit, 15s);
    QCOMPARE(outcome.settings->versionCheckTimeLimit, 10s);
}

void TestLogic::settingsRefused_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("plain http service") << QStringList {
        QStringLiteral("--version-host"), QStringLiteral("http://api.example.com")};
    QTest::newRow("site with a path") << QStringList {QStringLiteral("--site-host"), QStringLiteral("x.example/a")};
    QTest::newRow("home page not a web address")
        << QStringList {QStringLiteral("--maker-home"), QStringLiteral("javascript:alert(1)")};
    QTest::newRow("home page file") << QStringList {
        QStringLiteral("--company-home"), QStringLiteral("file:///etc/passwd")};
    QTest::newRow("unknown option") << QStringList {QStringLiteral("--frobnicate")};
}

void TestLogic::settingsRefused()
{
    QFETCH(QStringList, arguments);
    arguments.prepend(QStringLiteral("nolvex-shortener"));
    const SettingsOutcome outcome = loadSettings(arguments, {});
    QVERIFY(!outcome.settings.has_value());
    QVERIFY(!outcome.helpRequested);
    QVERIFY(!outcome.message.isEmpty());
}

void TestLogic::addressCheck_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<AddressCheck>("check");
    QTest::newRow("empty") << QString() << AddressCheck::Empty;
    QTest::newRow("one blank is not empty") << QStringLiteral(" ") << AddressCheck::MissingScheme;
    QTest::newRow("bare host") << QStringLiteral("www.example.com") << AddressCheck::MissingScheme;
    QTest::newRow("capital scheme does not count")
        << QStringLiteral("HTTP://example.com") << AddressCheck::MissingScheme;
    QTest::newRow("http") << QStringLiteral("http://example.com") << AddressCheck::Ok;
    QTest::newRow("https") << QStringLiteral("https://example.com") << AddressCheck::Ok;
    QTest::newRow("scheme later in the text") << QStringLiteral("see http://example.com") << AddressCheck::Ok;
    QTest::newRow("https without slashes") << QStringLiteral("https:example.com") << AddressCheck::MissingScheme;
}

void TestLogic::addressCheck()
{
    QFETCH(QString, address);
    QFETCH(AddressCheck, check);
    QCOMPARE(checkAddress(address), check);
}

void TestLogic::requestAddress()
{
    const QString address = QString::fromUtf16(u"http://a.example/?q=\u4E2D&x=1#top %20+");
    // The token is computed independently here: MD5 over the GBK bytes of address + salt.
    using namespace Protocol;
    QStringEncoder gbk("GBK");
    const QByteArray bytes = gbk.encode(address + Salt.toString());
    const QString token
        = QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Md5).toHex().toUpper());
    QCOMPARE(shortenRequestAddress(QStringLiteral("https://s.example"), QStringLiteral("3"), address),
        u"https://s.example" % ShortenPath % u'?' % TypeKey % u"=3&" % UrlKey
            % u"=http%3A%2F%2Fa.example%2F%3Fq%3D%E4%B8%AD%26x%3D1%23top%20%2520%2B&" % TokenKey % u'=' % token);
}

void TestLogic::shortenReply_data()
{
    QTest::addColumn<QString>("reply");
    QTest::addColumn<ShortenReply::Kind>("kind");
    QTest::addColumn<QString>("text");
    using K = ShortenReply::Kind;
    QTest::newRow("number one") << json(R"({"result":1,"info":"https://u.test/a","message":""})") << K::Success
                                << QStringLiteral("https://u.test/a");
    QTest::newRow("text one") << json(R"({"result":"1","info":"https://u.test/b"})") << K::Success
                              << QStringLiteral("https://u.test/b");
    QTest::newRow("refusal") << json(R"({"result":0,"info":"","message":"网址不合法"})") << K::Refusal
                             << QString::fromUtf16(u"\u7F51\u5740\u4E0D\u5408\u6CD5");
    QTest::newRow("result two is a refusal")
        << json(R"({"result":2,"message":"busy"})") << K::Refusal << QStringLiteral("busy");
    QTest::newRow("result true is a refusal")
        << json(R"({"result":true,"message":"m"})") << K::Refusal << QStringLiteral("m");
    QTest::newRow("result 1.0 is success")
        << json(R"({"result":1.0,"info":"https://u.test/c"})") << K::Success << QStringLiteral("https://u.test/c");
    QTest::newRow("result ' 1' is a refusal")
        << json(R"({"result":" 1","message":"m"})") << K::Refusal << QStringLiteral("m");
    // A success whose link is not one http(s) address on one line is no success.
    const auto noLink = [](const char* name, const char* reply) {
        QTest::newRow(name) << json(reply) << ShortenReply::Kind::Unreadable << QString();
    };
    noLink("numeric info", R"({"result":1,"info":12345})");
    noLink("a lone space", R"({"result":1,"info":" "})");
    noLink("javascript", R"({"result":1,"info":"javascript:location='https://u.test/'"})");
    noLink("two links on two lines", R"({"result":1,"info":"https://u.test/a\nhttps://u.test/b"})");
    noLink("a bidi override", R"({"result":1,"info":"https://u.test/\u202egpj.exe"})");
    noLink("no host", R"({"result":1,"info":"https:///a"})");
    QTest::newRow("HTTP in capitals, a port, a Chinese path, a query")
        << json(R"({"result":1,"info":"HTTP://u.test:8443/\u77ed?b=1"})") << K::Success
        << QString::fromUtf16(u"HTTP://u.test:8443/\u77ed?b=1");
    QTest::newRow("missing result") << json(R"({"info":"x"})") << K::Unreadable << QString();
    QTest::newRow("null result") << json(R"({"result":null,"info":"x"})") << K::Unreadable << QString();
    QTest::newRow("success with an empty link") << json(R"({"result":1,"info":""})") << K::Unreadable << QString();
    QTest::newRow("missing info") << json(R"({"result":1})") << K::Unreadable << QString();
    QTest::newRow("object info") << json(R"({"result":1,"info":{"url":"x"}})") << K::Unreadable << QString();
    QTest::newRow("null message") << json(R"({"result":0,"message":null})") << K::Unreadable << QString();
    QTest::newRow("not json") << json("<html>502 Bad Gateway</html>") << K::Unreadable << QString();
    QTest::newRow("empty") << QString() << K::Unreadable << QString();
}

void TestLogic::shortenReply()
{
    QFETCH(QString, reply);
    QFETCH(ShortenReply::Kind, kind);
    QFETCH(QString, text);
    const ShortenReply read = readShortenReply(reply);
    QCOMPARE(read.kind, kind);
    QCOMPARE(kind == ShortenReply::Kind::Refusal ? read.message : read.info, text);
}

void TestLogic::versionDecision_data()
{
    QTest::addColumn<QString>("reply");
    QTest::addColumn<UpdateStep>("step");
    QTest::newRow("result text 0") << json(R"({"result":"0","info":{"version":"9","sid":"1","must":"1"}})")
                                   << UpdateStep::CheckFailed;
    QTest::newRow("result number 0") << json(R"({"result":0,"info":{"version":"9","sid":"1","must":"1"}})")
                                     << UpdateStep::CheckFailed;
    QTest::newRow("same version")
        << json(R"({"result":1,"info":{"version":"%1","sid":"1","must":"1"}})").arg(Protocol::CurrentVersion)
        << UpdateStep::UpToDate;
    QTest::newRow("same version as number")
        << json(R"({"result":1,"info":{"version":%1,"sid":1,"must":0}})").arg(Protocol::CurrentVersion)
        << UpdateStep::UpToDate;
    QTest::newRow("2.10 is another version")
        << json(R"({"result":1,"info":{"version":"2.10","sid":"1","must":"0"}})") << UpdateStep::OfferUpdate;
    QTest::newRow("older version") << json(R"({"result":"ok","info":{"version":"2.0","sid":"1","must":"0"}})")
                                   << UpdateStep::OfferUpdate;
    QTest::newRow("missing must") << json(R"({"result":1,"info":{"version":"3.0","sid":"1"}})")
                                  << UpdateStep::CheckFailed;
    QTest::newRow("info not an object") << json(R"({"result":1,"info":"3.0"})") << UpdateStep::CheckFailed;
    QTest::newRow("missing result") << json(R"({"info":{"version":"3.0","sid":"1","must":"0"}})")
                                    << UpdateStep::CheckFailed;
    QTest::newRow("not json") << json("Service Unavailable") << UpdateStep::CheckFailed;
}

void TestLogic::versionDecision()
{
    QFETCH(QString, reply);
    QFETCH(UpdateStep, step);
    QCOMPARE(decideUpdate(readVersionReply(reply)), step);
}

void TestLogic::prompt_data()
{
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<QString>("must");
    QTest::addColumn<PromptOutcome>("outcome");
    QTest::newRow("yes, optional") << true << QStringLiteral("0") << PromptOutcome::OpenReleasePageAndQuit;
    QTest::newRow("yes, mandatory") << true << QStringLiteral("1") << PromptOutcome::OpenReleasePageAndQuit;
    QTest::newRow("no, optional") << false << QStringLiteral("0") << PromptOutcome::Continue;
    QTest::newRow("no, mandatory") << false << QStringLiteral("1") << PromptOutcome::Quit;
    QTest::newRow("no, must is anything but 0") << false << QStringLiteral("False") << PromptOutcome::Quit;
}

void TestLogic::prompt()
{
    QFETCH(bool, accepted);
    QFETCH(QString, must);
    QFETCH(PromptOutcome, outcome);
    QCOMPARE(afterPrompt(accepted, must), outcome);
}

void TestLogic::releasePage_data()
{
    QTest::addColumn<QString>("sid");
    QTest::addColumn<QString>("url");
    const QString base = u"https://www.nolvex.example" % Protocol::ReleasePagePrefix;
    QTest::newRow("number") << QStringLiteral("42") << base + QStringLiteral("42");
    QTest::newRow("slash stays in its segment")
        << QStringLiteral("1/../../x") << base + QStringLiteral("1%2F..%2F..%2Fx");
    QTest::newRow("blank and quote") << QStringLiteral("a b\"") << base + QStringLiteral("a%20b%22");
    QTest::newRow("query cannot be injected") << QStringLiteral("1?x=1#f") << base + QStringLiteral("1%3Fx%3D1%23f");
}

void TestLogic::releasePage()
{
    QFETCH(QString, sid);
    QFETCH(QString, url);
    QCOMPARE(releasePageUrl(QStringLiteral("https://www.nolvex.example"), sid).toString(QUrl::FullyEncoded), url);
    QCOMPARE(updatePromptText(QStringLiteral("3.0")),
        QString::fromUtf16(u"\u53D1\u73B0\u6700\u65B0\u7248\u672C3.0\uFF0C\u662F\u5426\u73B0\u5728\u66F4\u65B0?"));
}

QTEST_APPLESS_MAIN(TestLogic)
#include "tst_logic.moc"
