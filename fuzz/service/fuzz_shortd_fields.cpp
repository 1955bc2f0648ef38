// Query and form decoding, and the checks the shortening route makes on what they decode.
//
// The first byte picks query or form rules and the field limit; the rest is the raw query or body.
// Whatever the bytes, a successful decoding must survive a round trip (encode every field again,
// decode, get the same fields), a bad-escape verdict must point at a real bad escape, the field
// limit must hold, and the lookups must agree with a plain scan.

#include "links/addresspolicy.h"
#include "links/fields.h"

#include <QUrl>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace
{
[[noreturn]] void fail(const char* what, QByteArrayView raw)
{
    std::fprintf(
        stderr, "fuzz_shortd_fields: %s\ninput: %s\n", what, raw.toByteArray().toPercentEncoding().constData());
    std::abort();
}

bool isHex(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

bool hasBadEscape(QByteArrayView raw)
{
    for (qsizetype i = 0; i < raw.size(); ++i) {
        if (raw[i] == '%' && (i + 2 >= raw.size() || !isHex(raw[i + 1]) || !isHex(raw[i + 2]))) {
            return true;
        }
    }
    return false;
}

qsizetype nonEmptyPieces(QByteArrayView raw)
{
    qsizetype count = 0;
    for (const QByteArray& piece : raw.toByteArray().split('&')) {
        count += piece.isEmpty() ? 0 : 1;
    }
    return count;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0) {
        return 0;
    }
    const bool form = (data[0] & 0x80) != 0;
    const qsizetype maxFields = 1 + (data[0] & 0x3f);
    const QByteArrayView raw(reinterpret_cast<const char*>(data + 1), static_cast<qsizetype>(size - 1));

    const Shortd::DecodedFields decoded
        = form ? Shortd::decodeForm(raw, maxFields) : Shortd::decodeQuery(raw, maxFields);
    const qsizetype pieces = nonEmptyPieces(raw);

    switch (decoded.error) {
    case Shortd::DecodeError::TooManyFields:
        if (pieces <= maxFields) {
            fail("too many fields reported for few enough", raw);
        }
        return 0;
    case Shortd::DecodeError::BadEscape:
        if (!hasBadEscape(raw)) {
            fail("bad escape reported where there is none", raw);
        }
        return 0;
    case Shortd::DecodeError::BadUtf8:
        return 0;
    case Shortd::DecodeError::None:
        break;
    }
    if (hasBadEscape(raw)) {
        fail("a bad escape was accepted", raw);
    }
    if (decoded.fields.size() != pieces || decoded.fields.size() > maxFields) {
        fail("field count differs from the pieces of the input", raw);
    }

    QByteArray again;
    for (const Shortd::Field& field : decoded.fields) {
        if (!again.isEmpty()) {
            again += '&';
        }
        again += QUrl::toPercentEncoding(field.name) + '=' + QUrl::toPercentEncoding(field.value);
    }
    const Shortd::DecodedFields round
        = form ? Shortd::decodeForm(again, maxFields) : Shortd::decodeQuery(again, maxFields);
    if (round.error != Shortd::DecodeError::None || round.fields.size() != decoded.fields.size()) {
        fail("re-encoded fields do not decode again", raw);
    }
    for (qsizetype i = 0; i < round.fields.size(); ++i) {
        if (round.fields.at(i).name != decoded.fields.at(i).name
            || round.fields.at(i).value != decoded.fields.at(i).value) {
            fail("re-encoded fields decode differently", raw);
        }
    }

    for (const Shortd::Field& field : decoded.fields) {
        const Shortd::FieldValue found = Shortd::findField(decoded.fields, field.name);
        const auto count = std::count_if(decoded.fields.cbegin(), decoded.fields.cend(),
            [&](const Shortd::Field& other) { return other.name == field.name; });
        const auto first = std::find_if(decoded.fields.cbegin(), decoded.fields.cend(),
            [&](const Shortd::Field& other) { return other.name == field.name; });
        if (found.count != count || found.value != first->value) {
            fail("findField disagrees with a scan", raw);
        }
        const std::optional<int> type = Shortd::parseLinkType(field.value);
        const bool digit = field.value.size() == 1 && field.value[0] >= u'0' && field.value[0] <= u'5';
        if (type.has_value() != digit || (type && *type != field.value[0].unicode() - u'0')) {
            fail("parseLinkType accepts other than one digit 0-5", raw);
        }
        if (Shortd::tokensEqual(field.name, field.value) != (field.name == field.value)) {
            fail("tokensEqual differs from equality", raw);
        }
    }
    return 0;
}
