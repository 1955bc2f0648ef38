#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>
#include <functional>
#include <utility>

namespace Shortd
{

enum class Method {
    Get,
    Head,
    Post,
    Put,
    Patch,
    Delete,
    Options,
    Other,
};

// A request as the routes see it, independent of the HTTP stack that received it.
struct HttpRequest {
    Method method = Method::Get;
    QString path; // percent-encoded, as sent
    QByteArray query; // percent-encoded, as sent, without the '?'
    QByteArray body;
    QByteArray contentType;
    QByteArray host; // the Host header
    QString client; // the client's address (see clientAddress()), the key of the rate limit
    // The header fields the routes read; empty when absent. None of them is ever logged.
    QByteArray authorization;
    QByteArray userAgent;
    QByteArray referer;
    QByteArray acceptLanguage;
    QByteArray ifNoneMatch;
    // Where a browser says a request came from, to tell a form sent from another site.
    QByteArray origin;
    QByteArray secFetchSite;
    // Sent by the service's own console (X-Nolvex-Console), so that what a key changes from there
    // is told apart in the audit log.
    QByteArray console;
};

struct HttpReply {
    int status = 200;
    QByteArray contentType;
    QByteArray body;
    QList<std::pair<QByteArray, QByteArray>> headers;

    void addHeader(QByteArray name, QByteArray value) { headers.append({std::move(name), std::move(value)}); }
};

// "Not Found" for 404: the reason phrase of a status line.
QByteArrayView reasonPhrase(int status);

// Takes the reply to one request: at once, or later when the answer needs the store.
using Respond = std::function<void(HttpReply)>;
// Answers one request through respond, exactly once; nowMs is a monotonic clock in milliseconds.
using RequestHandler = std::function<void(const HttpRequest& request, qint64 nowMs, const Respond& respond)>;

} // namespace Shortd
