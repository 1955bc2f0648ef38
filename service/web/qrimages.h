#pragma once

#include "http/message.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QCache>
#include <QString>
#include <QStringView>
#include <optional>

namespace Shortd
{

enum class QrFormat {
    Svg,
    Png,
};

inline constexpr int QrDefaultPixels = 256;
inline constexpr int QrMinimumPixels = 64;
inline constexpr int QrMaximumPixels = 1024;

// "<code>.svg" or "<code>.png?size=N": the short link as a QR code.
struct QrRequest {
    QString code;
    QrFormat format = QrFormat::Svg;
    int pixels = QrDefaultPixels; // the PNG's side
    bool badSize = false; // size missing its number, repeated, or outside 64-1024
};

// Nothing when the path segment names no QR image; the query matters only to a PNG.
std::optional<QrRequest> parseQrRequest(QStringView segment, QByteArrayView query);

// Images of short links (error correction M, a quiet zone of four modules). A link's image never
// changes, so drawn ones are kept, up to a number of bytes, the least recently used going first.
// Whether a link may be shown at all is decided before, on every request.
class QrImages
{
public:
    explicit QrImages(qsizetype maxBytes);

    HttpReply reply(const QString& shortLink, const QrRequest& request);

private:
    QCache<QString, QByteArray> m_drawn;
};

} // namespace Shortd
