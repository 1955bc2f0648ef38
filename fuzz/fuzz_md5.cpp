// Differential: the digest of a text must equal QCryptographicHash's MD5 over the very bytes the
// code-page conversion makes of it, whole and in the 16-digit form.
#include "codepage.h"
#include "md5.h"

#include <QCryptographicHash>
#include <QString>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QString text = QString::fromUtf16(reinterpret_cast<const char16_t*>(data), static_cast<qsizetype>(size / 2));
    const QByteArray bytes = Nolvex::TextToAnsiBytes(text);
    const QString expected
        = QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Md5).toHex().toUpper());
    const QString digest = Nolvex::Md5Hex(text, 32);
    if (digest != expected || Nolvex::Md5Hex(text, 16) != expected.mid(8, 16)) {
        std::abort();
    }
    // Fed in two pieces at an arbitrary split, the bytes give the same digest.
    const std::size_t split = size == 0 ? 0 : data[0] % (static_cast<std::size_t>(bytes.size()) + 1);
    Nolvex::Md5 md5;
    md5.addData(bytes.constData(), split);
    md5.addData(bytes.constData() + split, static_cast<std::size_t>(bytes.size()) - split);
    if (Nolvex::digestHex(md5.result(), 32) != expected) {
        std::abort();
    }
    return 0;
}
