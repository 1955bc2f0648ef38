#include "serviceconnection.h"

#include <QSignalBlocker>
#include <QStringDecoder>
#include <utility>

namespace Nolvex::Cli
{
namespace
{

constexpr qsizetype MaxHeadBytes = qsizetype {64} * 1024;
constexpr int HttpPort = 80;
constexpr int HttpsPort = 443;
constexpr int FirstFinalStatus = 200;
constexpr int FirstRedirect = 300;
constexpr int FirstClientError = 400;

bool isUtf8Charset(const QByteArray& contentType)
{
    for (const QByteArray& part : contentType.split(';')) {
        QByteArray value = part.trimmed();
        if (value.toLower().startsWith("charset=")) {
            value = value.mid(8).trimmed();
            if (value.size() >= 2 && value.startsWith('"') && value.endsWith('"')) {
                value = value.mid(1, value.size() - 2);
            }
            const QByteArray lower = value.toLower();
            return lower == "utf-8" || lower == "utf8";
        }
    }
    return true; // no charset: read as UTF-8, as the web client does
}

} // namespace

ServiceConnection::ServiceConnection(QObject* parent)
    : QObject(parent)
{
    m_deadline.setSingleShot(true);
    connect(&m_deadline, &QTimer::timeout, this,
        [this] { fail(WebResult::Status::TimedOut, QStringLiteral("time limit reached")); });
    connect(&m_socket, &QSslSocket::readyRead, this, &ServiceConnection::onReadable);
    connect(&m_socket, &QSslSocket::disconnected, this, &ServiceConnection::onLost);
    connect(&m_socket, &QSslSocket::errorOccurred, this, &ServiceConnection::onLost);
}

ServiceConnection::~ServiceConnection()
{
    m_done = nullptr;
    m_socket.disconnect(this);
    m_socket.abort();
}

void ServiceConnection::get(const QString& address, std::chrono::milliseconds timeout, Done done)
{
    m_url = QUrl(address, QUrl::StrictMode);
    const bool https = m_url.scheme() == QLatin1StringView("https");
    const bool supported = m_url.isValid() && !m_url.host().isEmpty() && m_url.userInfo().isEmpty()
        && (https || (m_url.scheme() == QLatin1StringView("http") && isLoopbackHost(m_url.host())));
    m_done = std::move(done);
    m_result = {};
    m_buffer.clear();
    m_bodyLength = -1;
    m_bodyStart = -1;
    m_resent = false;
    if (!supported) {
        finish(Status::Handover, {});
        return;
    }
    QByteArray target = m_url.toEncoded(QUrl::RemoveScheme | QUrl::RemoveAuthority | QUrl::RemoveFragment);
    if (target.isEmpty()) {
        target = "/";
    }
    m_request = "GET " + target + " HTTP/1.1\r\nHost: " + m_url.authority(QUrl::FullyEncoded).toUtf8()
        + "\r\nIf-Modified-Since: 0\r\n\r\n";
    m_deadline.start(timeout);
    send();
}

void ServiceConnection::send()
{
    m_resendQueued = false;
    if (!m_done) {
        return; // the time limit ran out before a queued second try
    }
    const bool https = m_url.scheme() == QLatin1StringView("https");
    const auto port = static_cast<quint16>(m_url.port(https ? HttpsPort : HttpPort));
    const QString origin = m_url.scheme() + u' ' + m_url.host() + u' ' + QString::number(port);
    if (m_socket.state() != QAbstractSocket::ConnectedState || m_closeAfter || origin != m_origin) {
        drop();
        m_closeAfter = false;
        m_origin = origin;
        if (https) {
            m_socket.connectToHostEncrypted(m_url.host(), port);
        } else {
            m_socket.connectToHost(m_url.host(), port);
        }
    }
    m_socket.write(m_request);
}

void ServiceConnection::onLost()
{
    if (!m_done || m_resendQueued) {
        return; // an idle connection the service closed (the next request opens another), or a loss seen twice
    }
    if (m_reused && m_buffer.isEmpty() && !m_resent) {
        // The service closed a kept-alive connection as the request went out: sent again on a fresh
        // one, the attempt still counts once.
        m_resent = true;
        m_resendQueued = true;
        m_closeAfter = true;
        QMetaObject::invokeMethod(this, &ServiceConnection::send, Qt::QueuedConnection);
        return;
    }
    fail(WebResult::Status::ConnectionFailed, m_socket.errorString());
}

void ServiceConnection::onReadable()
{
    m_buffer += m_socket.readAll();
    if (!m_done) {
        m_buffer.clear(); // nothing was asked: the connection is no longer in step
        m_closeAfter = true;
        return;
    }
    if (m_bodyStart < 0) {
        const qsizetype end = m_buffer.indexOf("\r\n\r\n");
        if (end < 0) {
            if (m_buffer.size() > MaxHeadBytes) {
                fail(WebResult::Status::ConnectionFailed, QStringLiteral("reply head too large"));
            }
            return;
        }
        if (!readHead(end)) {
            return;
        }
    }
    const qsizetype received = m_buffer.size() - m_bodyStart;
    if (received < m_bodyLength) {
        return;
    }
    if (received > m_bodyLength) {
        m_closeAfter = true; // bytes beyond the reply: this connection is not trusted again
    }
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    m_result.text = decoder.decode(QByteArrayView(m_buffer).sliced(m_bodyStart, m_bodyLength));
    m_result.status = WebResult::Status::Ok;
    if (decoder.hasError()) {
        m_result.text.clear();
        m_result.status = WebResult::Status::BadEncoding;
        m_result.errorString = QStringLiteral("reply is not valid text in its character set");
    }
    m_reused = true;
    finish(Status::Done, m_result);
}

// The status line and headers; false when the request is over (failed or handed over).
bool ServiceConnection::readHead(qsizetype end)
{
    QList<QByteArray> lines = m_buffer.first(end).split('\n');
    const QByteArray statusLine = lines.takeFirst().trimmed();
    bool ok = false;
    const int code = statusLine.mid(9, 3).toInt(&ok);
    if (!statusLine.startsWith("HTTP/1.") || !ok) {
        fail(WebResult::Status::ConnectionFailed, QStringLiteral("not an HTTP reply"));
        return false;
    }
    m_closeAfter = !statusLine.startsWith("HTTP/1.1"); // HTTP/1.0 closes unless asked not to
    qint64 length = -1;
    bool handOver = code < FirstFinalStatus || (code >= FirstRedirect && code < FirstClientError);
    for (const QByteArray& line : std::as_const(lines)) {
        const qsizetype colon = line.indexOf(':');
        if (colon <= 0) {
            continue;
        }
        const QByteArray name = line.first(colon).trimmed();
        const QByteArray value = line.sliced(colon + 1).trimmed();
        m_result.headers.append({name, value});
        if (name.compare("Content-Length", Qt::CaseInsensitive) == 0) {
            const qint64 given = value.toLongLong(&ok);
            handOver = handOver || !ok || given < 0 || (length >= 0 && given != length);
            length = given;
        } else if (name.compare("Transfer-Encoding", Qt::CaseInsensitive) == 0
            || (name.compare("Content-Type", Qt::CaseInsensitive) == 0 && !isUtf8Charset(value))) {
            handOver = true;
        } else if (name.compare("Connection", Qt::CaseInsensitive) == 0 && value.toLower().contains("close")) {
            m_closeAfter = true;
        }
    }
    if (handOver || length < 0) {
        drop();
        finish(Status::Handover, {});
        return false;
    }
    if (length > WebClient::MaxReplySize) {
        fail(WebResult::Status::TooLarge, QStringLiteral("reply too large"));
        return false;
    }
    m_result.httpStatus = code;
    m_bodyLength = length;
    m_bodyStart = end + 4;
    return true;
}

void ServiceConnection::fail(WebResult::Status status, const QString& why)
{
    if (!m_done) {
        return;
    }
    drop();
    WebResult result;
    result.status = status;
    result.errorString = why;
    finish(Status::Done, result);
}

// Closes the connection at once, without the signals that would report it as lost.
void ServiceConnection::drop()
{
    const QSignalBlocker quiet(m_socket);
    m_socket.abort();
    m_reused = false;
}

void ServiceConnection::finish(Status status, const WebResult& result)
{
    m_deadline.stop();
    Done done = std::exchange(m_done, nullptr);
    m_buffer.clear();
    m_bodyStart = -1;
    // From the event loop, never from inside the socket's own signal.
    QMetaObject::invokeMethod(
        this, [done = std::move(done), status, result] { done(status, result); }, Qt::QueuedConnection);
}

} // namespace Nolvex::Cli
