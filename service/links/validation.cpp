#include "links/validation.h"

#include <QHostAddress>
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

bool isControl(char16_t c)
{
    return c < 0x20 || (c >= 0x7f && c <= 0x9f);
}

int effectivePort(const QUrl& url)
{
    return url.port(url.scheme() == QLatin1StringView("https") ? 443 : 80);
}

QString comparableHost(const QUrl& url)
{
    QString host = url.host(QUrl::FullyEncoded).toLower();
    while (host.endsWith(u'.')) {
        host.chop(1);
    }
    // An IPv4 address written as IPv6 ([::ffff:127.0.0.1]) reaches the same host as the plain one.
    if (const QHostAddress address(host); address.protocol() == QAbstractSocket::IPv6Protocol) {
        bool mapped = false;
        const quint32 ipv4 = address.toIPv4Address(&mapped);
        if (mapped) {
            return QHostAddress(ipv4).toString();
        }
    }
    return host;
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
        for (QByteArrayView part : {rawName, rawValue}) {
            for (qsizetype i = 0; i < part.size(); ++i) {
                if (part[i] == '%'
                    && (i + 2 >= part.size() || hexValue(part[i + 1]) < 0 || hexValue(part[i + 2]) < 0)) {
                    return {DecodeError::BadEscape, {}};
                }
            }
        }
        auto name = percentDecode(rawName, plusIsBlank);
        auto value = percentDecode(rawValue, plusIsBlank);
        if (!name || !value) {
            return {DecodeError::BadUtf8, {}};
        }
        result.fields.append({std::move(*name), std::move(*value)});
    }
    return result;
}
} // namespace

std::optional<QString> percentDecode(QByteArrayView raw, bool plusIsBlank)
{
    QByteArray bytes;
    bytes.reserve(raw.size());
    for (qsizetype i = 0; i < raw.size(); ++i) {
        const char c = raw[i];
        if (c == '%') {
            if (i + 2 >= raw.size()) {
                return std::nullopt;
            }
            const int high = hexValue(raw[i + 1]);
            const int low = hexValue(raw[i + 2]);
            if (high < 0 || low < 0) {
                return std::nullopt;
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
    QString text = decoder.decode(bytes);
    if (decoder.hasError()) {
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

bool isUnderBase(const QUrl& target, const QUrl& base)
{
    if (comparableHost(target) != comparableHost(base) || effectivePort(target) != effectivePort(base)) {
        return false;
    }
    QString basePath = base.path(QUrl::FullyEncoded);
    if (basePath.endsWith(u'/')) {
        basePath.chop(1);
    }
    if (basePath.isEmpty()) {
        return true;
    }
    const QString targetPath = target.path(QUrl::FullyEncoded);
    return targetPath == basePath || targetPath.startsWith(basePath + u'/');
}

AddressProblem checkAddress(QStringView address, const QList<QUrl>& ownBases)
{
    if (address.isEmpty()) {
        return AddressProblem::Empty;
    }
    if (address.size() > MaximumAddressLength) {
        return AddressProblem::TooLong;
    }
    if (std::any_of(address.begin(), address.end(), [](QChar c) { return isControl(c.unicode()); })) {
        return AddressProblem::ControlCharacter;
    }
    const bool http = address.startsWith(u"http://", Qt::CaseInsensitive);
    const bool https = address.startsWith(u"https://", Qt::CaseInsensitive);
    if (!http && !https) {
        return AddressProblem::UnsupportedScheme;
    }
    const QUrl url(address.toString(), QUrl::TolerantMode);
    if (!url.isValid()) {
        return AddressProblem::Malformed;
    }
    if (url.host().isEmpty()) {
        return AddressProblem::NoHost;
    }
    for (const QUrl& base : ownBases) {
        if (isUnderBase(url, base)) {
            return AddressProblem::OwnLink;
        }
    }
    return AddressProblem::None;
}

QString addressProblemMessage(AddressProblem problem)
{
    switch (problem) {
    case AddressProblem::None:
        return {};
    case AddressProblem::Empty:
        return QStringLiteral("请填写要缩短的网址");
    case AddressProblem::TooLong:
        return QStringLiteral("网址太长，最多 %1 个字符").arg(MaximumAddressLength);
    case AddressProblem::ControlCharacter:
        return QStringLiteral("网址中含有控制字符（如换行符），请检查后再试");
    case AddressProblem::UnsupportedScheme:
        return QStringLiteral("只能缩短以 http:// 或 https:// 开头的网址");
    case AddressProblem::Malformed:
        return QStringLiteral("网址格式不正确");
    case AddressProblem::NoHost:
        return QStringLiteral("网址缺少主机名");
    case AddressProblem::OwnLink:
        return QStringLiteral("这已经是本服务的短网址，不能再次缩短");
    }
    return {};
}

QByteArray locationHeader(const QString& address)
{
    return QUrl(address, QUrl::TolerantMode).toEncoded(QUrl::FullyEncoded);
}

} // namespace Shortd
