#include "cannedserver.h"
#include "command.h"
#include "linesource.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QTest>

using namespace Nolvex::Cli;
using namespace Qt::StringLiterals;

namespace
{

QByteArray success()
{
    return CannedServer::response(200, R"({"result":"1","info":"https://s.example/Ab1","message":""})");
}

QString writeFile(const QTemporaryDir& dir, const QByteArray& bytes)
{
    QString path = dir.filePath(QStringLiteral("in.txt"));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size()) {
        return {};
    }
    return path;
}

} // namespace

class TestLineSource final : public QObject
{
    Q_OBJECT

private slots:
    void rowPerLine_data();
    void rowPerLine();
    void closedOutputStopsTheBatch();
};

void TestLineSource::rowPerLine_data()
{
    QTest::addColumn<QByteArray>("bytes"); // the input file
    QTest::addColumn<QStringList>("rows"); // "line input error" of each output row, in order

    const QByteArray a = "https://a.example/";
    const QString shown = QString::fromLatin1(a) + QString(62, u'x') + u'…'; // the first 80 bytes of the line
    const auto longLine = [&](qsizetype length) -> QByteArray { return a + QByteArray(length - a.size(), 'x'); };
    QTest::newRow("200 KB line between two")
        << a + "1\n" + longLine(200'000) + "\n" + a + "3\n"
        << QStringList {u"1 https://a.example/1 "_s, u"2 "_s + shown + u" too-long"_s, u"3 https://a.example/3 "_s};
    QTest::newRow("one byte over 64 KiB") << longLine(LineSource::MaxLineBytes + 1) + "\n" + a
            + "2\n" << QStringList {u"1 "_s + shown + u" too-long"_s, u"2 https://a.example/2 "_s};
    QTest::newRow("10 MB last line without a line end") << a + "1\n"
            + longLine(10'000'000) << QStringList {u"1 https://a.example/1 "_s, u"2 "_s + shown + u" too-long"_s};
    QTest::newRow("Latin-1 byte") << a + "caf\xe9\n" + a
            + "2\n" << QStringList {u"1 https://a.example/caf\uFFFD invalid-utf8"_s, u"2 https://a.example/2 "_s};
    QTest::newRow("UTF-8 cut short") << a + "\xe4\xb8\n"
                                     << QStringList {u"1 https://a.example/\uFFFD\uFFFD invalid-utf8"_s};
    QTest::newRow("not UTF-8 in a comment: skipped") << "#caf\xe9\n" + a + "2\n"
                                                     << QStringList {u"2 https://a.example/2 "_s};
    QTest::newRow("CRLF") << a + "1\r\n" + a + "2\r\n"
                          << QStringList {u"1 https://a.example/1 "_s, u"2 https://a.example/2 "_s};
    QTest::newRow("byte order mark on the first line") << "\xEF\xBB\xBF" + a + "1\r\n"
                                                       << QStringList {u"1 https://a.example/1 "_s};
    QTest::newRow("blank lines and comments: no row") << "\n \t\r\n# note\n" + a + "4\n\n"
                                                      << QStringList {u"4 https://a.example/4 "_s};
}

void TestLineSource::rowPerLine()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QStringList, rows);
    CannedServer server;
    QVERIFY(server.start());
    server.setReply(success());
    QTemporaryDir dir;
    QTemporaryFile out;
    QTemporaryFile err;
    QVERIFY(out.open() && err.open());
    ShortenCommand command(Streams {&out, &err, false, false});
    QSignalSpy finished(&command, &ShortenCommand::finished);
    command.start({u"nolvex-shorten"_s, u"-q"_s, u"-f"_s, u"jsonl"_s, u"--shorten-host"_s, server.origin(), u"-i"_s,
                      writeFile(dir, bytes)},
        {});
    QVERIFY(finished.wait(60000));
    out.seek(0);
    QStringList seen;
    for (const QByteArray& line : out.readAll().split('\n')) {
        const QJsonObject row = QJsonDocument::fromJson(line).object();
        if (!row.isEmpty()) {
            seen.append(QString::number(row[u"line"].toInteger()) + u' ' + row[u"input"].toString() + u' '
                + row[u"error"].toString());
        }
    }
    QCOMPARE(seen, rows);
}

// `nolvex-shorten … | head -1`: the rows nobody reads are not asked for.
void TestLineSource::closedOutputStopsTheBatch()
{
    constexpr int Lines = 100000; // seconds of work: the pipe closes long before the end
    CannedServer server;
    QVERIFY(server.start());
    server.setReply(success());
    QTemporaryDir dir;
    QByteArray input;
    for (int i = 0; i < Lines; ++i) {
        input += "https://a.example/" + QByteArray::number(i) + '\n';
    }
    QProcess process;
    QSignalSpy finished(&process, &QProcess::finished);
    // As a shell runs it, with the client's own status passed on.
    process.start(u"bash"_s,
        {u"-c"_s, u"\"$@\" | head -n 1; exit \"${PIPESTATUS[0]}\""_s, u"bash"_s, QStringLiteral(NOLVEX_SHORTEN_BINARY),
            u"-q"_s, u"-j"_s, u"2"_s, u"--shorten-host"_s, server.origin(), u"-i"_s, writeFile(dir, input)});
    QVERIFY(finished.wait(60000));
    QCOMPARE(process.readAllStandardOutput(), QByteArray("https://s.example/Ab1\n"));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), int(OutputClosed));
    const QString says = QString::fromUtf8(process.readAllStandardError());
    const QRegularExpressionMatch match
        = QRegularExpression(u"stopped after (\\d+) rows written of (\\d+) lines read"_s).match(says);
    QVERIFY2(match.hasMatch(), qPrintable(says));
    const int written = match.captured(1).toInt();
    const int read = match.captured(2).toInt();
    QVERIFY(written >= 1 && written <= read && read < Lines);
    QVERIFY(server.requests().size() <= read);
}

QTEST_GUILESS_MAIN(TestLineSource)
#include "tst_linesource.moc"
