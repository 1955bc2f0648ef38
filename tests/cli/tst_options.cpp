#include "options.h"

#include <QTest>

using namespace Nolvex::Cli;
using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

class TestOptions final : public QObject
{
    Q_OBJECT

private slots:
    void readCommandLine_data();
    void readCommandLine();
};

void TestOptions::readCommandLine_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("status"); // -1: a run
    QTest::addColumn<QString>("expected"); // a run: "mode jobs timeout-ms"; else a part of the message

    const QString a = u"https://a.example/"_s;
    QTest::newRow("no mode option: the default mode") << QStringList {a} << -1 << u"0 4 15000"_s;
    QTest::newRow("a mode's own time limit") << QStringList {u"--slow"_s} << -1 << u"2 4 3000"_s;
    QTest::newRow("--timeout wins over it")
        << QStringList {u"--slow"_s, u"--timeout"_s, u"0.25"_s} << -1 << u"2 4 250"_s;
    QTest::newRow("values read") << QStringList {u"--fast"_s, u"-j"_s, u"64"_s, a} << -1 << u"1 64 15000"_s;
    QTest::newRow("two modes") << QStringList {u"--slow"_s, u"--fast"_s} << 2
                               << u"--fast and --slow do not go together"_s;
    QTest::newRow("the mode's check") << QStringList {u"--fast"_s} << 2 << u"fast needs a link"_s;
    QTest::newRow("a value before the mode") << QStringList {u"--fast"_s, u"-j"_s, u"0"_s} << 2 << u"--jobs"_s;
    QTest::newRow("settings after usage")
        << QStringList {u"--shorten-host"_s, u"http://b.example"_s, a} << 3 << u"--shorten-host"_s;
}

void TestOptions::readCommandLine()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, status);
    QFETCH(QString, expected);
    // Modes of a made-up command: adding one is a row of this list and nothing else.
    const QList<ModeOption> modes {
        {{}, {}, 15s, [](const Invocation& i) { return i.positional.isEmpty() ? u"no address"_s : QString(); }},
        {u"fast"_s, u"Fast."_s, 15s,
            [](const Invocation& i) { return i.positional.isEmpty() ? u"fast needs a link"_s : QString(); }},
        {u"slow"_s, u"Slow."_s, 3s, [](const Invocation&) { return QString(); }},
    };
    const CommandLine line = Nolvex::Cli::readCommandLine(QStringList {u"nolvex-shorten"_s} + arguments, {}, modes);
    if (status < 0) {
        QCOMPARE(int(line.kind), int(CommandLine::Kind::Run));
        const Invocation& run = line.invocation;
        QCOMPARE(u"%1 %2 %3"_s.arg(run.mode).arg(run.jobs).arg(run.timeout.count()), expected);
        return;
    }
    QCOMPARE(int(line.kind), int(CommandLine::Kind::Refuse));
    QCOMPARE(line.status, status);
    QVERIFY2(line.message.contains(expected), qPrintable(line.message));
}

QTEST_APPLESS_MAIN(TestOptions)
#include "tst_options.moc"
