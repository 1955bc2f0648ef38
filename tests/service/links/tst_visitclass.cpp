#include "links/visitclass.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

using namespace Shortd;
using namespace Qt::StringLiterals;

class TestVisitClass : public QObject
{
    Q_OBJECT

private slots:
    void userAgents_data();
    void userAgents();
    void listSamplesAreNotPeople();
    void words_data();
    void words();
    void givenPatterns();
};

void TestVisitClass::userAgents_data()
{
    QTest::addColumn<QByteArray>("userAgent");
    QTest::addColumn<VisitClass>("kind");
    const auto human = VisitClass::Human;
    const auto bot = VisitClass::Bot;
    const auto preview = VisitClass::Preview;
    QTest::newRow("Chrome, Windows") << "Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like "
                                        "Gecko) Chrome/120.0.0.0 Safari/537.36"_ba
                                     << human;
    QTest::newRow("Edge") << "Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) "
                             "Chrome/120.0.0.0 Safari/537.36 Edg/120.0.0.0"_ba
                          << human;
    QTest::newRow("Firefox, Linux") << "Mozilla/5.0 (X11; Linux x86_64; rv:121.0) Gecko/20100101 Firefox/121.0"_ba
                                    << human;
    QTest::newRow("Safari, macOS") << "Mozilla/5.0 (Macintosh; Intel Mac OS X 10_15_7) AppleWebKit/605.1.15 (KHTML, "
                                      "like Gecko) Version/17.2 Safari/605.1.15"_ba
                                   << human;
    QTest::newRow("Safari, iPhone") << "Mozilla/5.0 (iPhone; CPU iPhone OS 17_2 like Mac OS X) AppleWebKit/605.1.15 "
                                       "(KHTML, like Gecko) Version/17.2 Mobile/15E148 Safari/604.1"_ba
                                    << human;
    QTest::newRow("Chrome, Android") << "Mozilla/5.0 (Linux; Android 14; Pixel 8) AppleWebKit/537.36 (KHTML, like "
                                        "Gecko) Chrome/120.0.6099.144 Mobile Safari/537.36"_ba
                                     << human;
    QTest::newRow("WeChat's browser") << "Mozilla/5.0 (Linux; Android 13; V2227A Build/TP1A.220624.014; wv) "
                                         "AppleWebKit/537.36 (KHTML, like Gecko) Version/4.0 Chrome/107.0.5304.141 "
                                         "Mobile Safari/537.36 XWEB/5075 MMWEBSDK/20230405 MMWEBID/2585 "
                                         "MicroMessenger/8.0.35.2360(0x2800235B) WeChat/arm64 Weixin NetType/WIFI "
                                         "Language/zh_CN ABI/arm64"_ba
                                      << human;
    QTest::newRow("Facebook's in-app browser")
        << "Mozilla/5.0 (Linux; Android 14; SM-S918B Build/UP1A.231005.007; wv) AppleWebKit/537.36 (KHTML, like "
           "Gecko) Version/4.0 Chrome/120.0.6099.230 Mobile Safari/537.36 [FB_IAB/FB4A;FBAV/445.0.0.34.118;]"_ba
        << human;
    QTest::newRow("Facebook's card") << "facebookexternalhit/1.1 (+http://www.facebook.com/externalhit_uatext.php)"_ba
                                     << preview;
    QTest::newRow("iMessage's card") << "Mozilla/5.0 (Macintosh; Intel Mac OS X 10_11_1) AppleWebKit/601.2.4 (KHTML, "
                                        "like Gecko) Version/9.0.1 Safari/601.2.4 facebookexternalhit/1.1 Facebot "
                                        "Twitterbot/1.0"_ba
                                     << preview;
    QTest::newRow("X's card") << "Twitterbot/1.0"_ba << preview;
    QTest::newRow("Slack") << "Slackbot-LinkExpanding 1.0 (+https://api.slack.com/robots)"_ba << preview;
    QTest::newRow("Discord") << "Mozilla/5.0 (compatible; Discordbot/2.0; +https://discordapp.com)"_ba << preview;
    QTest::newRow("Telegram") << "TelegramBot (like TwitterBot)"_ba << preview;
    QTest::newRow("WhatsApp") << "WhatsApp/2.23.20.0 A"_ba << preview;
    QTest::newRow("LinkedIn")
        << "LinkedInBot/1.0 (compatible; Mozilla/5.0; Apache-HttpClient +http://www.linkedin.com)"_ba << preview;
    QTest::newRow("Mastodon") << "http.rb/5.1.1 (Mastodon/4.2.1; +https://mastodon.social/)"_ba << preview;
    QTest::newRow("Misskey (own list)") << "Misskey/2023.11.1 (https://misskey.io)"_ba << preview;
    QTest::newRow("Teams") << "Mozilla/5.0 (Windows NT 6.1; WOW64) SkypeUriPreview Preview/0.5"_ba << preview;
    QTest::newRow("Feedly") << "Feedly/1.0 (+http://www.feedly.com/fetcher.html; like FeedFetcher-Google)"_ba
                            << preview;
    QTest::newRow("Googlebot") << "Mozilla/5.0 (compatible; Googlebot/2.1; +http://www.google.com/bot.html)"_ba << bot;
    QTest::newRow("Googlebot, phone") << "Mozilla/5.0 (Linux; Android 6.0.1; Nexus 5X Build/MMB29P) "
                                         "AppleWebKit/537.36 (KHTML, like Gecko) Chrome/120.0.6099.129 Mobile "
                                         "Safari/537.36 (compatible; Googlebot/2.1; +http://www.google.com/bot.html)"_ba
                                      << bot;
    QTest::newRow("Bing") << "Mozilla/5.0 (compatible; bingbot/2.0; +http://www.bing.com/bingbot.htm)"_ba << bot;
    QTest::newRow("Baidu") << "Mozilla/5.0 (compatible; Baiduspider/2.0; +http://www.baidu.com/search/spider.html)"_ba
                           << bot;
    QTest::newRow("Ahrefs") << "Mozilla/5.0 (compatible; AhrefsBot/7.0; +http://ahrefs.com/robot/)"_ba << bot;
    QTest::newRow("GPTBot") << "Mozilla/5.0 AppleWebKit/537.36 (KHTML, like Gecko; compatible; GPTBot/1.0; "
                               "+https://openai.com/gptbot)"_ba
                            << bot;
    QTest::newRow("UptimeRobot") << "Mozilla/5.0+(compatible; UptimeRobot/2.0; http://www.uptimerobot.com/)"_ba << bot;
    QTest::newRow("Pingdom") << "Pingdom.com_bot_version_1.4_(http://www.pingdom.com/)"_ba << bot;
    QTest::newRow("headless Chrome") << "Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/537.36 (KHTML, like Gecko) "
                                        "HeadlessChrome/120.0.0.0 Safari/537.36"_ba
                                     << bot;
    QTest::newRow("curl") << "curl/8.5.0"_ba << bot;
    QTest::newRow("Wget") << "Wget/1.21.4"_ba << bot;
    QTest::newRow("python-requests") << "python-requests/2.31.0"_ba << bot;
    QTest::newRow("aiohttp") << "Python/3.11 aiohttp/3.9.1"_ba << bot;
    QTest::newRow("Go") << "Go-http-client/1.1"_ba << bot;
    QTest::newRow("Java (own list)") << "Java/17.0.9"_ba << bot;
    QTest::newRow("node-fetch") << "node-fetch/1.0 (+https://github.com/bitinn/node-fetch)"_ba << bot;
    QTest::newRow("no user agent") << QByteArray() << bot;
    QTest::newRow("blank user agent") << "  "_ba << bot;
}

void TestVisitClass::userAgents()
{
    QFETCH(QByteArray, userAgent);
    QFETCH(VisitClass, kind);
    QCOMPARE(classify(userAgent), kind);
}

void TestVisitClass::listSamplesAreNotPeople()
{
    // Every sample the public list carries must be told from a person; a pattern whose word is
    // found wrongly would let its samples through.
    QVERIFY(builtInClassifier().invalidPatterns().isEmpty());
    QFile file(u":/agents/crawler-user-agents.json"_s);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QJsonArray entries = QJsonDocument::fromJson(file.readAll()).array();
    QVERIFY(entries.size() > 500);
    QStringList missed;
    for (const QJsonValue entry : entries) {
        for (const QJsonValue sample : entry.toObject().value(u"instances"_s).toArray()) {
            if (classify(sample.toString().toUtf8()) == VisitClass::Human) {
                missed.append(sample.toString());
            }
        }
    }
    QVERIFY2(missed.isEmpty(), qPrintable(missed.join(u'\n')));
}

void TestVisitClass::words_data()
{
    QTest::addColumn<QString>("pattern");
    QTest::addColumn<QList<QByteArray>>("words");
    QTest::newRow("plain") << u"Googlebot\\/"_s << QList<QByteArray> {"Googlebot/"};
    QTest::newRow("class in front") << u"[wW]get"_s << QList<QByteArray> {"get"};
    QTest::newRow("optional letter ends the word") << u"AdsBot-Google([^-]|$)"_s << QList<QByteArray> {"AdsBot-Google"};
    QTest::newRow("optional atom dropped") << u"Feeds?Fetcher"_s << QList<QByteArray> {"Fetcher"};
    QTest::newRow("repeated class") << u"BlogTraffic\\/\\d\\.\\d+ Feed-Fetcher"_s
                                    << QList<QByteArray> {" Feed-Fetcher"};
    QTest::newRow("alternatives") << u"Automaton|Newsify Feed Fetcher"_s
                                  << QList<QByteArray> {"Automaton", "Newsify Feed Fetcher"};
    QTest::newRow("group with alternatives") << u"(sistrix|SISTRIX) [cC]rawler"_s << QList<QByteArray> {"rawler"};
    QTest::newRow("three letters are enough") << u"Y!J|Googlebot"_s << QList<QByteArray> {"Y!J", "Googlebot"};
    QTest::newRow("an alternative without a word") << u"^BW\\/|ab"_s << QList<QByteArray> {};
    QTest::newRow("inline options") << u"(?i)crawler"_s << QList<QByteArray> {};
}

void TestVisitClass::words()
{
    QFETCH(QString, pattern);
    QFETCH(QList<QByteArray>, words);
    QCOMPARE(requiredWords(pattern), words);
}

void TestVisitClass::givenPatterns()
{
    // Matched in full every time, and a preview still wins over a bot.
    const VisitClassifier classifier({{u"^X$"_s, VisitClass::Preview}, {u"^Y"_s, VisitClass::Bot},
        {u"(?i)robot"_s, VisitClass::Bot}, {u"Card[0-9]"_s, VisitClass::Preview}, {u"(broken"_s, VisitClass::Bot}});
    QCOMPARE(classifier.invalidPatterns(), QStringList {u"(broken"_s});
    QCOMPARE(classifier.classify("X"), VisitClass::Preview);
    QCOMPARE(classifier.classify("Yes"), VisitClass::Bot);
    QCOMPARE(classifier.classify("a ROBOT"), VisitClass::Bot);
    QCOMPARE(classifier.classify("Yes Card7"), VisitClass::Preview);
    QCOMPARE(classifier.classify("Card"), VisitClass::Human);
    QCOMPARE(classifier.classify("XY"), VisitClass::Human);
}

QTEST_APPLESS_MAIN(TestVisitClass)
#include "tst_visitclass.moc"
