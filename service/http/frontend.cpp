#include "http/frontend.h"

#include "routes.h"

#include <QDateTime>
#include <QFile>
#include <QHttpServerRequest>
#include <QHttpServerResponse>
#include <QSslSocket>
#include <QTimer>

namespace Shortd
{
namespace
{
constexpr qsizetype MaximumLoggedTarget = 2048;

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

AccessLog::~AccessLog()
{
    if (m_ownsFile && m_file) {
        std::fclose(m_file);
    } else if (m_file) {
        std::fflush(m_file);
    }
}

bool AccessLog::open(const QString& target)
{
    if (target == u"off") {
        return true;
    }
    if (target == u"-") {
        m_file = stdout;
    } else {
        m_file = std::fopen(QFile::encodeName(target).constData(), "a");
        if (!m_file) {
            return false;
        }
        m_ownsFile = true;
    }
    // Whole lines reach the log as they happen, so a crash loses none.
    std::setvbuf(m_file, nullptr, _IOLBF, 1 << 16);
    return true;
}

void AccessLog::record(const QString& client, QByteArrayView method, QByteArrayView target, int status, qsizetype bytes)
{
    if (!m_file) {
        return;
    }
    const QDateTime now = QDateTime::currentDateTimeUtc();
    if (const qint64 secs = now.toSecsSinceEpoch(); secs != m_stampSecs) {
        m_stampSecs = secs;
        m_stamp = now.toString(QStringLiteral("dd/MMM/yyyy:HH:mm:ss +0000")).toLatin1();
    }
    QByteArray line;
    line.reserve(96 + std::min(target.size(), MaximumLoggedTarget));
    line += client.toLatin1();
    line += " - - [";
    line += m_stamp;
    line += "] \"";
    line += method;
    line += ' ';
    line += target.first(std::min(target.size(), MaximumLoggedTarget));
    line += " HTTP/1.1\" ";
    line += QByteArray::number(status);
    line += ' ';
    line += QByteArray::number(bytes);
    line += '\n';
    std::fwrite(line.constData(), 1, static_cast<size_t>(line.size()), m_file);
}

HttpFrontEnd::HttpFrontEnd(Routes& routes, AccessLog& log, QObject* parent)
    : QAbstractHttpServer(parent)
    , m_routes(routes)
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
    routed.client = request.remoteAddress().toString();

    HttpReply reply = m_routes.handle(routed, m_clock.elapsed());
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
    ConnectionGate::requestDone(socket);
    return true;
}

void HttpFrontEnd::missingHandler(const QHttpServerRequest& request, QTcpSocket* socket)
{
    // handleRequest() answers everything; this only satisfies the interface.
    makeResponder(request, socket).write(QHttpServerResponder::StatusCode::NotFound);
}

} // namespace Shortd
