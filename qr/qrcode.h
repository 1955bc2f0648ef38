#pragma once

#include "nolvex_qr_export.h"

#include <QByteArray>
#include <QImage>
#include <QString>
#include <optional>
#include <vector>

namespace Nolvex::Qr
{

// The modules of a QR code, quiet zone included: error correction level M, a quiet zone of
// QuietZone light modules on every side, so every rendering below draws the matrix as it is.
class NOLVEX_QR_EXPORT Matrix
{
public:
    static constexpr int QuietZone = 4;

    Matrix(int width, std::vector<bool> modules);
    int width() const { return m_width; } // modules per side, quiet zone included
    bool dark(int x, int y) const; // false outside the matrix

private:
    int m_width;
    std::vector<bool> m_modules; // row by row
};

// The code of the text's UTF-8 bytes; nothing for an empty text, one with a NUL or one too long
// for the largest symbol.
NOLVEX_QR_EXPORT std::optional<Matrix> encode(const QString& text);

// An SVG document, one user unit a module, dark modules as one black path on a white ground.
NOLVEX_QR_EXPORT QByteArray svg(const Matrix& matrix);

// A square black-and-white image of side `pixels`, modules a whole number of pixels each and the
// remainder added to the margin. Never smaller than one pixel a module.
NOLVEX_QR_EXPORT QImage image(const Matrix& matrix, int pixels);
NOLVEX_QR_EXPORT QByteArray png(const Matrix& matrix, int pixels);

enum class TerminalColours {
    Plain, // dark modules drawn as block characters, for a light background
    Ansi, // black on white set with escape sequences, readable on any background
};

// Two module rows a line with the half-block characters "▀", "▄", "█" and blanks; lines end in "\n".
NOLVEX_QR_EXPORT QString terminal(const Matrix& matrix, TerminalColours colours);

} // namespace Nolvex::Qr
