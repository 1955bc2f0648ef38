#include "links/fields.h"

#include <QStringDecoder>

namespace Shortd
{
namespace
{
int hexValue(char c)
{
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

enum class EscapeError {
    None,
    BadEscape,
    BadUtf8,
};

// Percent-decodes raw; every escape is checked here and only here.
EscapeError decodeEscapes(QByteArrayView raw, bool plusIsBlank, QString* text)
{
    QByteArray bytes;
    bytes.reserve(raw.size());
    for (qsizetype i = 0; i < raw.size(); ++i) {
        const char c = raw[i];
        if (c == '%') {
            const int high = i + 2 < raw.size() ? hexValue(raw[i + 1]) : -1;
            const int low = i + 2 < raw.size() ? hexValue(raw[i + 2]) : -1;
            if (high < 0 || low < 0) {
                return EscapeError::BadEscape;
            }
            bytes.append(static_cast<char>(high * 16 + low));
            i += 2;
        } else if (c == '+' && plusIsBlank) {
            bytes.append(' ');
        } else {
            bytes.append(c);
        }
    }
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    *text = decoder.decode(bytes);
    return decoder.hasError() ? EscapeError::BadUtf8 : EscapeError::None;
}

DecodedFields decodeFields(QByteArrayView raw, qsizetype maxFields, bool plusIsBlank)
{
    DecodedFields result;
    qsizetype start = 0;
    while (start <= raw.size()) {
        qsizetype end = raw.indexOf('&', start);
        if (end < 0) {
            end = raw.size();
        }
        const QByteArrayView piece = raw.sliced(start, end - start);
        start = end + 1;
        if (piece.isEmpty()) {
            continue;
        }
        if (result.fields.size() == maxFields) {
            return {DecodeError::TooManyFields, {}};
        }
        const qsizetype equals = piece.indexOf('=');
        const QByteArrayView rawName = equals < 0 ? piece : piece.first(equals);
        const QByteArrayView rawValue = equals < 0 ? QByteArrayView() : piece.sliced(equals + 1);
        Field field;
        const EscapeError nameError = decodeEscapes(rawName, plusIsBlank, &field.name);
        const EscapeError valueError = decodeEscapes(rawValue, plusIsBlank, &field.value);
        if (nameError == EscapeError::BadEscape || valueError == EscapeError::BadEscape) {
            return {DecodeError::BadEscape, {}};
        }
        if (nameError != EscapeError::None || valueError != EscapeError::None) {
            return {DecodeError::BadUtf8, {}};
        }
        result.fields.append(std::move(field));
    }
    return result;
}
} // namespace

bool isPlainFieldText(QStringView text)
{
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        const char16_t u = c.unicode();
        if (c.isHighSurrogate() && i + 1 < text.size() && text.at(i + 1).isLowSurrogate()) {
            ++i;
            continue;
        }
        if (c.isSurrogate() || c.category() == QChar::Other_Control || u == 0x061C || u == 0x200E || u == 0x200F
            || (u >= 0x202A && u <= 0x202E) || (u >= 0x2066 && u <= 0x2069)) {
            return false;
        }
    }
    return true;
}

std::optional<QString> percentDecode(QByteArrayView raw, bool plusIsBlank)
{
    QString text;
    if (decodeEscapes(raw, plusIsBlank, &text) != EscapeError::None) {
        return std::nullopt;
    }
    return text;
}

DecodedFields decodeQuery(QByteArrayView raw, qsizetype maxFields)
{
    return decodeFields(raw, maxFields, false);
}

DecodedFields decodeForm(QByteArrayView raw, qsizetype maxFields)
{
    return decodeFields(raw, maxFields, true);
}

FieldValue findField(const QList<Field>& fields, QStringView name)
{
    FieldValue found;
    for (const Field& field : fields) {
        if (field.name == name) {
            if (found.count++ == 0) {
                found.value = field.value;
            }
        }
    }
    return found;
}

std::optional<int> parseLinkType(QStringView text)
{
    if (text.size() != 1 || text[0] < u'0' || text[0] >= QChar(u'0' + LinkTypeCount)) {
        return std::nullopt;
    }
    return text[0].unicode() - u'0';
}

bool tokensEqual(QStringView received, QStringView expected)
{
    unsigned difference = received.size() == expected.size() ? 0U : 1U;
    for (qsizetype i = 0; i < expected.size(); ++i) {
        const char16_t got = i < received.size() ? received[i].unicode() : char16_t(0);
        difference |= static_cast<unsigned>(got ^ expected[i].unicode());
    }
    return difference == 0U;
}

} // namespace Shortd
