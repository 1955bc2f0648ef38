#include "formbody.h"

#include "codepage.h"

#include <cstdlib>

namespace Nolvex
{

QString EncodeFormBody(QStringView text)
{
    QString out;
    out.reserve(text.size());
    for (const QChar ch : text) {
        const int code = ansiCode(ch.unicode());
        if (std::abs(code) < 255) {
            out.append(ch);
            continue;
        }
        const int c = code < 0 ? code + 65536 : code;
        // Dividing by 255 rather than shifting is how the bytes have always been written; it only
        // differs from the lead byte for codes of 0xFF00 and above.
        const int high = (c & 0xFF00) / 255;
        const int low = c & 0xFF;
        out.append(QLatin1Char('%'));
        out.append(QString::number(high, 16).toUpper());
        out.append(QLatin1Char('%'));
        out.append(QString::number(low, 16).toUpper());
    }
    return out;
}

} // namespace Nolvex
