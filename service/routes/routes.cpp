#include "routes/routes.h"

#include "api/apirouter.h"
#include "api/problem.h"
#include "links/addresspolicy.h"
#include "links/anonymouscreation.h"
#include "links/codes.h"
#include "links/fields.h"
#include "links/ratelimiter.h"
#include "links/reports.h"
#include "links/shortener.h"
#include "links/visitclass.h"
#include "protocol.h"
#include "store/linkstore.h"
#include "token.h"
#include "web/pages.h"
#include "web/policies.h"
#include "web/qrimages.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>

namespace Shortd
{
namespace
{
constexpr auto JsonType = QByteArrayView("application/json; charset=utf-8");
constexpr auto HtmlType = QByteArrayView("text/html; charset=utf-8");
constexpr int RetryAfterSeconds = 2;
// A report's text is at most 1,000 characters, each up to twelve bytes once percent-encoded.
constexpr qsizetype MaximumReportForm = qsizetype(16) * 1024;
using namespace Nolvex::Protocol;

HttpReply json(int status, const QJsonObject& object)
{
    HttpReply reply {status, JsonType.toByteArray(), QJsonDocument(object).toJson(QJsonDocument::Compact), {}};
    reply.addHeader("Cache-Control", "no-store");
    return reply;
}

HttpReply html(int status, QByteArray body, SecurityPolicy policy = SecurityPolicy::Page)
{
    HttpReply reply {status, HtmlType.toByteArray(), std::move(body), {}};
    reply.addHeader("Content-Security-Policy", policyText(policy).toByteArray());
    reply.addHeader("X-Frame-Options", "DENY");
    reply.addHeader("X-Content-Type-Options", "nosniff");
    return reply;
}

HttpReply plainText(int status, QByteArray body)
{
    return HttpReply {status, "text/plain; charset=utf-8", std::move(body), {}};
}

// The metrics listener serves one path.
HttpReply metricsNotFound()
{
    return plainText(404, "not found; metrics are at /metrics\n");
}

// A method the path's rows do not take, worded as the route's family words its answers; the API
// answers OPTIONS with what the path allows.
HttpReply refuseMethod(Family family, quint8 allowed, Method method)
{
    HttpReply reply;
    switch (family) {
    case Family::Protocol:
        reply = jsonFailure(405, QStringLiteral("请求方法不正确"));
        break;
    case Family::Page:
        reply = html(405, notFoundPage(QStringLiteral("请求方法不正确")));
        break;
    case Family::Api:
        if (method == Method::Options) {
            reply = {204, {}, {}, {}};
            reply.addHeader("Cache-Control", "no-store");
            reply.addHeader("Allow", allowHeader(allowed, true));
            return reply;
        }
        return methodNotAllowedReply(allowHeader(allowed, true));
    case Family::Metrics:
        reply = plainText(405, "GET or HEAD\n");
        break;
    }
    reply.addHeader("Allow", allowHeader(allowed, false));
    return reply;
}

// The store is out of reach for now; the service reconnects by itself, so asking again soon is right.
HttpReply unavailable(HttpReply reply)
{
    reply.addHeader("Retry-After", QByteArray::number(RetryAfterSeconds));
    return reply;
}

// A page in place of a link that no longer leads anywhere; never kept, the link may come back.
// Its report form posts to this service.
HttpReply gone(QByteArray page)
{
    HttpReply reply = html(410, std::move(page), SecurityPolicy::ReportPage);
    reply.addHeader("Cache-Control", "no-store");
    return reply;
}

// The 410 of a link that has run out, given when it ended: past its end, or else its visits used up.
HttpReply expired(const StoredLink& link, qint64 nowSecs, const QString& reportForm)
{
    const bool ended = link.expiresSecs > 0 && nowSecs >= link.expiresSecs;
    return gone(expiredPage(link.code, ended ? link.expiresSecs : 0, reportForm));
}

LinkBases linkBasesOf(const ServiceConfig& config)
{
    return LinkBases(
        {config.linkBases, config.ownOrigin(), config.listenAddress, config.port, config.usesTls(), config.ownBases()});
}

QString decodeFieldError(DecodeError error)
{
    return error == DecodeError::TooManyFields ? QStringLiteral("请求参数过多")
                                               : QStringLiteral("请求参数的编码不正确");
}
} // namespace

HttpReply jsonFailure(int status, const QString& message)
{
    return json(status,
        QJsonObject {
            {ResultMember.toString(), 0}, {InfoMember.toString(), QString()}, {MessageMember.toString(), message}});
}

HttpReply jsonSuccess(const QString& info)
{
    return json(200,
        QJsonObject {
            {ResultMember.toString(), 1}, {InfoMember.toString(), info}, {MessageMember.toString(), QString()}});
}

HttpReply redirectTo(const QString& target, int status)
{
    HttpReply reply {status, HtmlType.toByteArray(), {}, {}};
    reply.addHeader("Location", locationHeader(target));
    reply.addHeader("Cache-Control", "no-store");
    reply.addHeader("Referrer-Policy", "no-referrer");
    return reply;
}

HttpReply edgeRefusal(int status, QByteArrayView path)
{
    QString message = QStringLiteral("服务繁忙，请稍后再试");
    switch (status) {
    case 400:
        message = QStringLiteral("请求格式不正确");
        break;
    case 413:
        message = QStringLiteral("请求内容过长");
        break;
    case 417:
        message = QStringLiteral("无法满足请求头 Expect 的要求");
        break;
    case 431:
        message = QStringLiteral("请求头过多");
        break;
    default:
        break;
    }
    if (matchRoute(Listener::Public, Method::Get, QString::fromLatin1(path)).first->family == Family::Api) {
        return problemReply(status, message);
    }
    // Members in the order clients have always had them from the front end.
    return HttpReply {
        status, JsonType.toByteArray(), R"({"result":0,"info":"","message":")" + message.toUtf8() + R"("})", {}};
}

Routes::Routes(ServiceConfig config, Shortener& shortener, RateLimiter& rateLimiter)
    : m_config(std::move(config))
    , m_shortener(shortener)
    , m_rateLimiter(rateLimiter)
    , m_bases(linkBasesOf(m_config))
    , m_qrImages(m_config.qrCacheBytes)
    , m_api(std::make_unique<ApiRouter>(
          ApiSettings {m_config.openShorten, m_config.port, m_config.reportThreshold}, m_bases, shortener, rateLimiter))
{
}

Routes::~Routes() = default;

void Routes::handle(const HttpRequest& request, qint64 nowMs, const Respond& respond)
{
    dispatch(Listener::Public, request, nowMs, respond);
}

void Routes::handleMetrics(const HttpRequest& request, const Respond& respond)
{
    dispatch(Listener::Metrics, request, 0, respond);
}

void Routes::dispatch(Listener listener, const HttpRequest& request, qint64 nowMs, const Respond& respond)
{
    const RouteMatch match = matchRoute(listener, request.method, request.path);
    if (!match.first) {
        // The public listener's last row takes every path.
        respond(metricsNotFound());
        return;
    }
    if (!match.row) {
        respond(refuseMethod(match.first->family, match.allowed, request.method));
        return;
    }
    const RouteHandler handler = match.row->handler;
    if (match.row->access == Access::Anyone) {
        handler(*this, RouteCall {request, nowMs, respond, match.item, nullptr});
        return;
    }
    m_api->admit(match.row->access, request, nowMs, respond,
        [this, handler, request, nowMs, respond, item = match.item](const Authentication* caller) {
            handler(*this, RouteCall {request, nowMs, respond, item, caller});
        });
}

void Routes::page(const HttpRequest& request, const Respond& respond)
{
    if (std::optional<HttpReply> page = m_web.reply(request)) {
        respond(std::move(*page));
        return;
    }
    followPath(request, respond);
}

void Routes::followPath(const HttpRequest& request, const Respond& respond)
{
    const QString& path = request.path;
    const QString segment = path.sliced(path.isEmpty() ? 0 : 1);
    if (segment.endsWith(u'+')) {
        preview(request, segment.chopped(1), segment, respond);
        return;
    }
    if (const std::optional<QrRequest> qr = parseQrRequest(segment, request.query)) {
        drawQr(*qr, segment, request, respond);
        return;
    }
    redirect(segment, request, respond);
}

void Routes::confirmVisit(const QString& segment, const HttpRequest& request, const Respond& respond)
{
    if (!fromOwnPage(request)) {
        respond(html(403,
            messagePage(QStringLiteral("请从短网址的页面继续访问"),
                QStringLiteral("这个请求来自其他网站的页面，没有用掉短网址的访问次数。请直接打开短网址。"))));
        return;
    }
    redirect(segment, request, respond);
}

void Routes::qrImage(const HttpRequest& request, const QString& segment, const Respond& respond)
{
    if (const std::optional<QrRequest> qr = parseQrRequest(segment, request.query)) {
        drawQr(*qr, segment, request, respond);
    } else {
        redirect(segment, request, respond);
    }
}

void Routes::metricsPage(const Respond& respond)
{
    if (m_metricsPage) {
        m_metricsPage(respond);
    } else {
        respond(metricsNotFound());
    }
}

bool Routes::fromOwnPage(const HttpRequest& request) const
{
    // Browsers say where a request came from; a client that says nothing could send any request
    // it likes, and a POST from it is a visit it chose to make.
    if (!request.secFetchSite.isEmpty()) {
        return request.secFetchSite == "same-origin" || request.secFetchSite == "none";
    }
    if (request.origin.isEmpty()) {
        return true;
    }
    // Behind a proxy that ends TLS the schemes differ; the host and the port the browser saw do not.
    const QUrl origin(QString::fromLatin1(request.origin), QUrl::StrictMode);
    const auto sameHost = [&origin](const QUrl& own) {
        return own.isValid() && own.host() == origin.host() && own.port() == origin.port();
    };
    const QUrl host(u"http://" % QString::fromLatin1(request.host) % u'/', QUrl::StrictMode);
    return origin.isValid() && !origin.host().isEmpty()
        && (sameHost(host) || std::ranges::any_of(m_bases.fixedBases(), sameHost));
}

HttpReply Routes::limitedReply(
    const StoredLink& link, const QString& code, const QByteArray& host, QByteArrayView acceptLanguage) const
{
    const Language language = preferredLanguage(acceptLanguage);
    const LimitedPageTexts texts {WebApp::languageTag(language), m_web.text(language, QStringLiteral("limited.title")),
        m_web.text(language, QStringLiteral("limited.message")),
        m_web.text(language, QStringLiteral("limited.button"))};
    // Kept nowhere and indexed by no one: the next look may find the link used up.
    HttpReply reply
        = html(200, limitedPage(texts, shortLink(link.type, code, host), u'/' + code), SecurityPolicy::FormPage);
    reply.addHeader("Cache-Control", "no-store");
    reply.addHeader("X-Robots-Tag", "noindex");
    return reply;
}

std::optional<HttpReply> Routes::refuseShorten(
    const HttpRequest& request, qint64 nowMs, int* typeOut, QString* addressOut)
{
    if (!m_config.openShorten) {
        return jsonFailure(403, closedShorteningMessage());
    }
    const DecodedFields query = decodeQuery(request.query);
    if (query.error != DecodeError::None) {
        return jsonFailure(400, decodeFieldError(query.error));
    }
    const FieldValue typeField = findField(query.fields, TypeKey);
    const FieldValue urlField = findField(query.fields, UrlKey);
    const FieldValue tokenField = findField(query.fields, TokenKey);
    if (typeField.count == 0) {
        return jsonFailure(400, QStringLiteral("缺少参数 type（短网址类型）"));
    }
    if (urlField.count == 0) {
        return jsonFailure(400, QStringLiteral("缺少参数 url（要缩短的网址）"));
    }
    if (tokenField.count == 0) {
        return jsonFailure(400, QStringLiteral("缺少参数 token（校验码）"));
    }
    if (typeField.count > 1 || urlField.count > 1 || tokenField.count > 1) {
        return jsonFailure(400, QStringLiteral("请求参数重复"));
    }
    const auto type = parseLinkType(typeField.value);
    if (!type) {
        return jsonFailure(400, QStringLiteral("短网址类型不正确，应为 0 到 5"));
    }
    const QString& address = urlField.value;
    if (address.size() > MaximumAddressLength) {
        return jsonFailure(414, addressProblemMessage(AddressProblem::TooLong));
    }
    if (!tokensEqual(tokenField.value, Nolvex::requestToken(address))) {
        return jsonFailure(403, QStringLiteral("校验码不正确，请使用最新版本的 Nolvex 网址缩短工具"));
    }
    const AnonymousRefusal refusal
        = admitAnonymous(address, ownBases(request.host), m_config.port, m_rateLimiter, request.client, nowMs);
    if (refusal.kind == AnonymousRefusal::Kind::Address) {
        return jsonFailure(400, addressProblemMessage(refusal.problem));
    }
    if (refusal.kind == AnonymousRefusal::Kind::RateLimited || refusal.kind == AnonymousRefusal::Kind::HostLimited) {
        HttpReply reply = jsonFailure(429,
            refusal.kind == AnonymousRefusal::Kind::HostLimited
                ? hostLimitedMessage(m_rateLimiter.hosts()->perHour(), refusal.retryAfterSeconds)
                : rateLimitedMessage(m_rateLimiter.perMinute(), refusal.retryAfterSeconds));
        reply.addHeader("Retry-After", QByteArray::number(refusal.retryAfterSeconds));
        return reply;
    }
    *typeOut = *type;
    *addressOut = address;
    return std::nullopt;
}

void Routes::shorten(const HttpRequest& request, qint64 nowMs, const Respond& respond)
{
    int type = 0;
    QString address;
    if (std::optional<HttpReply> refusal = refuseShorten(request, nowMs, &type, &address)) {
        respond(std::move(*refusal));
        return;
    }
    const auto answer = [this, type, address, host = request.host, respond](const Shortener::Outcome& outcome) {
        // Only a new link counts towards its site's hour.
        if (!outcome.created && m_rateLimiter.hosts()) {
            m_rateLimiter.hosts()->giveBack(address);
        }
        if (outcome.listed) {
            respond(jsonFailure(403, listedAddressMessage()));
            return;
        }
        if (outcome.status != StoreStatus::Ok) {
            respond(unavailable(jsonFailure(503, QStringLiteral("服务暂时无法保存短网址，请稍后再试"))));
            return;
        }
        if (outcome.link.state == LinkState::Disabled) {
            respond(jsonFailure(403, QStringLiteral("该网址的短网址已被服务管理员停用，不能再次缩短")));
            return;
        }
        // Its link was quarantined: handing it out would give a link that answers 403.
        if (outcome.link.state == LinkState::Quarantined) {
            respond(jsonFailure(403, listedAddressMessage()));
            return;
        }
        // The address's link has run out: handing it out again would give a link that answers 410.
        if (isExpired(outcome.link, QDateTime::currentSecsSinceEpoch())) {
            respond(jsonFailure(403, QStringLiteral("该网址的短网址已过期，不能再次缩短")));
            return;
        }
        respond(jsonSuccess(shortLink(type, outcome.link.code, host)));
    };
    m_shortener.shorten(type, address, answer);
}

HttpReply Routes::softVersion(const HttpRequest& request)
{
    if (request.body.size() > MaximumFormBody) {
        return jsonFailure(413, QStringLiteral("请求内容过长"));
    }
    const QByteArray mime = request.contentType.split(';').constFirst().trimmed().toLower();
    if (!mime.isEmpty() && mime != "application/x-www-form-urlencoded") {
        return jsonFailure(415, QStringLiteral("请求格式不正确"));
    }
    const DecodedFields form = decodeForm(request.body);
    if (form.error != DecodeError::None) {
        return jsonFailure(400, QStringLiteral("请求格式不正确"));
    }
    const FieldValue sn = findField(form.fields, ProductKey);
    if (sn.count == 0) {
        return jsonFailure(400, QStringLiteral("缺少产品代号"));
    }
    if (sn.count > 1) {
        return jsonFailure(400, QStringLiteral("请求格式不正确"));
    }
    if (sn.value != ProductCode) {
        return jsonFailure(200, QStringLiteral("未知的产品代号"));
    }
    const QJsonObject info {{VersionMember.toString(), m_config.releaseVersion},
        {SidMember.toString(), m_config.releaseSid}, {MustMember.toString(), m_config.releaseMust}};
    return json(200, QJsonObject {{ResultMember.toString(), 1}, {InfoMember.toString(), info}});
}

HttpReply Routes::releaseDetail(const QString& sid) const
{
    const QString decoded = percentDecode(sid.toLatin1(), false).value_or(QString());
    if (decoded != m_config.releaseSid) {
        return html(404, notFoundPage(decoded));
    }
    return html(200, releasePage(m_config.releaseVersion, m_config.releaseSid, m_config.releaseMust == u"1"));
}

HttpReply Routes::quarantinedReply(const StoredLink& link, const QByteArray& host, QByteArrayView acceptLanguage) const
{
    const Language language = preferredLanguage(acceptLanguage);
    const auto text = [this, language](const char* key) {
        return m_web.text(language, QStringLiteral("quarantine.") + QLatin1StringView(key));
    };
    const QuarantinePageTexts texts {WebApp::languageTag(language), text("title"), text("message"), text("list"),
        text("entry"), text("since"), text("destination")};
    const QuarantineFacts facts {shortLink(link.type, link.code, host), link.target, link.quarantine.list,
        link.quarantine.entry, link.quarantine.atSecs};
    HttpReply reply
        = html(403, quarantinePage(texts, facts, reportFormFor(link.code, language)), SecurityPolicy::ReportPage);
    reply.addHeader("Cache-Control", "no-store");
    reply.addHeader("X-Robots-Tag", "noindex");
    reply.addHeader("Referrer-Policy", "no-referrer");
    return reply;
}

void Routes::lookup(const QString& code, const QString& segment, const Respond& respond,
    std::function<void(const StoredLink&)> found, const QByteArray& host, const QByteArray& acceptLanguage)
{
    if (!mayNameLink(code)) {
        respond(html(404, notFoundPage(percentDecode(segment.toLatin1(), false).value_or(segment))));
        return;
    }
    m_shortener.resolve(
        code, [this, segment, respond, found = std::move(found), host, acceptLanguage](const LookupResult& result) {
            // Stopped because a blocklist names its destination: never followed, and every request
            // turned away is counted apart, as evidence of what the quarantine stopped.
            if (result.status == StoreStatus::Ok && result.link.state == LinkState::Quarantined) {
                VisitFacts blocked;
                blocked.kind = VisitClass::Blocked;
                m_shortener.countVisit(result.link.code, blocked, QDateTime::currentSecsSinceEpoch());
                Metrics::service().visitsBlocked.add();
                respond(quarantinedReply(result.link, host, acceptLanguage));
                return;
            }
            if (result.status == StoreStatus::Ok && result.link.state != LinkState::Active) {
                // Taken down: the page says so and never where the link led.
                const bool deleted = result.link.state == LinkState::Deleted;
                respond(gone(gonePage(result.link.code, deleted, result.link.reason, result.link.takedown,
                    deleted ? QString() : reportFormFor(result.link.code, Language::Chinese))));
                return;
            }
            if (result.status == StoreStatus::Ok) {
                // Only a link with an end or a limit reads the clock. Visits only grow, so a copy that
                // says they are used up is right without asking the store.
                if (const StoredLink& link = result.link; link.expiresSecs > 0 || link.maxVisits > 0) {
                    if (const qint64 now = QDateTime::currentSecsSinceEpoch(); isExpired(link, now)) {
                        respond(expired(link, now, reportFormFor(link.code, Language::Chinese)));
                        return;
                    }
                }
                found(result.link);
                return;
            }
            respond(result.status == StoreStatus::Failed ? unavailable(html(503, notFoundPage(segment)))
                                                         : html(404, notFoundPage(segment)));
        });
}

void Routes::redirect(const QString& segment, const HttpRequest& request, const Respond& respond)
{
    // Classified before the lookup: a visit limit is used up by people only. HEAD is no visit; the
    // POST of a limited link's button is a person's, whoever sends it.
    const bool confirmed = request.method == Method::Post;
    std::optional<VisitFacts> visit;
    if (request.method != Method::Head) {
        const VisitClass kind = m_config.classifyVisits && !confirmed ? classify(request.userAgent) : VisitClass::Human;
        // The button's page is this service's own: it tells nothing of where the visitor came from.
        visit = VisitFacts {kind, request.client, request.userAgent, confirmed ? QByteArray() : request.referer};
    }
    const int status = confirmed ? 303 : 302;
    lookup(
        segment, segment, respond,
        [this, segment, visit = std::move(visit), status, host = request.host, language = request.acceptLanguage,
            respond](const StoredLink& link) {
            // Bots, previews and links without a limit are counted here, in the next batch.
            if (link.maxVisits == 0) {
                if (visit) {
                    m_shortener.countVisit(segment, *visit, QDateTime::currentSecsSinceEpoch());
                }
                respond(redirectTo(link.target, status));
                return;
            }
            // A limited link leads only those who use one of its visits: whoever uses none (a bot, a
            // link preview, a HEAD) gets a page with a button that does, and never the destination.
            if (!visit || visit->kind != VisitClass::Human) {
                if (visit) {
                    m_shortener.countVisit(segment, *visit, QDateTime::currentSecsSinceEpoch());
                }
                respond(limitedReply(link, link.code, host, language));
                return;
            }
            // A person's visit: the store counts it and decides, so that all instances together serve
            // no more than the limit.
            m_shortener.takeVisit(link.code, *visit, [this, link, segment, status, respond](VisitGrant grant) {
                switch (grant) {
                case VisitGrant::Granted:
                    respond(redirectTo(link.target, status));
                    return;
                case VisitGrant::Exhausted:
                    respond(
                        expired(link, QDateTime::currentSecsSinceEpoch(), reportFormFor(link.code, Language::Chinese)));
                    return;
                case VisitGrant::Missing:
                    respond(html(404, notFoundPage(segment)));
                    return;
                case VisitGrant::Failed:
                    break;
                }
                respond(unavailable(html(503, notFoundPage(segment))));
            });
        },
        request.host, request.acceptLanguage);
}

void Routes::preview(const HttpRequest& request, const QString& code, const QString& segment, const Respond& respond)
{
    const QByteArray& host = request.host;
    const QByteArray& language = request.acceptLanguage;
    lookup(
        code, segment, respond,
        [this, code, host, language, respond](const StoredLink& link) {
            // Where a limited link leads is for those who use one of its visits.
            if (link.maxVisits > 0) {
                respond(limitedReply(link, code, host, language));
                return;
            }
            HttpReply reply = html(200,
                previewPage(shortLink(link.type, code, host), link.target, locationHeader(link.target),
                    m_shortener.visitsOf(link), link.createdSecs, code % u".svg",
                    reportFormFor(link.code, Language::Chinese)),
                SecurityPolicy::ReportPage);
            reply.addHeader("Cache-Control", "no-store");
            respond(std::move(reply));
        },
        host, language);
}

void Routes::drawQr(const QrRequest& qr, const QString& segment, const HttpRequest& request, const Respond& respond)
{
    if (qr.badSize) {
        respond(html(400,
            messagePage(QStringLiteral("二维码尺寸不正确"),
                QStringLiteral("size 应为 %1 到 %2 之间的像素数。").arg(QrMinimumPixels).arg(QrMaximumPixels))));
        return;
    }
    lookup(
        qr.code, segment, respond,
        [this, qr, host = request.host, respond](
            const StoredLink& link) { respond(m_qrImages.reply(shortLink(link.type, qr.code, host), qr)); },
        request.host, request.acceptLanguage);
}

void Routes::alive(const Respond& respond)
{
    // Alive is the process answering at all; whether it should get traffic is /readyz's question.
    respond(json(200, QJsonObject {{QStringLiteral("status"), QStringLiteral("ok")}}));
}

void Routes::checkReady(const std::function<void(const HttpReply& reply)>& done)
{
    if (m_stopping) {
        done(json(503, QJsonObject {{QStringLiteral("status"), QStringLiteral("stopping")}}));
        return;
    }
    // The store was reached and its schema brought up to date before the service began to listen;
    // from then on ready means it still answers.
    m_shortener.checkHealth([this, done](bool healthy) {
        // A store that answers but refuses writes (a full disk) cannot create links either.
        const QString writeFailure = m_shortener.writeFailure();
        if (healthy && writeFailure.isEmpty() && !m_stopping) {
            done(json(200, QJsonObject {{QStringLiteral("status"), QStringLiteral("ok")}}));
            return;
        }
        QJsonObject answer {
            {QStringLiteral("status"), m_stopping ? QStringLiteral("stopping") : QStringLiteral("unavailable")}};
        if (!writeFailure.isEmpty()) {
            answer.insert(QStringLiteral("writeError"), writeFailure);
        }
        done(json(503, answer));
    });
}

QString Routes::reportFormFor(const QString& code, Language language) const
{
    const auto text = [this, language](QStringView key) { return m_web.text(language, u"report." % key); };
    QStringList reasons;
    for (const QString& reason : reportReasons()) {
        reasons.append(text(reason));
    }
    return reportForm({text(u"heading"), text(u"reason"), reasons, text(u"text"), text(u"submit")}, code);
}

void Routes::report(const HttpRequest& request, const Respond& respond)
{
    const Language language = preferredLanguage(request.acceptLanguage);
    const auto text = [this, language](QStringView key) { return m_web.text(language, u"report." % key); };
    const auto answer
        = [language, refused = text(u"refusedTitle")](int status, const QString& message, const QString& title = {}) {
              HttpReply reply = html(
                  status, messagePage(title.isEmpty() ? refused : title, message, WebApp::languageTag(language)));
              reply.addHeader("Cache-Control", "no-store");
              reply.addHeader("X-Robots-Tag", "noindex");
              return reply;
          };
    const QByteArray mime = request.contentType.split(';').constFirst().trimmed().toLower();
    if (request.body.size() > MaximumReportForm || mime != "application/x-www-form-urlencoded") {
        respond(answer(request.body.size() > MaximumReportForm ? 413 : 415, text(u"invalid")));
        return;
    }
    const DecodedFields form = decodeForm(request.body);
    const FieldValue code = findField(form.fields, u"code");
    const FieldValue reason = findField(form.fields, u"reason");
    const FieldValue note = findField(form.fields, u"text");
    const Result<ReportRequest> checked = checkReport(code.value, reason.value, note.value);
    if (form.error != DecodeError::None || code.count > 1 || reason.count > 1 || note.count > 1 || !checked) {
        respond(answer(400, text(u"invalid")));
        return;
    }
    const bool queued = m_api->fileReport(*checked, request.client, [answer, text, respond](const FiledReport& filed) {
        switch (filed.outcome) {
        case FiledReport::Outcome::Filed:
            respond(answer(200, text(u"thanks"), text(u"thanksTitle")));
            return;
        case FiledReport::Outcome::NoSuchLink:
            respond(answer(404, text(u"missing")));
            return;
        case FiledReport::Outcome::HourlyLimit:
            respond(answer(429, text(u"hourly")));
            return;
        case FiledReport::Outcome::AlreadyReported:
            respond(answer(429, text(u"already")));
            return;
        case FiledReport::Outcome::Failed:
            break;
        }
        respond(unavailable(answer(503, text(u"unavailable"))));
    });
    if (!queued) {
        respond(unavailable(answer(503, text(u"unavailable"))));
    }
}

} // namespace Shortd
