#pragma once

#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// A throw-away PostgreSQL cluster for tests: initdb in a temporary folder, a free loopback port,
// its socket in the same folder. Run as root (as CI does), the server runs as the postgres user.
// A guard process watches the test process and stops the cluster and removes the folder when the
// test ends in any way, a crash or SIGKILL included; stop() and the destructor do it sooner.
class PgCluster
{
public:
    PgCluster();
    ~PgCluster();
    PgCluster(const PgCluster&) = delete;
    PgCluster& operator=(const PgCluster&) = delete;

    // initdb (once) and pg_ctl start; false with errorString() when the cluster cannot run.
    bool start();
    // Fast shutdown: clients are disconnected, committed work stays.
    bool stop();
    // pg_ctl restart -m fast: every connection is cut, and the server answers again when it returns.
    bool restart();
    bool isRunning() const { return m_running; }
    // Runs one SQL command as the superuser, e.g. "CREATE DATABASE links"; false on failure.
    bool execute(const QString& database, const QString& sql);
    // A new empty database and its address for --database.
    QString createDatabase(const QString& name);

    QString url(const QString& database) const; // postgresql://postgres@127.0.0.1:PORT/database
    quint16 port() const { return m_port; }
    QString errorString() const { return m_error; }

    // Where initdb, pg_ctl and psql are: on PATH, or Debian's /usr/lib/postgresql/<version>/bin.
    static QString binDir();

private:
    bool run(const QString& tool, const QStringList& arguments, bool asServerUser, QString* output = nullptr);
    void startGuard();

    QTemporaryDir m_root;
    quint16 m_port = 0;
    bool m_initialised = false;
    bool m_running = false;
    QString m_error;
};
