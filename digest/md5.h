#pragma once

#include <QByteArray>
#include <QString>
#include <QStringView>
#include <array>
#include <cstddef>
#include <cstdint>

namespace Nolvex
{

// MD5 as RFC 1321 defines it, fed in pieces of any size.
class Md5
{
public:
    Md5();

    void addData(const void* data, std::size_t length);
    void addData(const QByteArray& data) { addData(data.constData(), static_cast<std::size_t>(data.size())); }
    // Pads, finishes and returns the 16 digest bytes; the object starts afresh afterwards.
    std::array<std::uint8_t, 16> result();

    static std::array<std::uint8_t, 16> hash(const void* data, std::size_t length);

private:
    void reset();
    void processBlocks(const std::uint8_t* blocks, std::size_t count);

    std::array<std::uint32_t, 4> m_state {};
    std::array<std::uint8_t, 64> m_buffer {};
    std::size_t m_buffered = 0;
    std::uint64_t m_length = 0;
};

// The digest of text's code-page bytes in upper-case hexadecimal: all 32 digits when length is
// exactly 32, otherwise the 16 middle digits (digest bytes 4 to 11).
QString Md5Hex(QStringView text, int length);

// Upper-case hexadecimal of digest bytes, in the 32- or 16-digit form as Md5Hex chooses it.
QString digestHex(const std::array<std::uint8_t, 16>& digest, int length);

} // namespace Nolvex
