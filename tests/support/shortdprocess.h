#pragma once

#include <QObject>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// Runs the built nolvex-shortd for a test: on a free loopback port, with a fresh data directory
// that lives as long as this object. The access log and the service's messages go to files beside
// the data directory, so a test never blocks on a full pipe.
class ShortdProcess final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ShortdProcess)

public:
    explicit ShortdProcess(QStringList extraArguments = {}, QObject* parent = nullptr);
    ~ShortdProcess() override;

    // Before start(): listen on every address of this machine (":PORT"), not on 127.0.0.1 alone.
    void listenOnEveryAddress() { m_everyAddress = true; }
    // Starts the service and waits until /healthz answers; false with errorString() otherwise.
    bool start();
    // Starts it again on the same port and data directory, e.g. after kill9().
    bool restart();
    // SIGKILL: no chance to flush or close anything.
    void kill9();
    // SIGTERM, then waits for the exit; true when the service ended normally with status 0 (under
    // the sanitizers that also means no leak and no error report). Otherwise errorString() says why.
    bool stop();
    // SIGTERM without waiting, for a test that keeps its own requests going meanwhile; then
    // waitForStop() waits for the exit and checks it as stop() does.
    void terminate();
    bool waitForStop();
    bool isRunning() const;
    qint64 processId() const { return m_process.processId(); }

    QString origin() const; // "http://127.0.0.1:PORT", or https when started with --tls-cert
    quint16 port() const { return m_port; }
    QString dataDir() const;
    QString accessLogPath() const;
    QString errorString() const { return m_error; }

    static QString binaryPath();

private:
    bool launch();
    bool usesTls() const;
    bool waitUntilHealthy(int timeoutMs);

    QStringList m_extraArguments;
    QTemporaryDir m_root;
    QProcess m_process;
    quint16 m_port = 0;
    bool m_everyAddress = false;
    QString m_error;
};
