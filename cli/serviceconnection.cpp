#include "serviceconnection.h"

#include <QSignalBlocker>
#include <QSslConfiguration>
#include <QStringDecoder>
#include <algorithm>
#include <cerrno>
#include <sys/socket.h>
#include <utility>

namespace Nolvex::Cli
{
namespace
{

constexpr int HttpPort = 80;
constexpr int HttpsPort = 443;
constexpr int FirstStatus = 100;
constexpr int SwitchingProtocols = 101;
constexpr int FirstFinalStatus = 200;
constexpr int NoContent = 204;
constexpr int FirstRedirect = 300;
constexpr int NotModified = 304;
constexpr int FirstClientError = 400;
constexpr int LastStatus = 599;
constexpr qsizetype ChunkLineLimit = 4096; // a chunk's size line with its extensions
constexpr int MaxLengthDigits = 18; // fits a qint64
constexpr int MaxChunkDigits = 15;
constexpr qint64 ReadBufferBytes = qint64 {64} * 1024; // what the socket holds before we read it

bool allDigits(QByteArrayView text, int base)
{
    return !text.isEmpty() && std::all_of(text.begin(), text.end(), [base](char c) {
        return (c >= '0' && c <= '9') || (base == 16 && ((c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F')));
    });
}

// Where a reply's head ends: the first empty line, its line ends CRLF or LF alone. The position of the
// head's last line end and the length of the blank line after it, or -1.
std::pair<qsizetype, qsizetype> headEnd(const QByteArray& buffer)
{
    for (qsizetype newline = buffer.indexOf('\n'); newline >= 0; newline = buffer.indexOf('\n', newline + 1)) {
        if (buffer.size() > newline + 1 && buffer.at(newline + 1) == '\n') {
            return {newline, 2};
        }
        if (buffer.size() > newline + 2 && buffer.at(newline + 1) == '\r' && buffer.at(newline + 2) == '\n') {
            return {newline, 3};
        }
    }
    return {-1, 0};
}

QByteArray withoutCr(QByteArrayView line)
{
    return (line.endsWith('\r') ? line.chopped(1) : line).toByteArray();
}

// The status a reply's first line gives (HTTP/1.x, a space, three digits, then the end or a space
// and the reason); 0 when the line is not one.
int statusOf(const QByteArray& line)
{
    if (line.size() < 12 || !line.startsWith("HTTP/1.") || !allDigits(line.mid(7, 1), 10) || line.at(8) != ' '
        || !allDigits(line.mid(9, 3), 10) || (line.size() > 12 && line.at(12) != ' ')) {
        return 0;
    }
    return line.mid(9, 3).toInt();
}

// Reads the header lines after the status line into headers, and how they frame the body; the
// error names the first line that cannot be taken.
BodyFraming readHeaders(const QList<QByteArray>& lines, QList<std::pair<QByteArray, QByteArray>>& headers)
{
    BodyFraming framing;
    for (const QByteArray& raw : lines) {
        const QByteArray line = withoutCr(raw);
        const qsizetype colon = line.indexOf(':');
        const QByteArray name = line.first(std::max<qsizetype>(colon, 0));
        if (colon <= 0 || name.contains(' ') || name.contains('\t')) {
            framing.error = QStringLiteral("malformed header line");
            return framing;
        }
        const QByteArray value = line.sliced(colon + 1).trimmed();
        headers.append({name, value});
        if (name.compare("Content-Length", Qt::CaseInsensitive) == 0) {
            if (!allDigits(value, 10) || value.size() > MaxLengthDigits
                || (framing.length >= 0 && value.toLongLong() != framing.length)) {
                framing.error = QStringLiteral("bad Content-Length");
                return framing;
            }
            framing.length = value.toLongLong();
        } else if (name.compare("Transfer-Encoding", Qt::CaseInsensitive) == 0) {
            if (value.compare("chunked", Qt::CaseInsensitive) != 0 || framing.chunked) {
                framing.error = QStringLiteral("unsupported Transfer-Encoding");
                return framing;
            }
            framing.chunked = true;
        } else if (name.compare("Connection", Qt::CaseInsensitive) == 0 && value.toLower().contains("close")) {
            framing.closes = true;
        }
    }
    if (framing.chunked && framing.length >= 0) {
        framing.error = QStringLiteral("both Content-Length and Transfer-Encoding");
    }
    return framing;
}

// The fast path goes where no proxy or policy of the web client applies: TLS, or plain HTTP on this
// machine.
bool supported(const QUrl& url)
{
    const bool https = url.scheme() == QLatin1StringView("https");
    return url.isValid() && !url.host().isEmpty() && url.userInfo().isEmpty()
        && (https || (url.scheme() == QLatin1StringView("http") && isLoopbackHost(url.host())));
}

} // namespace

ServiceConnection::ServiceConnection(QObject* parent)
    : QObject(parent)
{
    m_deadline.setSingleShot(true);
    m_socket.setReadBufferSize(ReadBufferBytes);
    connect(&m_deadline, &QTimer::timeout, this,
        [this] { fail(WebResult::Status::TimedOut, QStringLiteral("time limit reached")); });
    connect(&m_socket, &QSslSocket::readyRead, this, &ServiceConnection::onReadable);
    connect(&m_socket, &QSslSocket::disconnected, this, &ServiceConnection::onLost);
    connect(&m_socket, &QSslSocket::errorOccurred, this, &ServiceConnection::onLost);
    // TLS 1.2 gives its session with the handshake, TLS 1.3 in tickets that follow it.
    connect(&m_socket, &QSslSocket::encrypted, this, &ServiceConnection::keepSessionTicket);
    connect(&m_socket, &QSslSocket::newSessionTicketReceived, this, &ServiceConnection::keepSessionTicket);
}

ServiceConnection::~ServiceConnection()
{
    m_done = nullptr;
    m_socket.disconnect(this);
    m_socket.abort();
}

void ServiceConnection::send(ServiceRequest request, std::chrono::milliseconds timeout, Done done)
{
    m_request = std::move(request);
    m_done = std::move(done);
    m_answered = false;
    m_resent = false;
    m_redirects = 0;
    m_deadline.start(timeout);
    if (!start(QUrl(m_request.address, QUrl::StrictMode))) {
        // Before a byte went out, with all of the attempt's time left.
        finish({.kind = ServiceReply::Kind::Handover, .remaining = timeout});
        return;
    }
    transmit();
}

// The request's bytes for `url`; false when the fast path cannot reach it.
bool ServiceConnection::start(const QUrl& url)
{
    if (!supported(url)) {
        return false;
    }
    m_url = url;
    QByteArray target = m_url.toEncoded(QUrl::RemoveScheme | QUrl::RemoveAuthority | QUrl::RemoveFragment);
    if (target.isEmpty()) {
        target = "/";
    }
    m_wire = m_request.method + ' ' + target + " HTTP/1.1\r\nHost: " + m_url.authority(QUrl::FullyEncoded).toUtf8()
        + "\r\n";
    for (const auto& [name, value] : std::as_const(m_request.headers)) {
        m_wire += name + ": " + value + "\r\n";
    }
    if (m_request.method != "GET") {
        m_wire += "Content-Length: " + QByteArray::number(m_request.body.size()) + "\r\n";
    }
    if (!m_keepAlive || !m_request.keepAlive) {
        m_wire += "Connection: close\r\n";
    }
    m_wire += "\r\n";
    if (m_request.method != "GET") {
        m_wire += m_request.body;
    }
    return true;
}

// Nothing may wait unread on a kept connection: a byte there is the start of a reply nobody asked for
// (which would answer the next request), or the service closing it.
bool ServiceConnection::idleAndClean()
{
    if (m_socket.state() != QAbstractSocket::ConnectedState) {
        return false;
    }
    if (m_socket.bytesAvailable() > 0 || m_socket.encryptedBytesAvailable() > 0) {
        m_keepAlive = false;
        return false;
    }
    char byte = 0;
    const auto peeked = ::recv(static_cast<int>(m_socket.socketDescriptor()), &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    if (peeked > 0 && m_url.scheme() == QLatin1StringView("http")) {
        m_keepAlive = false; // under TLS it may be the service's goodbye
    }
    return peeked < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
}

void ServiceConnection::transmit()
{
    m_resendQueued = false;
    if (!m_done) {
        return; // the time limit ran out before a queued second try
    }
    m_phase = Phase::Head;
    m_headBytes = 0;
    m_left = 0;
    m_buffer.clear();
    m_body.clear();
    m_result = {};
    const bool https = m_url.scheme() == QLatin1StringView("https");
    const auto port = static_cast<quint16>(m_url.port(https ? HttpsPort : HttpPort));
    const QString origin = m_url.scheme() + u' ' + m_url.host() + u' ' + QString::number(port);
    const bool reuse = !m_closeAfter && m_keepAlive && origin == m_origin && idleAndClean();
    if (!reuse) {
        drop();
        m_closeAfter = false;
        m_origin = origin;
        if (https) {
            QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
            tls.setSslOption(QSsl::SslOptionDisableSessionPersistence, false);
            tls.setSessionTicket(origin == m_ticketOrigin ? m_sessionTicket : QByteArray());
            m_socket.setSslConfiguration(tls);
            m_socket.connectToHostEncrypted(m_url.host(), port);
        } else {
            m_socket.connectToHost(m_url.host(), port);
        }
        if (!m_keepAlive) {
            start(m_url); // now with Connection: close
        }
    }
    m_socket.write(m_wire);
}

void ServiceConnection::keepSessionTicket()
{
    const QByteArray ticket = m_socket.sslConfiguration().sessionTicket();
    if (!ticket.isEmpty()) {
        m_sessionTicket = ticket;
        m_ticketOrigin = m_origin;
    }
}

void ServiceConnection::onLost()
{
    if (!m_done || m_resendQueued) {
        return; // an idle connection the service closed (the next request opens another), or a loss seen twice
    }
    onReadable(); // what came before the close
    if (!m_done) {
        return;
    }
    if (m_phase == Phase::UntilClose) {
        m_closeAfter = true;
        complete();
        return;
    }
    const bool nothingYet = m_phase == Phase::Head && m_headBytes == 0 && m_buffer.isEmpty();
    if (m_reused && nothingYet && !m_resent) {
        // The service closed a kept-alive connection as the request went out, before any reply: sent
        // again on a fresh one, the attempt still counts once.
        m_resent = true;
        m_resendQueued = true;
        m_closeAfter = true;
        QMetaObject::invokeMethod(this, &ServiceConnection::transmit, Qt::QueuedConnection);
        return;
    }
    fail(WebResult::Status::ConnectionFailed,
        nothingYet ? m_socket.errorString() : QStringLiteral("connection lost in the middle of the reply"));
}

void ServiceConnection::onReadable()
{
    const QByteArray bytes = m_socket.readAll();
    if (bytes.isEmpty()) {
        return;
    }
    if (!m_done || m_resendQueued) {
        // Nothing was asked: the connection is no longer in step with its requests, and the service
        // is not trusted with another one on a kept connection.
        m_keepAlive = false;
        m_closeAfter = true;
        drop();
        return;
    }
    m_answered = true;
    m_buffer += bytes;
    read();
}

void ServiceConnection::read()
{
    while (m_done) {
        switch (m_phase) {
        case Phase::Head: {
            const auto [end, blank] = headEnd(m_buffer);
            if (m_headBytes + (end < 0 ? m_buffer.size() : end) > ReplyHeadLimit) {
                fail(WebResult::Status::TooLarge, QStringLiteral("reply head too large"));
                return;
            }
            if (end < 0) {
                return;
            }
            m_headBytes += end + blank;
            const QByteArray head = m_buffer.first(end);
            m_buffer.remove(0, end + blank);
            if (!readHead(head)) {
                return;
            }
            break;
        }
        case Phase::Length: {
            const qsizetype take = std::min<qsizetype>(static_cast<qsizetype>(m_left), m_buffer.size());
            m_body += m_buffer.first(take);
            m_buffer.remove(0, take);
            m_left -= take;
            if (m_left == 0) {
                complete();
            }
            return;
        }
        case Phase::UntilClose:
            m_body += m_buffer;
            m_buffer.clear();
            if (m_body.size() > m_request.replyLimit) {
                fail(WebResult::Status::TooLarge, QStringLiteral("reply too large"));
            }
            return;
        case Phase::ChunkSize:
        case Phase::ChunkData:
        case Phase::ChunkEnd:
        case Phase::Trailers:
            if (!readChunks()) {
                return;
            }
            break;
        }
    }
}

// The status line and headers of a reply; false when the request is over (failed, done or redirected).
bool ServiceConnection::readHead(QByteArrayView head)
{
    QList<QByteArray> lines = head.toByteArray().split('\n');
    const QByteArray statusLine = withoutCr(lines.takeFirst());
    const int code = statusOf(statusLine);
    if (code == 0) {
        fail(WebResult::Status::ConnectionFailed, QStringLiteral("not an HTTP reply"));
        return false;
    }
    if (code < FirstStatus || code > LastStatus || code == SwitchingProtocols) {
        fail(WebResult::Status::ConnectionFailed, QStringLiteral("unexpected status %1").arg(code));
        return false;
    }
    if (code < FirstFinalStatus) {
        return true; // an interim reply (100 Continue, 102, 103 Early Hints): the final one follows
    }
    m_closeAfter = m_closeAfter || !statusLine.startsWith("HTTP/1.1"); // HTTP/1.0 closes unless asked not to
    const BodyFraming framing = readHeaders(lines, m_result.headers);
    m_closeAfter = m_closeAfter || framing.closes;
    if (!framing.error.isEmpty()) {
        fail(WebResult::Status::ConnectionFailed, framing.error);
        return false;
    }
    m_result.httpStatus = code;
    if (code == NoContent || code == NotModified) {
        if (framing.chunked || framing.length > 0) {
            fail(WebResult::Status::ConnectionFailed, QStringLiteral("a body where none may be"));
            return false;
        }
        complete();
        return false;
    }
    const QByteArray location = m_result.header("Location");
    if (m_request.followRedirects && code >= FirstRedirect && code < FirstClientError && !location.isEmpty()) {
        redirect(location);
        return false;
    }
    return startBody(framing);
}

void ServiceConnection::redirect(const QByteArray& location)
{
    const QUrl target = m_url.resolved(QUrl(QString::fromUtf8(location), QUrl::StrictMode));
    if (staysHome(m_url, target) && m_redirects < WebClient::MaxRedirects && start(target)) {
        ++m_redirects;
        m_closeAfter = true; // the rest of this reply is not read
        drop();
        m_resendQueued = true;
        QMetaObject::invokeMethod(this, &ServiceConnection::transmit, Qt::QueuedConnection);
        return;
    }
    // As the web client does: a redirect that leaves the service ends the request, naming where.
    drop();
    ServiceReply refused;
    refused.result.errorString = QStringLiteral("redirect not followed");
    refused.result.redirectTarget = target;
    finish(refused);
}

bool ServiceConnection::startBody(const BodyFraming& framing)
{
    if (framing.length > m_request.replyLimit) {
        fail(WebResult::Status::TooLarge, QStringLiteral("reply too large"));
        return false;
    }
    if (framing.chunked) {
        m_phase = Phase::ChunkSize;
    } else if (framing.length >= 0) {
        m_phase = Phase::Length;
        m_left = framing.length;
        if (framing.length == 0) {
            complete();
            return false;
        }
    } else {
        m_phase = Phase::UntilClose; // valid HTTP/1.1: the body ends where the connection does
        m_closeAfter = true;
    }
    return true;
}

// One step of a chunked body; false when more bytes are needed or the request is over.
bool ServiceConnection::readChunks()
{
    switch (m_phase) {
    case Phase::ChunkSize: {
        const qsizetype newline = m_buffer.indexOf('\n');
        if (newline < 0 || newline > ChunkLineLimit) {
            if (m_buffer.size() > ChunkLineLimit) {
                fail(WebResult::Status::ConnectionFailed, QStringLiteral("malformed chunk"));
            }
            return false;
        }
        const QByteArray line = withoutCr(QByteArrayView(m_buffer).first(newline));
        m_buffer.remove(0, newline + 1);
        const qsizetype extension = line.indexOf(';');
        const QByteArray digits = (extension < 0 ? line : line.first(extension)).trimmed();
        if (!allDigits(digits, 16) || digits.size() > MaxChunkDigits) {
            fail(WebResult::Status::ConnectionFailed, QStringLiteral("malformed chunk"));
            return false;
        }
        m_left = digits.toLongLong(nullptr, 16);
        if (m_left > m_request.replyLimit - m_body.size()) {
            fail(WebResult::Status::TooLarge, QStringLiteral("reply too large"));
            return false;
        }
        m_phase = m_left == 0 ? Phase::Trailers : Phase::ChunkData;
        return true;
    }
    case Phase::ChunkData: {
        const qsizetype take = std::min<qsizetype>(static_cast<qsizetype>(m_left), m_buffer.size());
        m_body += m_buffer.first(take);
        m_buffer.remove(0, take);
        m_left -= take;
        if (m_left > 0) {
            return false;
        }
        m_phase = Phase::ChunkEnd;
        return true;
    }
    case Phase::ChunkEnd:
        if (m_buffer.startsWith("\r\n") || m_buffer.startsWith('\n')) {
            m_buffer.remove(0, m_buffer.startsWith('\n') ? 1 : 2);
            m_phase = Phase::ChunkSize;
            return true;
        }
        if (!m_buffer.isEmpty() && m_buffer != "\r") {
            fail(WebResult::Status::ConnectionFailed, QStringLiteral("malformed chunk"));
        }
        return false;
    case Phase::Trailers: {
        const qsizetype newline = m_buffer.indexOf('\n');
        if (m_headBytes + (newline < 0 ? m_buffer.size() : newline) > ReplyHeadLimit) {
            fail(WebResult::Status::TooLarge, QStringLiteral("reply trailers too large"));
            return false;
        }
        if (newline < 0) {
            return false;
        }
        m_headBytes += newline + 1;
        const bool last = withoutCr(QByteArrayView(m_buffer).first(newline)).isEmpty();
        m_buffer.remove(0, newline + 1);
        if (last) {
            complete();
            return false;
        }
        return true;
    }
    default:
        return false;
    }
}

void ServiceConnection::complete()
{
    if (!m_buffer.isEmpty()) {
        // Bytes beyond the reply: the start of one nobody asked for.
        m_closeAfter = true;
        m_keepAlive = false;
    }
    bool ok = false;
    m_result.text = decodeBody(m_body, m_result.header("Content-Type"), &ok);
    m_result.status = WebResult::Status::Ok;
    if (!ok) {
        m_result.text.clear();
        m_result.status = WebResult::Status::BadEncoding;
        m_result.errorString = QStringLiteral("reply is not valid text in its character set");
    }
    if (m_closeAfter || !m_request.keepAlive) {
        m_closeAfter = true;
        drop();
    } else {
        m_reused = true;
    }
    finish({.result = m_result});
}

void ServiceConnection::fail(WebResult::Status status, const QString& why)
{
    if (!m_done) {
        return;
    }
    drop();
    ServiceReply reply;
    reply.result.status = status;
    reply.result.errorString = why;
    finish(reply);
}

// Closes the connection at once, without the signals that would report it as lost.
void ServiceConnection::drop()
{
    const QSignalBlocker quiet(m_socket);
    m_socket.abort();
    m_reused = false;
}

void ServiceConnection::finish(ServiceReply reply)
{
    reply.answered = m_answered;
    reply.resent = m_resent;
    if (reply.kind == ServiceReply::Kind::Handover) {
        reply.remaining = std::max(std::chrono::milliseconds {0}, m_deadline.remainingTimeAsDuration());
    }
    m_deadline.stop();
    Done done = std::exchange(m_done, nullptr);
    m_buffer.clear();
    m_body.clear();
    m_phase = Phase::Head;
    // From the event loop, never from inside the socket's own signal.
    QMetaObject::invokeMethod(
        this, [done = std::move(done), reply = std::move(reply)] { done(reply); }, Qt::QueuedConnection);
}

} // namespace Nolvex::Cli
