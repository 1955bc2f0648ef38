#pragma once

#include <QByteArray>
#include <QCoreApplication>
#include <QString>
#include <QUrl>
#include <optional>

namespace Nolvex::Cli
{

enum class Failure {
    None,
    Scheme, // neither "http://" nor "https://" in the address; never sent
    TooLong, // an input line over MaxLineBytes; never sent
    InvalidUtf8, // an input line that is not UTF-8 text; never sent
    Refused, // the service answered with a result other than 1: final, never retried
    Busy, // 429 or 503 until the retries ran out
    Timeout,
    Connection,
    Unreadable, // a reply that is not a shortening reply (HTML, too large, bad text)
    KeyRefused, // the API answered 401 or 403: final, and the rows after it are not sent
};

// One input and what became of it.
struct Row {
    qint64 line = 0; // 1-based: the line of the input file, or the position among the arguments
    QString input;
    QString shortLink; // on success
    Failure failure = Failure::None;
    QString message; // on failure: the service's own message for a refusal, else ours

    bool ok() const { return failure == Failure::None; }
};

// The stable names in jsonl output: "scheme", "refused", "timeout", …
QString failureCode(Failure failure);

// Our own text for a failure (a refusal carries the service's instead).
class Messages
{
    Q_DECLARE_TR_FUNCTIONS(Messages)
public:
    static QString forFailure(Failure failure);
    // A failed row as standard error tells it beside the formats that have no room for the reason:
    // "line N: input: message", with the input and the service's words safe for a terminal.
    static QString failureLine(const Row& row);
    // A connection failure that was a redirect away from the service (WebResult::redirectTarget): where
    // it pointed, safe for a terminal.
    static QString redirectNotFollowed(const QUrl& target);
};

// What the service said (the link here, its reasons on standard error) has every control character,
// invisible or reordering one written as "<U+001B>" and the like (forTerminal): a row stays one line
// and nothing in it acts on a terminal. jsonl writes them, in every field, as \u escapes.
enum class Format {
    Text, // the short link alone; an empty line for a failure, so lines still match the input
    Tsv, // input TAB short; "\\", TAB, CR and LF in a field written as \\ \t \r \n
    Csv, // input,short per RFC 4180: CRLF line ends, fields with , " CR or LF quoted, " doubled
    Jsonl, // one object a line with line, input, ok, short, error and message
};

QString formatName(Format format);
std::optional<Format> formatFromName(QStringView name);

QByteArray formatRow(Format format, const Row& row);

// An input line as an address: trailing CR and surrounding blanks removed; nothing for a blank line
// or a comment ("#" first).
std::optional<QString> inputFromLine(QStringView line);

} // namespace Nolvex::Cli
