#include "qrcode.h"

#include <QBuffer>
#include <QPainter>
#include <QStringBuilder>
#include <algorithm>
#include <cstring>
#include <memory>
#include <qrencode.h>
#include <utility>

namespace Nolvex::Qr
{
namespace
{

struct CodeDeleter {
    void operator()(QRcode* code) const { QRcode_free(code); }
};

} // namespace

Matrix::Matrix(int width, std::vector<bool> modules)
    : m_width(width)
    , m_modules(std::move(modules))
{
}

bool Matrix::dark(int x, int y) const
{
    if (x < 0 || y < 0 || x >= m_width || y >= m_width) {
        return false;
    }
    return m_modules[static_cast<std::size_t>(y) * static_cast<std::size_t>(m_width) + static_cast<std::size_t>(x)];
}

std::optional<Matrix> encode(const QString& text)
{
    const QByteArray bytes = text.toUtf8();
    if (bytes.isEmpty() || bytes.contains('\0')) {
        return std::nullopt;
    }
    // Version 0 picks the smallest symbol that holds the text; case-sensitive keeps the bytes as given.
    const std::unique_ptr<QRcode, CodeDeleter> code(
        QRcode_encodeString(bytes.constData(), 0, QR_ECLEVEL_M, QR_MODE_8, 1));
    if (!code) {
        return std::nullopt;
    }
    const int symbol = code->width;
    const int width = symbol + 2 * Matrix::QuietZone;
    std::vector<bool> modules(static_cast<std::size_t>(width) * static_cast<std::size_t>(width), false);
    for (int y = 0; y < symbol; ++y) {
        for (int x = 0; x < symbol; ++x) {
            const auto source
                = static_cast<std::size_t>(y) * static_cast<std::size_t>(symbol) + static_cast<std::size_t>(x);
            // Bit 0 of each byte is the module's colour; the other bits describe its role.
            const auto target = static_cast<std::size_t>(y + Matrix::QuietZone) * static_cast<std::size_t>(width)
                + static_cast<std::size_t>(x + Matrix::QuietZone);
            modules[target] = (code->data[source] & 1U) != 0;
        }
    }
    return Matrix(width, std::move(modules));
}

QByteArray svg(const Matrix& matrix)
{
    const QByteArray side = QByteArray::number(matrix.width());
    QByteArray path;
    for (int y = 0; y < matrix.width(); ++y) {
        for (int x = 0; x < matrix.width(); ++x) {
            if (matrix.dark(x, y)) {
                path += 'M' + QByteArray::number(x) + ' ' + QByteArray::number(y) + "h1v1h-1z";
            }
        }
    }
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<svg xmlns=\"http://www.w3.org/2000/svg\" version=\"1.1\" viewBox=\"0 0 "
        + side + ' ' + side + "\" width=\"" + side + "\" height=\"" + side
        + "\" shape-rendering=\"crispEdges\">\n"
          "<rect width=\"100%\" height=\"100%\" fill=\"#fff\"/>\n"
          "<path fill=\"#000\" d=\""
        + path + "\"/>\n</svg>\n";
}

QImage image(const Matrix& matrix, int pixels)
{
    const int scale = std::max(1, pixels / matrix.width());
    const int side = std::max(pixels, matrix.width() * scale);
    const int margin = (side - matrix.width() * scale) / 2;
    QImage result(side, side, QImage::Format_Mono);
    result.setColor(0, qRgb(255, 255, 255));
    result.setColor(1, qRgb(0, 0, 0));
    result.fill(0);
    // One pixel row a module row, written as bits (most significant first), then copied down: a
    // pixel at a time through setPixel made a 1024-pixel image cost milliseconds.
    const auto rowBytes = static_cast<std::size_t>(result.bytesPerLine());
    for (int y = 0; y < matrix.width(); ++y) {
        const int top = margin + y * scale;
        uchar* row = result.scanLine(top);
        for (int x = 0; x < matrix.width(); ++x) {
            if (!matrix.dark(x, y)) {
                continue;
            }
            for (int px = margin + x * scale; px < margin + (x + 1) * scale; ++px) {
                row[px >> 3] = static_cast<uchar>(row[px >> 3] | (0x80U >> (px & 7)));
            }
        }
        for (int py = 1; py < scale; ++py) {
            std::memcpy(result.scanLine(top + py), row, rowBytes);
        }
    }
    return result;
}

QByteArray png(const Matrix& matrix, int pixels)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image(matrix, pixels).save(&buffer, "PNG");
    return bytes;
}

QString terminal(const Matrix& matrix, TerminalColours colours)
{
    QString text;
    for (int y = 0; y < matrix.width(); y += 2) {
        if (colours == TerminalColours::Ansi) {
            text += QStringLiteral("\x1b[30;107m");
        }
        for (int x = 0; x < matrix.width(); ++x) {
            const bool top = matrix.dark(x, y);
            const bool bottom = matrix.dark(x, y + 1);
            if (top && bottom) {
                text += u'█';
            } else if (top) {
                text += u'▀';
            } else if (bottom) {
                text += u'▄';
            } else {
                text += u' ';
            }
        }
        if (colours == TerminalColours::Ansi) {
            text += QStringLiteral("\x1b[0m");
        }
        text += u'\n';
    }
    return text;
}

} // namespace Nolvex::Qr
