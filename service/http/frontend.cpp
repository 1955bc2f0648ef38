#include "http/frontend.h"

#include "http/accesslog.h"
#include "http/clientaddress.h"
#include "http/connection.h"

#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QPointer>
#include <QTcpSocket>

namespace Shortd
{
namespace
{
QByteArrayView methodName(QHttpServerRequest::Method method)
{
    switch (method) {
    case QHttpServerRequest::Method::Get:
        return "GET";
    case QHttpServerRequest::Method::Post:
        return "POST";
    case QHttpServerRequest::Method::Head:
        return "HEAD";
    case QHttpServerRequest::Method::Put:
        return "PUT";
    case QHttpServerRequest::Method::Delete:
        return "DELETE";
    case QHttpServerRequest::Method::Options:
        return "OPTIONS";
    case QHttpServerRequest::Method::Patch:
        return "PATCH";
    case QHttpServerRequest::Method::Connect:
        return "CONNECT";
    case QHttpServerRequest::Method::Trace:
        return "TRACE";
    default:
        return "-";
    }
}

// Whether the client's Connection header holds the "close" option.
bool asksToClose(const QByteArray& connection)
{
    const QList<QByteArray> options = connection.split(',');
    return std::any_of(options.cbegin(), options.cend(),
        [](const QByteArray& option) { return option.trimmed().compare("close", Qt::CaseInsensitive) == 0; });
}

Method routeMethod(QHttpServerRequest::Method method)
{
    switch (method) {
    case QHttpServerRequest::Method::Get:
        return Method::Get;
    case QHttpServerRequest::Method::Head:
        return Method::Head;
    case QHttpServerRequest::Method::Post:
        return Method::Post;
    case QHttpServerRequest::Method::Put:
        return Method::Put;
    case QHttpServerRequest::Method::Patch:
        return Method::Patch;
    case QHttpServerRequest::Method::Delete:
        return Method::Delete;
    case QHttpServerRequest::Method::Options:
        return Method::Options;
    default:
        return Method::Other;
    }
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

HttpFrontEnd::HttpFrontEnd(RequestHandler handler, AccessLog& log, QList<Subnet> trustedProxies, QObject* parent)
    : QAbstractHttpServer(parent)
    , m_handler(std::move(handler))
    , m_log(log)
    , m_trustedProxies(std::move(trustedProxies))
{
    m_clock.start();
}

HttpFrontEnd::~HttpFrontEnd() = default;

bool HttpFrontEnd::handleRequest(const QHttpServerRequest& request, QTcpSocket* socket)
{
    const QUrl url = request.url();
    HttpRequest routed;
    routed.method = routeMethod(request.method());
    routed.path = url.path(QUrl::FullyEncoded);
    routed.query = url.query(QUrl::FullyEncoded).toLatin1();
    routed.body = request.body();
    routed.contentType = request.value("content-type");
    routed.host = request.value("host");
    routed.client = clientAddress(request.remoteAddress(), request.value("x-forwarded-for"), m_trustedProxies);
    routed.authorization = request.value("authorization");
    routed.userAgent = request.value("user-agent");
    routed.referer = request.value("referer");
    routed.acceptLanguage = request.value("accept-language");
    routed.ifNoneMatch = request.value("if-none-match");
    routed.origin = request.value("origin");
    routed.secFetchSite = request.value("sec-fetch-site");

    // The HTTP server keeps every connection open; one whose client asked to close it after this
    // reply is closed here, or a client reading to the end would wait for the idle limit.
    const bool close = asksToClose(request.value("connection"));
    QByteArray target = url.path(QUrl::FullyEncoded).toLatin1();
    if (!routed.query.isEmpty()) {
        target += '?' + routed.query;
    }
    const QByteArray method = methodName(request.method()).toByteArray();
    const qint64 startNs = m_labeler ? m_clock.nsecsElapsed() : 0;
    const Metrics::Route route
        = m_labeler ? m_labeler(routed.path, routed.method == Method::Post) : Metrics::Route::Other;
    ++m_inFlight;
    // Answered now or once the store has answered; by then the connection may be gone. The
    // connection passes on no further request before this one's answer.
    m_handler(routed, m_clock.elapsed(),
        [this, socket = QPointer<QTcpSocket>(socket), close, head = routed.method == Method::Head,
            client = routed.client, method, target, startNs, route](const HttpReply& reply) {
            --m_inFlight;
            if (m_labeler) {
                Metrics::service().countRequest(
                    route, reply.status, std::chrono::nanoseconds(m_clock.nsecsElapsed() - startNs));
            }
            m_log.record(client, method, target, reply.status, head ? 0 : reply.body.size());
            if (socket) {
                // While stopping, the answer to the last request the client has sent closes the
                // connection; one whose bytes have already arrived is still taken and answered.
                const bool closeNow = close || (m_closing && !holdsNextRequest(socket));
                socket->write(serializeReply(reply, closeNow, head));
                if (closeNow) {
                    socket->disconnectFromHost();
                }
            }
        });
    return true;
}

void HttpFrontEnd::missingHandler(const QHttpServerRequest& request, QTcpSocket* socket)
{
    // handleRequest() answers everything; this only satisfies the interface.
    makeResponder(request, socket).write(QHttpServerResponder::StatusCode::NotFound);
}

} // namespace Shortd
