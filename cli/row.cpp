#include "row.h"

#include "displaytext.h"

#include <QStringBuilder>
#include <array>

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

// Controls, C1 and the invisible and reordering characters as \u escapes: a reader gets the text
// back whole, and a terminal the line is shown on is left alone.
QByteArray jsonString(const QString& text)
{
    QString out;
    out.reserve(text.size() + 2);
    out += u'"';
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        switch (u) {
        case u'"':
            out += QStringLiteral("\\\"");
            break;
        case u'\\':
            out += QStringLiteral("\\\\");
            break;
        case u'\n':
            out += QStringLiteral("\\n");
            break;
        case u'\r':
            out += QStringLiteral("\\r");
            break;
        case u'\t':
            out += QStringLiteral("\\t");
            break;
        default:
            if (isShownAsCodePoint(u)) {
                out += QStringLiteral("\\u%1").arg(u, 4, 16, QLatin1Char('0'));
            } else {
                out += c;
            }
        }
    }
    out += u'"';
    return out.toUtf8();
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

QString Messages::failureLine(const Row& row)
{
    return tr("line %1: %2: %3").arg(row.line).arg(forTerminal(row.input), forTerminal(row.message));
}

QString Messages::redirectNotFollowed(const QUrl& target)
{
    return tr("The service redirected the request to another address, not followed: %1")
        .arg(forTerminal(target.toDisplayString()));
}

namespace
{
constexpr std::array<QStringView, 4> FormatNames {u"text", u"tsv", u"csv", u"jsonl"}; // in Format's order
} // namespace

QString formatName(Format format)
{
    return FormatNames.at(static_cast<size_t>(format)).toString();
}

std::optional<Format> formatFromName(QStringView name)
{
    for (size_t index = 0; index < FormatNames.size(); ++index) {
        if (name == FormatNames.at(index)) {
            return Format(index);
        }
    }
    return std::nullopt;
}

QByteArray formatRow(Format format, const Row& row)
{
    switch (format) {
    // The input is the user's own and is written as given; the link is the service's word.
    case Format::Text:
        return forTerminal(row.shortLink).toUtf8() + '\n';
    case Format::Tsv:
        return tsvField(row.input) + '\t' + tsvField(forTerminal(row.shortLink)) + '\n';
    case Format::Csv:
        return (csvField(row.input) % u',' % csvField(forTerminal(row.shortLink))).toUtf8() + "\r\n";
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
