#pragma once

#include "config.h"
#include "http/message.h"
#include "links/linkbases.h"
#include "routes/routetable.h"
#include "store/linkstore.h"
#include "web/qrimages.h"
#include "web/webapp.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QUrl>
#include <functional>
#include <memory>
#include <optional>
#include <utility>

namespace Shortd
{

class ApiRouter;
class RateLimiter;
class Shortener;
struct VisitFacts;

inline constexpr qsizetype MaximumFormBody = 4096;

// The service's answers, reached through the route table (routes/routetable.cpp): the client's
// protocol, the pages, a link's redirect, preview and QR code, /healthz and /readyz, the JSON API
// (api/apirouter.h) and, on its own listener, /metrics.
class Routes
{
public:
    Routes(ServiceConfig config, Shortener& shortener, RateLimiter& rateLimiter);
    ~Routes();
    Routes(const Routes&) = delete;
    Routes& operator=(const Routes&) = delete;

    // A request to the public listener.
    void handle(const HttpRequest& request, qint64 nowMs, const Respond& respond);
    // A request to the metrics listener; the page itself comes from setMetricsPage().
    void handleMetrics(const HttpRequest& request, const Respond& respond);
    void setMetricsPage(std::function<void(const Respond&)> page) { m_metricsPage = std::move(page); }
    // From now on /readyz answers 503: the service is stopping.
    void setStopping() { m_stopping = true; }
    // What /readyz answers: ready while not stopping, the store answers and writes succeed.
    void checkReady(const std::function<void(const HttpReply& reply)>& done);

    // The short link of a code as the client is to show it.
    QString shortLink(int type, const QString& code, const QByteArray& host) const
    {
        return m_bases.shortLink(type, code, host);
    }
    // Addresses that lead back to this service: the link bases and every name of its own origin.
    QList<QUrl> ownBases(const QByteArray& host) const { return m_bases.ownBases(host); }
    // The JSON API, for its rows of the table and the wiring that joins its failed-key limit to the cluster's.
    ApiRouter& api() { return *m_api; }

    // The handlers of the table's rows.
    void shorten(const HttpRequest& request, qint64 nowMs, const Respond& respond);
    HttpReply softVersion(const HttpRequest& request);
    HttpReply releaseDetail(const QString& sid) const;
    void alive(const Respond& respond);
    // A page or an asset, or the path taken as a link's when it is none.
    void page(const HttpRequest& request, const Respond& respond);
    // Follows the link named by segment for a GET, a HEAD or the POST of a limited link's button.
    void redirect(const QString& segment, const HttpRequest& request, const Respond& respond);
    // The POST of a limited link's button: a visit when it comes from this service's page.
    void confirmVisit(const QString& segment, const HttpRequest& request, const Respond& respond);
    void preview(const HttpRequest& request, const QString& code, const QString& segment, const Respond& respond);
    void qrImage(const HttpRequest& request, const QString& segment, const Respond& respond);
    // Whatever path no other row takes, as a link's: its preview, its QR code or the link.
    void followPath(const HttpRequest& request, const Respond& respond);
    // The report form's POST: a small page in the visitor's language that thanks or says why not.
    void report(const HttpRequest& request, const Respond& respond);
    void metricsPage(const Respond& respond);

private:
    void dispatch(Listener listener, const HttpRequest& request, qint64 nowMs, const Respond& respond);
    // A refusal, or the type and address to shorten.
    std::optional<HttpReply> refuseShorten(const HttpRequest& request, qint64 nowMs, int* type, QString* address);
    // Answers through found with the link stored under code, or answers the request itself: 404, or
    // 503 when the store failed. segment is the path segment as requested, shown on that page.
    // A quarantined link answers its warning page, in the language asked for, and is not counted.
    void lookup(const QString& code, const QString& segment, const Respond& respond,
        std::function<void(const StoredLink&)> found, const QByteArray& host, const QByteArray& acceptLanguage);
    // Whether a POST came from one of this service's pages, as far as the browser tells.
    bool fromOwnPage(const HttpRequest& request) const;
    // What a limited link answers whoever uses none of its visits: a page with a button that uses
    // one, in the language asked for, and never the destination.
    HttpReply limitedReply(
        const StoredLink& link, const QString& code, const QByteArray& host, QByteArrayView acceptLanguage) const;
    // What a quarantined link answers (403): why, and where it led only as defanged text.
    HttpReply quarantinedReply(const StoredLink& link, const QByteArray& host, QByteArrayView acceptLanguage) const;
    // The report form of a link's pages, in the language given.
    QString reportFormFor(const QString& code, Language language) const;
    void drawQr(const QrRequest& qr, const QString& segment, const HttpRequest& request, const Respond& respond);

    ServiceConfig m_config;
    Shortener& m_shortener;
    RateLimiter& m_rateLimiter;
    LinkBases m_bases;
    QrImages m_qrImages;
    bool m_stopping = false;
    std::unique_ptr<ApiRouter> m_api; // the JSON API's handlers and key checks
    WebApp m_web;
    std::function<void(const Respond&)> m_metricsPage;
};

// The two JSON shapes of the client's protocol.
HttpReply jsonFailure(int status, const QString& message);
HttpReply jsonSuccess(const QString& info);
// 302 for a GET; 303 for the POST of a limited link's button, so the browser GETs the destination.
HttpReply redirectTo(const QString& target, int status = 302);
// The answer to a request the front end refuses before any route sees it (path as sent, empty when
// unknown): a problem under /api/, the protocol's JSON failure elsewhere.
HttpReply edgeRefusal(int status, QByteArrayView path);

} // namespace Shortd
