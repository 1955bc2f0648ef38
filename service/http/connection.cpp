#include "http/connection.h"

#include "http/clientaddress.h"
#include "http/framing.h"

#include <QScopedValueRollback>
#include <QSslSocket>
#include <QTcpSocket>
#include <cstring>
#include <functional>
#include <sys/socket.h>

namespace Shortd
{
namespace
{
// Replies the client has not read yet; past this the connection reads no further requests until
// it does, so a client that pipelines without reading cannot grow the service's memory.
constexpr qint64 MaximumUnsentBytes = qint64(256) * 1024;
constexpr int LingerMs = 2000;
// How long a stop waits for the next request of a connection answered a moment ago, or for the
// first of one that has just been taken: a client sends it at once, and it may be on its way.
constexpr std::chrono::milliseconds NextRequestGrace {1000};

// Whether the kernel holds bytes the client sent that the socket has not read yet.
bool kernelHoldsBytes(const QTcpSocket* socket)
{
    const qintptr descriptor = socket->socketDescriptor();
    if (descriptor < 0) {
        return false;
    }
    char byte = 0;
    return ::recv(static_cast<int>(descriptor), &byte, 1, MSG_PEEK | MSG_DONTWAIT) > 0;
}
} // namespace

// What the HTTP server sees of a connection: a connected socket whose incoming bytes are exactly
// the requests the connection passes on, and whose writes go to the real socket.
class RelaySocket final : public QTcpSocket
{
public:
    RelaySocket(QTcpSocket* real, std::function<void()> onClose, std::function<void()> onWrite, QObject* parent)
        : QTcpSocket(parent)
        , m_real(real)
        , m_onClose(std::move(onClose))
        , m_onWrite(std::move(onWrite))
    {
        setSocketState(QAbstractSocket::ConnectedState);
        setPeerAddress(real->peerAddress());
        setPeerPort(real->peerPort());
        setLocalAddress(real->localAddress());
        setLocalPort(real->localPort());
        setOpenMode(QIODevice::ReadWrite);
    }
    Q_DISABLE_COPY_MOVE(RelaySocket)
    ~RelaySocket() override = default;

    // A reply the HTTP server writes before this returns (one that needs no store), in many small
    // pieces, goes to the real socket in one; a later one goes as it is written.
    void feed(const QByteArray& request)
    {
        m_input.append(request);
        m_feeding = true;
        Q_EMIT readyRead();
        m_feeding = false;
        flushToReal();
    }
    // The real connection has ended: the HTTP server lets go of this socket.
    void peerClosed()
    {
        if (state() != QAbstractSocket::UnconnectedState) {
            setSocketState(QAbstractSocket::UnconnectedState);
            Q_EMIT disconnected();
        }
    }

    bool isSequential() const override { return true; }
    qint64 bytesAvailable() const override { return m_input.size() - m_offset + QTcpSocket::bytesAvailable(); }
    qint64 bytesToWrite() const override { return 0; }
    void disconnectFromHost() override
    {
        if (state() == QAbstractSocket::UnconnectedState) {
            return;
        }
        flushToReal();
        setSocketState(QAbstractSocket::UnconnectedState);
        Q_EMIT disconnected();
        m_onClose();
    }
    void close() override { disconnectFromHost(); }
    bool waitForBytesWritten(int /*msecs*/) override { return true; }
    bool waitForReadyRead(int /*msecs*/) override { return false; }

protected:
    qint64 readData(char* data, qint64 maxSize) override
    {
        const qint64 count = std::min<qint64>(maxSize, m_input.size() - m_offset);
        std::memcpy(data, m_input.constData() + m_offset, static_cast<size_t>(count));
        m_offset += count;
        if (m_offset == m_input.size()) {
            m_input.clear();
            m_offset = 0;
        }
        return count;
    }
    qint64 writeData(const char* data, qint64 size) override
    {
        if (!m_real || state() == QAbstractSocket::UnconnectedState) {
            return -1;
        }
        if (m_feeding) {
            m_output.append(data, size);
            return size;
        }
        m_onWrite();
        return m_real->write(data, size);
    }

private:
    void flushToReal()
    {
        if (m_real && !m_output.isEmpty()) {
            m_real->write(m_output);
            m_onWrite();
        }
        m_output.resize(0); // keeps its capacity for the next reply
    }

    QPointer<QTcpSocket> m_real;
    std::function<void()> m_onClose;
    std::function<void()> m_onWrite;
    QByteArray m_input;
    qint64 m_offset = 0;
    QByteArray m_output; // written while a request is being answered
    bool m_feeding = false;
};

QByteArray refusalBytes(const HttpReply& reply, QByteArrayView extraHeaders)
{
    QByteArray bytes = "HTTP/1.1 " + QByteArray::number(reply.status) + ' ' + reasonPhrase(reply.status) + "\r\n";
    for (const auto& [name, value] : reply.headers) {
        bytes += name + ": " + value + "\r\n";
    }
    if (!reply.contentType.isEmpty()) {
        bytes += "Content-Type: " + reply.contentType + "\r\n";
    }
    return bytes + "Content-Length: " + QByteArray::number(reply.body.size()) + "\r\n" + extraHeaders
        + "Connection: close\r\n\r\n" + reply.body;
}

bool holdsNextRequest(const QTcpSocket* relay)
{
    const auto* connection = relay ? qobject_cast<const Connection*>(relay->parent()) : nullptr;
    return connection && connection->holdsRequestBytes();
}

void closeAfterWriting(QTcpSocket* socket)
{
    QObject::connect(socket, &QIODevice::readyRead, socket, [socket] { socket->readAll(); });
    socket->readAll();
    auto* linger = new QTimer(socket);
    linger->setSingleShot(true);
    QObject::connect(linger, &QTimer::timeout, socket, [socket] {
        socket->abort();
        socket->deleteLater();
    });
    linger->start(LingerMs);
    // Over TLS the close must go through the TLS layer; without a descriptor there is nothing to
    // half-close.
    if (qobject_cast<QSslSocket*>(socket) || socket->socketDescriptor() < 0) {
        socket->disconnectFromHost();
        return;
    }
    const auto halfClose = [socket] {
        if (socket->bytesToWrite() == 0 && socket->socketDescriptor() >= 0) {
            ::shutdown(static_cast<int>(socket->socketDescriptor()), SHUT_WR);
        }
    };
    QObject::connect(socket, &QIODevice::bytesWritten, socket, halfClose);
    socket->flush();
    halfClose();
}

Connection::Connection(QTcpSocket* socket, const FrontEndLimits& limits, std::shared_ptr<ConnectionCounts> counts,
    std::shared_ptr<const RefusalReplies> refusals)
    : QObject(socket)
    , m_socket(socket)
    , m_limits(limits)
    , m_counts(std::move(counts))
    , m_refusals(std::move(refusals))
    , m_client(clientAddress(socket->peerAddress()))
    , m_relay(new RelaySocket(
          socket, [this] { close(); }, [this] { answered(); }, this))
{
    if (m_counts) {
        ++m_counts->total;
        ++m_counts->perClient[m_client];
    }
    // What the socket holds beside this connection's own buffer stays within one request.
    socket->setReadBufferSize(m_limits.maxRequestBytes);
    m_idleSince.start();
    m_headerTimer.setSingleShot(true);
    m_headerTimer.setInterval(m_limits.headerTimeout);
    m_idleTimer.setSingleShot(true);
    m_idleTimer.setInterval(m_limits.idleTimeout);
    m_graceTimer.setSingleShot(true);
    connect(&m_headerTimer, &QTimer::timeout, this, &Connection::abortConnection);
    connect(&m_idleTimer, &QTimer::timeout, this, &Connection::abortConnection);
    connect(&m_graceTimer, &QTimer::timeout, this, &Connection::closeIfStillIdle);
    m_headerTimer.start();
    m_idleTimer.start();
    connect(socket, &QIODevice::readyRead, this, &Connection::process);
    connect(socket, &QAbstractSocket::disconnected, this, [this] {
        if (m_relay) {
            m_relay->peerClosed();
        }
    });
}

Connection::~Connection()
{
    releasePlace();
}

void Connection::releasePlace()
{
    if (!m_counts) {
        return;
    }
    --m_counts->total;
    if (--m_counts->perClient[m_client] <= 0) {
        m_counts->perClient.remove(m_client);
    }
    m_counts.reset();
}

QTcpSocket* Connection::relay() const
{
    return m_relay;
}

void Connection::start()
{
    m_started = true;
    process();
}

bool Connection::holdsRequestBytes() const
{
    if (!m_buffer.isEmpty() || m_socket->bytesAvailable() > 0) {
        return true;
    }
    if (const auto* tls = qobject_cast<const QSslSocket*>(m_socket); tls && tls->encryptedBytesAvailable() > 0) {
        return true;
    }
    return kernelHoldsBytes(m_socket);
}

bool Connection::isIdle() const
{
    return !m_closing && !m_awaitingAnswer && !holdsRequestBytes();
}

std::chrono::nanoseconds Connection::idleFor() const
{
    return std::chrono::nanoseconds(m_idleSince.nsecsElapsed());
}

void Connection::closeBetweenRequests()
{
    m_stopping = true;
    closeIfStillIdle();
}

void Connection::closeIfStillIdle()
{
    // A request under way is answered with Connection: close, which closes the connection; bytes
    // still in the kernel are read and taken as a request like any other.
    if (!isIdle()) {
        return;
    }
    if (const auto waited = idleFor(); waited < NextRequestGrace) {
        m_graceTimer.start(std::chrono::ceil<std::chrono::milliseconds>(NextRequestGrace - waited));
        return;
    }
    close();
}

void Connection::evict()
{
    releasePlace();
    abortConnection();
}

void Connection::answered()
{
    if (!m_awaitingAnswer) {
        return;
    }
    m_awaitingAnswer = false;
    m_idleSince.start();
    if (m_stopping) {
        // Answered without Connection: close (begun before the stop, or another request follows):
        // the next request is awaited as after any answer.
        m_graceTimer.start(NextRequestGrace);
    }
    // An answer that came later than the request is written whole before the next one is read;
    // one written while the request was being passed on is seen by the loop below.
    if (!m_processing) {
        QMetaObject::invokeMethod(this, &Connection::process, Qt::QueuedConnection);
    }
}

void Connection::process()
{
    if (!m_started || m_processing || m_closing) {
        return;
    }
    const QScopedValueRollback guard(m_processing, true);
    while (!m_closing && !m_awaitingAnswer && !tooMuchUnread()) {
        if (m_socket->bytesAvailable() > 0) {
            m_buffer += m_socket->readAll();
        }
        if (m_buffer.isEmpty() || m_buffer.size() < m_needed) {
            return;
        }
        const FramedRequest framed = frameRequest(m_buffer, m_limits);
        if (framed.state == FramedRequest::State::Refused) {
            refuse(framed.status);
            return;
        }
        if (framed.state == FramedRequest::State::Incomplete) {
            awaitRest(framed);
            return;
        }
        pass(framed);
    }
}

bool Connection::tooMuchUnread()
{
    if (m_socket->bytesToWrite() <= MaximumUnsentBytes) {
        return false;
    }
    // Carries on once the client has read some of its replies.
    if (!m_waitingForWrites) {
        m_waitingForWrites = true;
        connect(
            m_socket, &QIODevice::bytesWritten, this,
            [this] {
                m_waitingForWrites = false;
                process();
            },
            Qt::SingleShotConnection);
    }
    return true;
}

void Connection::awaitRest(const FramedRequest& framed)
{
    m_needed = framed.needed;
    if (framed.headComplete) {
        m_headerTimer.stop();
    } else if (!m_headerTimer.isActive()) {
        m_headerTimer.start();
    }
    if (framed.expectsContinue && !m_continued) {
        m_continued = true;
        m_socket->write("HTTP/1.1 100 Continue\r\n\r\n");
    }
}

void Connection::pass(const FramedRequest& framed)
{
    QByteArray request = framed.forward;
    if (request.isEmpty() && framed.length == m_buffer.size()) {
        request = std::exchange(m_buffer, {}); // the common case: one whole request a read
    } else {
        if (request.isEmpty()) {
            request = m_buffer.first(framed.length);
        }
        m_buffer.remove(0, framed.length);
    }
    m_needed = 0;
    m_continued = false;
    m_headerTimer.stop();
    m_idleTimer.start();
    if (!m_relay || m_relay->state() != QAbstractSocket::ConnectedState) {
        close();
        return;
    }
    // The HTTP server parses it and answers now or, when the answer needs the store, later.
    m_awaitingAnswer = true;
    m_relay->feed(request);
}

void Connection::refuse(int status)
{
    m_socket->write(refusalBytes(
        m_refusals && *m_refusals ? (*m_refusals)(status, requestPath(m_buffer)) : HttpReply {status, {}, {}, {}}));
    close();
}

void Connection::close()
{
    if (m_closing) {
        return;
    }
    m_closing = true;
    m_headerTimer.stop();
    m_idleTimer.stop();
    m_graceTimer.stop();
    if (m_relay) {
        m_relay->peerClosed();
    }
    closeAfterWriting(m_socket);
}

void Connection::abortConnection()
{
    m_closing = true;
    m_graceTimer.stop();
    if (m_relay) {
        m_relay->peerClosed();
    }
    m_socket->abort();
    m_socket->deleteLater();
}

} // namespace Shortd
