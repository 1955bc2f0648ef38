#include "cannedserver.h"
#include "config.h"
#include "displaytext.h"
#include "links/fields.h"
#include "ops/operatorcommands.h"
#include "ops/storeopener.h"
#include "opsrun.h"

#include <QBuffer>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <unistd.h>

using namespace Qt::StringLiterals;
using namespace Shortd;

namespace
{
using Run = OpsRun;

const QString Hostile = u"https://e.com/\x1b]0;owned\x07\x1b[2J"_s;

Run runCommand(const QStringList& arguments)
{
    return runOps(arguments);
}

std::unique_ptr<Store> openStore(const QString& database)
{
    const ConfigResult config = parseConfig({u"nolvex-shortd"_s, u"--database"_s, database}, {});
    Result<std::unique_ptr<Store>> store = openLinkStore(config.config, StoreAccess::Create);
    if (!store) {
        qWarning("%s", qPrintable(store.fault().english));
        return {};
    }
    return std::move(store).value();
}

QFileDevice::Permissions modeOf(const QString& path)
{
    return QFile::permissions(path)
        & (QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner | QFileDevice::ReadGroup
            | QFileDevice::WriteGroup | QFileDevice::ExeGroup | QFileDevice::ReadOther | QFileDevice::WriteOther
            | QFileDevice::ExeOther);
}
} // namespace

// What the operator commands do beyond the listing table of tst_shortdops: help everywhere, reasons
// kept and bounded, terminal output that cannot drive the terminal, private files, read-only stores.
class OperatorCommandsTest final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void terminalText_data();
    void terminalText();
    void help_data();
    void help();
    void commands_data();
    void commands();
    void privateFiles();
    void readOnly_data();
    void readOnly();
    void check_data();
    void check();

private:
    // A fresh SQLite database holding a plain link, two disabled ones (by an operator, by its creator) and one of
    // hostile text.
    QString freshDatabase();

    QTemporaryDir m_dir;
    int m_databases = 0;
};

void OperatorCommandsTest::initTestCase()
{
    QVERIFY(m_dir.isValid());
}

QString OperatorCommandsTest::freshDatabase()
{
    QString database = u"sqlite:"_s + m_dir.filePath(u"db%1/links.sqlite"_s.arg(++m_databases));
    const std::unique_ptr<Store> store = openStore(database);
    if (!store) {
        return {};
    }
    QList<StoredLink> links {
        {u"aaaaaa"_s, 0, u"https://example.com/a"_s, 1'767'225'600, 5, LinkState::Active, {}, 0},
        {u"bbbbbb"_s, 1, u"https://phish.example/"_s, 1'767'312'000, 40, LinkState::Disabled, u"phishing"_s, 1},
        {u"eeeeee"_s, 2, Hostile, 1'767'398'400, 70, LinkState::Disabled, u"\x1b[31mred\u009b2J"_s, 1},
        {u"cccccc"_s, 4, u"https://example.com/c"_s, 1'767'225'600, 0, LinkState::Disabled, u"see evil.example"_s, 1},
    };
    // Taken down by an operator; cccccc by its creator's key.
    links[1].disabledBy = u"shell:ops"_s;
    links[1].takedown = true;
    links[3].owner = u"deploy"_s;
    links[3].disabledBy = u"key:deploy"_s;
    for (const StoredLink& link : links) {
        if (store->linkArchive()->restoreLink(link) != StoreStatus::Ok) {
            qWarning("%s", qPrintable(store->lastError()));
            return {};
        }
    }
    return database;
}

void OperatorCommandsTest::terminalText_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("shown");
    QTest::newRow("plain and Chinese") << u"https://例子.测试/a b"_s << u"https://例子.测试/a b"_s;
    QTest::newRow("title and clear screen") << Hostile << u"https://e.com/<U+001B>]0;owned<U+0007><U+001B>[2J"_s;
    QTest::newRow("NUL, TAB, line breaks") << u"a\0b\tc\nd\re"_s << u"a<U+0000>b<U+0009>c<U+000A>d<U+000D>e"_s;
    QTest::newRow("DEL and C1") << u"a\u007fb\u0080c\u009bd\u009fe"_s << u"a<U+007F>b<U+0080>c<U+009B>d<U+009F>e"_s;
    QTest::newRow("what the preview shows too") << u"a\u202eb\u200bc\ufeff"_s << u"a<U+202E>b<U+200B>c<U+FEFF>"_s;
    QTest::newRow("edges left alone") << u"\u0020\u007e\u00a0\u00ff"_s << u"\u0020\u007e\u00a0\u00ff"_s;
}

void OperatorCommandsTest::terminalText()
{
    QFETCH(QString, text);
    QFETCH(QString, shown);
    QCOMPARE(forTerminal(text), shown);
}

void OperatorCommandsTest::help_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("usage"); // how standard output starts
    QTest::addColumn<QString>("holds");
    const QStringList commands {u"links list"_s, u"links show"_s, u"links set"_s, u"links disable"_s, u"links enable"_s,
        u"links release"_s, u"links delete"_s, u"links export"_s, u"links import"_s, u"stats"_s, u"blocks list"_s,
        u"blocks remove"_s, u"reports list"_s, u"reports dismiss"_s, u"audit list"_s, u"audit verify"_s};
    for (const QString& command : commands) {
        QTest::addRow("%s", qPrintable(command))
            << (command.split(u' ') << u"--help"_s) << u"Usage: nolvex-shortd "_s + command << u"--database"_s;
    }
    for (const QString& asked : {u"--help"_s, u"-h"_s, u"help"_s}) {
        QTest::addRow("links %s", qPrintable(asked))
            << QStringList {u"links"_s, asked} << u"Usage: nolvex-shortd links COMMAND"_s << u"  import FILE|-"_s;
    }
    QTest::newRow("import names its file")
        << QStringList {u"links"_s, u"import"_s, u"-h"_s} << u"Usage: nolvex-shortd links import [options] FILE|-"_s
        << u"FILE|-            The file to read"_s;
    QTest::newRow("disable names its limit")
        << QStringList {u"links"_s, u"disable"_s, u"-h"_s} << u"Usage: nolvex-shortd links disable [options] CODE"_s
        << u"at most 1000 characters"_s;
}

void OperatorCommandsTest::help()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, usage);
    QFETCH(QString, holds);
    const Run run = runCommand(arguments);
    QVERIFY2(run.status == OpsDone && run.err.isEmpty(), qPrintable(run.err));
    QVERIFY2(run.out.startsWith(usage), qPrintable(run.out));
    QVERIFY2(run.out.contains(holds), qPrintable(run.out));
}

void OperatorCommandsTest::commands_data()
{
    QTest::addColumn<QStringList>("arguments"); // then, as a second command: CHECK and what follows
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("out"); // what the (second) command's output holds
    QTest::addColumn<QString>("err");

    const QString atLimit(MaximumReasonLength, u'r');
    const QStringList show {u"CHECK"_s, u"links"_s, u"show"_s};
    // The destination blocked: its host in lower case with the link's kept reason, or its address normalised.
    const QStringList blocks {u"CHECK"_s, u"blocks"_s, u"list"_s};
    QTest::newRow("disable blocks the host")
        << (QStringList {u"links"_s, u"disable"_s, u"bbbbbb"_s, u"--block"_s, u"host"_s} + blocks) << 0
        << u" phish.example  phishing\n"_s << u"blocked: phish.example"_s;
    QTest::newRow("disable blocks the address")
        << (QStringList {u"links"_s, u"disable"_s, u"aaaaaa"_s, u"--block"_s, u"address"_s, u"--reason"_s, u"spam"_s}
               + blocks)
        << 0 << u" https://example.com/a  spam\n"_s << u"blocked: https://example.com/a"_s;
    QTest::newRow("disable blocks what is not there") << QStringList {u"links"_s, u"disable"_s, u"aaaaaa"_s,
        u"--block"_s, u"site"_s} << 2 << QString() << u"--block is address or host"_s;
    QTest::newRow("dismiss what nobody reported")
        << QStringList {u"reports"_s, u"dismiss"_s, u"aaaaaa"_s} << 1 << QString() << u"no open report of aaaaaa"_s;
    // The operator's changes in the audit log, and the log checked.
    const QStringList audit {u"CHECK"_s, u"audit"_s, u"list"_s, u"--format"_s, u"csv"_s};
    QTest::newRow("a disable audited as the shell's")
        << (QStringList {u"links"_s, u"disable"_s, u"aaaaaa"_s, u"--reason"_s, u"spam"_s} + audit) << 0
        << uR"(,link.disabled,aaaaaa,"{""reason"":"""",""state"":""active""}","{""reason"":""spam"",""state"":""disabled""}")"_s
        << u"aaaaaa: disabled"_s;
    QTest::newRow("an enable listed as json") << (QStringList {
        u"links"_s, u"enable"_s, u"bbbbbb"_s, u"CHECK"_s, u"audit"_s, u"list"_s, u"--format"_s, u"json"_s})
                                              << 0 << uR"([
{"action":"link.enabled","actor":"shell:)"_s << QString();
    QTest::newRow("verify after a change")
        << (QStringList {u"links"_s, u"delete"_s, u"aaaaaa"_s, u"CHECK"_s, u"audit"_s, u"verify"_s}) << 0 << QString()
        << QString();
    QTest::newRow("verify an empty log") << QStringList {u"audit"_s, u"verify"_s} << 0 << QString()
                                         << u"the audit log is empty"_s;
    QTest::newRow("audit since no date") << QStringList {u"audit"_s, u"list"_s, u"--since"_s, u"yesterday"_s} << 2
                                         << QString() << u"--since is a date"_s;
    QTest::newRow("remove what is not listed")
        << QStringList {u"blocks"_s, u"remove"_s, u"phish.example"_s} << 1 << QString() << u"is not on the list"_s;
    QTest::newRow("disable keeps the reason")
        << (QStringList {u"links"_s, u"disable"_s, u"bbbbbb"_s} + show + QStringList {u"bbbbbb"_s}) << 0
        << u"reason:  phishing\n"_s << u"bbbbbb: disabled"_s;
    QTest::newRow("reason at the limit") << (QStringList {u"links"_s, u"disable"_s, u"aaaaaa"_s, u"--reason"_s, atLimit}
        + show + QStringList {u"aaaaaa"_s})
                                         << 0 << u"reason:  "_s + atLimit + u'\n' << QString();
    QTest::newRow("reason over the limit")
        << (QStringList {u"links"_s, u"disable"_s, u"aaaaaa"_s, u"--reason"_s, atLimit + u'r'} + show
               + QStringList {u"aaaaaa"_s})
        << 2 << u"state:   active"_s << u"--reason is at most 1000 characters; this one has 1001"_s;
    // links COMMAND CODE [MORE], then the link shown.
    const auto shown = [&show](const QString& command, const QString& code, const QStringList& more = {}) {
        return QStringList {u"links"_s, command, code} + more + show + QStringList {code};
    };
    QTest::newRow("disable keeps no reason its creator wrote")
        << shown(u"disable"_s, u"cccccc"_s) << 0 << u"owner:   deploy\nby:      shell:"_s << u"cccccc: disabled"_s;
    QTest::newRow("disable keeps who did it") << shown(u"disable"_s, u"aaaaaa"_s, {u"--reason"_s, u"spam"_s}) << 0
                                              << u"reason:  spam\nby:      shell:"_s << u"aaaaaa: disabled"_s;
    QTest::newRow("enable forgets who did it")
        << shown(u"enable"_s, u"bbbbbb"_s) << 0 << u"state:   active\naddress"_s << u"bbbbbb: active"_s;
    QTest::newRow("a title with a bidirectional override refused")
        << shown(u"set"_s, u"aaaaaa"_s, {u"--title"_s, u"abc\u202egnp.exe"_s}) << 2 << u"state:   active"_s
        << u"the title is not at most 200 characters without control characters, bidirectional"_s;
    QTest::newRow("a tag with a lone surrogate refused")
        << shown(u"set"_s, u"aaaaaa"_s, {u"--tag"_s, u"ok"_s, u"--tag"_s, u"x"_s + QChar(0xD800)}) << 2
        << u"state:   active"_s << u"a tag is not 1 to 40 characters"_s;
    QTest::newRow("show escapes") << QStringList {u"links"_s, u"show"_s, u"eeeeee"_s} << 0
                                  << u"address: https://e.com/<U+001B>]0;owned<U+0007><U+001B>[2J\n"
                                     u"created: 2026-01-03T00:00:00Z\nvisits:  70\nreason:  <U+001B>[31mred<U+009B>2J"_s
                                  << QString();
    QTest::newRow("list escapes") << QStringList {u"links"_s, u"list"_s, u"--type"_s,
        u"2"_s} << 0 << u"2026-01-03 00:00 -                https://e.com/<U+001B>]0;owned<U+0007><U+001B>[2J\n"_s
                                  << QString();
    QTest::newRow("stats escapes") << QStringList {u"stats"_s, u"--top"_s, u"1"_s} << 0
                                   << u"https://e.com/<U+001B>]0;owned<U+0007><U+001B>[2J\n"_s << QString();
    QTest::newRow("messages escape") << QStringList {u"links"_s, u"enable"_s, u"eeeeee"_s} << 0 << QString()
                                     << u"eeeeee: active (https://e.com/<U+001B>]0;owned"_s;
    QTest::newRow("json keeps the data") << QStringList {u"links"_s, u"list"_s, u"--format"_s, u"json"_s} << 0
                                         << u"\"target\":\"https://e.com/\\u001b]0;owned\\u0007\\u001b[2J\""_s
                                         << QString();
    QTest::newRow("csv keeps the data") << QStringList {u"links"_s, u"export"_s, u"--format"_s, u"csv"_s} << 0
                                        << u"eeeeee,2,"_s + Hostile + u',' << QString();
}

void OperatorCommandsTest::commands()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, status);
    QFETCH(QString, out);
    QFETCH(QString, err);
    const QString database = freshDatabase();
    QVERIFY(!database.isEmpty());
    const QStringList where {u"--database"_s, database};

    const qsizetype check = arguments.indexOf(u"CHECK"_s);
    const Run first = runCommand((check < 0 ? arguments : arguments.first(check)) + where);
    QVERIFY2(first.status == status, qPrintable(u"status %1: %2"_s.arg(first.status).arg(first.err)));
    QVERIFY2(first.err.contains(err), qPrintable(first.err));
    const Run shown = check < 0 ? first : runCommand(arguments.sliced(check + 1) + where);
    QVERIFY2(shown.out.contains(out), qPrintable(shown.out));
    // Whatever the format, nothing but the exact data formats carries an escape character.
    if (!arguments.contains(u"csv"_s)) {
        QVERIFY(!shown.out.contains(u'\x1b') && !first.err.contains(u'\x1b'));
    }
}

// A command that makes the store makes it the owner's alone; folders that were there keep their modes.
void OperatorCommandsTest::privateFiles()
{
    const QString parent = m_dir.filePath(u"shared"_s);
    QVERIFY(QDir().mkdir(parent));
    QVERIFY(QFile::setPermissions(parent,
        QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner | QFileDevice::ReadOther
            | QFileDevice::ExeOther));
    const QString file = parent + u"/a/b/links.sqlite"_s;
    QFile input(m_dir.filePath(u"one.jsonl"_s));
    QVERIFY(input.open(QIODevice::WriteOnly));
    input.write(R"({"code":"aaaaaa","type":1,"target":"https://e.com/","created":"2026-01-01T00:00:00Z","visits":0,)"
                R"("state":"active"})"
                "\n");
    input.close();
    const Run imported = runCommand({u"links"_s, u"import"_s, input.fileName(), u"--database"_s, u"sqlite:"_s + file});
    QVERIFY2(imported.status == OpsDone, qPrintable(imported.err));

    const QFileDevice::Permissions folder = QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner;
    const QFileDevice::Permissions data = QFileDevice::ReadOwner | QFileDevice::WriteOwner;
    QCOMPARE(modeOf(parent), folder | QFileDevice::ReadOther | QFileDevice::ExeOther);
    QCOMPARE(modeOf(parent + u"/a"_s), folder);
    QCOMPARE(modeOf(parent + u"/a/b"_s), folder);
    QCOMPARE(modeOf(file), data);
    // SQLite's files beside it, while a store has it open.
    const std::unique_ptr<Store> store = openStore(u"sqlite:"_s + file);
    QVERIFY(store);
    QCOMPARE(modeOf(file + u"-wal"_s), data);
    QCOMPARE(modeOf(file + u"-shm"_s), data);
}

void OperatorCommandsTest::readOnly_data()
{
    QTest::addColumn<bool>("writerOpen"); // another process has the store open: it has -wal and -shm files
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("out");
    QTest::addColumn<QString>("err");
    for (const bool writerOpen : {false, true}) {
        const char* state = writerOpen ? "in use" : "at rest";
        const auto row
            = [&](const char* name, const QStringList& arguments, int status, const QString& out, const QString& err) {
                  QTest::addRow("%s, %s", state, name) << writerOpen << arguments << status << out << err;
              };
        row("list", {u"links"_s, u"list"_s}, 0, u"https://example.com/a"_s, {});
        row("show", {u"links"_s, u"show"_s, u"bbbbbb"_s}, 0, u"reason:  phishing"_s, {});
        row("export", {u"links"_s, u"export"_s, u"--format"_s, u"csv"_s}, 0, u"aaaaaa,0,https://example.com/a"_s, {});
        row("stats", {u"stats"_s}, 0, u"disabled 3, deleted 0)\nvisits: 115 by people (0 new visitors)\nbots: 0\n"_s,
            {});
        row("disable refused", {u"links"_s, u"disable"_s, u"aaaaaa"_s}, 1, {},
            u"cannot be written here (a read-only file or folder)"_s);
    }
}

// Commands that only read work on a store no one may write: a read-only folder or medium. Root
// ignores file modes, so there the folder is bound read-only in a mount namespace of its own.
void OperatorCommandsTest::readOnly()
{
    QFETCH(bool, writerOpen);
    QFETCH(QStringList, arguments);
    QFETCH(int, status);
    QFETCH(QString, out);
    QFETCH(QString, err);
    const bool root = ::geteuid() == 0;
    if (root && QProcess::execute(u"unshare"_s, {u"-m"_s, u"true"_s}) != 0) {
        QSKIP("running as root, which ignores file modes, and no mount namespace (unshare -m) for a read-only "
              "bind mount");
    }
    const QString database = freshDatabase();
    QVERIFY(!database.isEmpty());
    const QString file = database.sliced(7);
    const QString folder = QFileInfo(file).absolutePath();
    // A link the writer has committed but not yet copied from its log into the file.
    std::unique_ptr<Store> writer;
    if (writerOpen) {
        writer = openStore(database);
        QVERIFY(writer);
        QCOMPARE(
            writer->linkArchive()->restoreLink({u"ffffff"_s, 0, u"https://example.com/f"_s, 1, 0}), StoreStatus::Ok);
        QVERIFY(QFile::exists(file + u"-shm"_s));
    }
    const QStringList command
        = QStringList {QStringLiteral(NOLVEX_SHORTD_BINARY)} + arguments + QStringList {u"--database"_s, database};
    QProcess process;
    if (root) {
        process.start(u"unshare"_s,
            QStringList {u"-m"_s, u"sh"_s, u"-c"_s,
                u"mount --bind \"$1\" \"$1\" && mount -o remount,ro,bind \"$1\" && shift && exec \"$@\""_s, u"sh"_s,
                folder}
                + command);
    } else {
        QVERIFY(QFile::setPermissions(folder, QFileDevice::ReadOwner | QFileDevice::ExeOwner));
        QVERIFY(QFile::setPermissions(file, QFileDevice::ReadOwner));
        process.start(command.first(), command.sliced(1));
    }
    QVERIFY(process.waitForFinished(60'000));
    QFile::setPermissions(folder, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    const QString stdOut = QString::fromUtf8(process.readAllStandardOutput());
    const QString stdErr = QString::fromUtf8(process.readAllStandardError());
    QVERIFY2(process.exitCode() == status, qPrintable(stdErr));
    QVERIFY2(stdOut.contains(out), qPrintable(stdOut));
    QVERIFY2(stdErr.contains(err), qPrintable(stdErr));
    if (writerOpen && status == OpsDone && arguments.contains(u"list"_s)) {
        QVERIFY2(stdOut.contains(u"https://example.com/f"_s), qPrintable(stdOut));
    }
}

void OperatorCommandsTest::check_data()
{
    QTest::addColumn<QString>("target"); // {A}: the local server's origin
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QStringList>("environment"); // besides a readable list "bad" that holds evil.example
    QTest::addColumn<int>("status");
    QTest::addColumn<QStringList>("shown"); // each in standard output or error
    QTest::addColumn<int>("requests"); // the server was asked this often

    const QStringList on {u"kkkkkk"_s, u"--check-private"_s, u"on"_s};
    const QStringList plain {u"kkkkkk"_s};
    const QString refused = u"outcome:  refused-address\nstatus:   none\nfinal:    {A}/ok\nhop:      - {A}/ok\n"
                            u"refused:  127.0.0.1 (loopback)\n"_s;
    QTest::newRow("answers 200") << u"{A}/ok"_s << on << QStringList {} << 0
                                 << QStringList {u"code:     kkkkkk\naddress:  {A}/ok\noutcome:  ok\nstatus:   200\n"
                                                 u"final:    {A}/ok\nhop:      200 {A}/ok\n"_s,
                                        u"\ndead:     no\n"_s}
                                 << 1;
    QTest::newRow("404 counts toward dead")
        << u"{A}/gone"_s << on << QStringList {} << 0
        << QStringList {u"outcome:  http-error\nstatus:   404\n"_s, u"\ndead:     yes"_s} << 1;
    QTest::newRow("redirect to a listed host")
        << u"{A}/go"_s << on << QStringList {} << 0
        << QStringList {u"final:    http://evil.example/landing\nhop:      302 {A}/go\nhop:      - "
                        u"http://evil.example/landing\nlisted:   bad: evil.example"_s}
        << 1;
    QTest::newRow("private refused, never contacted")
        << u"{A}/ok"_s << plain << QStringList {} << 0 << QStringList {refused} << 0;
    QTest::newRow("the service's setting") << u"{A}/ok"_s << plain << QStringList {u"NOLVEX_SHORTD_CHECK_PRIVATE=on"_s}
                                           << 0 << QStringList {u"outcome:  ok\n"_s} << 1;
    QTest::newRow("a missing code") << u"{A}/ok"_s << QStringList {u"zzzzzz"_s} << QStringList {} << 1
                                    << QStringList {u"no link zzzzzz"_s} << 0;
    QTest::newRow("lists that cannot be read")
        << u"{A}/ok"_s << on << QStringList {u"NOLVEX_SHORTD_BLOCKLIST=bad=/nonexistent/list.txt"_s} << 1
        << QStringList {u"nothing checked"_s} << 0;
}

// One check of a link's destination against a local server.
void OperatorCommandsTest::check()
{
    QFETCH(QString, target);
    QFETCH(QStringList, arguments);
    QFETCH(QStringList, environment);
    QFETCH(int, status);
    QFETCH(QStringList, shown);
    QFETCH(int, requests);

    CannedServer server;
    server.setHandler([](const QByteArray& request) {
        const QByteArray path = CannedServer::target(request);
        return path == "/gone" ? CannedServer::response(404, "gone", "text/plain")
            : path == "/go" ? CannedServer::response(302, {}, "text/plain", "Location: http://evil.example/landing\r\n")
                            : CannedServer::response(200, "fine", "text/plain");
    });
    QVERIFY(server.start());
    const QString database = freshDatabase();
    QVERIFY(!database.isEmpty());
    {
        const std::unique_ptr<Store> store = openStore(database);
        QVERIFY(store);
        const StoredLink link {u"kkkkkk"_s, 0, target.replace(u"{A}"_s, server.origin()), 1'767'225'600, 0};
        QCOMPARE(store->linkArchive()->restoreLink(link), StoreStatus::Ok);
    }
    QFile list(m_dir.filePath(u"check-list.txt"_s));
    QVERIFY(list.open(QIODevice::WriteOnly));
    list.write("# the test's list\nevil.example\n");
    list.close();
    QProcessEnvironment env;
    env.insert(u"NOLVEX_SHORTD_BLOCKLIST"_s, u"bad="_s + list.fileName());
    for (const QString& variable : environment) {
        env.insert(variable.section(u'=', 0, 0), variable.section(u'=', 1));
    }
    const Run run
        = runOps(QStringList {u"links"_s, u"check"_s} + arguments + QStringList {u"--database"_s, database}, env);
    QVERIFY2(run.status == status, qPrintable(u"status %1: %2"_s.arg(run.status).arg(run.err)));
    for (QString text : shown) {
        text.replace(u"{A}"_s, server.origin());
        QVERIFY2(run.out.contains(text) || run.err.contains(text), qPrintable(run.out + run.err));
    }
    QCOMPARE(server.requests().size(), requests);
}

QTEST_GUILESS_MAIN(OperatorCommandsTest)
#include "tst_operatorcommands.moc"
