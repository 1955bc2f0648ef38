#include "pgcluster.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpServer>
#include <QVersionNumber>
#include <pwd.h>
#include <unistd.h>

namespace
{
constexpr int ToolTimeoutMs = 150'000;
constexpr auto ServerUser = "postgres";

quint16 freeLoopbackPort()
{
    QTcpServer probe;
    return probe.listen(QHostAddress::LocalHost, 0) ? probe.serverPort() : quint16(0);
}

bool isRoot()
{
    return ::geteuid() == 0;
}

// initdb refuses to run as root, so as root the folder goes to the server's user.
bool handOver(const QString& path)
{
    if (!isRoot()) {
        return true;
    }
    const passwd* user = ::getpwnam(ServerUser);
    return user && ::chown(QFile::encodeName(path).constData(), user->pw_uid, user->pw_gid) == 0;
}
} // namespace

PgCluster::PgCluster() = default;

PgCluster::~PgCluster()
{
    stop();
}

QString PgCluster::binDir()
{
    const QString onPath = QStandardPaths::findExecutable(QStringLiteral("pg_ctl"));
    if (!onPath.isEmpty()) {
        return QFileInfo(onPath).canonicalPath();
    }
    // Debian keeps the server tools out of PATH, one folder per major version; take the newest.
    const QDir versions(QStringLiteral("/usr/lib/postgresql"));
    QString best;
    QVersionNumber bestVersion;
    for (const QString& entry : versions.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        const QVersionNumber version = QVersionNumber::fromString(entry);
        if (QFile::exists(versions.filePath(entry + QStringLiteral("/bin/pg_ctl"))) && version > bestVersion) {
            bestVersion = version;
            best = versions.filePath(entry + QStringLiteral("/bin"));
        }
    }
    return best;
}

bool PgCluster::run(const QString& tool, const QStringList& arguments, bool asServerUser, QString* output)
{
    const QString program = QDir(binDir()).filePath(tool);
    QProcess process;
    process.setWorkingDirectory(m_root.path());
    process.setProcessChannelMode(QProcess::MergedChannels);
    if (asServerUser && isRoot()) {
        process.setProgram(QStringLiteral("runuser"));
        process.setArguments(
            QStringList {QStringLiteral("-u"), QString::fromLatin1(ServerUser), QStringLiteral("--"), program}
            + arguments);
    } else {
        process.setProgram(program);
        process.setArguments(arguments);
    }
    process.start();
    const bool finished = process.waitForFinished(ToolTimeoutMs);
    const QString text = QString::fromLocal8Bit(process.readAll()).trimmed();
    if (output) {
        *output = text;
    }
    if (!finished || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        process.kill();
        process.waitForFinished();
        m_error = QStringLiteral("%1 failed: %2 %3").arg(tool, process.errorString(), text.right(2000));
        return false;
    }
    return true;
}

void PgCluster::startGuard()
{
    // Waits for this process to end however it ends, then stops the server and removes its folder.
    const QString data = m_root.filePath(QStringLiteral("data"));
    const QString pgCtl = QDir(binDir()).filePath(QStringLiteral("pg_ctl"));
    const QString stopCommand = isRoot()
        ? QStringLiteral("runuser -u %1 -- \"$2\" -D \"$3\" -m immediate stop").arg(QString::fromLatin1(ServerUser))
        : QStringLiteral("\"$2\" -D \"$3\" -m immediate stop");
    QProcess guard;
    guard.setProgram(QStringLiteral("/bin/sh"));
    guard.setArguments({QStringLiteral("-c"),
        QStringLiteral("tail --pid=\"$1\" -f /dev/null; ") + stopCommand + QStringLiteral("; rm -rf \"$4\""),
        QStringLiteral("pgcluster-guard"), QString::number(QCoreApplication::applicationPid()), pgCtl, data,
        m_root.path()});
    guard.setStandardInputFile(QProcess::nullDevice());
    guard.setStandardOutputFile(QProcess::nullDevice());
    guard.setStandardErrorFile(QProcess::nullDevice());
    guard.startDetached();
}

bool PgCluster::start()
{
    if (m_running) {
        return true;
    }
    if (binDir().isEmpty()) {
        m_error = QStringLiteral("PostgreSQL's server tools are not installed (Debian: postgresql-15)");
        return false;
    }
    if (!m_root.isValid() || !handOver(m_root.path())) {
        m_error = QStringLiteral("cannot prepare a folder for the cluster");
        return false;
    }
    const QString data = m_root.filePath(QStringLiteral("data"));
    if (!m_initialised) {
        if (!run(QStringLiteral("initdb"),
                {QStringLiteral("-D"), data, QStringLiteral("-U"), QStringLiteral("postgres"), QStringLiteral("-A"),
                    QStringLiteral("trust"), QStringLiteral("-E"), QStringLiteral("UTF8"),
                    QStringLiteral("--locale=C.UTF-8"), QStringLiteral("--no-sync"),
                    QStringLiteral("--no-instructions")},
                true)) {
            return false;
        }
        m_port = freeLoopbackPort();
        // Tests lose nothing to a machine crash, so the server need not wait for the disk.
        QFile config(data + QStringLiteral("/postgresql.conf"));
        if (!config.open(QIODevice::Append)) {
            m_error = QStringLiteral("cannot write postgresql.conf");
            return false;
        }
        config.write(QStringLiteral("listen_addresses = '127.0.0.1'\nport = %1\nunix_socket_directories = '%2'\n"
                                    "fsync = off\nfull_page_writes = off\nmax_connections = 200\n")
                         .arg(m_port)
                         .arg(m_root.path())
                         .toUtf8());
        config.close();
        startGuard();
        m_initialised = true;
    }
    if (!run(QStringLiteral("pg_ctl"),
            {QStringLiteral("-D"), data, QStringLiteral("-l"), m_root.filePath(QStringLiteral("server.log")),
                QStringLiteral("-w"), QStringLiteral("-t"), QStringLiteral("120"), QStringLiteral("start")},
            true)) {
        QFile log(m_root.filePath(QStringLiteral("server.log")));
        if (log.open(QIODevice::ReadOnly)) {
            m_error += QStringLiteral("\n") + QString::fromUtf8(log.readAll().right(2000));
        }
        return false;
    }
    m_running = true;
    return true;
}

bool PgCluster::stop()
{
    if (!m_running) {
        return true;
    }
    m_running = false;
    return run(QStringLiteral("pg_ctl"),
        {QStringLiteral("-D"), m_root.filePath(QStringLiteral("data")), QStringLiteral("-m"), QStringLiteral("fast"),
            QStringLiteral("-w"), QStringLiteral("stop")},
        true);
}

bool PgCluster::restart()
{
    return m_running
        && run(QStringLiteral("pg_ctl"),
            {QStringLiteral("-D"), m_root.filePath(QStringLiteral("data")), QStringLiteral("-l"),
                m_root.filePath(QStringLiteral("server.log")), QStringLiteral("-m"), QStringLiteral("fast"),
                QStringLiteral("-w"), QStringLiteral("restart")},
            true);
}

bool PgCluster::execute(const QString& database, const QString& sql)
{
    return run(QStringLiteral("psql"),
        {QStringLiteral("-X"), QStringLiteral("-q"), QStringLiteral("-v"), QStringLiteral("ON_ERROR_STOP=1"),
            QStringLiteral("-h"), QStringLiteral("127.0.0.1"), QStringLiteral("-p"), QString::number(m_port),
            QStringLiteral("-U"), QStringLiteral("postgres"), QStringLiteral("-d"), database, QStringLiteral("-c"),
            sql},
        false);
}

QString PgCluster::createDatabase(const QString& name)
{
    return execute(QStringLiteral("postgres"), QStringLiteral("CREATE DATABASE \"%1\"").arg(name)) ? url(name)
                                                                                                   : QString();
}

QString PgCluster::url(const QString& database) const
{
    return QStringLiteral("postgresql://postgres@127.0.0.1:%1/%2").arg(m_port).arg(database);
}
