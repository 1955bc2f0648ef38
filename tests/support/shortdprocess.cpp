#include "shortdprocess.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QSslSocket>
#include <QTcpServer>
#include <QThread>

namespace
{
constexpr int StartTimeoutMs = 15'000;
constexpr int StopTimeoutMs = 10'000;

quint16 freeLoopbackPort()
{
    QTcpServer probe;
    return probe.listen(QHostAddress::LocalHost, 0) ? probe.serverPort() : quint16(0);
}

QString readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}
} // namespace

ShortdProcess::ShortdProcess(QStringList extraArguments, QObject* parent)
    : QObject(parent)
    , m_extraArguments(std::move(extraArguments))
{
}

ShortdProcess::~ShortdProcess()
{
    stop();
}

QString ShortdProcess::binaryPath()
{
    return QStringLiteral(NOLVEX_SHORTD_BINARY);
}

bool ShortdProcess::usesTls() const
{
    return m_extraArguments.contains(QStringLiteral("--tls-cert"));
}

QString ShortdProcess::origin() const
{
    return (usesTls() ? QStringLiteral("https://127.0.0.1:%1") : QStringLiteral("http://127.0.0.1:%1")).arg(m_port);
}

QString ShortdProcess::dataDir() const
{
    return m_root.filePath(QStringLiteral("data"));
}

QString ShortdProcess::accessLogPath() const
{
    return m_root.filePath(QStringLiteral("access.log"));
}

bool ShortdProcess::isRunning() const
{
    return m_process.state() != QProcess::NotRunning;
}

bool ShortdProcess::start()
{
    if (!m_root.isValid()) {
        m_error = QStringLiteral("no temporary directory");
        return false;
    }
    // The probed port may be taken again before the service binds it; then another one is tried.
    for (int attempt = 0; attempt < 5; ++attempt) {
        m_port = freeLoopbackPort();
        if (m_port != 0 && launch()) {
            return true;
        }
    }
    return false;
}

bool ShortdProcess::restart()
{
    if (!stop()) {
        return false;
    }
    return launch();
}

bool ShortdProcess::launch()
{
    const QString errorLog = m_root.filePath(QStringLiteral("stderr.log"));
    QFile::remove(errorLog);
    m_process.setProgram(binaryPath());
    m_process.setArguments(QStringList {QStringLiteral("--listen"),
                               (m_everyAddress ? QStringLiteral(":%1") : QStringLiteral("127.0.0.1:%1")).arg(m_port),
                               QStringLiteral("--data-dir"), dataDir(), QStringLiteral("--access-log"), accessLogPath()}
        + m_extraArguments);
    // The tests make many links to the same few sites from one address: the limit of new links a
    // site an hour is off unless a test sets it (the command line wins over the environment).
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    if (!environment.contains(QStringLiteral("NOLVEX_SHORTD_HOST_CREATE_LIMIT"))) {
        environment.insert(QStringLiteral("NOLVEX_SHORTD_HOST_CREATE_LIMIT"), QStringLiteral("0"));
    }
    // Tests talk only to servers they start: the periodic destination checks, which would look up
    // and contact the made-up sites the tests shorten, are off unless a test turns them on.
    if (!environment.contains(QStringLiteral("NOLVEX_SHORTD_CHECK_PERIOD"))) {
        environment.insert(QStringLiteral("NOLVEX_SHORTD_CHECK_PERIOD"), QStringLiteral("0"));
    }
    m_process.setProcessEnvironment(environment);
    m_process.setStandardOutputFile(QProcess::nullDevice());
    m_process.setStandardErrorFile(errorLog);
    m_process.start();
    if (!m_process.waitForStarted(StartTimeoutMs)) {
        m_error = QStringLiteral("cannot start %1: %2").arg(binaryPath(), m_process.errorString());
        return false;
    }
    if (!waitUntilHealthy(StartTimeoutMs)) {
        m_error = QStringLiteral("nolvex-shortd did not become healthy on port %1: %2")
                      .arg(m_port)
                      .arg(readAll(errorLog).trimmed());
        kill9();
        return false;
    }
    return true;
}

bool ShortdProcess::waitUntilHealthy(int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    while (!deadline.hasExpired()) {
        if (m_process.state() == QProcess::NotRunning || m_process.waitForFinished(0)) {
            return false;
        }
        QSslSocket socket;
        socket.setPeerVerifyMode(QSslSocket::VerifyNone);
        if (usesTls()) {
            socket.connectToHostEncrypted(QStringLiteral("127.0.0.1"), m_port);
        } else {
            socket.connectToHost(QHostAddress::LocalHost, m_port);
        }
        if (usesTls() ? socket.waitForEncrypted(2000) : socket.waitForConnected(500)) {
            socket.write("GET /healthz HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
            QByteArray reply;
            while (!reply.contains("\r\n\r\n") && socket.waitForReadyRead(1000)) {
                reply += socket.readAll();
            }
            if (reply.startsWith("HTTP/1.1 200")) {
                return true;
            }
        }
        QThread::msleep(50);
    }
    return false;
}

void ShortdProcess::kill9()
{
    if (m_process.state() == QProcess::NotRunning) {
        return;
    }
    m_process.kill();
    m_process.waitForFinished(StopTimeoutMs);
}

bool ShortdProcess::stop()
{
    if (m_process.state() == QProcess::NotRunning) {
        return true;
    }
    terminate();
    return waitForStop();
}

void ShortdProcess::terminate()
{
    m_process.terminate();
}

bool ShortdProcess::waitForStop()
{
    if (m_process.state() != QProcess::NotRunning && !m_process.waitForFinished(StopTimeoutMs)) {
        kill9();
        m_error = QStringLiteral("nolvex-shortd did not stop on SIGTERM");
        return false;
    }
    if (m_process.exitStatus() != QProcess::NormalExit || m_process.exitCode() != 0) {
        m_error = QStringLiteral("nolvex-shortd exited with status %1: %2")
                      .arg(m_process.exitCode())
                      .arg(readAll(m_root.filePath(QStringLiteral("stderr.log"))).right(4000));
        return false;
    }
    return true;
}
