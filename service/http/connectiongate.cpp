#include "http/connectiongate.h"

#include <QSslSocket>
#include <QTimer>

namespace Shortd
{
namespace
{
// Written straight to the socket, for connections the HTTP server never sees or gives up on.
QByteArray rawJsonReply(QByteArrayView statusLine, const QString& message)
{
    const QByteArray body = R"({"result":0,"info":"","message":")" + message.toUtf8() + R"("})";
    return "HTTP/1.1 " + statusLine.toByteArray() + "\r\nContent-Type: application/json; charset=utf-8\r\n"
        + "Content-Length: " + QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
}

// Lives as a child of each admitted socket: counts the bytes of the request being read, closes
// the connection when idle, and gives the connection back to the gate's count when destroyed.
class ConnectionWatch final : public QObject
{
public:
    ConnectionWatch(QTcpSocket* socket, std::shared_ptr<int> live, std::chrono::milliseconds idleTimeout)
        : QObject(socket)
        , m_live(std::move(live))
    {
        ++*m_live;
        m_idle.setSingleShot(true);
        m_idle.setInterval(idleTimeout);
        // The HTTP server may already have disconnected the socket's own signals after a parse
        // error, so the timer closes and frees it directly.
        connect(&m_idle, &QTimer::timeout, socket, [socket] {
            socket->abort();
            socket->deleteLater();
        });
        m_idle.start();
    }
    ~ConnectionWatch() override { --*m_live; }
    Q_DISABLE_COPY_MOVE(ConnectionWatch)

    void reset()
    {
        m_received = 0;
        m_idle.start();
    }
    qsizetype add(qsizetype bytes) { return m_received += bytes; }

    static ConnectionWatch* of(QTcpSocket* socket)
    {
        for (QObject* child : socket->children()) {
            if (auto* watch = dynamic_cast<ConnectionWatch*>(child)) {
                return watch;
            }
        }
        return nullptr;
    }

private:
    std::shared_ptr<int> m_live;
    QTimer m_idle;
    qsizetype m_received = 0;
};

} // namespace

ConnectionGate::ConnectionGate(FrontEndLimits limits, std::optional<QSslConfiguration> tls, QObject* parent)
    : QTcpServer(parent)
    , m_limits(limits)
    , m_tls(std::move(tls))
    , m_live(std::make_shared<int>(0))
{
}

ConnectionGate::~ConnectionGate() = default;

void ConnectionGate::incomingConnection(qintptr descriptor)
{
    if (*m_live >= m_limits.maxConnections) {
        auto* refused = new QTcpSocket(this);
        if (!refused->setSocketDescriptor(descriptor)) {
            delete refused;
            return;
        }
        connect(refused, &QTcpSocket::disconnected, refused, &QObject::deleteLater);
        if (!m_tls) {
            refused->write(rawJsonReply("503 Service Unavailable", QStringLiteral("服务繁忙，请稍后再试")));
        }
        refused->disconnectFromHost();
        return;
    }

    QTcpSocket* socket = m_tls ? new QSslSocket(this) : new QTcpSocket(this);
    if (!socket->setSocketDescriptor(descriptor)) {
        delete socket;
        return;
    }
    new ConnectionWatch(socket, m_live, m_limits.idleTimeout);
    socket->setReadBufferSize(m_limits.maxRequestBytes);
    connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    // Connected before the HTTP server connects its own reader, so this sees each chunk first.
    connect(socket, &QIODevice::readyRead, this, [this, socket] {
        ConnectionWatch* watch = ConnectionWatch::of(socket);
        if (watch && watch->add(socket->bytesAvailable()) >= m_limits.maxRequestBytes) {
            onTooLarge(socket);
        }
    });

    if (!m_tls) {
        addPendingConnection(socket);
        return;
    }
    auto* tlsSocket = static_cast<QSslSocket*>(socket);
    tlsSocket->setSslConfiguration(*m_tls);
    connect(tlsSocket, &QSslSocket::encrypted, this, [this, tlsSocket] {
        addPendingConnection(tlsSocket);
        Q_EMIT newConnection();
    });
    connect(tlsSocket, &QSslSocket::errorOccurred, tlsSocket, [tlsSocket] {
        if (!tlsSocket->isEncrypted()) {
            tlsSocket->abort();
        }
    });
    tlsSocket->startServerEncryption();
}

void ConnectionGate::onTooLarge(QTcpSocket* socket)
{
    // Nothing more of this request is parsed; the client learns why, then the connection ends.
    QObject::disconnect(socket, &QIODevice::readyRead, nullptr, nullptr);
    socket->write(rawJsonReply("413 Payload Too Large", QStringLiteral("请求内容过长")));
    socket->disconnectFromHost();
}

void ConnectionGate::requestDone(QTcpSocket* socket)
{
    if (ConnectionWatch* watch = ConnectionWatch::of(socket)) {
        watch->reset();
    }
}

} // namespace Shortd
