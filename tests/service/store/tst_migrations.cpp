#include "pgcluster.h"
#include "store/migrations.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;
using namespace Shortd;

namespace
{
// A database as a release that knew only the steps up to `version` left it, with a link made under
// the first schema in it.
bool buildAtVersion(const QSqlDatabase& db, SqlDialect dialect, int version, QString* error)
{
    QStringList statements {u"CREATE TABLE schema_migrations (version integer PRIMARY KEY, description text NOT NULL, "
                            "applied_at bigint NOT NULL)"_s};
    for (const Migration& step : migrationsFor(dialect)) {
        if (step.version <= version) {
            statements << step.statements
                       << u"INSERT INTO schema_migrations VALUES (%1, 'step', 0)"_s.arg(step.version);
        }
        if (step.version == 1) {
            statements << (dialect == SqlDialect::Sqlite
                    ? u"INSERT INTO links VALUES ('before', 2, 'http://before.example/', 1700000000, 7)"_s
                    : u"INSERT INTO links VALUES ('before', 2, sha256(convert_to('http://before.example/', 'UTF8')), "
                      "'http://before.example/', 1700000000, 7)"_s);
        }
    }
    QSqlQuery query(db);
    for (const QString& sql : statements) {
        if (!query.exec(sql)) {
            *error = sql % u": "_s % query.lastError().text();
            return false;
        }
    }
    return true;
}
} // namespace

// Each release's database is brought to the newest schema whatever version it was left at, on both
// stores; a step added to one store's list and not the other's is caught here.
class MigrationsTest final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void listsAligned();
    void upgrade_data();
    void upgrade();

private:
    QTemporaryDir m_dir;
    PgCluster m_cluster;
    int m_databases = 0;
};

void MigrationsTest::initTestCase()
{
    QVERIFY2(m_cluster.start(), qPrintable(m_cluster.errorString()));
}

void MigrationsTest::listsAligned()
{
    const QList<Migration>& sqlite = migrationsFor(SqlDialect::Sqlite);
    const QList<Migration>& postgres = migrationsFor(SqlDialect::Postgres);
    QCOMPARE(sqlite.size(), postgres.size());
    for (qsizetype index = 0; index < sqlite.size(); ++index) {
        QCOMPARE(sqlite.at(index).version, index + 1);
        QCOMPARE(postgres.at(index).version, index + 1);
        QCOMPARE(sqlite.at(index).description, postgres.at(index).description);
    }
}

void MigrationsTest::upgrade_data()
{
    QTest::addColumn<int>("dialect");
    QTest::addColumn<int>("from");
    const int newest = static_cast<int>(migrationsFor(SqlDialect::Sqlite).size());
    for (const auto& [name, dialect] : {std::pair {"sqlite", SqlDialect::Sqlite}, {"postgres", SqlDialect::Postgres}}) {
        for (int from = 1; from < newest; ++from) {
            QTest::addRow("%s from %d", name, from) << static_cast<int>(dialect) << from;
        }
    }
}

void MigrationsTest::upgrade()
{
    QFETCH(int, dialect);
    QFETCH(int, from);
    const auto kind = SqlDialect(dialect);
    const QString name = u"db%1"_s.arg(++m_databases);
    {
        QSqlDatabase db;
        if (kind == SqlDialect::Sqlite) {
            db = QSqlDatabase::addDatabase(u"QSQLITE"_s, name);
            db.setDatabaseName(m_dir.filePath(name));
        } else {
            QVERIFY(!m_cluster.createDatabase(name).isEmpty());
            db = QSqlDatabase::addDatabase(u"QPSQL"_s, name);
            db.setHostName(u"127.0.0.1"_s);
            db.setPort(m_cluster.port());
            db.setUserName(u"postgres"_s);
            db.setDatabaseName(name);
        }
        QVERIFY2(db.open(), qPrintable(db.lastError().text()));
        QString error;
        QVERIFY2(buildAtVersion(db, kind, from, &error), qPrintable(error));
        QCOMPARE(schemaVersion(db), from);

        QVERIFY2(applyMigrations(db, kind, &error), qPrintable(error));
        const int newest = migrationsFor(kind).constLast().version;
        QCOMPARE(schemaVersion(db), newest);
        QVERIFY2(checkSchema(db, kind, &error), qPrintable(error));
        // Applied once: a second start finds nothing to do.
        QVERIFY2(applyMigrations(db, kind, &error), qPrintable(error));
        QSqlQuery count(u"SELECT count(*) FROM schema_migrations"_s, db);
        QVERIFY(count.next());
        QCOMPARE(count.value(0).toInt(), newest);
        QSqlQuery link(u"SELECT target || ' ' || visits || ' ' || state FROM links WHERE code = 'before'"_s, db);
        QVERIFY(link.next());
        QCOMPARE(link.value(0).toString(), u"http://before.example/ 7 0"_s);
        db.close();
    }
    QSqlDatabase::removeDatabase(name);
}

QTEST_GUILESS_MAIN(MigrationsTest)
#include "tst_migrations.moc"
