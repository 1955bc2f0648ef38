#include "md5.h"

#include "codepage.h"

#include <bit>
#include <cstring>

namespace Nolvex
{
namespace
{

constexpr std::array<std::uint32_t, 4> InitialState {0x67452301U, 0xEFCDAB89U, 0x98BADCFEU, 0x10325476U};

inline std::uint32_t loadLe32(const std::uint8_t* p)
{
    std::uint32_t w = 0;
    std::memcpy(&w, p, sizeof w);
    if constexpr (std::endian::native == std::endian::big) {
        w = __builtin_bswap32(w);
    }
    return w;
}

// The four auxiliary functions in the forms with fewest operations; each equals the RFC's.
inline std::uint32_t fF(std::uint32_t x, std::uint32_t y, std::uint32_t z)
{
    return z ^ (x & (y ^ z));
}
inline std::uint32_t fG(std::uint32_t x, std::uint32_t y, std::uint32_t z)
{
    return y ^ (z & (x ^ y));
}
inline std::uint32_t fH(std::uint32_t x, std::uint32_t y, std::uint32_t z)
{
    return x ^ y ^ z;
}
inline std::uint32_t fI(std::uint32_t x, std::uint32_t y, std::uint32_t z)
{
    return y ^ (x | ~z);
}

template<std::uint32_t (*F)(std::uint32_t, std::uint32_t, std::uint32_t)>
inline void step(
    std::uint32_t& a, std::uint32_t b, std::uint32_t c, std::uint32_t d, std::uint32_t x, int s, std::uint32_t t)
{
    a = b + std::rotl(a + F(b, c, d) + x + t, s);
}

} // namespace

Md5::Md5()
{
    reset();
}

void Md5::reset()
{
    m_state = InitialState;
    m_buffered = 0;
    m_length = 0;
}

void Md5::processBlocks(const std::uint8_t* blocks, std::size_t count)
{
    std::uint32_t a = m_state[0];
    std::uint32_t b = m_state[1];
    std::uint32_t c = m_state[2];
    std::uint32_t d = m_state[3];

    for (std::size_t block = 0; block < count; ++block, blocks += 64) {
        std::array<std::uint32_t, 16> x;
        for (std::size_t i = 0; i < 16; ++i) {
            x[i] = loadLe32(blocks + 4 * i);
        }
        const std::uint32_t aa = a;
        const std::uint32_t bb = b;
        const std::uint32_t cc = c;
        const std::uint32_t dd = d;

        step<fF>(a, b, c, d, x[0], 7, 0xd76aa478);
        step<fF>(d, a, b, c, x[1], 12, 0xe8c7b756);
        step<fF>(c, d, a, b, x[2], 17, 0x242070db);
        step<fF>(b, c, d, a, x[3], 22, 0xc1bdceee);
        step<fF>(a, b, c, d, x[4], 7, 0xf57c0faf);
        step<fF>(d, a, b, c, x[5], 12, 0x4787c62a);
        step<fF>(c, d, a, b, x[6], 17, 0xa8304613);
        step<fF>(b, c, d, a, x[7], 22, 0xfd469501);
        step<fF>(a, b, c, d, x[8], 7, 0x698098d8);
        step<fF>(d, a, b, c, x[9], 12, 0x8b44f7af);
        step<fF>(c, d, a, b, x[10], 17, 0xffff5bb1);
        step<fF>(b, c, d, a, x[11], 22, 0x895cd7be);
        step<fF>(a, b, c, d, x[12], 7, 0x6b901122);
        step<fF>(d, a, b, c, x[13], 12, 0xfd987193);
        step<fF>(c, d, a, b, x[14], 17, 0xa679438e);
        step<fF>(b, c, d, a, x[15], 22, 0x49b40821);

        step<fG>(a, b, c, d, x[1], 5, 0xf61e2562);
        step<fG>(d, a, b, c, x[6], 9, 0xc040b340);
        step<fG>(c, d, a, b, x[11], 14, 0x265e5a51);
        step<fG>(b, c, d, a, x[0], 20, 0xe9b6c7aa);
        step<fG>(a, b, c, d, x[5], 5, 0xd62f105d);
        step<fG>(d, a, b, c, x[10], 9, 0x02441453);
        step<fG>(c, d, a, b, x[15], 14, 0xd8a1e681);
        step<fG>(b, c, d, a, x[4], 20, 0xe7d3fbc8);
        step<fG>(a, b, c, d, x[9], 5, 0x21e1cde6);
        step<fG>(d, a, b, c, x[14], 9, 0xc33707d6);
        step<fG>(c, d, a, b, x[3], 14, 0xf4d50d87);
        step<fG>(b, c, d, a, x[8], 20, 0x455a14ed);
        step<fG>(a, b, c, d, x[13], 5, 0xa9e3e905);
        step<fG>(d, a, b, c, x[2], 9, 0xfcefa3f8);
        step<fG>(c, d, a, b, x[7], 14, 0x676f02d9);
        step<fG>(b, c, d, a, x[12], 20, 0x8d2a4c8a);

        step<fH>(a, b, c, d, x[5], 4, 0xfffa3942);
        step<fH>(d, a, b, c, x[8], 11, 0x8771f681);
        step<fH>(c, d, a, b, x[11], 16, 0x6d9d6122);
        step<fH>(b, c, d, a, x[14], 23, 0xfde5380c);
        step<fH>(a, b, c, d, x[1], 4, 0xa4beea44);
        step<fH>(d, a, b, c, x[4], 11, 0x4bdecfa9);
        step<fH>(c, d, a, b, x[7], 16, 0xf6bb4b60);
        step<fH>(b, c, d, a, x[10], 23, 0xbebfbc70);
        step<fH>(a, b, c, d, x[13], 4, 0x289b7ec6);
        step<fH>(d, a, b, c, x[0], 11, 0xeaa127fa);
        step<fH>(c, d, a, b, x[3], 16, 0xd4ef3085);
        step<fH>(b, c, d, a, x[6], 23, 0x04881d05);
        step<fH>(a, b, c, d, x[9], 4, 0xd9d4d039);
        step<fH>(d, a, b, c, x[12], 11, 0xe6db99e5);
        step<fH>(c, d, a, b, x[15], 16, 0x1fa27cf8);
        step<fH>(b, c, d, a, x[2], 23, 0xc4ac5665);

        step<fI>(a, b, c, d, x[0], 6, 0xf4292244);
        step<fI>(d, a, b, c, x[7], 10, 0x432aff97);
        step<fI>(c, d, a, b, x[14], 15, 0xab9423a7);
        step<fI>(b, c, d, a, x[5], 21, 0xfc93a039);
        step<fI>(a, b, c, d, x[12], 6, 0x655b59c3);
        step<fI>(d, a, b, c, x[3], 10, 0x8f0ccc92);
        step<fI>(c, d, a, b, x[10], 15, 0xffeff47d);
        step<fI>(b, c, d, a, x[1], 21, 0x85845dd1);
        step<fI>(a, b, c, d, x[8], 6, 0x6fa87e4f);
        step<fI>(d, a, b, c, x[15], 10, 0xfe2ce6e0);
        step<fI>(c, d, a, b, x[6], 15, 0xa3014314);
        step<fI>(b, c, d, a, x[13], 21, 0x4e0811a1);
        step<fI>(a, b, c, d, x[4], 6, 0xf7537e82);
        step<fI>(d, a, b, c, x[11], 10, 0xbd3af235);
        step<fI>(c, d, a, b, x[2], 15, 0x2ad7d2bb);
        step<fI>(b, c, d, a, x[9], 21, 0xeb86d391);

        a += aa;
        b += bb;
        c += cc;
        d += dd;
    }
    m_state = {a, b, c, d};
}

void Md5::addData(const void* data, std::size_t length)
{
    const auto* in = static_cast<const std::uint8_t*>(data);
    m_length += length;
    if (m_buffered > 0) {
        const std::size_t take = std::min(length, 64 - m_buffered);
        std::memcpy(m_buffer.data() + m_buffered, in, take);
        m_buffered += take;
        in += take;
        length -= take;
        if (m_buffered < 64) {
            return;
        }
        processBlocks(m_buffer.data(), 1);
        m_buffered = 0;
    }
    processBlocks(in, length / 64);
    in += length / 64 * 64;
    length %= 64;
    if (length > 0) {
        std::memcpy(m_buffer.data(), in, length);
        m_buffered = length;
    }
}

std::array<std::uint8_t, 16> Md5::result()
{
    const std::uint64_t bits = m_length * 8;
    // One 0x80 byte, zeros up to 56 bytes modulo 64, then the bit count, least significant byte first.
    std::array<std::uint8_t, 72> tail {};
    tail[0] = 0x80;
    const std::size_t padding = (m_buffered < 56 ? 56 : 120) - m_buffered;
    for (std::size_t i = 0; i < 8; ++i) {
        tail[padding + i] = static_cast<std::uint8_t>(bits >> (8 * i));
    }
    addData(tail.data(), padding + 8);

    std::array<std::uint8_t, 16> digest {};
    for (std::size_t w = 0; w < 4; ++w) {
        for (std::size_t i = 0; i < 4; ++i) {
            digest[4 * w + i] = static_cast<std::uint8_t>(m_state[w] >> (8 * i));
        }
    }
    reset();
    return digest;
}

std::array<std::uint8_t, 16> Md5::hash(const void* data, std::size_t length)
{
    Md5 md5;
    md5.addData(data, length);
    return md5.result();
}

QString digestHex(const std::array<std::uint8_t, 16>& digest, int length)
{
    static constexpr char Digits[] = "0123456789ABCDEF";
    const std::size_t first = length == 32 ? 0 : 4;
    const std::size_t count = length == 32 ? 16 : 8;
    QString hex(static_cast<qsizetype>(2 * count), Qt::Uninitialized);
    QChar* out = hex.data();
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t byte = digest[first + i];
        *out++ = QLatin1Char(Digits[byte >> 4]);
        *out++ = QLatin1Char(Digits[byte & 0x0F]);
    }
    return hex;
}

QString Md5Hex(QStringView text, int length)
{
    // Converted in pieces straight into the digest, so a long text needs no second full-size buffer.
    constexpr qsizetype Piece = 4096;
    Md5 md5;
    QByteArray bytes;
    bytes.reserve(2 * Piece);
    for (qsizetype start = 0; start < text.size(); start += Piece) {
        QStringView piece = text.mid(start, std::min(Piece, text.size() - start));
        bytes.resize(0);
        appendAnsiBytes(piece, bytes);
        md5.addData(bytes);
    }
    return digestHex(md5.result(), length);
}

} // namespace Nolvex
