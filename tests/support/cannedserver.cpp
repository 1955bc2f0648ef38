#include "cannedserver.h"

#include <QFile>
#include <QSslCertificate>
#include <QSslKey>
#include <QSslSocket>
#include <QTimer>

namespace
{
QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}
} // namespace

CannedServer::CannedServer(bool tls, QObject* parent)
    : QTcpServer(parent)
    , m_tls(tls)
{
}

CannedServer::CannedServer(QString certificate, QObject* parent)
    : QTcpServer(parent)
    , m_tls(true)
    , m_certificate(std::move(certificate))
{
}

CannedServer::~CannedServer() = default;

bool CannedServer::start()
{
    return listen(QHostAddress::LocalHost, 0);
}

QString CannedServer::origin() const
{
    return (m_tls ? QStringLiteral("https://127.0.0.1:") : QStringLiteral("http://127.0.0.1:"))
        + QString::number(serverPort());
}

void CannedServer::setReply(const QByteArray& raw, Behaviour behaviour)
{
    setHandler([raw](const QByteArray&) { return raw; }, behaviour);
}

void CannedServer::setHandler(Handler handler, Behaviour behaviour)
{
    m_handler = std::move(handler);
    m_behaviour = behaviour;
}

QByteArray CannedServer::response(
    int status, const QByteArray& body, const QByteArray& contentType, const QByteArray& extraHeaders)
{
    return "HTTP/1.1 " + QByteArray::number(status) + " Canned\r\nContent-Type: " + contentType + "\r\nContent-Length: "
        + QByteArray::number(body.size()) + "\r\nConnection: close\r\n" + extraHeaders + "\r\n" + body;
}

QByteArray CannedServer::target(const QByteArray& request)
{
    const QList<QByteArray> parts = request.left(request.indexOf("\r\n")).split(' ');
    return parts.size() >= 2 ? parts.at(1) : QByteArray();
}

QByteArray CannedServer::body(const QByteArray& request)
{
    const qsizetype end = request.indexOf("\r\n\r\n");
    return end < 0 ? QByteArray() : request.mid(end + 4);
}

void CannedServer::incomingConnection(qintptr descriptor)
{
    QTcpSocket* socket = nullptr;
    if (m_tls) {
        auto* ssl = new QSslSocket(this);
        ssl->setSocketDescriptor(descriptor);
        const QString dir = QStringLiteral(NOLVEX_TEST_DATA_DIR);
        ssl->setLocalCertificate(
            QSslCertificate(readFile(dir + QLatin1Char('/') + m_certificate + QStringLiteral(".crt"))));
        ssl->setPrivateKey(
            QSslKey(readFile(dir + QLatin1Char('/') + m_certificate + QStringLiteral(".key")), QSsl::Rsa));
        ssl->startServerEncryption();
        socket = ssl;
    } else {
        socket = new QTcpSocket(this);
        socket->setSocketDescriptor(descriptor);
    }
    socket->setProperty("request", QByteArray());
    connect(socket, &QTcpSocket::readyRead, this, [this, socket] { onReadable(socket); });
    connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
}

void CannedServer::onReadable(QTcpSocket* socket)
{
    QByteArray request = socket->property("request").toByteArray() + socket->readAll();
    socket->setProperty("request", request);
    const qsizetype headerEnd = request.indexOf("\r\n\r\n");
    if (headerEnd < 0) {
        return;
    }
    qsizetype length = 0;
    for (const QByteArray& line : request.left(headerEnd).split('\n')) {
        if (line.toLower().startsWith("content-length:")) {
            length = line.mid(15).trimmed().toLongLong();
        }
    }
    if (request.size() < headerEnd + 4 + length) {
        return;
    }
    socket->setProperty("request", QByteArray());
    m_requests.append(request);
    answer(socket, request);
}

void CannedServer::answer(QTcpSocket* socket, const QByteArray& request)
{
    const QByteArray reply = m_handler ? m_handler(request) : QByteArray();
    switch (m_behaviour) {
    case Behaviour::Silent:
        return;
    case Behaviour::Reply:
        socket->write(reply);
        socket->disconnectFromHost();
        return;
    case Behaviour::ResetAfterReply:
        socket->write(reply);
        socket->flush();
        QTimer::singleShot(50, socket, [socket] { socket->abort(); });
        return;
    case Behaviour::Drip: {
        auto* timer = new QTimer(socket);
        auto position = std::make_shared<qsizetype>(0);
        connect(timer, &QTimer::timeout, socket, [socket, reply, position, timer] {
            if (*position >= reply.size()) {
                timer->stop();
                socket->disconnectFromHost();
                return;
            }
            socket->write(reply.mid((*position)++, 1));
        });
        timer->start(DripInterval);
        return;
    }
    case Behaviour::KeepOpen:
        socket->write(reply);
        return;
    case Behaviour::Repeated:
        socket->write(reply);
        socket->flush();
        QTimer::singleShot(0, socket, [socket, reply] {
            socket->write(reply);
            socket->flush();
        });
        return;
    case Behaviour::TwoWrites: {
        const qsizetype pause = reply.indexOf(PauseMark);
        socket->write(pause < 0 ? reply : reply.left(pause));
        const QByteArray rest = pause < 0 ? QByteArray() : reply.mid(pause + PauseMark.size());
        QTimer::singleShot(PauseInterval, socket, [socket, rest] { socket->write(rest); });
        return;
    }
    case Behaviour::Endless: {
        // Writes whenever what it wrote has gone, so the peer's reading sets the pace.
        const QByteArray chunk = QByteArray::number(EndlessChunk, 16) + "\r\n" + QByteArray(EndlessChunk, 'x') + "\r\n";
        socket->write(reply + chunk);
        connect(socket, &QTcpSocket::bytesWritten, socket, [socket, chunk] {
            if (socket->bytesToWrite() == 0) {
                socket->write(chunk);
            }
        });
        return;
    }
    }
}
