#pragma once

#include "http/limits.h"

#include <QSslConfiguration>
#include <QTcpServer>
#include <memory>
#include <optional>

namespace Shortd
{

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

} // namespace Shortd
