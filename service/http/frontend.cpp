#include "http/frontend.h"

#include "http/accesslog.h"
#include "http/clientaddress.h"
#include "http/connection.h"
#include "http/connectiongate.h"
#include "http/framing.h"

#include <QMutex>
#include <QPointer>
#include <QThread>

namespace Shortd
{
namespace
{
// The method as the access log names it: one of the methods HTTP defines, or "-".
QByteArrayView loggedMethod(const ReadRequest& read)
{
    if (read.request.method != Method::Other || read.method == "CONNECT" || read.method == "TRACE") {
        return read.method;
    }
    return "-";
}
} // namespace

QByteArrayView reasonPhrase(int status)
{
    switch (status) {
    case 200:
        return "OK";
    case 201:
        return "Created";
    case 204:
        return "No Content";
    case 302:
        return "Found";
    case 303:
        return "See Other";
    case 304:
        return "Not Modified";
    case 400:
        return "Bad Request";
    case 401:
        return "Unauthorized";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 409:
        return "Conflict";
    case 410:
        return "Gone";
    case 413:
        return "Payload Too Large";
    case 414:
        return "URI Too Long";
    case 415:
        return "Unsupported Media Type";
    case 417:
        return "Expectation Failed";
    case 422:
        return "Unprocessable Content";
    case 429:
        return "Too Many Requests";
    case 431:
        return "Request Header Fields Too Large";
    case 500:
        return "Internal Server Error";
    case 503:
        return "Service Unavailable";
    default:
        return "Status";
    }
}

namespace
{
// A reply as bytes on the wire: status line, headers, Content-Type and Content-Length, body. The
// answer to HEAD carries the same headers as GET's, the body's length among them, without the body.
QByteArray serializeReply(const HttpReply& reply, bool close, bool head)
{
    QByteArray bytes;
    bytes.reserve(256 + reply.body.size());
    bytes += "HTTP/1.1 " + QByteArray::number(reply.status) + ' ' + reasonPhrase(reply.status) + "\r\n";
    for (const auto& [name, value] : reply.headers) {
        bytes += name + ": " + value + "\r\n";
    }
    if (!reply.contentType.isEmpty()) {
        bytes += "Content-Type: " + reply.contentType + "\r\n";
    }
    // RFC 9110 §8.6: a 204 carries no Content-Length (and no body); a 304 has no body either, and
    // the length of the one it stands for is not known here.
    const bool bodiless = reply.status == 204 || reply.status == 304;
    if (!bodiless) {
        bytes += "Content-Length: " + QByteArray::number(reply.body.size()) + "\r\n";
    }
    if (close) {
        bytes += "Connection: close\r\n";
    }
    bytes += "\r\n";
    if (!head && !bodiless) {
        bytes += reply.body;
    }
    return bytes;
}

} // namespace

// What the answer to one request needs once the handler has it.
struct HttpFrontEnd::Pending {
    QPointer<Connection> connection;
    QString client;
    QByteArray method;
    QByteArray target;
    qint64 startNs = 0;
    Metrics::Route route = Metrics::Route::Other;
    bool close = false;
    bool head = false;
};

// Where a reply made on another thread finds the front end, while it lives.
struct HttpFrontEnd::Mailbox {
    QMutex mutex;
    HttpFrontEnd* frontEnd = nullptr;
    std::atomic<QThread*> thread = nullptr;
};

HttpFrontEnd::HttpFrontEnd(RequestHandler handler, AccessLog& log, QList<Subnet> trustedProxies, QObject* parent)
    : QObject(parent)
    , m_handler(std::move(handler))
    , m_log(log)
    , m_trustedProxies(std::move(trustedProxies))
    , m_mailbox(std::make_shared<Mailbox>())
{
    m_mailbox->frontEnd = this;
    m_clock.start();
}

HttpFrontEnd::~HttpFrontEnd()
{
    const QMutexLocker lock(&m_mailbox->mutex);
    m_mailbox->frontEnd = nullptr;
}

void HttpFrontEnd::bind(ConnectionGate* gate)
{
    gate->setParent(this);
    gate->setDispatch([this](ReadRequest&& read, Connection* connection) { serve(std::move(read), connection); });
}

void HttpFrontEnd::serve(ReadRequest&& read, Connection* connection)
{
    HttpRequest& request = read.request;
    request.client = clientAddress(connection->peer(), read.forwardedFor, m_trustedProxies);
    const RouteLabeler labeler = m_labeler;
    auto pending = std::make_shared<Pending>();
    pending->connection = connection;
    pending->client = request.client;
    pending->method = loggedMethod(read).toByteArray();
    pending->target = request.path.toLatin1();
    if (!request.query.isEmpty()) {
        pending->target += '?' + request.query;
    }
    pending->startNs = labeler ? m_clock.nsecsElapsed() : 0;
    pending->route = labeler ? labeler(request.path, request.method == Method::Post) : Metrics::Route::Other;
    // The transport keeps every connection open; one whose client asked to close it after this
    // reply is closed with it, or a client reading to the end would wait for the idle limit.
    pending->close = read.close;
    pending->head = request.method == Method::Head;
    m_mailbox->thread.store(thread(), std::memory_order_relaxed);
    ++m_inFlight;
    // Answered now or once the store has answered, on this thread or another; by then the
    // connection may be gone. The connection dispatches no further request before this answer.
    m_handler(request, m_clock.elapsed(), [mailbox = m_mailbox, pending](const HttpReply& reply) {
        if (QThread::currentThread() == mailbox->thread.load(std::memory_order_relaxed)) {
            if (mailbox->frontEnd) {
                mailbox->frontEnd->finish(*pending, reply);
            }
            return;
        }
        const QMutexLocker lock(&mailbox->mutex);
        if (HttpFrontEnd* frontEnd = mailbox->frontEnd) {
            QMetaObject::invokeMethod(
                frontEnd, [frontEnd, pending, reply] { frontEnd->finish(*pending, reply); }, Qt::QueuedConnection);
        }
    });
}

void HttpFrontEnd::finish(const Pending& pending, const HttpReply& reply)
{
    --m_inFlight;
    if (m_labeler) {
        Metrics::service().countRequest(
            pending.route, reply.status, std::chrono::nanoseconds(m_clock.nsecsElapsed() - pending.startNs));
    }
    m_log.record(pending.client, pending.method, pending.target, reply.status, pending.head ? 0 : reply.body.size());
    if (Connection* connection = pending.connection) {
        // While stopping, the answer to the last request the client has sent closes the
        // connection; one whose bytes have already arrived is still taken and answered.
        const bool closeNow = pending.close || (m_closing && !connection->holdsRequestBytes());
        connection->answer(serializeReply(reply, closeNow, pending.head), closeNow);
    }
}

} // namespace Shortd
