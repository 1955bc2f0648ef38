#include "http/connectiongate.h"

#include "http/clientaddress.h"
#include "http/connection.h"

#include <QSslSocket>

namespace Shortd
{

ConnectionGate::ConnectionGate(FrontEndLimits limits, std::optional<QSslConfiguration> tls, QObject* parent)
    : QTcpServer(parent)
    , m_limits(limits)
    , m_tls(std::move(tls))
    , m_counts(std::make_shared<ConnectionCounts>())
{
    setListenBacklogSize(m_limits.listenBacklog);
}

ConnectionGate::~ConnectionGate() = default;

int ConnectionGate::liveConnections() const
{
    return m_counts->total;
}

void ConnectionGate::incomingConnection(qintptr descriptor)
{
    QTcpSocket* socket = m_tls ? new QSslSocket(this) : new QTcpSocket(this);
    if (!socket->setSocketDescriptor(descriptor)) {
        delete socket;
        return;
    }
    connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    const QString client = clientAddress(socket->peerAddress());
    if (m_counts->total >= m_limits.maxConnections
        || m_counts->perClient.value(client) >= m_limits.maxConnectionsPerClient) {
        if (!m_tls) {
            socket->write(refusalReply(503, "Retry-After: 5\r\n"));
        }
        closeAfterWriting(socket);
        return;
    }

    auto* connection = new Connection(socket, m_limits, m_counts);
    if (!m_tls) {
        addPendingConnection(connection->relay());
        connection->start();
        return;
    }
    auto* tlsSocket = static_cast<QSslSocket*>(socket);
    tlsSocket->setSslConfiguration(*m_tls);
    connect(tlsSocket, &QSslSocket::encrypted, this, [this, connection] {
        addPendingConnection(connection->relay());
        Q_EMIT newConnection();
        connection->start();
    });
    connect(tlsSocket, &QSslSocket::errorOccurred, tlsSocket, [tlsSocket] {
        if (!tlsSocket->isEncrypted()) {
            tlsSocket->abort();
        }
    });
    tlsSocket->startServerEncryption();
}

} // namespace Shortd
