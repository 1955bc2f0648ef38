#include "links/codes.h"

#include <QRandomGenerator>
#include <array>

namespace Shortd
{
namespace
{
constexpr char16_t Alphabet[] = u"23456789abcdefghijkmnpqrstuvwxyzABCDEFGHJKLMNPQRSTUVWXYZ";
constexpr qsizetype AlphabetSize = std::size(Alphabet) - 1;

// The first segments of the route table's reserved rows and the names it holds for pages to come
// (routes/routetable.cpp); links/ knows no routes, so tst_routetable holds the two lists equal.
constexpr auto ReservedNames = std::to_array<QStringView>({HealthSegment, ReadySegment, ApiSegment, ProtocolSegment,
    u"favicon.ico", u"robots.txt", u"admin", u"metrics", u"static", u"report"});

bool inAlphabet(QChar c)
{
    return QStringView(Alphabet, AlphabetSize).contains(c);
}

bool isCustomCodeCharacter(QChar c)
{
    const char16_t u = c.unicode();
    return (u >= u'a' && u <= u'z') || (u >= u'A' && u <= u'Z') || (u >= u'0' && u <= u'9') || u == u'_' || u == u'-';
}

bool isLinkCodeShaped(QStringView candidate)
{
    // Every drawn code fits the chosen codes' rules too: a shorter alphabet, lengths within theirs.
    return candidate.size() >= MinimumCustomCodeLength && candidate.size() <= MaximumCustomCodeLength
        && std::all_of(candidate.begin(), candidate.end(), isCustomCodeCharacter);
}

} // namespace

QStringView codeAlphabet()
{
    return {Alphabet, AlphabetSize};
}

QString randomCode(qsizetype length, const std::function<quint32(quint32)>& draw)
{
    QString code(length, Qt::Uninitialized);
    // A draw that spells a reserved name (static, readyz, metrics fit the alphabet) is drawn again.
    do {
        for (QChar& c : code) {
            c = QChar(Alphabet[draw(static_cast<quint32>(AlphabetSize))]);
        }
    } while (isReservedName(code));
    return code;
}

QString randomCode(qsizetype length, QRandomGenerator& generator)
{
    // bounded() rejects the biased tail itself, so every character is equally likely.
    return randomCode(length, [&generator](quint32 bound) { return generator.bounded(bound); });
}

bool isCodeShaped(QStringView candidate)
{
    if (candidate.size() < MinimumCodeLength || candidate.size() > MaximumCodeLength) {
        return false;
    }
    return std::all_of(candidate.begin(), candidate.end(), inAlphabet);
}

std::span<const QStringView> reservedNames()
{
    return ReservedNames;
}

bool isReservedName(QStringView candidate)
{
    return std::any_of(ReservedNames.cbegin(), ReservedNames.cend(),
        [candidate](QStringView name) { return candidate.compare(name, Qt::CaseInsensitive) == 0; });
}

bool mayNameLink(QStringView candidate)
{
    return isLinkCodeShaped(candidate) && !isReservedName(candidate);
}

bool mayBeStoredCode(QStringView candidate)
{
    return isCodeShaped(candidate) || mayNameLink(candidate);
}

CodeProblem checkCustomCode(QStringView code)
{
    // The specific reasons first: "robots.txt" is a reserved name before it is a bad character.
    if (isReservedName(code)) {
        return CodeProblem::Reserved;
    }
    if (code.endsWith(u".svg", Qt::CaseInsensitive) || code.endsWith(u".png", Qt::CaseInsensitive)) {
        return CodeProblem::ImageSuffix;
    }
    if (code.endsWith(u'+')) {
        return CodeProblem::PreviewSuffix;
    }
    if (code.size() < MinimumCustomCodeLength) {
        return CodeProblem::TooShort;
    }
    if (code.size() > MaximumCustomCodeLength) {
        return CodeProblem::TooLong;
    }
    if (!std::all_of(code.begin(), code.end(), isCustomCodeCharacter)) {
        return CodeProblem::BadCharacter;
    }
    return CodeProblem::None;
}

QString codeProblemMessage(CodeProblem problem)
{
    switch (problem) {
    case CodeProblem::None:
        return {};
    case CodeProblem::TooShort:
        return QStringLiteral("短码太短，至少 %1 个字符").arg(MinimumCustomCodeLength);
    case CodeProblem::TooLong:
        return QStringLiteral("短码太长，最多 %1 个字符").arg(MaximumCustomCodeLength);
    case CodeProblem::BadCharacter:
        return QStringLiteral("短码只能由英文字母、数字、下划线（_）和连字符（-）组成");
    case CodeProblem::Reserved:
        return QStringLiteral("该短码与本服务的网页路径重名，请换一个");
    case CodeProblem::ImageSuffix:
        return QStringLiteral("短码不能以 .svg 或 .png 结尾（这是二维码图片的地址）");
    case CodeProblem::PreviewSuffix:
        return QStringLiteral("短码不能以 + 结尾（这是预览页的地址）");
    }
    return {};
}

QString codeProblemReason(CodeProblem problem)
{
    switch (problem) {
    case CodeProblem::None:
        return {};
    case CodeProblem::TooShort:
        return QStringLiteral("the code is shorter than %1 characters").arg(MinimumCustomCodeLength);
    case CodeProblem::TooLong:
        return QStringLiteral("the code is longer than %1 characters").arg(MaximumCustomCodeLength);
    case CodeProblem::BadCharacter:
        return QStringLiteral("the code holds a character other than A-Z, a-z, 0-9, _ and -");
    case CodeProblem::Reserved:
        return QStringLiteral("the code is a path of the service, so its link could never be reached");
    case CodeProblem::ImageSuffix:
        return QStringLiteral("the code ends in .svg or .png, the address of a QR image");
    case CodeProblem::PreviewSuffix:
        return QStringLiteral("the code ends in +, the address of a preview page");
    }
    return {};
}

} // namespace Shortd
