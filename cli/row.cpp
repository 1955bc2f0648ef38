#include "row.h"

#include "displaytext.h"

#include <QStringBuilder>

namespace Nolvex::Cli
{
namespace
{

QByteArray tsvField(const QString& text)
{
    QByteArray field;
    const QByteArray bytes = text.toUtf8();
    field.reserve(bytes.size());
    for (const char c : bytes) {
        switch (c) {
        case '\\':
            field += "\\\\";
            break;
        case '\t':
            field += "\\t";
            break;
        case '\r':
            field += "\\r";
            break;
        case '\n':
            field += "\\n";
            break;
        default:
            field += c;
        }
    }
    return field;
}

QByteArray jsonString(const QString& text)
{
    QByteArray out = "\"";
    const QByteArray bytes = text.toUtf8();
    out.reserve(bytes.size() + 2);
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (byte < 0x20 || byte == 0x7f) {
                out += "\\u00" + QByteArray::number(byte, 16).rightJustified(2, '0');
            } else {
                out += c;
            }
        }
    }
    out += '"';
    return out;
}

QByteArray jsonStringOrNull(const QString& text, bool present)
{
    return present ? jsonString(text) : QByteArrayLiteral("null");
}

} // namespace

QString failureCode(Failure failure)
{
    switch (failure) {
    case Failure::None:
        return {};
    case Failure::Scheme:
        return QStringLiteral("scheme");
    case Failure::TooLong:
        return QStringLiteral("too-long");
    case Failure::InvalidUtf8:
        return QStringLiteral("invalid-utf8");
    case Failure::Refused:
        return QStringLiteral("refused");
    case Failure::Busy:
        return QStringLiteral("busy");
    case Failure::Timeout:
        return QStringLiteral("timeout");
    case Failure::Connection:
        return QStringLiteral("connection");
    case Failure::Unreadable:
        return QStringLiteral("unreadable");
    case Failure::KeyRefused:
        return QStringLiteral("key-refused");
    }
    return {};
}

QString Messages::forFailure(Failure failure)
{
    switch (failure) {
    case Failure::None:
    case Failure::Refused:
        return {};
    case Failure::Scheme:
        return tr("The address must contain http:// or https://");
    case Failure::TooLong:
        return tr("The line is too long to be an address");
    case Failure::InvalidUtf8:
        return tr("The line is not valid UTF-8 text");
    case Failure::Busy:
        return tr("The service stayed busy; no retries left");
    case Failure::Timeout:
        return tr("The server took too long to answer; try again later");
    case Failure::Connection:
        return tr("Cannot connect to the shortening service; check the network and try again");
    case Failure::Unreadable:
        return tr("The server's reply cannot be read; try again later");
    case Failure::KeyRefused:
        return tr("The service refused the API key");
    }
    return {};
}

std::optional<Format> formatFromName(QStringView name)
{
    if (name == u"text") {
        return Format::Text;
    }
    if (name == u"tsv") {
        return Format::Tsv;
    }
    if (name == u"csv") {
        return Format::Csv;
    }
    if (name == u"jsonl") {
        return Format::Jsonl;
    }
    return std::nullopt;
}

QByteArray formatRow(Format format, const Row& row)
{
    switch (format) {
    case Format::Text:
        return row.shortLink.toUtf8() + '\n';
    case Format::Tsv:
        return tsvField(row.input) + '\t' + tsvField(row.shortLink) + '\n';
    case Format::Csv:
        return (csvField(row.input) % u',' % csvField(row.shortLink)).toUtf8() + "\r\n";
    case Format::Jsonl:
        return "{\"line\":" + QByteArray::number(row.line) + ",\"input\":" + jsonString(row.input)
            + ",\"ok\":" + (row.ok() ? "true" : "false") + ",\"short\":" + jsonStringOrNull(row.shortLink, row.ok())
            + ",\"error\":" + jsonStringOrNull(failureCode(row.failure), !row.ok())
            + ",\"message\":" + jsonStringOrNull(row.message, !row.ok()) + "}\n";
    }
    return {};
}

std::optional<QString> inputFromLine(QStringView line)
{
    const QStringView trimmed = line.trimmed(); // also the CR of a CRLF line end
    if (trimmed.isEmpty() || trimmed.startsWith(u'#')) {
        return std::nullopt;
    }
    return trimmed.toString();
}

} // namespace Nolvex::Cli
