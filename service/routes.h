#pragma once

#include "config.h"
#include "http/message.h"
#include "http/qrimages.h"
#include "store/linkstore.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QUrl>
#include <optional>
#include <utility>

namespace Shortd
{

class RateLimiter;
class Shortener;

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
    // The link stored under code, or nothing with the page that says why: 404, or 503 when the
    // store failed. segment is the path segment as requested, shown on that page.
    std::optional<StoredLink> lookup(const QString& code, const QString& segment, HttpReply* missing);
    HttpReply redirect(const QString& segment, bool countVisit);
    HttpReply preview(const QString& code, const QString& segment, const QByteArray& host);
    HttpReply qrImage(const QrRequest& qr, const QString& segment, const QByteArray& host);
    HttpReply health();
    QUrl originFromHost(const QByteArray& host) const;

    ServiceConfig m_config;
    Shortener& m_shortener;
    LinkStore& m_store;
    RateLimiter& m_rateLimiter;
    QList<QUrl> m_fixedBases;
    QrImages m_qrImages;
};

// The two JSON shapes of the client's protocol.
HttpReply jsonFailure(int status, const QString& message);
HttpReply jsonSuccess(const QString& info);

} // namespace Shortd
