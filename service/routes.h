#pragma once

#include "config.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QUrl>
#include <utility>

namespace Shortd
{

class LinkStore;
class RateLimiter;
class Shortener;

enum class Method {
    Get,
    Head,
    Post,
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
    QString client; // the peer's address, the key of the rate limit
};

struct HttpReply {
    int status = 200;
    QByteArray contentType;
    QByteArray body;
    QList<std::pair<QByteArray, QByteArray>> headers;

    void addHeader(QByteArray name, QByteArray value) { headers.append({std::move(name), std::move(value)}); }
};

inline constexpr qsizetype MaximumFormBody = 4096;

class Routes
{
public:
    Routes(ServiceConfig config, Shortener& shortener, LinkStore& store, RateLimiter& rateLimiter);

    HttpReply handle(const HttpRequest& request, qint64 nowMs);

    // The short link of a code as the client is to show it.
    QString shortLink(int type, const QString& code, const QByteArray& host) const;
    // Addresses that lead back to this service: the link bases and every name of its own origin.
    QList<QUrl> ownBases(const QByteArray& host) const;

private:
    HttpReply shorten(const HttpRequest& request, qint64 nowMs);
    HttpReply softVersion(const HttpRequest& request);
    HttpReply releaseDetail(const QString& sid) const;
    HttpReply redirect(const QString& segment, bool countVisit);
    HttpReply preview(const QString& code, const QString& segment, const QByteArray& host);
    HttpReply health();
    QUrl originFromHost(const QByteArray& host) const;

    ServiceConfig m_config;
    Shortener& m_shortener;
    LinkStore& m_store;
    RateLimiter& m_rateLimiter;
    QList<QUrl> m_fixedBases;
};

// The two JSON shapes of the client's protocol.
HttpReply jsonFailure(int status, const QString& message);
HttpReply jsonSuccess(const QString& info);

} // namespace Shortd
