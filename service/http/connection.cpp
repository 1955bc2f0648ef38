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
// How long a stop waits for the first request of a connection that has just been taken.
constexpr std::chrono::milliseconds FirstRequestGrace {1000};
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

QByteArray refusalReply(int status, QByteArrayView extraHeaders)
{
    QByteArrayView statusLine = "503 Service Unavailable";
    QString message = QStringLiteral("服务繁忙，请稍后再试");
    switch (status) {
    case 400:
        statusLine = "400 Bad Request";
        message = QStringLiteral("请求格式不正确");
        break;
    case 413:
        statusLine = "413 Payload Too Large";
        message = QStringLiteral("请求内容过长");
        break;
    case 417:
        statusLine = "417 Expectation Failed";
        message = QStringLiteral("无法满足请求头 Expect 的要求");
        break;
    case 431:
        statusLine = "431 Request Header Fields Too Large";
        message = QStringLiteral("请求头过多");
        break;
    default:
        break;
    }
    const QByteArray body = R"({"result":0,"info":"","message":")" + message.toUtf8() + R"("})";
    return "HTTP/1.1 " + statusLine.toByteArray() + "\r\nContent-Type: application/json; charset=utf-8\r\n"
        + "Content-Length: " + QByteArray::number(body.size()) + "\r\n" + extraHeaders.toByteArray()
        + "Connection: close\r\n\r\n" + body;
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

Connection::Connection(QTcpSocket* socket, const FrontEndLimits& limits, std::shared_ptr<ConnectionCounts> counts)
    : QObject(socket)
    , m_socket(socket)
    , m_limits(limits)
    , m_counts(std::move(counts))
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
    m_headerTimer.setSingleShot(true);
    m_headerTimer.setInterval(m_limits.headerTimeout);
    m_idleTimer.setSingleShot(true);
    m_idleTimer.setInterval(m_limits.idleTimeout);
    connect(&m_headerTimer, &QTimer::timeout, this, &Connection::abortConnection);
    connect(&m_idleTimer, &QTimer::timeout, this, &Connection::abortConnection);
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
    if (m_counts) {
        --m_counts->total;
        if (--m_counts->perClient[m_client] <= 0) {
            m_counts->perClient.remove(m_client);
        }
    }
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

void Connection::closeIfIdle()
{
    const auto idle = [this] { return !m_awaitingAnswer && m_buffer.isEmpty() && m_socket->bytesAvailable() == 0; };
    if (m_passedAny) {
        if (idle()) {
            close();
        }
        return;
    }
    // A client that has just connected sends its request at once, and it may still be on its way:
    // closing now would lose a request the client had every reason to think taken.
    QTimer::singleShot(FirstRequestGrace, this, [this, idle] {
        if (!m_passedAny && idle()) {
            close();
        }
    });
}

void Connection::answered()
{
    if (!m_awaitingAnswer) {
        return;
    }
    m_awaitingAnswer = false;
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
    m_passedAny = true;
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
    m_socket->write(refusalReply(status));
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
    if (m_relay) {
        m_relay->peerClosed();
    }
    closeAfterWriting(m_socket);
}

void Connection::abortConnection()
{
    m_closing = true;
    if (m_relay) {
        m_relay->peerClosed();
    }
    m_socket->abort();
    m_socket->deleteLater();
}

} // namespace Shortd
