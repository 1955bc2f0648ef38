#pragma once

#include "access/keys.h"
#include "api/problem.h"
#include "http/message.h"
#include "links/fields.h"
#include "links/result.h"
#include "store/keystore.h"
#include "store/linkstore.h"
#include "store/localblocks.h"

#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>
#include <QStringView>
#include <optional>

namespace Shortd
{

// The JSON shapes of the API, read and written without the store or the network.

inline constexpr qsizetype MaximumJsonBody = qsizetype(16) * 1024;
inline constexpr qint64 DefaultPageSize = 50;
inline constexpr qint64 MaximumPageSize = 200;

// Times as RFC 3339 has them: written in UTC to the second ("2026-12-07T12:00:00Z"), read with
// any offset; fractions of a second are dropped. nullopt for anything else.
QString rfc3339(qint64 secs);
std::optional<qint64> parseRfc3339(QStringView text);

// A request body that is a JSON object, or why not: 415 another media type or charset, 413 too
// long, 400 not UTF-8, not JSON, not an object, or an object that gives a member twice.
struct JsonBody {
    QJsonObject object;
    int status = 0; // 0: the object is good
    QString detail;
};
JsonBody readJsonBody(const HttpRequest& request);

struct CreateRequest {
    QString url;
    int type = 0;
    std::optional<QString> code;
    qint64 expiresSecs = 0;
    qint64 maxVisits = 0;
    QString title;
    QStringList tags;
    // Only url and type: the automatic link, as the client's protocol gives it.
    bool plain = true;
};
// The address is checked by the caller, who knows the service's own names. Unknown members are
// refused, as are an end not after nowSecs and a code that breaks the rules for chosen codes: the
// Invalid fault names every member refused, each with why.
Result<CreateRequest> parseCreate(const QJsonObject& body, qint64 nowSecs);
Result<LinkPatch> parsePatch(const QJsonObject& body);
// A patch's "block": what of the destination a take-down also puts on the service's own list,
// true for its host, false for its address; none when the patch blocks nothing. parsePatch has
// checked it ("address" or "host", and only beside "state": "disabled").
std::optional<bool> patchBlocksHost(const QJsonObject& body);

struct KeyRequest {
    QString name;
    Role role = Role::Reader;
    qint64 expiresSecs = 0;
};
Result<KeyRequest> parseKeyRequest(const QJsonObject& body, qint64 nowSecs);

// Every field of a query names one of `names` and none comes twice: each unknown name is added to
// errors; false at the first name given twice (the rest is not read).
bool checkQueryNames(const DecodedFields& fields, const QStringList& names, QList<FieldFault>* errors);
// The query of a listing: search, type, state, tag, limit and cursor, each at most once.
Result<LinkQuery> parseListQuery(QByteArrayView query, qint64 nowSecs);
// A page's end as the client carries it: opaque, base64url without padding.
QString encodeCursor(const ListCursor& cursor);
std::optional<ListCursor> decodeCursor(QStringView text);

// "active", "disabled", "deleted", or "expired" for an active link past its end or its visits.
QString linkStateName(const StoredLink& link, qint64 nowSecs);
// A link as the API shows it, as JSON text; visits as counted so far, this instance's uncounted
// ones included. forAdmin adds disabledBy: who took it down, which only admins see.
QByteArray linkJson(const StoredLink& link, const QString& shortUrl, qint64 visits, qint64 nowSecs, bool forAdmin);
// A JSON string of the text, in UTF-8, escaped as JSON needs it.
void appendJsonString(QByteArray& json, QStringView text);
// A key as listings show it, never the key itself.
QJsonObject keyObject(const StoredKey& key);
// An entry of the service's own blocklist: {entry, kind, addedBy, reason, addedAt}.
QJsonObject localBlockObject(const LocalBlock& block);

} // namespace Shortd
