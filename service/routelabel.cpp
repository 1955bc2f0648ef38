#include "routelabel.h"

#include "links/codes.h"
#include "protocol.h"

namespace Shortd
{
namespace
{
constexpr QStringView ApiPrefix = u"/api/";
constexpr QStringView ApiCreatePath = u"/api/v1/links";
} // namespace

Metrics::Route routeLabel(QStringView path, bool post)
{
    using Metrics::Route;
    using namespace Nolvex::Protocol;
    if (path == ShortenPath) {
        return Route::Shorten;
    }
    if (path == VersionPath) {
        return Route::Version;
    }
    if (path.startsWith(ReleasePagePrefix)) {
        return Route::Release;
    }
    if (path == u"/") {
        return Route::Home;
    }
    if (path.startsWith(ApiPrefix)) {
        return post && path == ApiCreatePath ? Route::ApiCreate : Route::Api;
    }
    if (!path.startsWith(u'/') || path.indexOf(u'/', 1) >= 0) {
        return Route::Other;
    }
    const QStringView segment = path.sliced(1);
    if (segment == HealthSegment) {
        return Route::Health;
    }
    if (segment == ReadySegment) {
        return Route::Ready;
    }
    if (segment.endsWith(u'+')) {
        return Route::Preview;
    }
    if (segment.endsWith(u".svg") || segment.endsWith(u".png")) {
        return Route::Qr;
    }
    if (isReservedName(segment)) {
        return Route::Other;
    }
    return post ? Route::Continue : Route::Redirect;
}

} // namespace Shortd
