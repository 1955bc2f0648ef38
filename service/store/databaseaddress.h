#pragma once

#include <QString>
#include <QStringView>
#include <optional>

namespace Shortd
{

// Which database holds the links, from --database:
//   sqlite:PATH (or nothing: the embedded file in the data directory)
//   postgresql://[user[:password]@]host[:port]/dbname[?sslmode=...&connect_timeout=...]
//   postgresql:///dbname?host=/run/postgresql        (a socket directory)
// Left-out parts follow libpq's conventions (PGPASSWORD, ~/.pgpass, PGSSLMODE...).
struct DatabaseAddress {
    enum class Kind {
        Sqlite,
        Postgres,
    };
    Kind kind = Kind::Sqlite;
    QString sqlitePath; // empty: links.sqlite in the data directory
    QString host; // a name, an address or a socket directory; empty: libpq's default
    int port = -1;
    QString user;
    QString password;
    QString database;
    QString connectOptions; // "key=value;key=value" for Qt's PostgreSQL driver

    // The embedded store in the file at path.
    static DatabaseAddress sqliteFile(QString path);

    bool isPostgres() const { return kind == Kind::Postgres; }
    // For messages and logs: the address without its password.
    QString display() const;
};

// nullopt with *error saying why when the text is not a usable address; the error never repeats
// a password.
std::optional<DatabaseAddress> parseDatabaseAddress(QStringView text, QString* error);

} // namespace Shortd
