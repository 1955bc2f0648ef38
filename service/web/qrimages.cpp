#include "web/qrimages.h"

#include "links/fields.h"
#include "qrcode.h"
#include "web/policies.h"

#include <algorithm>

namespace Shortd
{
namespace
{
constexpr auto SvgSuffix = QStringView(u".svg");
constexpr auto PngSuffix = QStringView(u".png");

// The size field: absent gives the default; anything but one plain number in range is refused.
std::optional<int> parsePixels(QByteArrayView query)
{
    const DecodedFields fields = decodeQuery(query);
    if (fields.error != DecodeError::None) {
        return std::nullopt;
    }
    const FieldValue size = findField(fields.fields, u"size");
    if (size.count == 0) {
        return QrDefaultPixels;
    }
    const bool digits = size.count == 1 && !size.value.isEmpty() && size.value.size() <= 4
        && std::all_of(size.value.begin(), size.value.end(), [](QChar c) { return c >= u'0' && c <= u'9'; });
    const int pixels = digits ? size.value.toInt() : 0;
    if (pixels < QrMinimumPixels || pixels > QrMaximumPixels) {
        return std::nullopt;
    }
    return pixels;
}
} // namespace

std::optional<QrRequest> parseQrRequest(QStringView segment, QByteArrayView query)
{
    QrRequest request;
    if (segment.endsWith(SvgSuffix)) {
        request.format = QrFormat::Svg;
    } else if (segment.endsWith(PngSuffix)) {
        request.format = QrFormat::Png;
        const std::optional<int> pixels = parsePixels(query);
        request.badSize = !pixels;
        request.pixels = pixels.value_or(QrDefaultPixels);
    } else {
        return std::nullopt;
    }
    request.code = segment.chopped(SvgSuffix.size()).toString();
    return request;
}

QrImages::QrImages(qsizetype maxBytes)
    : m_drawn(maxBytes)
{
}

HttpReply QrImages::reply(const QString& shortLink, const QrRequest& request)
{
    const QString key = (request.format == QrFormat::Svg ? QStringLiteral("svg ") : QString::number(request.pixels))
        % u' ' % shortLink;
    QByteArray body;
    if (const QByteArray* drawn = m_drawn.object(key)) {
        body = *drawn;
    } else {
        // A short link is at most a link base, a slash and 64 code characters: it always fits a symbol.
        const std::optional<Nolvex::Qr::Matrix> matrix = Nolvex::Qr::encode(shortLink);
        if (!matrix) {
            return {500, "text/plain; charset=utf-8", "cannot draw this link\n", {}};
        }
        body = request.format == QrFormat::Svg ? Nolvex::Qr::svg(*matrix) : Nolvex::Qr::png(*matrix, request.pixels);
        m_drawn.insert(key, new QByteArray(body), body.size());
    }
    HttpReply reply;
    if (request.format == QrFormat::Svg) {
        reply = {200, "image/svg+xml", std::move(body), {}};
        reply.addHeader("Content-Security-Policy", ImagePolicy.toByteArray());
    } else {
        reply = {200, "image/png", std::move(body), {}};
    }
    // Not kept by browsers or proxies: a link taken down must stop showing its code too.
    reply.addHeader("Cache-Control", "no-store");
    reply.addHeader("X-Content-Type-Options", "nosniff");
    return reply;
}

} // namespace Shortd
