#include "http/frontend.h"

#include "http/accesslog.h"
#include "http/clientaddress.h"

#include <QHttpServerRequest>
#include <QHttpServerResponse>

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
    default:
        return Method::Other;
    }
}
} // namespace

HttpFrontEnd::HttpFrontEnd(RequestHandler handler, AccessLog& log, QObject* parent)
    : QAbstractHttpServer(parent)
    , m_handler(std::move(handler))
    , m_log(log)
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
    routed.client = clientAddress(request.remoteAddress());

    HttpReply reply = m_handler(routed, m_clock.elapsed());
    if (routed.method == Method::Head) {
        reply.body.clear();
    }
    const qsizetype bytes = reply.body.size();
    // The HTTP server keeps every connection open; one whose client asked to close it after this
    // reply is closed here, or a client reading to the end would wait for the idle limit.
    const bool close = asksToClose(request.value("connection"));
    QHttpServerResponse response(std::move(reply.contentType), std::move(reply.body),
        static_cast<QHttpServerResponse::StatusCode>(reply.status));
    for (auto& [name, value] : reply.headers) {
        response.addHeader(std::move(name), std::move(value));
    }
    if (close) {
        response.addHeader("Connection", "close");
    }
    response.write(makeResponder(request, socket));
    if (close) {
        socket->disconnectFromHost();
    }

    QByteArray target = url.path(QUrl::FullyEncoded).toLatin1();
    if (!routed.query.isEmpty()) {
        target += '?' + routed.query;
    }
    m_log.record(routed.client, methodName(request.method()), target, reply.status, bytes);
    return true;
}

void HttpFrontEnd::missingHandler(const QHttpServerRequest& request, QTcpSocket* socket)
{
    // handleRequest() answers everything; this only satisfies the interface.
    makeResponder(request, socket).write(QHttpServerResponder::StatusCode::NotFound);
}

} // namespace Shortd
