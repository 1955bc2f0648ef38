#include "http/framing.h"

#include <QList>
#include <QUrl>
#include <QVarLengthArray>
#include <algorithm>
#include <array>
#include <optional>

namespace Shortd
{
namespace
{
// A chunk-size line is a handful of digits and perhaps an extension; a longer one is an attack.
constexpr qsizetype MaximumChunkLine = 1024;

FramedRequest refused(int status)
{
    FramedRequest result;
    result.state = FramedRequest::State::Refused;
    result.status = status;
    return result;
}

// Waits for more bytes, unless the request is already over its budget.
FramedRequest incomplete(qsizetype bufferSize, const FrontEndLimits& limits, qsizetype needed = 0)
{
    if (bufferSize > limits.maxRequestBytes) {
        return refused(413);
    }
    FramedRequest result;
    result.needed = std::max(needed, bufferSize + 1);
    return result;
}

bool isTokenChar(char c)
{
    // The characters of an RFC 9110 token, looked up rather than searched: every header name passes.
    static const auto table = [] {
        std::array<bool, 256> token {};
        for (const char t :
            QByteArrayView("!#$%&'*+-.^_`|~0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ")) {
            token[static_cast<unsigned char>(t)] = true;
        }
        return token;
    }();
    return table[static_cast<unsigned char>(c)];
}

bool isToken(QByteArrayView text)
{
    return !text.isEmpty() && std::all_of(text.begin(), text.end(), isTokenChar);
}

QByteArrayView trimmedBlanks(QByteArrayView text)
{
    while (!text.isEmpty() && (text.front() == ' ' || text.front() == '\t')) {
        text = text.sliced(1);
    }
    while (!text.isEmpty() && (text.back() == ' ' || text.back() == '\t')) {
        text.chop(1);
    }
    return text;
}

// One line from offset at: up to LF, without the LF and a CR before it. A recipient may take a
// bare LF as the end of a line; a CR anywhere else is refused.
struct Line {
    bool complete = false;
    bool bareCr = false;
    QByteArrayView text;
    qsizetype next = 0; // the offset after the line
};

Line lineAt(QByteArrayView buffer, qsizetype at)
{
    const qsizetype lf = buffer.indexOf('\n', at);
    if (lf < 0) {
        return {};
    }
    QByteArrayView text = buffer.sliced(at, lf - at);
    if (text.endsWith('\r')) {
        text.chop(1);
    }
    return {true, text.contains('\r'), text, lf + 1};
}

// "method SP target SP version", each part as strict as RFC 9112 has it.
bool isRequestLine(QByteArrayView line)
{
    const qsizetype first = line.indexOf(' ');
    const qsizetype second = first < 0 ? -1 : line.indexOf(' ', first + 1);
    if (second < 0 || line.indexOf(' ', second + 1) >= 0) {
        return false;
    }
    const QByteArrayView target = line.sliced(first + 1, second - first - 1);
    const QByteArrayView version = line.sliced(second + 1);
    return isToken(line.first(first)) && !target.isEmpty() && std::none_of(target.begin(), target.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte <= 0x20 || byte == 0x7f;
    }) && (version == "HTTP/1.1" || version == "HTTP/1.0");
}

// A header field line: a token, a colon, and a value free of NUL (CR and LF cannot be in a line).
// Empty optional when the line is not one.
std::optional<std::pair<QByteArrayView, QByteArrayView>> fieldOf(QByteArrayView line)
{
    const qsizetype colon = line.indexOf(':');
    if (colon <= 0 || !isToken(line.first(colon))) {
        return std::nullopt;
    }
    const QByteArrayView value = trimmedBlanks(line.sliced(colon + 1));
    if (value.contains('\0')) {
        return std::nullopt;
    }
    return std::pair {line.first(colon), value};
}

// Each element of a comma-separated list, without blanks; empty elements are skipped.
QList<QByteArrayView> listElements(const QList<QByteArrayView>& values)
{
    QList<QByteArrayView> elements;
    for (QByteArrayView value : values) {
        qsizetype start = 0;
        while (start <= value.size()) {
            qsizetype comma = value.indexOf(',', start);
            if (comma < 0) {
                comma = value.size();
            }
            if (const QByteArrayView element = trimmedBlanks(value.sliced(start, comma - start)); !element.isEmpty()) {
                elements.append(element);
            }
            start = comma + 1;
        }
    }
    return elements;
}

// The one length all Content-Length values agree on; empty optional when one is malformed or two
// differ. A blank value counts as malformed.
std::optional<qint64> agreedLength(const QList<QByteArrayView>& values)
{
    std::optional<qint64> agreed;
    for (QByteArrayView value : values) {
        if (trimmedBlanks(value).isEmpty()) {
            return std::nullopt;
        }
    }
    for (QByteArrayView element : listElements(values)) {
        if (element.size() > 15
            || !std::all_of(element.begin(), element.end(), [](char c) { return c >= '0' && c <= '9'; })) {
            return std::nullopt;
        }
        const qint64 length = element.toLongLong();
        if (agreed && *agreed != length) {
            return std::nullopt;
        }
        agreed = length;
    }
    return agreed;
}

// The field lines from offset at up to the empty line that ends them, each handed to take;
// fields counts them against the limit. Complete here means the fields; length is the offset
// after the empty line.
template<typename Take>
FramedRequest readFields(QByteArrayView buffer, qsizetype at, const FrontEndLimits& limits, int* fields, Take take)
{
    for (;;) {
        const Line line = lineAt(buffer, at);
        if (!line.complete) {
            return incomplete(buffer.size(), limits);
        }
        at = line.next;
        if (line.text.isEmpty()) {
            break;
        }
        if (++*fields > limits.maxHeaderFields) {
            return refused(431);
        }
        // A line that starts with a blank continues the one before (obs-fold): refused.
        const auto field = line.bareCr ? std::nullopt : fieldOf(line.text);
        if (!field) {
            return refused(400);
        }
        take(field->first, field->second);
    }
    if (at > limits.maxRequestBytes) {
        return refused(413);
    }
    FramedRequest result;
    result.state = FramedRequest::State::Complete;
    result.length = at;
    return result;
}

struct Head {
    QByteArrayView requestLine;
    bool http11 = false;
    int fields = 0;
    int hosts = 0;
    QList<QByteArrayView> lengths;
    QList<QByteArrayView> encodings;
    QList<QByteArrayView> expectations;
    // The header fields passed on when the request is written anew.
    QVarLengthArray<std::pair<QByteArrayView, QByteArrayView>, 16> kept;
    qsizetype end = 0; // the offset after the empty line
};

// Reads the request line and header fields; Complete here means the head, not the request.
FramedRequest readHead(QByteArrayView buffer, const FrontEndLimits& limits, Head* head)
{
    qsizetype at = 0;
    // Empty lines before a request line are skipped, as RFC 9112 asks of a server.
    while (at < buffer.size() && (buffer[at] == '\r' || buffer[at] == '\n')) {
        ++at;
    }
    const Line requestLine = lineAt(buffer, at);
    if (!requestLine.complete) {
        return incomplete(buffer.size(), limits);
    }
    if (requestLine.bareCr || !isRequestLine(requestLine.text)) {
        return refused(400);
    }
    head->requestLine = requestLine.text;
    head->http11 = requestLine.text.endsWith("HTTP/1.1");
    FramedRequest fields = readFields(
        buffer, requestLine.next, limits, &head->fields, [head](QByteArrayView name, QByteArrayView value) {
            if (name.compare("content-length", Qt::CaseInsensitive) == 0) {
                head->lengths.append(value);
            } else if (name.compare("transfer-encoding", Qt::CaseInsensitive) == 0) {
                head->encodings.append(value);
            } else if (name.compare("expect", Qt::CaseInsensitive) == 0) {
                head->expectations.append(value);
            } else {
                head->hosts += name.compare("host", Qt::CaseInsensitive) == 0 ? 1 : 0;
                head->kept.append({name, value});
            }
        });
    head->end = fields.length;
    return fields;
}

// The chunked body from offset at: its data into body, then the trailer fields (read and
// dropped). Complete here means the body; length is the offset after it.
FramedRequest readChunked(
    QByteArrayView buffer, qsizetype at, int fields, const FrontEndLimits& limits, QByteArray* body)
{
    for (;;) {
        const Line sizeLine = lineAt(buffer, at);
        if (!sizeLine.complete) {
            return buffer.size() - at > MaximumChunkLine ? refused(400) : incomplete(buffer.size(), limits);
        }
        const QByteArrayView text = sizeLine.text;
        const auto* const digitsEnd = std::find_if(text.begin(), text.end(),
            [](char c) { return !((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F')); });
        const QByteArrayView digits = text.first(digitsEnd - text.begin());
        const QByteArrayView rest = trimmedBlanks(text.sliced(digits.size()));
        if (sizeLine.bareCr || digits.isEmpty() || digits.size() > 8 || (!rest.isEmpty() && !rest.startsWith(';'))) {
            return refused(400);
        }
        const qint64 size = digits.toLongLong(nullptr, 16);
        at = sizeLine.next;
        if (at + size > limits.maxRequestBytes) {
            return refused(413);
        }
        if (size == 0) {
            break;
        }
        const qsizetype dataEnd = at + static_cast<qsizetype>(size);
        if (buffer.size() < dataEnd + 1 || (buffer.size() == dataEnd + 1 && buffer[dataEnd] == '\r')) {
            return incomplete(buffer.size(), limits, dataEnd + 1);
        }
        body->append(buffer.sliced(at, dataEnd - at));
        if (buffer[dataEnd] == '\n') {
            at = dataEnd + 1;
        } else if (buffer[dataEnd] == '\r' && buffer[dataEnd + 1] == '\n') {
            at = dataEnd + 2;
        } else {
            return refused(400);
        }
    }
    // The trailer fields are read and dropped.
    return readFields(buffer, at, limits, &fields, [](QByteArrayView, QByteArrayView) {});
}
// What the HTTP server is to parse, when it is not the request as received: one whose framing it
// would read otherwise (chunked, a list of lengths, Expect) is written anew with one plain
// Content-Length. Empty when the request passes as it came, as most do.
QByteArray forwarded(const Head& head, QByteArrayView body)
{
    const bool plainLength = head.lengths.size() < 2 && (head.lengths.isEmpty() || !head.lengths[0].contains(','));
    if (head.encodings.isEmpty() && plainLength && head.expectations.isEmpty()) {
        return {};
    }
    QByteArray forward = head.requestLine.toByteArray() + "\r\n";
    for (const auto& [name, value] : head.kept) {
        forward += name.toByteArray() + ": " + value.toByteArray() + "\r\n";
    }
    if (!body.isEmpty()) {
        forward += "Content-Length: " + QByteArray::number(body.size()) + "\r\n";
    }
    return forward + "\r\n" + body.toByteArray();
}
Method methodOf(QByteArrayView token)
{
    static constexpr std::pair<QByteArrayView, Method> Known[]
        = {{"GET", Method::Get}, {"HEAD", Method::Head}, {"POST", Method::Post}, {"PUT", Method::Put},
            {"PATCH", Method::Patch}, {"DELETE", Method::Delete}, {"OPTIONS", Method::Options}};
    for (const auto& [name, method] : Known) {
        if (token == name) {
            return method;
        }
    }
    return Method::Other;
}

// Whether a target needs no normalizing: an origin-form path and query of characters that are
// sent as they are, without percent signs and not starting with "//".
bool isPlainTarget(QByteArrayView target)
{
    static const auto table = [] {
        std::array<bool, 256> plain {};
        for (const char c :
            QByteArrayView("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-._~!$&'()*+,;=:@/?")) {
            plain[static_cast<unsigned char>(c)] = true;
        }
        return plain;
    }();
    return target.startsWith('/') && !target.startsWith("//")
        && std::all_of(target.begin(), target.end(), [](char c) { return table[static_cast<unsigned char>(c)]; });
}

// The path and query of a target as the routes read them: percent-encoded, and in a URL's usual
// form where the target was not (absolute form, characters that must be encoded, an escape of a
// character that needs none).
void splitTarget(QByteArrayView target, HttpRequest* request)
{
    if (isPlainTarget(target)) {
        const qsizetype mark = target.indexOf('?');
        request->path = QString::fromLatin1(mark < 0 ? target : target.first(mark));
        request->query = mark < 0 ? QByteArray() : target.sliced(mark + 1).toByteArray();
        return;
    }
    const QUrl url = QUrl::fromEncoded(target.toByteArray());
    request->path = url.path(QUrl::FullyEncoded);
    request->query = url.query(QUrl::FullyEncoded).toLatin1();
}

// Whether a Connection header's options hold "close".
bool asksToClose(QByteArrayView connection)
{
    const QList<QByteArrayView> options = listElements({connection});
    return std::any_of(options.cbegin(), options.cend(),
        [](QByteArrayView option) { return option.compare("close", Qt::CaseInsensitive) == 0; });
}

// The request the handler sees, from a framed head and its body.
void readRequest(const Head& head, QByteArrayView body, ReadRequest* read)
{
    const QByteArrayView line = head.requestLine;
    const qsizetype first = line.indexOf(' ');
    const qsizetype second = line.indexOf(' ', first + 1);
    read->method = line.first(first).toByteArray();
    HttpRequest& request = read->request;
    request.method = methodOf(read->method);
    splitTarget(line.sliced(first + 1, second - first - 1), &request);
    request.body = body.toByteArray();
    // The first of a repeated field counts; a field the routes do not read is passed over.
    constexpr size_t Wanted = 11;
    const std::array<std::pair<QByteArrayView, QByteArray*>, Wanted> wanted {{{"host", &request.host},
        {"content-type", &request.contentType}, {"authorization", &request.authorization},
        {"user-agent", &request.userAgent}, {"referer", &request.referer}, {"accept-language", &request.acceptLanguage},
        {"if-none-match", &request.ifNoneMatch}, {"origin", &request.origin}, {"sec-fetch-site", &request.secFetchSite},
        {"x-forwarded-for", &read->forwardedFor}, {"x-nolvex-console", &request.console}}};
    std::array<bool, Wanted> seen {};
    for (const auto& [name, value] : head.kept) {
        if (name.compare("connection", Qt::CaseInsensitive) == 0) {
            read->close = read->close || asksToClose(value);
            continue;
        }
        for (size_t i = 0; i < Wanted; ++i) {
            if (!seen.at(i) && name.compare(wanted[i].first, Qt::CaseInsensitive) == 0) {
                seen.at(i) = true;
                *wanted[i].second = value.toByteArray();
                break;
            }
        }
    }
}
} // namespace

FramedRequest frameRequest(QByteArrayView buffer, const FrontEndLimits& limits)
{
    return frameRequest(buffer, limits, nullptr);
}

FramedRequest frameRequest(QByteArrayView buffer, const FrontEndLimits& limits, ReadRequest* request)
{
    Head head;
    if (FramedRequest read = readHead(buffer, limits, &head); read.state != FramedRequest::State::Complete) {
        return read;
    }
    if (head.http11 ? head.hosts != 1 : head.hosts > 1) {
        return refused(400);
    }
    // 100-continue is the only expectation defined; any other cannot be met, and the client learns
    // so before it sends a body it may be holding back.
    const QList<QByteArrayView> expectations = listElements(head.expectations);
    if (std::any_of(expectations.begin(), expectations.end(),
            [](QByteArrayView e) { return e.compare("100-continue", Qt::CaseInsensitive) != 0; })) {
        return refused(417);
    }
    // An HTTP/1.0 client knows no interim answers: it would take "100 Continue" for the reply.
    const bool expectsContinue = head.http11 && !expectations.isEmpty();
    QByteArray chunks; // the de-chunked body
    QByteArrayView body;
    qsizetype end = 0;
    if (head.encodings.isEmpty()) {
        const std::optional<qint64> length = head.lengths.isEmpty() ? 0 : agreedLength(head.lengths);
        if (!length) {
            return refused(400);
        }
        if (head.end + *length > limits.maxRequestBytes) {
            return refused(413);
        }
        end = head.end + static_cast<qsizetype>(*length);
        if (buffer.size() < end) {
            FramedRequest waiting;
            waiting.needed = end;
            waiting.headComplete = true;
            waiting.expectsContinue = expectsContinue;
            return waiting;
        }
        body = buffer.sliced(head.end, end - head.end);
    } else {
        // Only "chunked", alone, and never beside a Content-Length or in HTTP/1.0 (RFC 9112, 6.1).
        const QList<QByteArrayView> codings = listElements(head.encodings);
        if (!head.lengths.isEmpty() || !head.http11 || codings.size() != 1
            || codings.constFirst().compare("chunked", Qt::CaseInsensitive) != 0) {
            return refused(400);
        }
        FramedRequest read = readChunked(buffer, head.end, head.fields, limits, &chunks);
        if (read.state == FramedRequest::State::Incomplete) {
            read.headComplete = true;
            read.expectsContinue = expectsContinue;
        }
        if (read.state != FramedRequest::State::Complete) {
            return read;
        }
        end = read.length;
        body = chunks;
    }

    FramedRequest result;
    result.state = FramedRequest::State::Complete;
    result.length = end;
    if (request) {
        readRequest(head, body, request);
    } else {
        result.forward = forwarded(head, body);
    }
    return result;
}

QByteArrayView requestPath(QByteArrayView buffer)
{
    const qsizetype lineEnd = buffer.indexOf('\n');
    const QByteArrayView line = lineEnd < 0 ? buffer : buffer.first(lineEnd);
    const qsizetype methodEnd = line.indexOf(' ');
    if (methodEnd <= 0) {
        return {};
    }
    QByteArrayView target = line.sliced(methodEnd + 1);
    for (const char end : {' ', '\r', '?', '#'}) {
        if (const qsizetype at = target.indexOf(end); at >= 0) {
            target = target.first(at);
        }
    }
    // "http://host/path": the path is what follows the authority.
    if (const qsizetype scheme = target.indexOf("://"); scheme > 0 && isToken(target.first(scheme))) {
        const QByteArrayView rest = target.sliced(scheme + 3);
        const qsizetype slash = rest.indexOf('/');
        return slash < 0 ? QByteArrayView() : rest.sliced(slash);
    }
    return target.startsWith('/') ? target : QByteArrayView();
}

} // namespace Shortd
