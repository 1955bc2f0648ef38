#pragma once

#include <QList>
#include <QString>
#include <QStringList>

class QSqlDatabase;

namespace Shortd
{

// One step of a store's schema. Steps only ever get appended: a released step never changes,
// because databases out there have already applied it.
struct Migration {
    int version = 0;
    QString description;
    QStringList statements;
};

enum class SqlDialect {
    Sqlite,
    Postgres,
};

const QList<Migration>& sqliteMigrations();
const QList<Migration>& postgresMigrations();
const QList<Migration>& migrationsFor(SqlDialect dialect);

// Brings the database to the newest version in one transaction and records each step applied in
// schema_migrations. Concurrent callers queue: on PostgreSQL behind an advisory lock, on SQLite
// behind the write lock. A database newer than this program is refused. False with *error otherwise.
bool applyMigrations(const QSqlDatabase& db, SqlDialect dialect, QString* error);

// For a database only read: true when its schema is the newest this program knows, false with
// *error otherwise (it is not brought up to date).
bool checkSchema(const QSqlDatabase& db, SqlDialect dialect, QString* error);

// The newest version recorded in schema_migrations, 0 for none, -1 when unreadable.
int schemaVersion(const QSqlDatabase& db);

} // namespace Shortd
