#include "links/codes.h"

#include <QRandomGenerator>

namespace Shortd
{
namespace
{
constexpr char16_t Alphabet[] = u"23456789abcdefghijkmnpqrstuvwxyzABCDEFGHJKLMNPQRSTUVWXYZ";
constexpr qsizetype AlphabetSize = std::size(Alphabet) - 1;

bool inAlphabet(QChar c)
{
    return QStringView(Alphabet, AlphabetSize).contains(c);
}
} // namespace

QStringView codeAlphabet()
{
    return {Alphabet, AlphabetSize};
}

QString randomCode(qsizetype length, QRandomGenerator& generator)
{
    QString code(length, Qt::Uninitialized);
    for (QChar& c : code) {
        // bounded() rejects the biased tail itself, so every character is equally likely.
        c = QChar(Alphabet[generator.bounded(static_cast<quint32>(AlphabetSize))]);
    }
    return code;
}

bool isCodeShaped(QStringView candidate)
{
    if (candidate.size() < MinimumCodeLength || candidate.size() > MaximumCodeLength) {
        return false;
    }
    return std::all_of(candidate.begin(), candidate.end(), inAlphabet);
}

} // namespace Shortd
