#pragma once

#include "api/apirouter.h"
#include "http/message.h"
#include "metrics/servicemetrics.h"
#include "web/policies.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QStringView>
#include <span>

namespace Shortd
{

class Routes;

// Where a request came in: the public listener, or the operators' metrics listener.
enum class Listener : quint8 { Public, Metrics };

// How a route's path is matched.
enum class Match : quint8 {
    Exact, // the path itself
    Prefix, // the path and anything after it
    Item, // path + "/{item}" + suffix, the item one non-empty segment ("/api/v1/links/{code}/visits")
    Suffixed, // "/{segment}" ending in suffix: a link's preview ("+") or QR image (".svg", ".png")
    Segment, // "/{segment}": one segment, no reserved name, in no form a Suffixed row takes
    LinkCode, // "/{code}": a segment that may name a link
    Rest, // whatever starts with path and no other row takes
};

// How a route refuses a method it does not take: the client protocol's JSON, a page, a problem
// document (with OPTIONS answered), or the metrics listener's plain text.
enum class Family : quint8 { Protocol, Page, Api, Metrics };

// What a route's handler is called with.
struct RouteCall {
    const HttpRequest& request;
    qint64 nowMs = 0;
    const Respond& respond;
    QString item; // the {item} or the segment of the path; empty when the pattern has none
    const Authentication* caller = nullptr; // on an API route that checks a key, the key's holder
};
using RouteHandler = void (*)(Routes& routes, const RouteCall& call);

// One route: adding a route is adding a row here (routes/routetable.cpp) and writing its handler.
struct RouteRow {
    Listener listener = Listener::Public;
    quint8 methods = 0; // bits of Method, methodBit()
    Match match = Match::Exact;
    QStringView path;
    QStringView suffix;
    Access access = Access::Anyone;
    Family family = Family::Page;
    RouteHandler handler = nullptr;
    Metrics::Route label = Metrics::Route::Other;
    SecurityPolicy policy = SecurityPolicy::None;
    bool reserved = false; // its first segment is a name no chosen code may take
};

constexpr quint8 methodBit(Method method)
{
    return static_cast<quint8>(1U << static_cast<unsigned>(method));
}
inline constexpr quint8 AnyMethod = 0xFF;

std::span<const RouteRow> routeTable();

// The row a request reaches, and what the path allows.
struct RouteMatch {
    const RouteRow* row = nullptr; // the row for the path and method; none when the method is not taken
    const RouteRow* first = nullptr; // the first row for the path; none when no row takes it
    quint8 allowed = 0; // the methods of every row for the path
    QString item;
};
RouteMatch matchRoute(Listener listener, Method method, QStringView path);
// Whether a row's pattern takes the path (a Rest row takes whatever starts with its path).
bool rowTakes(const RouteRow& row, QStringView path);

// The Allow header for a set of methods, OPTIONS added for the API.
QByteArray allowHeader(quint8 methods, bool withOptions);

// First path segments no chosen code may take: the reserved rows' and the names held for pages to
// come. links/codes.cpp keeps the same list (links/ knows no routes); tst_routetable holds them equal.
QStringList reservedSegments();
// The first segment of a path: "api" of "/api/v1/links".
QString firstSegment(QStringView path);

// Which of the routes a request is counted under, by its path as the routes read it (and whether
// it is a POST, for the API's creation and a limited link's button).
Metrics::Route routeLabel(QStringView path, bool post);

} // namespace Shortd
