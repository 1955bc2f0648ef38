#include "routes/fastlane.h"

#include "links/codes.h"
#include "links/shortener.h"
#include "links/visitclass.h"
#include "metrics/servicemetrics.h"
#include "routes/routes.h"
#include "routes/routetable.h"

#include <QDateTime>
#include <QThread>

namespace Shortd
{

FastLane::FastLane(Routes& routes, Shortener& shortener, bool classifyVisits)
    : m_routes(routes)
    , m_shortener(shortener)
    , m_classifyVisits(classifyVisits)
{
}

RequestHandler FastLane::handlerFor(int thread)
{
    return [this, thread](const HttpRequest& request, qint64 nowMs, const Respond& respond) {
        if (answer(request, thread, respond)) {
            return;
        }
        if (QThread::currentThread() == m_routesThread.thread()) {
            m_routes.handle(request, nowMs, respond);
            return;
        }
        QMetaObject::invokeMethod(
            &m_routesThread, [routes = &m_routes, request, nowMs, respond] { routes->handle(request, nowMs, respond); },
            Qt::QueuedConnection);
    };
}

bool FastLane::answer(const HttpRequest& request, int lane, const Respond& respond)
{
    if (request.method != Method::Get && request.method != Method::Head) {
        return false;
    }
    // The row of a bare code only: previews, QR images, a limited link's button and whatever path
    // the routes read as a link's in another way stay with them.
    const RouteMatch match = matchRoute(Listener::Public, request.method, request.path);
    if (!match.row || match.row->label != Metrics::Route::Redirect || !mayNameLink(match.item)) {
        return false;
    }
    // The cache's lock orders this read after any take-down or forget that finished before it: a
    // link the routes answered 410 for is never found here as it was.
    const std::optional<StoredLink> link = m_shortener.cachedLink(match.item);
    const qint64 nowSecs = QDateTime::currentSecsSinceEpoch();
    if (!link || link->state != LinkState::Active || link->maxVisits > 0
        || (link->expiresSecs > 0 && nowSecs >= link->expiresSecs)) {
        return false;
    }
    Metrics::service().cacheHits.add();
    // Counted as the routes count it: HEAD is no visit, and the class comes from the user agent.
    if (request.method == Method::Get) {
        const VisitClass kind = m_classifyVisits ? classify(request.userAgent) : VisitClass::Human;
        m_shortener.countVisit(
            match.item, VisitFacts {kind, request.client, request.userAgent, request.referer}, nowSecs, lane);
    }
    respond(redirectTo(link->target));
    return true;
}

} // namespace Shortd
