#include "http/connection.h"

#include "http/clientaddress.h"
#include "http/framing.h"

#include <QScopedValueRollback>
#include <QSslSocket>
#include <QTcpSocket>
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

int ConnectionCounts::total() const
{
    const QMutexLocker lock(&m_mutex);
    return m_total;
}

int ConnectionCounts::of(const QString& client) const
{
    const QMutexLocker lock(&m_mutex);
    return m_perClient.value(client);
}

void ConnectionCounts::add(const QString& client)
{
    const QMutexLocker lock(&m_mutex);
    ++m_total;
    ++m_perClient[client];
}

void ConnectionCounts::release(const QString& client)
{
    const QMutexLocker lock(&m_mutex);
    --m_total;
    if (const auto place = m_perClient.find(client); place != m_perClient.end() && --*place <= 0) {
        m_perClient.erase(place);
    }
}

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
    , m_peer(socket->peerAddress())
    , m_client(clientAddress(m_peer))
{
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
    m_counts->release(m_client);
    m_counts.reset();
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

void Connection::answer(const QByteArray& bytes, bool close)
{
    if (m_closing || !m_awaitingAnswer) {
        return;
    }
    m_socket->write(bytes);
    answered();
    if (close) {
        this->close();
    }
}

void Connection::answered()
{
    m_awaitingAnswer = false;
    m_idleSince.start();
    if (m_stopping) {
        // Answered without Connection: close (begun before the stop, or another request follows):
        // the next request is awaited as after any answer.
        m_graceTimer.start(NextRequestGrace);
    }
    // An answer that came later than the request is written whole before the next one is read;
    // one written while the request was being dispatched is seen by the loop below.
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
        ReadRequest read;
        const FramedRequest framed = frameRequest(m_buffer, m_limits, &read);
        if (framed.state == FramedRequest::State::Refused) {
            refuse(framed.status);
            return;
        }
        if (framed.state == FramedRequest::State::Incomplete) {
            awaitRest(framed);
            return;
        }
        pass(framed, std::move(read));
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

void Connection::pass(const FramedRequest& framed, ReadRequest&& read)
{
    if (framed.length == m_buffer.size()) {
        m_buffer.resize(0); // the common case: one whole request a read; keeps the capacity
    } else {
        m_buffer.remove(0, framed.length);
    }
    m_needed = 0;
    m_continued = false;
    m_headerTimer.stop();
    m_idleTimer.start();
    if (!m_dispatch) {
        close();
        return;
    }
    // Answered now or, when the answer needs the store, later.
    m_awaitingAnswer = true;
    m_dispatch(std::move(read), this);
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
    closeAfterWriting(m_socket);
}

void Connection::abortConnection()
{
    m_closing = true;
    m_graceTimer.stop();
    m_socket->abort();
    m_socket->deleteLater();
}

} // namespace Shortd
