#pragma once

#include <QString>
#include <QStringView>

class QRandomGenerator;

namespace Shortd
{

// Short codes are drawn from an alphabet without the characters people confuse when they copy a
// link by eye: 0/O/o and 1/l/I are all left out.
QStringView codeAlphabet();

inline constexpr int MinimumCodeLength = 6;
inline constexpr int MaximumCodeLength = 16;

// A uniformly random code of the given length.
QString randomCode(qsizetype length, QRandomGenerator& generator);

// Whether a path segment can be a code at all, so that anything else is answered without a lookup.
bool isCodeShaped(QStringView candidate);

} // namespace Shortd
