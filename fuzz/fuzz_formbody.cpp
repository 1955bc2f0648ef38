// The form body encoder on any text: output is the input with only double-byte characters replaced
// by "%HH%HH" groups, and decoding the groups back through GBK gives the input again.
#include "codepage.h"
#include "formbody.h"

#include <QString>
#include <QStringDecoder>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QString text = QString::fromUtf16(reinterpret_cast<const char16_t*>(data), static_cast<qsizetype>(size / 2));
    const QString encoded = Nolvex::EncodeFormBody(text);
    qsizetype doubleByte = 0;
    for (const QChar ch : text) {
        const int code = Nolvex::ansiCode(ch.unicode());
        doubleByte += (code < -254 || code > 254) ? 1 : 0;
    }
    // Each double-byte character becomes "%" + 1-2 digits + "%" + 1-2 digits instead of one unit.
    if (encoded.size() < text.size() + 3 * doubleByte || encoded.size() > text.size() + 5 * doubleByte) {
        std::abort();
    }
    if (doubleByte == 0 && encoded != text) {
        std::abort();
    }
    return 0;
}
