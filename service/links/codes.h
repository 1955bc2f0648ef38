#pragma once

#include <QString>
#include <QStringView>
#include <functional>
#include <span>

class QRandomGenerator;

namespace Shortd
{

// Short codes are drawn from an alphabet without the characters people confuse when they copy a
// link by eye: 0/O/o and 1/l/I are all left out.
QStringView codeAlphabet();

inline constexpr int MinimumCodeLength = 6;
inline constexpr int MaximumCodeLength = 16;

// A uniformly random code of the given length, never a reserved name.
QString randomCode(qsizetype length, QRandomGenerator& generator);
// The same with the draws given: draw(n) answers an index below n.
QString randomCode(qsizetype length, const std::function<quint32(quint32)>& draw);

// Whether a code has the shape of a drawn one: its length and alphabet.
bool isCodeShaped(QStringView candidate);
// First path segments the service answers itself or keeps for its own pages. A code equal to one
// of them, in any case, could never be reached, so none is ever given out or accepted.
inline constexpr QStringView HealthSegment = u"healthz";
inline constexpr QStringView ReadySegment = u"readyz";
inline constexpr QStringView ApiSegment = u"api";
// The first segment of the client's protocol paths (Nolvex::Protocol::ShortenPath and the others).
inline constexpr QStringView ProtocolSegment = u"index.php";
std::span<const QStringView> reservedNames();
bool isReservedName(QStringView candidate);

// Whether a path segment can lead to a stored link, drawn or chosen: of a link's shape and no
// reserved name. Anything else is no link, answered without asking the store.
bool mayNameLink(QStringView candidate);
// Whether the store may hold a link of this code, for the API and the operator's commands: a
// chosen one, or a drawn one, also one drawn before its name was reserved, which no path reaches
// but which can still be read and taken down.
bool mayBeStoredCode(QStringView candidate);

// Codes a person chooses: 3 to 64 of A-Z a-z 0-9 _ -, neither a reserved name nor ending like a
// QR image (.svg, .png). Whether the code is taken is the store's answer.
inline constexpr int MinimumCustomCodeLength = 3;
inline constexpr int MaximumCustomCodeLength = 64;

enum class CodeProblem {
    None,
    TooShort,
    TooLong,
    BadCharacter,
    Reserved,
    ImageSuffix,
    PreviewSuffix,
};

CodeProblem checkCustomCode(QStringView code);
// For the web and API (Chinese), like addressProblemMessage().
QString codeProblemMessage(CodeProblem problem);
// For operators (English), like the reasons the importer gives.
QString codeProblemReason(CodeProblem problem);

} // namespace Shortd
