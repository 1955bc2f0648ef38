#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>
#include <QTimeZone>
#include <optional>

namespace Nolvex
{

// Creating a link through the service's JSON API, for what the signed protocol cannot say: a code
// of one's own, an end, a visit limit, a title, tags. Values in, values out; the caller sends.

// The environment variable that holds the API key. The key is never an option: a command line is
// visible to every user of the machine.
inline constexpr QStringView ApiKeyVariable = u"NOLVEX_API_KEY";

// What a new link asks for beyond its address and type. Absent members are left out of the body.
struct LinkOptions {
    QString code; // empty: the service picks
    std::optional<QDateTime> expiresAt; // UTC
    std::optional<qint64> maxVisits;
    std::optional<QString> title;
    QStringList tags;
};

QString linksAddress(const QString& origin);

// The body of POST /api/v1/links, compact JSON.
QByteArray linkRequestBody(const QString& address, int type, const LinkOptions& options);

// An end as a person writes it: RFC 3339 with its offset ("2026-12-31T18:00:00+08:00"), a day
// ("2026-12-31", the midnight that starts it in `zone`) or a span from `now` ("12h", "7d", "2w").
// The result is UTC and later than `now`; otherwise nothing, and `error` says why.
std::optional<QDateTime> readExpiry(const QString& text, const QDateTime& now, const QTimeZone& zone, QString* error);

// An instant as the API writes it: RFC 3339 in UTC, milliseconds only when there are any.
QString rfc3339(const QDateTime& instant);

// An API key as read from the environment or a key file: surrounding blanks and line ends
// dropped. Nothing for an empty key or one that cannot go into a header (a control character, a
// space, anything outside printable ASCII); `error` says which, without the key.
std::optional<QByteArray> readApiKey(const QByteArray& raw, QString* error);

struct FieldError {
    QString field;
    QString message;
};

struct LinkReply {
    enum class Kind {
        Created, // 201: a new link
        Existing, // 200: the address's existing automatic link
        Problem, // the service said why not
        Unreadable, // anything else: not JSON, a link without its short address (or with one that fails
                    // isServiceLink()), a problem without a status
    };
    Kind kind = Kind::Unreadable;
    int status = 0; // the HTTP status
    // Created, Existing
    QString code;
    QString shortUrl;
    // Problem
    QString title;
    QString detail;
    QList<FieldError> errors;
};

LinkReply readLinkReply(int httpStatus, const QString& text);

// A problem as one line: its detail (else its title, else the status), then each field's message.
QString problemText(const LinkReply& reply);

} // namespace Nolvex
