#include "routes/routetable.h"

#include "links/codes.h"
#include "protocol.h"
#include "routes/routes.h"

#include <algorithm>
#include <array>

namespace Shortd
{
namespace
{
using namespace Nolvex::Protocol;
using Metrics::Route;

constexpr quint8 Get = methodBit(Method::Get);
constexpr quint8 Head = methodBit(Method::Head);
constexpr quint8 Post = methodBit(Method::Post);
constexpr quint8 Patch = methodBit(Method::Patch);
constexpr quint8 Delete = methodBit(Method::Delete);
constexpr quint8 Read = Get | Head;

// First segments held for pages to come: no route answers them yet, no chosen code may take them.
constexpr auto HeldSegments = std::to_array<QStringView>({u"favicon.ico", u"robots.txt"});

// Every route of the service. Within a listener, no two rows take the same method and path but
// the Rest rows, which take what no other row does; matchRoute() reads them in this order.
constexpr auto Rows = std::to_array<RouteRow>({
    // The client's protocol.
    {Listener::Public, Get, Match::Exact, ShortenPath, {}, Access::Anyone, Family::Protocol,
        [](Routes& r, const RouteCall& c) { r.shorten(c.request, c.nowMs, c.respond); }, Route::Shorten,
        SecurityPolicy::None, true},
    {Listener::Public, Post, Match::Exact, VersionPath, {}, Access::Anyone, Family::Protocol,
        [](Routes& r, const RouteCall& c) { c.respond(r.softVersion(c.request)); }, Route::Version,
        SecurityPolicy::None, true},
    {Listener::Public, Read, Match::Prefix, ReleasePagePrefix, {}, Access::Anyone, Family::Page,
        [](Routes& r, const RouteCall& c) {
            c.respond(r.releaseDetail(c.request.path.sliced(ReleasePagePrefix.size())));
        },
        Route::Release, SecurityPolicy::Page, true},
    // Probes.
    {Listener::Public, Read, Match::Exact, u"/healthz", {}, Access::Anyone, Family::Protocol,
        [](Routes& r, const RouteCall& c) { r.alive(c.respond); }, Route::Health, SecurityPolicy::None, true},
    {Listener::Public, Read, Match::Exact, u"/readyz", {}, Access::Anyone, Family::Protocol,
        [](Routes& r, const RouteCall& c) { r.checkReady(c.respond); }, Route::Ready, SecurityPolicy::None, true},
    // The pages and their assets.
    {Listener::Public, Read, Match::Exact, u"/", {}, Access::Anyone, Family::Page,
        [](Routes& r, const RouteCall& c) { r.page(c.request, c.respond); }, Route::Home, SecurityPolicy::App, false},
    {Listener::Public, Read, Match::Exact, u"/admin", {}, Access::Anyone, Family::Page,
        [](Routes& r, const RouteCall& c) { r.page(c.request, c.respond); }, Route::Other, SecurityPolicy::App, true},
    {Listener::Public, Read, Match::Prefix, u"/static/", {}, Access::Anyone, Family::Page,
        [](Routes& r, const RouteCall& c) { r.page(c.request, c.respond); }, Route::Other, SecurityPolicy::None, true},
    // The report form of a link's pages.
    {Listener::Public, Post, Match::Exact, u"/report", {}, Access::Anyone, Family::Page,
        [](Routes& r, const RouteCall& c) { r.report(c.request, c.respond); }, Route::Other, SecurityPolicy::Page,
        true},
    // The JSON API.
    {Listener::Public, Read, Match::Exact, u"/api/v1/openapi.json", {}, Access::Anyone, Family::Api,
        [](Routes& r, const RouteCall& c) { r.api().openApi(c.respond); }, Route::Api, SecurityPolicy::None, true},
    {Listener::Public, Read, Match::Exact, u"/api/v1/links", {}, Access::Reader, Family::Api,
        [](Routes& r, const RouteCall& c) { r.api().listLinks(c.request, c.caller->role == Role::Admin, c.respond); },
        Route::Api, SecurityPolicy::None, true},
    {Listener::Public, Post, Match::Exact, u"/api/v1/links", {}, Access::AnyoneOrKey, Family::Api,
        [](Routes& r, const RouteCall& c) { r.api().createLink(c.request, c.nowMs, c.caller, c.respond); },
        Route::ApiCreate, SecurityPolicy::None, true},
    {Listener::Public, Read, Match::Item, u"/api/v1/links", u"/visits", Access::Reader, Family::Api,
        [](Routes& r, const RouteCall& c) { r.api().linkVisits(c.request, c.item, c.respond); }, Route::Api,
        SecurityPolicy::None, true},
    {Listener::Public, Read, Match::Exact, u"/api/v1/stats", {}, Access::Reader, Family::Api,
        [](Routes& r, const RouteCall& c) { r.api().serviceStats(c.request, c.respond); }, Route::Api,
        SecurityPolicy::None, true},
    {Listener::Public, Read, Match::Item, u"/api/v1/links", {}, Access::Reader, Family::Api,
        [](Routes& r, const RouteCall& c) {
            r.api().readLink(c.item, c.request.host, c.caller->role == Role::Admin, c.respond);
        },
        Route::Api, SecurityPolicy::None, true},
    {Listener::Public, Patch, Match::Item, u"/api/v1/links", {}, Access::Creator, Family::Api,
        [](Routes& r, const RouteCall& c) { r.api().editLink(c.request, c.item, *c.caller, c.respond); }, Route::Api,
        SecurityPolicy::None, true},
    {Listener::Public, Delete, Match::Item, u"/api/v1/links", {}, Access::Creator, Family::Api,
        [](Routes& r, const RouteCall& c) { r.api().deleteLink(c.item, *c.caller, c.respond); }, Route::Api,
        SecurityPolicy::None, true},
    {Listener::Public, Read, Match::Exact, u"/api/v1/keys", {}, Access::Admin, Family::Api,
        [](Routes& r, const RouteCall& c) { r.api().listKeys(c.respond); }, Route::Api, SecurityPolicy::None, true},
    {Listener::Public, Post, Match::Exact, u"/api/v1/keys", {}, Access::Admin, Family::Api,
        [](Routes& r, const RouteCall& c) { r.api().createKey(c.request, *c.caller, c.respond); }, Route::Api,
        SecurityPolicy::None, true},
    // The key the request carries: a console learns its role without trying what it may not do.
    {Listener::Public, Read, Match::Exact, u"/api/v1/key", {}, Access::Reader, Family::Api,
        [](Routes& r, const RouteCall& c) { r.api().ownKey(*c.caller, c.respond); }, Route::Api, SecurityPolicy::None,
        true},
    {Listener::Public, Delete, Match::Item, u"/api/v1/keys", {}, Access::Admin, Family::Api,
        [](Routes& r, const RouteCall& c) { r.api().revokeKey(c.item, *c.caller, c.respond); }, Route::Api,
        SecurityPolicy::None, true},
    // The service's own blocklist; an entry is percent-encoded, being an address.
    {Listener::Public, Read, Match::Exact, u"/api/v1/blocks", {}, Access::Admin, Family::Api,
        [](Routes& r, const RouteCall& c) { r.api().listBlocks(c.respond); }, Route::Api, SecurityPolicy::None, true},
    {Listener::Public, Delete, Match::Item, u"/api/v1/blocks", {}, Access::Admin, Family::Api,
        [](Routes& r, const RouteCall& c) { r.api().removeBlock(c.item, *c.caller, c.respond); }, Route::Api,
        SecurityPolicy::None, true},
    // Reports: anyone files one, admins read and dismiss them.
    {Listener::Public, Post, Match::Exact, u"/api/v1/reports", {}, Access::Anyone, Family::Api,
        [](Routes& r, const RouteCall& c) { r.api().createReport(c.request, c.respond); }, Route::Api,
        SecurityPolicy::None, true},
    {Listener::Public, Read, Match::Exact, u"/api/v1/reports", {}, Access::Admin, Family::Api,
        [](Routes& r, const RouteCall& c) { r.api().listReports(c.request, c.respond); }, Route::Api,
        SecurityPolicy::None, true},
    {Listener::Public, Post, Match::Item, u"/api/v1/reports", u"/dismiss", Access::Admin, Family::Api,
        [](Routes& r, const RouteCall& c) { r.api().dismissReports(c.item, *c.caller, c.respond); }, Route::Api,
        SecurityPolicy::None, true},
    // The audit log: who changed what, for admins.
    {Listener::Public, Read, Match::Exact, u"/api/v1/audit", {}, Access::Admin, Family::Api,
        [](Routes& r, const RouteCall& c) { r.api().listAudit(c.request, c.respond); }, Route::Api,
        SecurityPolicy::None, true},
    {Listener::Public, AnyMethod, Match::Exact, u"/api", {}, Access::Anyone, Family::Api,
        [](Routes& r, const RouteCall& c) { r.api().unknownPath(c.respond); }, Route::Other, SecurityPolicy::None,
        true},
    // A link: its preview, its QR code, the link itself and its limited page's button.
    {Listener::Public, Read, Match::Suffixed, {}, u"+", Access::Anyone, Family::Page,
        [](Routes& r, const RouteCall& c) { r.preview(c.request, c.item.chopped(1), c.item, c.respond); },
        Route::Preview, SecurityPolicy::ReportPage, false},
    {Listener::Public, Read, Match::Suffixed, {}, u".svg", Access::Anyone, Family::Page,
        [](Routes& r, const RouteCall& c) { r.qrImage(c.request, c.item, c.respond); }, Route::Qr,
        SecurityPolicy::Image, false},
    {Listener::Public, Read, Match::Suffixed, {}, u".png", Access::Anyone, Family::Page,
        [](Routes& r, const RouteCall& c) { r.qrImage(c.request, c.item, c.respond); }, Route::Qr, SecurityPolicy::None,
        false},
    {Listener::Public, Read, Match::Segment, {}, {}, Access::Anyone, Family::Page,
        [](Routes& r, const RouteCall& c) { r.redirect(c.item, c.request, c.respond); }, Route::Redirect,
        SecurityPolicy::Page, false},
    {Listener::Public, Post, Match::LinkCode, {}, {}, Access::Anyone, Family::Page,
        [](Routes& r, const RouteCall& c) { r.confirmVisit(c.item, c.request, c.respond); }, Route::Continue,
        SecurityPolicy::Page, false},
    // What no row above takes: the API's unknown paths, and anything else as a link's.
    {Listener::Public, AnyMethod, Match::Rest, u"/api/", {}, Access::Anyone, Family::Api,
        [](Routes& r, const RouteCall& c) { r.api().unknownPath(c.respond); }, Route::Api, SecurityPolicy::None, false},
    {Listener::Public, Read, Match::Rest, {}, {}, Access::Anyone, Family::Page,
        [](Routes& r, const RouteCall& c) { r.followPath(c.request, c.respond); }, Route::Other, SecurityPolicy::Page,
        false},
    // The operators' listener.
    {Listener::Metrics, Read, Match::Exact, u"/metrics", {}, Access::Anyone, Family::Metrics,
        [](Routes& r, const RouteCall& c) { r.metricsPage(c.respond); }, Route::Other, SecurityPolicy::None, true},
});
// A row the compiler can check: every row takes a method and has a handler.
static_assert(
    std::all_of(Rows.begin(), Rows.end(), [](const RouteRow& row) { return row.methods != 0 && row.handler; }));

// "/" and one segment, or nothing.
std::optional<QStringView> singleSegment(QStringView path)
{
    if (!path.startsWith(u'/') || path.indexOf(u'/', 1) >= 0) {
        return std::nullopt;
    }
    return path.sliced(1);
}

// A segment after a collection: one segment, no further slash.
std::optional<QStringView> itemOf(QStringView path, QStringView collection)
{
    if (!path.startsWith(collection) || path.size() <= collection.size() + 1 || path.at(collection.size()) != u'/') {
        return std::nullopt;
    }
    const QStringView item = path.sliced(collection.size() + 1);
    if (item.contains(u'/')) {
        return std::nullopt;
    }
    return item;
}

bool takenBySuffix(QStringView segment)
{
    return std::ranges::any_of(
        Rows, [segment](const RouteRow& row) { return row.match == Match::Suffixed && segment.endsWith(row.suffix); });
}

// Whether the row takes the path, and the item it reads from it.
bool takes(const RouteRow& row, QStringView path, QString* item)
{
    switch (row.match) {
    case Match::Exact:
        return path == row.path;
    case Match::Prefix:
    case Match::Rest:
        return path.startsWith(row.path);
    case Match::Item: {
        if (!path.endsWith(row.suffix)) {
            return false;
        }
        const std::optional<QStringView> found = itemOf(path.chopped(row.suffix.size()), row.path);
        if (found) {
            *item = found->toString();
        }
        return found.has_value();
    }
    case Match::Suffixed:
    case Match::Segment:
    case Match::LinkCode:
        break;
    }
    const std::optional<QStringView> segment = singleSegment(path);
    if (!segment) {
        return false;
    }
    bool taken = false;
    if (row.match == Match::Suffixed) {
        taken = segment->endsWith(row.suffix);
    } else if (row.match == Match::Segment) {
        taken = !segment->isEmpty() && !isReservedName(*segment) && !takenBySuffix(*segment);
    } else {
        taken = mayNameLink(*segment);
    }
    if (taken) {
        *item = segment->toString();
    }
    return taken;
}

void collect(RouteMatch* match, const RouteRow& row, QStringView path, Method method)
{
    QString item;
    if (!takes(row, path, &item)) {
        return;
    }
    match->allowed |= row.methods;
    if (!match->first) {
        match->first = &row;
    }
    if (!match->row && (row.methods & methodBit(method)) != 0) {
        match->row = &row;
        match->item = std::move(item);
    }
}
} // namespace

bool rowTakes(const RouteRow& row, QStringView path)
{
    QString item;
    return takes(row, path, &item);
}

std::span<const RouteRow> routeTable()
{
    return Rows;
}

RouteMatch matchRoute(Listener listener, Method method, QStringView path)
{
    RouteMatch match;
    for (const RouteRow& row : Rows) {
        if (row.listener == listener && row.match != Match::Rest) {
            collect(&match, row, path, method);
        }
    }
    if (match.first) {
        return match;
    }
    // The first Rest row that takes the path, alone.
    for (const RouteRow& row : Rows) {
        if (row.listener == listener && row.match == Match::Rest) {
            collect(&match, row, path, method);
            if (match.first) {
                break;
            }
        }
    }
    return match;
}

QByteArray allowHeader(quint8 methods, bool withOptions)
{
    static constexpr std::array<std::pair<Method, QByteArrayView>, 5> Names {{{Method::Get, "GET"},
        {Method::Head, "HEAD"}, {Method::Post, "POST"}, {Method::Patch, "PATCH"}, {Method::Delete, "DELETE"}}};
    QByteArray allowed;
    for (const auto& [method, name] : Names) {
        if ((methods & methodBit(method)) != 0) {
            allowed += (allowed.isEmpty() ? QByteArray() : QByteArray(", ")) + name.toByteArray();
        }
    }
    if (withOptions) {
        allowed += allowed.isEmpty() ? "OPTIONS" : ", OPTIONS";
    }
    return allowed;
}

QString firstSegment(QStringView path)
{
    const QStringView rest = path.sliced(path.startsWith(u'/') ? 1 : 0);
    const qsizetype slash = rest.indexOf(u'/');
    return (slash < 0 ? rest : rest.first(slash)).toString();
}

QStringList reservedSegments()
{
    QStringList names;
    for (const RouteRow& row : Rows) {
        if (row.reserved) {
            const QString segment = firstSegment(row.path);
            if (!names.contains(segment)) {
                names.append(segment);
            }
        }
    }
    for (const QStringView held : HeldSegments) {
        names.append(held.toString());
    }
    return names;
}

Route routeLabel(QStringView path, bool post)
{
    const RouteMatch match = matchRoute(Listener::Public, post ? Method::Post : Method::Get, path);
    return match.row ? match.row->label : match.first->label;
}

} // namespace Shortd
