#include "ops/operatorcommands.h"
#include "opsrun.h"
#include "store/storeopening.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;
using namespace Shortd;

// keys create, list and revoke, run in-process on a fresh SQLite database a row, made before the
// commands as the service makes it when it first starts.
class KeyCommandsTest final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(m_dir.isValid()); }
    void keys_data();
    void keys();

private:
    QTemporaryDir m_dir;
    int m_databases = 0;
};

void KeyCommandsTest::keys_data()
{
    // Commands run in turn, split at "THEN"; the last one's status and output are checked, every
    // earlier one must succeed. "MISSING" first: no database is made, and none may be made.
    // DATABASE in err is the database's path.
    QTest::addColumn<QStringList>("commands");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("out"); // a pattern the last command's standard output matches
    QTest::addColumn<QString>("err"); // text its standard error holds
    const QStringList create {u"keys"_s, u"create"_s, u"--name"_s, u"ci-bot"_s, u"--role"_s, u"creator"_s};
    const QStringList then {u"THEN"_s};
    const QStringList list {u"keys"_s, u"list"_s};
    const QStringList revoke {u"keys"_s, u"revoke"_s, u"ci-bot"_s};

    QTest::newRow("create prints the key alone, and names the database")
        << create << 0 << u"\\Anvx_[A-Za-z0-9_-]{43}\\n\\z"_s << u"created in DATABASE; it is shown this once"_s;
    QTest::newRow("create makes no database")
        << (QStringList {u"MISSING"_s} + create) << 1 << u"\\A\\z"_s << u"no database at DATABASE: check --data-dir"_s;
    QTest::newRow("list shows the prefix, never the key")
        << (create + then + list) << 0
        << u"\\ANAME +ROLE +PREFIX .*STATE\\nci-bot +creator +nvx_[A-Za-z0-9_-]{6} +\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d +- +- +active\\n\\z"_s
        << QString();
    QTest::newRow("with an end") << (create + QStringList {u"--expires"_s, u"2099-01-02"_s} + then + list) << 0
                                 << u" 2099-01-02 00:00 +active\\n"_s << QString();
    QTest::newRow("list json")
        << (create + then + list + QStringList {u"--format"_s, u"json"_s}) << 0
        << u"\"expires\": null,\\s+\"lastUsed\": null,\\s+\"name\": \"ci-bot\",\\s+\"prefix\": \"nvx_.{6}\",\\s+\"role\": \"creator\",\\s+\"state\": \"active\""_s
        << QString();
    QTest::newRow("name in use refused") << (create + then + create) << 1 << u"\\A\\z"_s
                                         << u"a key named ci-bot exists"_s;
    QTest::newRow("revoked name stays taken")
        << (create + then + revoke + then + create) << 1 << u"\\A\\z"_s << u"a key named ci-bot exists"_s;
    QTest::newRow("revoke") << (create + then + revoke) << 0 << u"\\A\\z"_s << u"key ci-bot revoked"_s;
    QTest::newRow("revoked in the list") << (create + then + revoke + then + list) << 0 << u" revoked\\n"_s
                                         << QString();
    QTest::newRow("revoke twice") << (create + then + revoke + then + revoke) << 0 << u"\\A\\z"_s << u"revoked"_s;
    QTest::newRow("revoke unknown") << (create + then + revoke.first(2) + QStringList {u"other"_s}) << 1 << u"\\A\\z"_s
                                    << u"no key other"_s;
    QTest::newRow("revoke a name that cannot be")
        << QStringList {u"keys"_s, u"revoke"_s, u"\x1b[2J"_s} << 1 << u"\\A\\z"_s << u"no key <U+001B>[2J"_s;
    QTest::newRow("no role") << create.first(4) << 2 << u"\\A\\z"_s << u"--role is reader, creator or admin"_s;
    QTest::newRow("unknown role") << (create.first(5) + QStringList {u"owner"_s}) << 2 << u"\\A\\z"_s
                                  << u"--role is reader, creator or admin"_s;
    QTest::newRow("no name") << (create.first(2) + create.sliced(4)) << 2 << u"\\A\\z"_s << u"--name is 1 to 64"_s;
    QTest::newRow("name with a blank") << QStringList {u"keys"_s, u"create"_s, u"--name"_s, u"a b"_s, u"--role"_s,
        u"admin"_s} << 2 << u"\\A\\z"_s << u"--name is 1 to 64"_s;
    QTest::newRow("expires in the past") << (create + QStringList {u"--expires"_s, u"2001-01-01"_s}) << 2 << u"\\A\\z"_s
                                         << u"--expires is in the past"_s;
    QTest::newRow("expires not a date") << (create + QStringList {u"--expires"_s, u"soon"_s}) << 2 << u"\\A\\z"_s
                                        << u"--expires is a date"_s;
    QTest::newRow("list format") << (list + QStringList {u"--format"_s, u"csv"_s}) << 2 << u"\\A\\z"_s
                                 << u"--format is table or json"_s;
    QTest::newRow("group help") << QStringList {u"keys"_s, u"--help"_s} << 0
                                << u"create .*\\n  list .*\\n  revoke NAME .*\\n"_s << QString();
    QTest::newRow("create help") << QStringList {u"keys"_s, u"create"_s, u"--help"_s} << 0
                                 << u"--name <NAME>.*--role <ROLE>.*--expires <DATE>"_s << QString();
}

void KeyCommandsTest::keys()
{
    QFETCH(QStringList, commands);
    QFETCH(int, status);
    QFETCH(QString, out);
    QFETCH(QString, err);
    const QString database = m_dir.filePath(u"db%1/links.sqlite"_s.arg(++m_databases));
    const QStringList where {u"--database"_s, u"sqlite:"_s + database};
    const bool missing = commands.value(0) == u"MISSING"_s;
    if (missing) {
        commands.removeFirst();
    } else {
        QString error;
        QVERIFY2(openLinkStore(DatabaseAddress::sqliteFile(database), {}, false, StoreAccess::Create, &error),
            qPrintable(error));
    }
    err.replace(u"DATABASE"_s, database);
    QStringList keys;
    OpsRun run;
    for (qsizetype start = 0; start < commands.size();) {
        const qsizetype end = commands.indexOf(u"THEN"_s, start);
        const QStringList command = commands.mid(start, end < 0 ? -1 : end - start);
        // Help runs alone, without the database.
        run = runOps(command.contains(u"--help"_s) ? command : command + where);
        for (const QString& key : std::as_const(keys)) {
            QVERIFY2(!run.out.contains(key) && !run.err.contains(key), "a key was shown again");
        }
        if (end < 0) {
            break;
        }
        QVERIFY2(run.status == OpsDone, qPrintable(run.err));
        if (command.at(1) == u"create") {
            keys.append(run.out.trimmed());
        }
        start = end + 1;
    }
    QVERIFY2(run.status == status, qPrintable(u"status %1: %2"_s.arg(run.status).arg(run.err)));
    QVERIFY2(QRegularExpression(out, QRegularExpression::DotMatchesEverythingOption).match(run.out).hasMatch(),
        qPrintable(run.out));
    QVERIFY2(run.err.contains(err), qPrintable(run.err));
    QCOMPARE(QFile::exists(database), !missing);
    if (!run.out.trimmed().isEmpty()) {
        QVERIFY(!run.err.contains(run.out.trimmed()));
    }
}

QTEST_GUILESS_MAIN(KeyCommandsTest)
#include "tst_keycommands.moc"
