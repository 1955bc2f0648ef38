#include "http/connectiongate.h"

#include "http/clientaddress.h"
#include "http/connection.h"
#include "metrics/servicemetrics.h"

#include <QSslSocket>
#include <QTcpSocket>
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

ConnectionLane::ConnectionLane(FrontEndLimits limits, std::optional<QSslConfiguration> tls,
    std::shared_ptr<ConnectionCounts> counts, QObject* parent)
    : QObject(parent)
    , m_limits(limits)
    , m_tls(std::move(tls))
    , m_counts(std::move(counts))
{
}

ConnectionLane::~ConnectionLane() = default;

void ConnectionLane::adopt(qintptr descriptor)
{
    QTcpSocket* socket = m_tls ? new QSslSocket(this) : new QTcpSocket(this);
    if (!socket->setSocketDescriptor(descriptor)) {
        m_counts->release(clientAddress(peerOf(descriptor)));
        ::close(static_cast<int>(descriptor));
        delete socket;
        return;
    }
    connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);

    auto* connection = new Connection(socket, m_limits, m_counts, m_refusals);
    connection->setDispatch(m_dispatch);
    if (!m_tls) {
        connection->start();
        return;
    }
    auto* tlsSocket = static_cast<QSslSocket*>(socket);
    tlsSocket->setSslConfiguration(*m_tls);
    connect(tlsSocket, &QSslSocket::encrypted, connection, &Connection::start);
    connect(tlsSocket, &QSslSocket::errorOccurred, tlsSocket, [tlsSocket] {
        if (!tlsSocket->isEncrypted()) {
            tlsSocket->abort();
        }
    });
    tlsSocket->startServerEncryption();
}

void ConnectionLane::closeBetweenRequests()
{
    const QList<Connection*> connections = findChildren<Connection*>();
    for (Connection* connection : connections) {
        connection->closeBetweenRequests();
    }
}

bool ConnectionLane::evictIdlest(const QString& client)
{
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

ConnectionGate::ConnectionGate(FrontEndLimits limits, const std::optional<QSslConfiguration>& tls, QObject* parent)
    : QTcpServer(parent)
    , m_limits(limits)
    , m_counts(std::make_shared<ConnectionCounts>())
    , m_local(new ConnectionLane(limits, tls, m_counts, this))
    , m_lanes {m_local}
    , m_busy(busyReply(nullptr))
    , m_tls(tls.has_value())
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
    return m_counts->total();
}

void ConnectionGate::setDispatch(Dispatch dispatch)
{
    m_local->setDispatch(std::move(dispatch));
}

void ConnectionGate::setLanes(QList<ConnectionLane*> lanes)
{
    m_lanes = lanes.isEmpty() ? QList<ConnectionLane*> {m_local} : std::move(lanes);
    for (ConnectionLane* lane : std::as_const(m_lanes)) {
        lane->setRefusalReplies(m_refusals);
    }
}

void ConnectionGate::incomingConnection(qintptr descriptor)
{
    // Refused before any socket object exists: a client that floods the gate costs little.
    const QString client = clientAddress(peerOf(descriptor));
    // Room made in the newcomer's own share, when that is used up, is room in all as well.
    const bool shareUsed = m_counts->of(client) >= m_limits.maxConnectionsPerClient;
    if (m_counts->total() >= m_limits.maxConnections && !makeRoom(shareUsed ? client : QString())) {
        Metrics::service().countRefusal(Metrics::Refusal::MaxConnections);
        refuse(descriptor);
        return;
    }
    if (m_counts->of(client) >= m_limits.maxConnectionsPerClient && !makeRoom(client)) {
        Metrics::service().countRefusal(Metrics::Refusal::PerClient);
        refuse(descriptor);
        return;
    }
    // The place is taken here, where every newcomer is counted, whichever thread serves it.
    m_counts->add(client);
    ConnectionLane* lane = m_lanes.at(m_nextLane);
    m_nextLane = (m_nextLane + 1) % m_lanes.size();
    if (lane->thread() == thread()) {
        lane->adopt(descriptor);
    } else {
        QMetaObject::invokeMethod(
            lane, [lane, descriptor] { lane->adopt(descriptor); }, Qt::QueuedConnection);
    }
}

void ConnectionGate::stopAccepting()
{
    if (isListening()) {
        // Connections the kernel has completed but not handed over yet would be reset by the
        // close; they are taken in and answered like the rest. Their clients sent before this.
        waitForNewConnection(0);
        close();
    }
    for (ConnectionLane* lane : std::as_const(m_lanes)) {
        if (lane->thread() == thread()) {
            lane->closeBetweenRequests();
        } else {
            QMetaObject::invokeMethod(lane, &ConnectionLane::closeBetweenRequests, Qt::QueuedConnection);
        }
    }
}

void ConnectionGate::setRefusalReplies(RefusalReplies replies)
{
    m_refusals = std::make_shared<const RefusalReplies>(std::move(replies));
    m_busy = busyReply(m_refusals.get());
    for (ConnectionLane* lane : std::as_const(m_lanes)) {
        lane->setRefusalReplies(m_refusals);
    }
}

bool ConnectionGate::makeRoom(const QString& client)
{
    // Only connections of this thread can be looked at here.
    return m_limits.replaceIdleWhenFull && m_lanes.size() == 1 && m_lanes.front() == m_local
        && m_local->evictIdlest(client);
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
