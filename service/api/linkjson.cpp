#include "api/linkjson.h"

#include "links/codes.h"
#include "links/fields.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QRegularExpression>
#include <QSet>
#include <QStringDecoder>
#include <cmath>
#include <cstdio>
#include <vector>

namespace Shortd
{
namespace
{
constexpr char HexDigits[] = "0123456789abcdef";
const QString UrlMember = QStringLiteral("url");
const QString TypeMember = QStringLiteral("type");
const QString CodeMember = QStringLiteral("code");
const QString ExpiresMember = QStringLiteral("expiresAt");
const QString MaxVisitsMember = QStringLiteral("maxVisits");
const QString TitleMember = QStringLiteral("title");
const QString TagsMember = QStringLiteral("tags");
const QString StateMember = QStringLiteral("state");
const QString ReasonMember = QStringLiteral("reason");
const QString BlockMember = QStringLiteral("block");
const QString NameMember = QStringLiteral("name");
const QString RoleMember = QStringLiteral("role");

QJsonValue timeOrNull(qint64 secs)
{
    return secs == 0 ? QJsonValue(QJsonValue::Null) : QJsonValue(rfc3339(secs));
}

// The first member name an object of the text repeats, at any depth; the text is JSON already
// read. A name is compared as JSON means it, so "a" and "\u0061" are the same member.
std::optional<QString> repeatedMember(QByteArrayView json)
{
    struct Level {
        bool object = false;
        bool atName = false;
        QSet<QString> names;
    };
    std::vector<Level> levels;
    for (qsizetype i = 0; i < json.size(); ++i) {
        switch (json[i]) {
        case '{':
            levels.push_back({true, true, {}});
            break;
        case '[':
            levels.push_back({false, false, {}});
            break;
        case '}':
        case ']':
            if (!levels.empty()) {
                levels.pop_back();
            }
            break;
        case ',':
            if (!levels.empty() && levels.back().object) {
                levels.back().atName = true;
            }
            break;
        case '"': {
            qsizetype end = i + 1;
            bool escaped = false;
            while (end < json.size() && json[end] != '"') {
                escaped = escaped || json[end] == '\\';
                end += json[end] == '\\' ? 2 : 1;
            }
            if (!levels.empty() && levels.back().atName) {
                const QByteArrayView token = json.sliced(i, end + 1 - i);
                const QString name = escaped
                    ? QJsonDocument::fromJson("[" + token.toByteArray() + "]").array().at(0).toString()
                    : QString::fromUtf8(token.sliced(1, token.size() - 2));
                Level& level = levels.back();
                if (level.names.contains(name)) {
                    return name;
                }
                level.names.insert(name);
                level.atName = false;
            }
            i = end;
            break;
        }
        default:
            break;
        }
    }
    return std::nullopt;
}

// Each member not among the known ones is an error of its own.
void refuseUnknown(const QJsonObject& body, const QStringList& known, QList<FieldFault>* errors)
{
    for (auto member = body.begin(); member != body.end(); ++member) {
        if (!known.contains(member.key())) {
            errors->append({member.key(), QStringLiteral("不认识的成员")});
        }
    }
}

std::optional<qint64> integerIn(const QJsonValue& value, qint64 lowest, qint64 highest)
{
    if (!value.isDouble()) {
        return std::nullopt;
    }
    const double number = value.toDouble();
    if (std::floor(number) != number || number < double(lowest) || number > double(highest)) {
        return std::nullopt;
    }
    return static_cast<qint64>(number);
}

// An end: an RFC 3339 time, after now when future is asked; null clears it (0) where nullable.
std::optional<qint64> readEnd(
    const QJsonValue& value, bool nullable, std::optional<qint64> notBefore, QList<FieldFault>* errors)
{
    if (value.isNull() && nullable) {
        return 0;
    }
    const std::optional<qint64> secs = value.isString() ? parseRfc3339(value.toString()) : std::nullopt;
    if (!secs || *secs <= 0) {
        errors->append({ExpiresMember, QStringLiteral("应为 RFC 3339 格式的时间，如 2027-01-31T12:00:00Z")});
        return std::nullopt;
    }
    if (notBefore && *secs <= *notBefore) {
        errors->append({ExpiresMember, QStringLiteral("到期时间应在现在之后")});
        return std::nullopt;
    }
    return secs;
}

std::optional<qint64> readVisitLimit(const QJsonValue& value, bool nullable, QList<FieldFault>* errors)
{
    if (value.isNull() && nullable) {
        return 0;
    }
    const std::optional<qint64> limit = integerIn(value, 1, MaximumVisitLimit);
    if (!limit) {
        errors->append({MaxVisitsMember, QStringLiteral("应为 1 到 %1 之间的整数").arg(MaximumVisitLimit)});
    }
    return limit;
}

std::optional<QString> readText(
    const QJsonValue& value, const QString& member, qsizetype maximum, QList<FieldFault>* errors)
{
    if (value.isNull()) {
        return QString();
    }
    if (!value.isString() || value.toString().size() > maximum || !isPlainFieldText(value.toString())) {
        errors->append({member,
            QStringLiteral("应为最多 %1 个字符的文字，不含控制字符、双向控制字符或无效的 Unicode 字符").arg(maximum)});
        return std::nullopt;
    }
    return value.toString();
}

// Tags: distinct, in the order given, each 1 to MaximumTagLength characters.
std::optional<QStringList> readTags(const QJsonValue& value, QList<FieldFault>* errors)
{
    const QString problem = QStringLiteral(
        "应为最多 %1 个标签的数组，每个标签 1 到 %2 个字符，不含控制字符、双向控制字符或无效的 Unicode 字符")
                                .arg(MaximumTags)
                                .arg(MaximumTagLength);
    if (value.isNull()) {
        return QStringList();
    }
    if (!value.isArray() || value.toArray().size() > MaximumTags) {
        errors->append({TagsMember, problem});
        return std::nullopt;
    }
    QStringList tags;
    const QJsonArray list = value.toArray();
    for (const auto& tag : list) {
        const QString text = tag.toString();
        if (!tag.isString() || text.trimmed().isEmpty() || text.size() > MaximumTagLength || !isPlainFieldText(text)) {
            errors->append({TagsMember, problem});
            return std::nullopt;
        }
        if (!tags.contains(text)) {
            tags.append(text);
        }
    }
    return tags;
}
} // namespace

QString rfc3339(qint64 secs)
{
    // The civil date of a day count (days since 1970-01-01), in the proleptic Gregorian calendar,
    // by whole 400-year eras; QDateTime costs many times more, on every link a reply shows.
    qint64 days = secs / 86'400;
    qint64 second = secs % 86'400;
    if (second < 0) {
        second += 86'400;
        --days;
    }
    days += 719'468; // from 0000-03-01, so that a leap day ends its year
    const qint64 era = (days >= 0 ? days : days - 146'096) / 146'097;
    const qint64 dayOfEra = days - era * 146'097;
    const qint64 yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36'524 - dayOfEra / 146'096) / 365;
    const qint64 dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const qint64 shiftedMonth = (5 * dayOfYear + 2) / 153;
    const qint64 day = dayOfYear - (153 * shiftedMonth + 2) / 5 + 1;
    const qint64 month = shiftedMonth < 10 ? shiftedMonth + 3 : shiftedMonth - 9;
    const qint64 year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
    char text[40];
    const int length = std::snprintf(text, sizeof text, "%04lld-%02lld-%02lldT%02lld:%02lld:%02lldZ", year, month, day,
        second / 3600, second / 60 % 60, second % 60);
    return QString::fromLatin1(text, length);
}

std::optional<qint64> parseRfc3339(QStringView text)
{
    static const QRegularExpression shape(QStringLiteral(
        R"(^(\d{4})-(\d{2})-(\d{2})[Tt](\d{2}):(\d{2}):(\d{2})(?:\.\d{1,9})?(?:([Zz])|([+-])(\d{2}):(\d{2}))$)"));
    const QRegularExpressionMatch match = shape.match(text.toString());
    if (!match.hasMatch()) {
        return std::nullopt;
    }
    const auto number = [&match](int group) { return match.capturedView(group).toInt(); };
    const QDate date(number(1), number(2), number(3));
    const QTime time(number(4), number(5), number(6));
    if (!date.isValid() || !time.isValid()) {
        return std::nullopt;
    }
    qint64 offsetSecs = 0;
    if (match.capturedView(7).isEmpty()) {
        if (number(9) > 23 || number(10) > 59) {
            return std::nullopt;
        }
        offsetSecs = (qint64(number(9)) * 3600 + qint64(number(10)) * 60) * (match.capturedView(8) == u"-" ? -1 : 1);
    }
    return QDateTime(date, time, Qt::UTC).toSecsSinceEpoch() - offsetSecs;
}

JsonBody readJsonBody(const HttpRequest& request)
{
    JsonBody body;
    const QList<QByteArray> parameters = request.contentType.split(';');
    const QByteArray mime = parameters.constFirst().trimmed().toLower();
    bool otherCharset = false;
    for (qsizetype i = 1; i < parameters.size(); ++i) {
        const QByteArray parameter = parameters.at(i).trimmed().toLower();
        otherCharset = otherCharset
            || (parameter.startsWith("charset=") && parameter != "charset=utf-8" && parameter != "charset=\"utf-8\"");
    }
    if (mime != "application/json" || otherCharset) {
        body.status = 415;
        body.detail = QStringLiteral("请求内容应为 JSON（Content-Type: application/json，UTF-8 编码）");
        return body;
    }
    if (request.body.size() > MaximumJsonBody) {
        body.status = 413;
        body.detail = QStringLiteral("请求内容过长，最多 %1 字节").arg(MaximumJsonBody);
        return body;
    }
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = utf8.decode(request.body);
    if (utf8.hasError()) {
        body.status = 400;
        body.detail = QStringLiteral("请求内容不是有效的 UTF-8 文字");
        return body;
    }
    QJsonParseError error {};
    const QJsonDocument document = QJsonDocument::fromJson(text.toUtf8(), &error);
    if (error.error != QJsonParseError::NoError || !document.isObject()) {
        body.status = 400;
        body.detail = document.isNull()
            ? QStringLiteral("请求内容不是有效的 JSON：第 %1 个字符处有误").arg(error.offset)
            : QStringLiteral("请求内容应为一个 JSON 对象");
        return body;
    }
    // QJsonDocument keeps the last of two members of one name; which one a client meant, and
    // which one another reader of the same body would take, nobody can tell.
    if (const std::optional<QString> repeated = repeatedMember(request.body)) {
        body.status = 400;
        body.detail = QStringLiteral("请求内容中的成员 “%1” 出现了不止一次，每个成员只能给一次").arg(*repeated);
        return body;
    }
    body.object = document.object();
    return body;
}

Result<CreateRequest> parseCreate(const QJsonObject& body, qint64 nowSecs)
{
    QList<FieldFault> members;
    QList<FieldFault>* const errors = &members;
    refuseUnknown(
        body, {UrlMember, TypeMember, CodeMember, ExpiresMember, MaxVisitsMember, TitleMember, TagsMember}, errors);
    CreateRequest create;
    const QJsonValue url = body.value(UrlMember);
    if (!url.isString() || url.toString().isEmpty()) {
        errors->append({UrlMember, QStringLiteral("缺少要缩短的网址")});
    }
    create.url = url.toString();
    if (body.contains(TypeMember)) {
        const std::optional<qint64> type = integerIn(body.value(TypeMember), 0, LinkTypeCount - 1);
        if (!type) {
            errors->append({TypeMember, QStringLiteral("短网址类型应为 0 到 %1 的整数").arg(LinkTypeCount - 1)});
        }
        create.type = static_cast<int>(type.value_or(0));
    }
    for (const QString& option : {CodeMember, ExpiresMember, MaxVisitsMember, TitleMember, TagsMember}) {
        create.plain = create.plain && !body.contains(option);
    }
    if (const QJsonValue code = body.value(CodeMember); !code.isUndefined() && !code.isNull()) {
        const CodeProblem problem = code.isString() ? checkCustomCode(code.toString()) : CodeProblem::BadCharacter;
        if (problem != CodeProblem::None) {
            errors->append({CodeMember, codeProblemMessage(problem)});
        }
        create.code = code.toString();
    }
    if (const QJsonValue end = body.value(ExpiresMember); !end.isUndefined() && !end.isNull()) {
        create.expiresSecs = readEnd(end, false, nowSecs, errors).value_or(0);
    }
    if (const QJsonValue limit = body.value(MaxVisitsMember); !limit.isUndefined() && !limit.isNull()) {
        create.maxVisits = readVisitLimit(limit, false, errors).value_or(0);
    }
    if (body.contains(TitleMember)) {
        create.title = readText(body.value(TitleMember), TitleMember, MaximumTitleLength, errors).value_or(QString());
    }
    if (body.contains(TagsMember)) {
        create.tags = readTags(body.value(TagsMember), errors).value_or(QStringList());
    }
    if (!members.isEmpty()) {
        return invalidMembers(members);
    }
    return create;
}

Result<LinkPatch> parsePatch(const QJsonObject& body)
{
    QList<FieldFault> members;
    QList<FieldFault>* const errors = &members;
    refuseUnknown(body,
        {ExpiresMember, MaxVisitsMember, TitleMember, TagsMember, StateMember, ReasonMember, BlockMember}, errors);
    LinkPatch patch;
    if (body.contains(ExpiresMember)) {
        patch.expiresSecs = readEnd(body.value(ExpiresMember), true, std::nullopt, errors);
    }
    if (body.contains(MaxVisitsMember)) {
        patch.maxVisits = readVisitLimit(body.value(MaxVisitsMember), true, errors);
    }
    if (body.contains(TitleMember)) {
        patch.title = readText(body.value(TitleMember), TitleMember, MaximumTitleLength, errors);
    }
    if (body.contains(TagsMember)) {
        patch.tags = readTags(body.value(TagsMember), errors);
    }
    if (body.contains(StateMember)) {
        const QString state = body.value(StateMember).toString();
        if (state == u"active") {
            patch.state = LinkState::Active;
        } else if (state == u"disabled") {
            patch.state = LinkState::Disabled;
        } else {
            errors->append({StateMember, QStringLiteral("应为 active 或 disabled（删除请用 DELETE）")});
        }
    }
    if (body.contains(ReasonMember)) {
        patch.reason = readText(body.value(ReasonMember), ReasonMember, MaximumReasonLength, errors);
    }
    if (body.contains(BlockMember)) {
        const QJsonValue block = body.value(BlockMember);
        if (block != QStringLiteral("address") && block != QStringLiteral("host")) {
            errors->append({BlockMember, QStringLiteral("应为 address 或 host")});
        } else if (patch.state != LinkState::Disabled) {
            errors->append({BlockMember, QStringLiteral("只能与 \"state\": \"disabled\" 一起使用")});
        }
    }
    if (!members.isEmpty()) {
        return invalidMembers(members);
    }
    return patch;
}

std::optional<bool> patchBlocksHost(const QJsonObject& body)
{
    const QJsonValue block = body.value(BlockMember);
    return block.isString() ? std::optional<bool>(block == QStringLiteral("host")) : std::nullopt;
}

Result<KeyRequest> parseKeyRequest(const QJsonObject& body, qint64 nowSecs)
{
    QList<FieldFault> members;
    QList<FieldFault>* const errors = &members;
    refuseUnknown(body, {NameMember, RoleMember, ExpiresMember}, errors);
    KeyRequest key;
    key.name = body.value(NameMember).toString();
    if (const Result<QString> name = checkKeyName(key.name, NameMember); !name) {
        errors->append(asFieldFault(name.fault()));
    }
    if (const Result<Role> role = parseRole(body.value(RoleMember).toString(), RoleMember); role) {
        key.role = *role;
    } else {
        errors->append(asFieldFault(role.fault()));
    }
    if (const QJsonValue end = body.value(ExpiresMember); !end.isUndefined() && !end.isNull()) {
        key.expiresSecs = readEnd(end, false, nowSecs, errors).value_or(0);
    }
    if (!members.isEmpty()) {
        return invalidMembers(members);
    }
    return key;
}

bool checkQueryNames(const DecodedFields& fields, const QStringList& names, QList<FieldFault>* errors)
{
    for (const Field& field : fields.fields) {
        if (!names.contains(field.name)) {
            errors->append({field.name, QStringLiteral("不认识的查询参数")});
        } else if (findField(fields.fields, field.name).count > 1) {
            errors->append({field.name, QStringLiteral("查询参数重复")});
            return false;
        }
    }
    return true;
}

Result<LinkQuery> parseListQuery(QByteArrayView query, qint64 nowSecs)
{
    const DecodedFields fields = decodeForm(query);
    if (fields.error != DecodeError::None) {
        return invalidMembers({{QString(), QStringLiteral("查询参数的编码不正确")}});
    }
    QList<FieldFault> members;
    QList<FieldFault>* const errors = &members;
    LinkQuery list;
    list.limit = DefaultPageSize;
    list.nowSecs = nowSecs;
    if (!checkQueryNames(fields,
            {QStringLiteral("search"), QStringLiteral("type"), QStringLiteral("state"), QStringLiteral("tag"),
                QStringLiteral("limit"), QStringLiteral("cursor")},
            errors)) {
        return invalidMembers(members);
    }
    for (const Field& field : fields.fields) {
        if (field.name == u"search") {
            list.search = field.value;
        } else if (field.name == u"tag") {
            list.tag = field.value;
        } else if (field.name == u"type") {
            const std::optional<int> type = parseLinkType(field.value);
            if (!type) {
                errors->append({field.name, QStringLiteral("短网址类型应为 0 到 %1").arg(LinkTypeCount - 1)});
            }
            list.type = type.value_or(-1);
        } else if (field.name == u"state") {
            static const QStringList states {QStringLiteral("active"), QStringLiteral("disabled"),
                QStringLiteral("deleted"), QStringLiteral("expired"), QStringLiteral("quarantined")};
            const qsizetype index = states.indexOf(field.value);
            if (index < 0) {
                errors->append({field.name, QStringLiteral("应为 active、disabled、deleted、expired 或 quarantined")});
            }
            constexpr StateFilter Filters[] {StateFilter::Active, StateFilter::Disabled, StateFilter::Deleted,
                StateFilter::Expired, StateFilter::Quarantined};
            list.state = index < 0 ? StateFilter::Any : Filters[index];
        } else if (field.name == u"limit") {
            bool number = false;
            list.limit = field.value.toLongLong(&number);
            if (!number || list.limit < 1 || list.limit > MaximumPageSize) {
                errors->append({field.name, QStringLiteral("应为 1 到 %1 之间的整数").arg(MaximumPageSize)});
            }
        } else if (field.name == u"cursor") {
            list.after = decodeCursor(field.value);
            if (!list.after) {
                errors->append({field.name, QStringLiteral("分页游标无效，请使用上一页返回的 next")});
            }
        }
    }
    if (!members.isEmpty()) {
        return invalidMembers(members);
    }
    return list;
}

QString encodeCursor(const ListCursor& cursor)
{
    const QByteArray raw = QByteArray::number(cursor.createdSecs) + ':' + cursor.code.toUtf8();
    return QString::fromLatin1(raw.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals));
}

std::optional<ListCursor> decodeCursor(QStringView text)
{
    if (text.isEmpty() || text.size() > 128) {
        return std::nullopt;
    }
    const auto decoded = QByteArray::fromBase64Encoding(
        text.toLatin1(), QByteArray::Base64UrlEncoding | QByteArray::AbortOnBase64DecodingErrors);
    const qsizetype colon = decoded.decoded.indexOf(':');
    if (!decoded || colon < 1) {
        return std::nullopt;
    }
    bool number = false;
    ListCursor cursor {
        decoded.decoded.left(colon).toLongLong(&number), QString::fromUtf8(decoded.decoded.sliced(colon + 1))};
    const bool codeLike = !cursor.code.isEmpty() && cursor.code.size() <= MaximumCustomCodeLength
        && std::all_of(cursor.code.begin(), cursor.code.end(),
            [](QChar c) { return c.unicode() < 0x80 && (c.isLetterOrNumber() || c == u'_' || c == u'-'); });
    if (!number || cursor.createdSecs < 0 || !codeLike) {
        return std::nullopt;
    }
    return cursor;
}

QString linkStateName(const StoredLink& link, qint64 nowSecs)
{
    return link.state == LinkState::Active && isExpired(link, nowSecs) ? QStringLiteral("expired")
                                                                       : stateName(link.state);
}

QByteArray linkJson(const StoredLink& link, const QString& shortUrl, qint64 visits, qint64 nowSecs, bool forAdmin)
{
    // Written directly rather than through QJsonObject: a link is what every read answers, and
    // building the object costs more than the rest of the request.
    StoredLink counted = link;
    counted.visits = visits;
    QByteArray json;
    json.reserve(256 + link.target.size() + link.title.size() + link.reason.size());
    const auto string = [&json](QStringView text) { appendJsonString(json, text); };
    const auto stringOrNull = [&json, &string](QStringView text) {
        if (text.isEmpty()) {
            json += "null";
        } else {
            string(text);
        }
    };
    const auto timeOrNullText = [&json, &string](qint64 secs) {
        if (secs == 0) {
            json += "null";
        } else {
            string(rfc3339(secs));
        }
    };
    json += "{\"code\":";
    string(link.code);
    json += ",\"shortUrl\":";
    string(shortUrl);
    json += ",\"url\":";
    string(link.target);
    json += ",\"type\":" + QByteArray::number(link.type) + ",\"state\":";
    string(linkStateName(counted, nowSecs));
    json += ",\"createdAt\":";
    string(rfc3339(link.createdSecs));
    json += ",\"expiresAt\":";
    timeOrNullText(link.expiresSecs);
    json += ",\"maxVisits\":" + (link.maxVisits == 0 ? QByteArray("null") : QByteArray::number(link.maxVisits));
    json += ",\"visits\":" + QByteArray::number(visits) + ",\"visitors\":" + QByteArray::number(link.visitors)
        + ",\"bots\":" + QByteArray::number(link.bots) + ",\"previews\":" + QByteArray::number(link.previews)
        + ",\"blocked\":" + QByteArray::number(link.blocked) + ",\"title\":";
    stringOrNull(link.title);
    json += ",\"tags\":[";
    for (qsizetype i = 0; i < link.tags.size(); ++i) {
        if (i > 0) {
            json += ',';
        }
        string(link.tags.at(i));
    }
    json += "],\"reason\":";
    stringOrNull(link.reason);
    json += ",\"quarantine\":";
    if (link.state == LinkState::Quarantined) {
        json += "{\"list\":";
        string(link.quarantine.list);
        json += ",\"entry\":";
        string(link.quarantine.entry);
        json += ",\"at\":";
        string(rfc3339(link.quarantine.atSecs));
        json += '}';
    } else {
        json += "null";
    }
    json += ",\"lastCheck\":";
    if (link.check.atSecs > 0) {
        json += "{\"at\":";
        string(rfc3339(link.check.atSecs));
        json += ",\"outcome\":";
        string(link.check.outcome);
        json += ",\"status\":" + (link.check.status > 0 ? QByteArray::number(link.check.status) : QByteArray("null"));
        json += ",\"finalUrl\":";
        stringOrNull(link.check.finalUrl);
        // Kept as compact JSON by the checks; read back rather than copied, so a damaged value
        // cannot break the answer.
        const QJsonDocument hops = QJsonDocument::fromJson(link.check.hops.toUtf8());
        json += ",\"hops\":" + (hops.isArray() ? hops.toJson(QJsonDocument::Compact) : QByteArray("[]")) + '}';
    } else {
        json += "null";
    }
    json += link.check.dead ? ",\"dead\":true" : ",\"dead\":false";
    if (forAdmin) {
        json += ",\"disabledBy\":";
        stringOrNull(link.disabledBy);
    }
    json += '}';
    return json;
}

void appendJsonString(QByteArray& json, QStringView text)
{
    const auto appendByte = [&json](char c) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            json += '\\';
            json += c;
        } else if (byte < 0x20) {
            json += "\\u00";
            json += HexDigits[byte >> 4];
            json += HexDigits[byte & 0xf];
        } else {
            json += c;
        }
    };
    json += '"';
    // Codes, addresses and times are ASCII: no conversion for them, only for what follows the
    // first character beyond.
    qsizetype i = 0;
    for (; i < text.size() && text.at(i).unicode() < 0x80; ++i) {
        appendByte(static_cast<char>(text.at(i).unicode()));
    }
    if (i < text.size()) {
        for (const char c : text.sliced(i).toUtf8()) {
            appendByte(c);
        }
    }
    json += '"';
}

QJsonObject keyObject(const StoredKey& key)
{
    const std::optional<Role> role = roleFromStored(key.role);
    return QJsonObject {{NameMember, key.name}, {RoleMember, role ? roleName(*role) : QStringLiteral("reader")},
        {QStringLiteral("prefix"), key.prefix}, {QStringLiteral("createdAt"), rfc3339(key.createdSecs)},
        {QStringLiteral("lastUsedAt"), timeOrNull(key.lastUsedSecs)}, {ExpiresMember, timeOrNull(key.expiresSecs)},
        {QStringLiteral("revokedAt"), timeOrNull(key.revokedSecs)}};
}

QJsonObject localBlockObject(const LocalBlock& block)
{
    return QJsonObject {{QStringLiteral("entry"), block.entry},
        {QStringLiteral("kind"), localBlockKindName(block.kind)}, {QStringLiteral("addedBy"), block.addedBy},
        {QStringLiteral("reason"), block.reason}, {QStringLiteral("addedAt"), rfc3339(block.addedSecs)}};
}

} // namespace Shortd
