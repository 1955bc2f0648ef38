#pragma once

#include <QByteArray>
#include <QStringView>
#include <cstdint>

namespace Nolvex
{

// The code of one UTF-16 unit in code page 936 (GBK), as the Windows ANSI conversion reports it:
// a single-byte code is its byte (0..255), a double-byte code is lead * 256 + trail read as a signed
// 16-bit number, and a unit the code page cannot represent gives the default character '?' (63).
std::int16_t ansiCode(char16_t unit);

// The digest input for a text: a double-byte GBK character gives its lead byte and trail byte,
// every other unit the low byte of its UTF-16 code unit.
QByteArray TextToAnsiBytes(QStringView text);

// Appends the digest input for text to out; lets callers convert in pieces without a second buffer.
void appendAnsiBytes(QStringView text, QByteArray& out);

// True when the code-page table came from a working GBK converter.
bool codePageAvailable();

} // namespace Nolvex
