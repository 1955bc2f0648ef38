#pragma once

#include "protocol.h"

#include <QList>
#include <QString>
#include <QStringView>
#include <optional>

namespace Shortd
{

inline constexpr qsizetype MaximumQueryFields = 32;
inline constexpr int LinkTypeCount = Nolvex::Protocol::LinkTypeCount;
// The longest reason an operator may give for taking a link down, wherever it comes in.
inline constexpr qsizetype MaximumReasonLength = 1000;
// What a link's own fields may hold, wherever they come in (the API, an import, links set).
inline constexpr qsizetype MaximumTitleLength = 200;
inline constexpr qsizetype MaximumTags = 20;
inline constexpr qsizetype MaximumTagLength = 40;
inline constexpr qint64 MaximumVisitLimit = 1'000'000'000;

// Whether text may be kept as a link's title, tag or reason and shown as it is: no control
// characters, no bidirectional controls (U+061C, U+200E, U+200F, U+202A-U+202E, U+2066-U+2069),
// which would reorder what is shown around them, and no lone surrogate, which UTF-8 cannot carry.
bool isPlainFieldText(QStringView text);

struct Field {
    QString name;
    QString value;
};

enum class DecodeError {
    None,
    BadEscape, // a '%' not followed by two hexadecimal digits
    BadUtf8, // the decoded bytes are not UTF-8
    TooManyFields,
};

struct DecodedFields {
    DecodeError error = DecodeError::None;
    QList<Field> fields;
};

// Percent-decoding only: '+' stays a plus. This is how the client encodes the query of a
// shortening request, so "a+b" and "a%2Bb" both mean "a+b" and "%2520" means "%20".
DecodedFields decodeQuery(QByteArrayView raw, qsizetype maxFields = MaximumQueryFields);
// application/x-www-form-urlencoded: as above, except that '+' is a blank.
DecodedFields decodeForm(QByteArrayView raw, qsizetype maxFields = MaximumQueryFields);
std::optional<QString> percentDecode(QByteArrayView raw, bool plusIsBlank);

// How often a field occurs, and its (first) value.
struct FieldValue {
    int count = 0;
    QString value;
};
FieldValue findField(const QList<Field>& fields, QStringView name);

// The link type: exactly one digit from 0 to 5.
std::optional<int> parseLinkType(QStringView text);

// Compares in time that depends only on the expected token's length, never on where they differ.
bool tokensEqual(QStringView received, QStringView expected);

} // namespace Shortd
