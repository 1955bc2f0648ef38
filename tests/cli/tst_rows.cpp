#include "cannedserver.h"
#include "displaytext.h"
#include "expand.h"
#include "row.h"
#include "webclient.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTest>

using namespace Nolvex::Cli;

// What a hostile service may say (its link, its refusal, its API's detail), in every format the
// terminal client writes: each row is one line, nothing in it acts on a terminal, and jsonl gives
// the words back whole.
class TestRows final : public QObject
{
    Q_OBJECT

private slots:
    void serverWords_data();
    void serverWords();
    void expandedHops();
    void redirectNamed();
};

namespace
{

// The row's own line end and, in tsv, the one separator are the only controls a line may hold.
QString withoutStructure(QString line, QStringView format)
{
    const QStringView end = format == u"csv" ? QStringView(u"\r\n") : QStringView(u"\n");
    if (!line.endsWith(end)) {
        return QStringLiteral("no line end");
    }
    line.chop(end.size());
    if (format == u"tsv") {
        if (line.count(u'\t') != 1) {
            return QStringLiteral("not two fields");
        }
        line.remove(u'\t');
    }
    return line;
}

} // namespace

void TestRows::serverWords_data()
{
    QTest::addColumn<QString>("format"); // a format's name, or "stderr" for the line beside it
    QTest::addColumn<QString>("field"); // the row's field that carries the value: link or message
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("shown"); // what text and stderr show of it

    const struct {
        const char* name;
        QString value;
        QString shown;
    } values[] = {
        {"window title", QStringLiteral("https://s.example/a\x1b]0;owned\x07"),
            QStringLiteral("https://s.example/a<U+001B>]0;owned<U+0007>")},
        {"clear screen", QStringLiteral("\x1b[2J\x1b[H"), QStringLiteral("<U+001B>[2J<U+001B>[H")},
        {"C1 CSI", QString::fromUtf16(u"https://s.example/\u009b2J"), QStringLiteral("https://s.example/<U+009B>2J")},
        {"bidi override", QString::fromUtf16(u"https://s.example/\u202Egpj.exe"),
            QStringLiteral("https://s.example/<U+202E>gpj.exe")},
        {"isolate", QString::fromUtf16(u"\u2066x\u2069"), QStringLiteral("<U+2066>x<U+2069>")},
        {"line break", QStringLiteral("https://s.example/a\nhttps://s.example/b"),
            QStringLiteral("https://s.example/a<U+000A>https://s.example/b")},
        {"carriage return", QStringLiteral("ok\rforged"), QStringLiteral("ok<U+000D>forged")},
        {"NUL", QString::fromUtf16(u"a\u0000b", 3), QStringLiteral("a<U+0000>b")},
        {"tab and DEL", QStringLiteral("a\tb\x7f"), QStringLiteral("a<U+0009>b<U+007F>")},
        {"quote, comma, backslash", QStringLiteral("\"a\",b\\c"), QStringLiteral("\"a\",b\\c")},
        {"Chinese", QString::fromUtf16(u"\u7F51\u5740\u4E0D\u5408\u6CD5"),
            QString::fromUtf16(u"\u7F51\u5740\u4E0D\u5408\u6CD5")},
    };
    for (const auto& entry : values) {
        for (const char* field : {"link", "message"}) {
            for (const char* format : {"text", "tsv", "csv", "jsonl", "stderr"}) {
                QTest::addRow("%s, %s, %s", entry.name, field, format)
                    << QString::fromLatin1(format) << QString::fromLatin1(field) << entry.value << entry.shown;
            }
        }
    }
}

void TestRows::serverWords()
{
    QFETCH(QString, format);
    QFETCH(QString, field);
    QFETCH(QString, value);
    QFETCH(QString, shown);

    Row row;
    row.line = 7;
    row.input = QStringLiteral("https://a.example/");
    if (field == u"link") {
        row.shortLink = value;
    } else {
        row.failure = Failure::Refused;
        row.message = value;
    }
    const std::optional<Format> known = formatFromName(format);
    const QString written = known ? QString::fromUtf8(formatRow(*known, row)) : Messages::failureLine(row) + u'\n';

    const QString line = withoutStructure(written, format);
    for (const QChar c : line) {
        QVERIFY2(!isShownAsCodePoint(c.unicode()), qPrintable(line));
    }
    if (format == u"jsonl") {
        QJsonParseError error {};
        const QJsonObject object = QJsonDocument::fromJson(written.toUtf8(), &error).object();
        QCOMPARE(error.error, QJsonParseError::NoError);
        QCOMPARE(object.value(field == u"link" ? u"short" : u"message").toString(), value);
    } else if (format == u"text" && field == u"link") {
        QCOMPARE(line, shown);
    } else if (format == u"stderr" && field == u"message") {
        QVERIFY2(line.endsWith(shown), qPrintable(line));
    }
}

// --expand prints where a server points; a Location decodes to any character at all.
void TestRows::expandedHops()
{
    CannedServer server;
    QVERIFY(server.start());
    server.setHandler([](const QByteArray& request) {
        return CannedServer::target(request) == "/a"
            ? CannedServer::response(302, {}, "text/plain", "Location: /b%C2%9B2J%E2%80%AEgpj%1B%5D0\r\n")
            : CannedServer::response(200, {}, "text/plain");
    });
    Nolvex::WebClient web;
    QStringList lines;
    Expander expander(web, std::chrono::seconds(10), [&lines](const QString& line) { lines.append(line); });
    QSignalSpy finished(&expander, &Expander::finished);
    expander.start({server.origin() + QStringLiteral("/a")});
    QVERIFY(finished.wait());
    QCOMPARE(lines.size(), 2);
    QVERIFY2(lines.at(1).contains(QStringLiteral("/b<U+009B>2J<U+202E>gpj")), qPrintable(lines.at(1)));
    for (const QString& line : lines) {
        for (const QChar c : line) {
            QVERIFY2(!isShownAsCodePoint(c.unicode()), qPrintable(line));
        }
    }
}

void TestRows::redirectNamed()
{
    const QString text
        = Messages::redirectNotFollowed(QUrl(QStringLiteral("http://elsewhere.example/%C2%9B2J%E2%80%AE")));
    QVERIFY2(text.endsWith(QStringLiteral("http://elsewhere.example/<U+009B>2J<U+202E>")), qPrintable(text));
}

QTEST_GUILESS_MAIN(TestRows)
#include "tst_rows.moc"
