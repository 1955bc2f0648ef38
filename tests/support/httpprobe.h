#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <QUrl>

class QNetworkAccessManager;

// What came back for one request: status, headers and body. status 0 means no reply at all.
struct HttpResult {
    int status = 0;
    QByteArray rawHeaders;
    QByteArray body;
    bool closed = false; // the peer closed the connection after replying

    QByteArray header(QByteArrayView name) const;
    QJsonObject json() const;
    // The code of the short link a shortening reply carries; empty when it carries none.
    QString linkCode() const;
};

// Sends bytes exactly as given on a new loopback connection and reads one reply.
HttpResult rawExchange(quint16 port, const QByteArray& request, int timeoutMs = 10'000);
QByteArray rawGet(const QByteArray& target, quint16 port);
// A GET as a browser sends it, with a browser's User-Agent: a visit the service counts as a person's.
QByteArray rawVisit(const QByteArray& target, quint16 port);
QByteArray rawPost(const QByteArray& target, const QByteArray& body, const QByteArray& contentType, quint16 port);
// Any request: Host, Connection: close and the given header lines; a body goes as JSON.
QByteArray rawRequest(QByteArrayView method, QByteArrayView target, QByteArrayView host, QByteArrayView headers = {},
    QByteArrayView body = {});

// The target of a shortening request, built the way the client builds it.
QByteArray shortenTarget(int type, const QString& address);
// Shortens the address on the service at port, as the client does: the link's code, or empty.
QString shortenedCode(quint16 port, int type, const QString& address);

// Through a network access manager, as the client does; redirects are not followed.
HttpResult fetch(QNetworkAccessManager& manager, const QUrl& url, const QByteArray& postBody = {});
