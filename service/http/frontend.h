#pragma once

#include <QAbstractHttpServer>
#include <QByteArray>
#include <QElapsedTimer>
#include <QSslConfiguration>
#include <QTcpServer>
#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>

namespace Shortd
{

class Routes;

struct FrontEndLimits {
    int maxConnections = 512;
    // Request line, headers and body together; a longer request is answered 413 and closed.
    qsizetype maxRequestBytes = qsizetype(80) * 1024;
    // A connection that completes no request for this long is closed; also ends slow senders.
    std::chrono::milliseconds idleTimeout {30'000};
};

// Accepts connections for the HTTP server within the limits: beyond maxConnections a newcomer gets
// 503 and is closed; each admitted connection may hold at most maxRequestBytes of one request and
// is closed when idle. With a TLS configuration the handshake happens here, before HTTP starts.
class ConnectionGate final : public QTcpServer
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ConnectionGate)

public:
    ConnectionGate(FrontEndLimits limits, std::optional<QSslConfiguration> tls, QObject* parent = nullptr);
    ~ConnectionGate() override;

    // The HTTP server has answered a request on socket: its idle time and byte budget start over.
    static void requestDone(QTcpSocket* socket);
    int liveConnections() const { return *m_live; }

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    void admit(QTcpSocket* socket);
    void onTooLarge(QTcpSocket* socket);

    FrontEndLimits m_limits;
    std::optional<QSslConfiguration> m_tls;
    std::shared_ptr<int> m_live;
};

// One line a request in the common log format, to a file, standard output, or nowhere.
class AccessLog
{
public:
    AccessLog() = default;
    ~AccessLog();
    AccessLog(const AccessLog&) = delete;
    AccessLog& operator=(const AccessLog&) = delete;

    // "-" is standard output, "off" is no log, anything else a file appended to.
    bool open(const QString& target);
    void record(const QString& client, QByteArrayView method, QByteArrayView target, int status, qsizetype bytes);

private:
    std::FILE* m_file = nullptr;
    bool m_ownsFile = false;
    qint64 m_stampSecs = -1;
    QByteArray m_stamp;
};

// Hands every request to the routes and writes what they answer.
class HttpFrontEnd final : public QAbstractHttpServer
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(HttpFrontEnd)

public:
    HttpFrontEnd(Routes& routes, AccessLog& log, QObject* parent = nullptr);
    ~HttpFrontEnd() override;

protected:
    bool handleRequest(const QHttpServerRequest& request, QTcpSocket* socket) override;
    void missingHandler(const QHttpServerRequest& request, QTcpSocket* socket) override;

private:
    Routes& m_routes;
    AccessLog& m_log;
    QElapsedTimer m_clock;
};

} // namespace Shortd
