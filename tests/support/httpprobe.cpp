#include "httpprobe.h"

#include "protocol.h"
#include "token.h"

#include <QDeadlineTimer>
#include <QEventLoop>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTcpSocket>
#include <QTimer>

QByteArray HttpResult::header(QByteArrayView name) const
{
    for (const QByteArray& line : rawHeaders.split('\n')) {
        const qsizetype colon = line.indexOf(':');
        if (colon > 0 && QByteArrayView(line).first(colon).trimmed().compare(name, Qt::CaseInsensitive) == 0) {
            return line.sliced(colon + 1).trimmed();
        }
    }
    return {};
}

QJsonObject HttpResult::json() const
{
    return QJsonDocument::fromJson(body).object();
}

QString HttpResult::linkCode() const
{
    return json().value(Nolvex::Protocol::InfoMember.toString()).toString().section(u'/', -1);
}

HttpResult rawExchange(quint16 port, const QByteArray& request, int timeoutMs)
{
    HttpResult result;
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    if (!socket.waitForConnected(timeoutMs)) {
        return result;
    }
    socket.write(request);
    const QDeadlineTimer deadline(timeoutMs);
    QByteArray received;
    qsizetype headerEnd = -1;
    qsizetype contentLength = -1;
    while (!deadline.hasExpired()) {
        if (headerEnd < 0) {
            headerEnd = received.indexOf("\r\n\r\n");
            if (headerEnd >= 0) {
                result.rawHeaders = received.first(headerEnd);
                contentLength = result.header("Content-Length").toLongLong();
            }
        }
        if (headerEnd >= 0 && received.size() - headerEnd - 4 >= contentLength) {
            break;
        }
        if (socket.state() != QAbstractSocket::ConnectedState && socket.bytesAvailable() == 0) {
            result.closed = true;
            break;
        }
        if (socket.waitForReadyRead(static_cast<int>(std::max<qint64>(deadline.remainingTime(), 1)))) {
            received += socket.readAll();
        } else {
            received += socket.readAll();
            if (socket.state() != QAbstractSocket::ConnectedState) {
                result.closed = true;
                break;
            }
        }
    }
    if (headerEnd < 0) {
        return result;
    }
    const QList<QByteArray> statusLine = received.first(received.indexOf("\r\n")).split(' ');
    result.status = statusLine.size() >= 2 ? statusLine.at(1).toInt() : 0;
    result.body = received.sliced(headerEnd + 4);
    return result;
}

QByteArray rawGet(const QByteArray& target, quint16 port)
{
    return "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1:" + QByteArray::number(port) + "\r\n\r\n";
}

QByteArray rawVisit(const QByteArray& target, quint16 port)
{
    return "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1:" + QByteArray::number(port)
        + "\r\nUser-Agent: Mozilla/5.0 (X11; Linux x86_64; rv:121.0) Gecko/20100101 Firefox/121.0\r\n\r\n";
}

QByteArray rawPost(const QByteArray& target, const QByteArray& body, const QByteArray& contentType, quint16 port)
{
    QByteArray request = "POST " + target + " HTTP/1.1\r\nHost: 127.0.0.1:" + QByteArray::number(port) + "\r\n";
    if (!contentType.isEmpty()) {
        request += "Content-Type: " + contentType + "\r\n";
    }
    return request + "Content-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body;
}

QByteArray rawRequest(
    QByteArrayView method, QByteArrayView target, QByteArrayView host, QByteArrayView headers, QByteArrayView body)
{
    QByteArray request = method.toByteArray();
    request.append(' ').append(target).append(" HTTP/1.1\r\nHost: ").append(host).append("\r\nConnection: close\r\n");
    request.append(headers);
    if (!body.isEmpty()) {
        request += "Content-Type: application/json\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n";
    }
    return request.append("\r\n").append(body);
}

QByteArray shortenTarget(int type, const QString& address)
{
    using namespace Nolvex::Protocol;
    return ShortenPath.toLatin1() + '?' + TypeKey.toLatin1() + '=' + QByteArray::number(type) + '&' + UrlKey.toLatin1()
        + '=' + QUrl::toPercentEncoding(address) + '&' + TokenKey.toLatin1() + '='
        + Nolvex::requestToken(address).toLatin1();
}

QString shortenedCode(quint16 port, int type, const QString& address)
{
    return rawExchange(port, rawGet(shortenTarget(type, address), port)).linkCode();
}

HttpResult fetch(QNetworkAccessManager& manager, const QUrl& url, const QByteArray& postBody)
{
    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    request.setTransferTimeout(15'000);
    QNetworkReply* reply = nullptr;
    if (postBody.isNull()) {
        reply = manager.get(request);
    } else {
        request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/x-www-form-urlencoded"));
        reply = manager.post(request, postBody);
    }
    QEventLoop loop;
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    loop.exec();
    HttpResult result;
    result.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    for (const auto& [name, value] : reply->rawHeaderPairs()) {
        result.rawHeaders += name + ": " + value + "\r\n";
    }
    result.body = reply->readAll();
    reply->deleteLater();
    return result;
}
