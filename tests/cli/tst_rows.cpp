#include "cannedserver.h"
#include "displaytext.h"
#include "expand.h"
#include "row.h"
#include "webclient.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTest>
#include <tuple>
#include <utility>

using namespace Nolvex::Cli;

// What a hostile service may say (its link, its refusal, its API's detail, where it redirects), in
// every form the terminal client writes it: each row is one line, nothing in it acts on a terminal,
// and jsonl gives the words back whole.
class TestRows final : public QObject
{
    Q_OBJECT

private slots:
    void serverWords_data();
    void serverWords();
    void whereServersPoint();
};

void TestRows::serverWords_data()
{
    QTest::addColumn<QString>("format"); // a format's name, or "stderr" for the line beside it
    QTest::addColumn<bool>("link"); // the value is the row's link, else its failure's message
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("shown"); // what the formats other than jsonl show of it

    const QList<std::tuple<const char*, QString, QString>> values {
        {"window title", QStringLiteral("a\x1b]0;owned\x07"), QStringLiteral("a<U+001B>]0;owned<U+0007>")},
        {"C1 CSI", QString::fromUtf16(u"a\u009b2J"), QStringLiteral("a<U+009B>2J")},
        {"bidi override", QString::fromUtf16(u"a\u202Egpj.exe"), QStringLiteral("a<U+202E>gpj.exe")},
        {"line break", QStringLiteral("https://s.example/a\nb"), QStringLiteral("https://s.example/a<U+000A>b")},
        {"tab and DEL", QStringLiteral("a\tb\x7f"), QStringLiteral("a<U+0009>b<U+007F>")},
        {"Chinese", QString::fromUtf16(u"\u7F51\u5740"), QString::fromUtf16(u"\u7F51\u5740")},
    };
    const std::initializer_list<std::pair<const char*, bool>> places
        = {{"text", true}, {"tsv", true}, {"csv", true}, {"jsonl", true}, {"jsonl", false}, {"stderr", false}};
    for (const auto& [name, value, shown] : values) {
        for (const auto& [format, link] : places) {
            QTest::addRow("%s, %s, %s", name, link ? "link" : "message", format)
                << QString::fromLatin1(format) << link << value << shown;
        }
    }
}

void TestRows::serverWords()
{
    QFETCH(QString, format);
    QFETCH(bool, link);
    QFETCH(QString, value);
    QFETCH(QString, shown);

    const Row row {.line = 7,
        .input = QStringLiteral("https://a.example/"),
        .shortLink = link ? value : QString(),
        .failure = link ? Failure::None : Failure::Refused,
        .message = link ? QString() : value};
    const std::optional<Format> known = formatFromName(format);
    const QString written = known ? QString::fromUtf8(formatRow(*known, row)) : Messages::failureLine(row) + u'\n';
    // The row's own line end and, in tsv, the one separator are the only controls a line may hold.
    const QString end = format == u"csv" ? QStringLiteral("\r\n") : QStringLiteral("\n");
    QVERIFY2(written.endsWith(end), qPrintable(written));
    QString line = written.chopped(end.size());
    if (format == u"tsv") {
        QCOMPARE(line.count(u'\t'), 1);
        line.remove(u'\t');
    }
    QCOMPARE(forTerminal(line), line); // nothing in it acts on a terminal
    if (format == u"jsonl") {
        const QJsonObject object = QJsonDocument::fromJson(written.toUtf8()).object();
        QCOMPARE(object.value(link ? u"short" : u"message").toString(), value);
    } else {
        QVERIFY2(line.endsWith(shown), qPrintable(line));
    }
}

// A Location decodes to any character at all: --expand prints it, and so does a refused redirect.
void TestRows::whereServersPoint()
{
    CannedServer server;
    QVERIFY(server.start());
    // It points at itself: each hop is printed until the walk gives up.
    server.setReply(CannedServer::response(302, {}, "text/plain", "Location: /b%C2%9B2J%E2%80%AEgpj%1B%5D0\r\n"));
    Nolvex::WebClient web;
    QStringList lines;
    Expander expander(web, std::chrono::seconds(10), [&lines](const QString& line) { lines.append(line); });
    QSignalSpy finished(&expander, &Expander::finished);
    expander.start({server.origin() + QStringLiteral("/a")});
    QVERIFY(finished.wait());
    QVERIFY(lines.size() > 2);
    QVERIFY2(lines.at(1).contains(QStringLiteral("/b<U+009B>2J<U+202E>gpj")), qPrintable(lines.at(1)));
    QCOMPARE(forTerminal(lines.join(u'|')), lines.join(u'|'));

    const QString text
        = Messages::redirectNotFollowed(QUrl(QStringLiteral("http://elsewhere.example/%C2%9B2J%E2%80%AE")));
    QVERIFY2(text.endsWith(QStringLiteral("http://elsewhere.example/<U+009B>2J<U+202E>")), qPrintable(text));
}

QTEST_GUILESS_MAIN(TestRows)
#include "tst_rows.moc"
