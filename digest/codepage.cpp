#include "codepage.h"

#include <QStringEncoder>
#include <QtGlobal>
#include <array>
#include <memory>

namespace Nolvex
{
namespace
{

constexpr int UnitCount = 0x10000;
constexpr std::int16_t DefaultChar = 63;

struct CodeTable {
    std::array<std::int16_t, UnitCount> code {};
    bool fromConverter = false;
};

// Windows reports the default character for a unit the code page cannot represent. The converter
// writes its own substitute ('?') or nothing at all for those, and never a lone byte below 0x80
// for a unit above 0x7F otherwise.
std::int16_t codeOf(QStringEncoder& encoder, char16_t unit)
{
    if (unit >= 0xD800 && unit <= 0xDFFF) {
        return DefaultChar; // a surrogate half is no character of its own
    }
    const QChar ch(unit);
    const QByteArray bytes = encoder.encode(QStringView(&ch, 1));
    if (bytes.size() == 2) {
        const auto lead = static_cast<unsigned char>(bytes[0]);
        const auto trail = static_cast<unsigned char>(bytes[1]);
        return static_cast<std::int16_t>(static_cast<std::uint16_t>((lead << 8) | trail));
    }
    if (bytes.size() == 1 && static_cast<unsigned char>(bytes[0]) >= 0x80) {
        return static_cast<unsigned char>(bytes[0]);
    }
    return DefaultChar;
}

// One converter call a unit costs a few milliseconds once; every later conversion is a table look-up.
std::unique_ptr<CodeTable> buildTable()
{
    auto table = std::make_unique<CodeTable>();
    for (int u = 0; u < 0x80; ++u) {
        table->code[static_cast<std::size_t>(u)] = static_cast<std::int16_t>(u);
    }
    QStringEncoder encoder("GBK", QStringEncoder::Flag::Stateless);
    table->fromConverter = encoder.isValid();
    if (!table->fromConverter) {
        qWarning("Nolvex: no GBK converter available; non-ASCII text is digested by its low bytes");
    }
    for (int u = 0x80; u < UnitCount; ++u) {
        table->code[static_cast<std::size_t>(u)]
            = table->fromConverter ? codeOf(encoder, static_cast<char16_t>(u)) : DefaultChar;
    }
    return table;
}

const CodeTable& codeTable()
{
    static const std::unique_ptr<CodeTable> table = buildTable();
    return *table;
}

bool allAscii(const char16_t* units, qsizetype count)
{
    char16_t seen = 0;
    for (qsizetype i = 0; i < count; ++i) {
        seen = static_cast<char16_t>(seen | units[i]);
    }
    return seen < 0x80;
}

} // namespace

std::int16_t ansiCode(char16_t unit)
{
    return codeTable().code[unit];
}

bool codePageAvailable()
{
    return codeTable().fromConverter;
}

void appendAnsiBytes(QStringView text, QByteArray& out)
{
    const auto& code = codeTable().code;
    const auto* units = reinterpret_cast<const char16_t*>(text.utf16());
    constexpr qsizetype Chunk = 256;

    for (qsizetype start = 0; start < text.size(); start += Chunk) {
        const qsizetype count = std::min(Chunk, text.size() - start);
        const char16_t* in = units + start;
        const qsizetype base = out.size();
        if (allAscii(in, count)) {
            // The common case for web addresses; the compiler turns this into a vector narrowing.
            out.resize(base + count);
            char* dst = out.data() + base;
            for (qsizetype i = 0; i < count; ++i) {
                dst[i] = static_cast<char>(in[i]);
            }
            continue;
        }
        out.resize(base + 2 * count);
        char* dst = out.data() + base;
        for (qsizetype i = 0; i < count; ++i) {
            const char16_t unit = in[i];
            const std::int16_t c = code[unit];
            if (c < 0 || c > 255) {
                const auto value = static_cast<std::uint16_t>(c);
                *dst++ = static_cast<char>(value >> 8);
                *dst++ = static_cast<char>(value & 0xFF);
            } else {
                *dst++ = static_cast<char>(unit & 0xFF);
            }
        }
        out.resize(dst - out.constData());
    }
}

QByteArray TextToAnsiBytes(QStringView text)
{
    QByteArray out;
    out.reserve(text.size());
    appendAnsiBytes(text, out);
    return out;
}

} // namespace Nolvex
