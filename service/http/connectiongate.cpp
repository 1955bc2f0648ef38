#include "http/connectiongate.h"

#include "http/clientaddress.h"
#include "http/connection.h"
#include "metrics/servicemetrics.h"

#include <QSslSocket>
#include <sys/socket.h>
#include <unistd.h>

namespace Shortd
{
namespace
{
// How long a refused connection stays half-open so that its client reads the answer before the
// close, and how many may wait so at once (the oldest is closed first).
constexpr qint64 LingerMs = 1000;
constexpr size_t MaximumLingering = 256;

QHostAddress peerOf(qintptr descriptor)
{
    sockaddr_storage address {};
    socklen_t size = sizeof(address);
    if (::getpeername(static_cast<int>(descriptor), reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        return {};
    }
    return QHostAddress(reinterpret_cast<const sockaddr*>(&address));
}

// The answer to a newcomer over the limits, said before any request is read.
QByteArray busyReply(const RefusalReplies* replies)
{
    return refusalBytes(replies && *replies ? (*replies)(503, {}) : HttpReply {503, {}, {}, {}}, "Retry-After: 5\r\n");
}
} // namespace

ConnectionGate::ConnectionGate(FrontEndLimits limits, std::optional<QSslConfiguration> tls, QObject* parent)
    : QTcpServer(parent)
    , m_limits(limits)
    , m_tls(std::move(tls))
    , m_counts(std::make_shared<ConnectionCounts>())
    , m_busy(busyReply(nullptr))
{
    setListenBacklogSize(m_limits.listenBacklog);
    m_clock.start();
    m_lingerTimer.setInterval(std::chrono::milliseconds(LingerMs / 4));
    connect(&m_lingerTimer, &QTimer::timeout, this, [this] { closeLingering(false); });
}

ConnectionGate::~ConnectionGate()
{
    closeLingering(true);
}

int ConnectionGate::liveConnections() const
{
    return m_counts->total;
}

void ConnectionGate::incomingConnection(qintptr descriptor)
{
    // Refused before any socket object exists: a client that floods the gate costs little.
    const QString client = clientAddress(peerOf(descriptor));
    // Room made in the newcomer's own share, when that is used up, is room in all as well.
    const bool shareUsed = m_counts->perClient.value(client) >= m_limits.maxConnectionsPerClient;
    if (m_counts->total >= m_limits.maxConnections && !makeRoom(shareUsed ? client : QString())) {
        Metrics::service().countRefusal(Metrics::Refusal::MaxConnections);
        refuse(descriptor);
        return;
    }
    if (m_counts->perClient.value(client) >= m_limits.maxConnectionsPerClient && !makeRoom(client)) {
        Metrics::service().countRefusal(Metrics::Refusal::PerClient);
        refuse(descriptor);
        return;
    }
    QTcpSocket* socket = m_tls ? new QSslSocket(this) : new QTcpSocket(this);
    if (!socket->setSocketDescriptor(descriptor)) {
        delete socket;
        return;
    }
    connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);

    auto* connection = new Connection(socket, m_limits, m_counts, m_refusals);
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

void ConnectionGate::stopAccepting()
{
    if (isListening()) {
        // Connections the kernel has completed but not handed over yet would be reset by the
        // close; they are taken in and answered like the rest. Their clients sent before this.
        waitForNewConnection(0);
        close();
    }
    const QList<Connection*> connections = findChildren<Connection*>();
    for (Connection* connection : connections) {
        connection->closeBetweenRequests();
    }
}

void ConnectionGate::setRefusalReplies(RefusalReplies replies)
{
    m_refusals = std::make_shared<const RefusalReplies>(std::move(replies));
    m_busy = busyReply(m_refusals.get());
}

bool ConnectionGate::makeRoom(const QString& client)
{
    if (!m_limits.replaceIdleWhenFull) {
        return false;
    }
    Connection* idlest = nullptr;
    const QList<Connection*> connections = findChildren<Connection*>();
    for (Connection* connection : connections) {
        if ((client.isEmpty() || connection->client() == client) && connection->isIdle()
            && (!idlest || connection->idleFor() > idlest->idleFor())) {
            idlest = connection;
        }
    }
    if (!idlest) {
        return false;
    }
    idlest->evict();
    return true;
}

void ConnectionGate::refuse(qintptr descriptor)
{
    const int fd = static_cast<int>(descriptor);
    // Over TLS nothing can be said before the handshake: the close is the answer.
    if (!m_tls) {
        [[maybe_unused]] const ssize_t sent
            = ::send(fd, m_busy.constData(), static_cast<size_t>(m_busy.size()), MSG_NOSIGNAL | MSG_DONTWAIT);
    }
    ::shutdown(fd, SHUT_WR);
    m_lingering.push_back({fd, m_clock.elapsed()});
    if (m_lingering.size() > MaximumLingering) {
        ::close(m_lingering.front().descriptor);
        m_lingering.pop_front();
    }
    if (!m_lingerTimer.isActive()) {
        m_lingerTimer.start();
    }
}

void ConnectionGate::closeLingering(bool all)
{
    const qint64 now = m_clock.elapsed();
    while (!m_lingering.empty() && (all || now - m_lingering.front().sinceMs >= LingerMs)) {
        ::close(m_lingering.front().descriptor);
        m_lingering.pop_front();
    }
    if (m_lingering.empty()) {
        m_lingerTimer.stop();
    }
}

} // namespace Shortd
