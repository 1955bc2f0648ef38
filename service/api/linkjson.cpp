#include "api/linkjson.h"

#include "links/codes.h"
#include "links/fields.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QRegularExpression>
#include <QStringDecoder>
#include <cmath>

namespace Shortd
{
namespace
{
const QString UrlMember = QStringLiteral("url");
const QString TypeMember = QStringLiteral("type");
const QString CodeMember = QStringLiteral("code");
const QString ExpiresMember = QStringLiteral("expiresAt");
const QString MaxVisitsMember = QStringLiteral("maxVisits");
const QString TitleMember = QStringLiteral("title");
const QString TagsMember = QStringLiteral("tags");
const QString StateMember = QStringLiteral("state");
const QString ReasonMember = QStringLiteral("reason");
const QString NameMember = QStringLiteral("name");
const QString RoleMember = QStringLiteral("role");

QJsonValue timeOrNull(qint64 secs)
{
    return secs == 0 ? QJsonValue(QJsonValue::Null) : QJsonValue(rfc3339(secs));
}

QJsonValue textOrNull(const QString& text)
{
    return text.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(text);
}

bool hasControlCharacter(QStringView text)
{
    return std::any_of(text.begin(), text.end(), [](QChar c) { return c.category() == QChar::Other_Control; });
}

// Each member not among the known ones is an error of its own.
void refuseUnknown(const QJsonObject& body, const QStringList& known, QList<FieldError>* errors)
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
    const QJsonValue& value, bool nullable, std::optional<qint64> notBefore, QList<FieldError>* errors)
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

std::optional<qint64> readVisitLimit(const QJsonValue& value, bool nullable, QList<FieldError>* errors)
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
    const QJsonValue& value, const QString& member, qsizetype maximum, QList<FieldError>* errors)
{
    if (value.isNull()) {
        return QString();
    }
    if (!value.isString() || value.toString().size() > maximum || hasControlCharacter(value.toString())) {
        errors->append({member, QStringLiteral("应为最多 %1 个字符的文字，不含控制字符").arg(maximum)});
        return std::nullopt;
    }
    return value.toString();
}

// Tags: distinct, in the order given, each 1 to MaximumTagLength characters.
std::optional<QStringList> readTags(const QJsonValue& value, QList<FieldError>* errors)
{
    const QString problem = QStringLiteral("应为最多 %1 个标签的数组，每个标签 1 到 %2 个字符，不含控制字符")
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
        if (!tag.isString() || text.trimmed().isEmpty() || text.size() > MaximumTagLength
            || hasControlCharacter(text)) {
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
    return QDateTime::fromSecsSinceEpoch(secs, Qt::UTC).toString(Qt::ISODate);
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
    body.object = document.object();
    return body;
}

std::optional<CreateRequest> parseCreate(const QJsonObject& body, qint64 nowSecs, QList<FieldError>* errors)
{
    const qsizetype known = errors->size();
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
    if (errors->size() != known) {
        return std::nullopt;
    }
    return create;
}

std::optional<LinkPatch> parsePatch(const QJsonObject& body, QList<FieldError>* errors)
{
    const qsizetype known = errors->size();
    refuseUnknown(body, {ExpiresMember, MaxVisitsMember, TitleMember, TagsMember, StateMember, ReasonMember}, errors);
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
    if (errors->size() != known) {
        return std::nullopt;
    }
    return patch;
}

std::optional<KeyRequest> parseKeyRequest(const QJsonObject& body, qint64 nowSecs, QList<FieldError>* errors)
{
    const qsizetype known = errors->size();
    refuseUnknown(body, {NameMember, RoleMember, ExpiresMember}, errors);
    KeyRequest key;
    key.name = body.value(NameMember).toString();
    if (!isKeyName(key.name)) {
        errors->append({NameMember,
            QStringLiteral("名称应为最多 %1 个英文字母、数字、点、下划线或连字符，以字母或数字开头")
                .arg(MaximumKeyNameLength)});
    }
    const std::optional<Role> role = parseRole(body.value(RoleMember).toString());
    if (!role) {
        errors->append({RoleMember, QStringLiteral("角色应为 reader、creator 或 admin")});
    }
    key.role = role.value_or(Role::Reader);
    if (const QJsonValue end = body.value(ExpiresMember); !end.isUndefined() && !end.isNull()) {
        key.expiresSecs = readEnd(end, false, nowSecs, errors).value_or(0);
    }
    if (errors->size() != known) {
        return std::nullopt;
    }
    return key;
}

std::optional<LinkQuery> parseListQuery(QByteArrayView query, qint64 nowSecs, QList<FieldError>* errors)
{
    const DecodedFields fields = decodeForm(query);
    if (fields.error != DecodeError::None) {
        errors->append({QString(), QStringLiteral("查询参数的编码不正确")});
        return std::nullopt;
    }
    const qsizetype known = errors->size();
    LinkQuery list;
    list.limit = DefaultPageSize;
    list.nowSecs = nowSecs;
    const QStringList names {QStringLiteral("search"), QStringLiteral("type"), QStringLiteral("state"),
        QStringLiteral("tag"), QStringLiteral("limit"), QStringLiteral("cursor")};
    for (const Field& field : fields.fields) {
        if (!names.contains(field.name)) {
            errors->append({field.name, QStringLiteral("不认识的查询参数")});
        } else if (findField(fields.fields, field.name).count > 1) {
            errors->append({field.name, QStringLiteral("查询参数重复")});
            return std::nullopt;
        }
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
                QStringLiteral("deleted"), QStringLiteral("expired")};
            const qsizetype index = states.indexOf(field.value);
            if (index < 0) {
                errors->append({field.name, QStringLiteral("应为 active、disabled、deleted 或 expired")});
            }
            constexpr StateFilter filters[] {
                StateFilter::Active, StateFilter::Disabled, StateFilter::Deleted, StateFilter::Expired};
            list.state = index < 0 ? StateFilter::Any : filters[index];
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
    if (errors->size() != known) {
        return std::nullopt;
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
    switch (link.state) {
    case LinkState::Disabled:
        return QStringLiteral("disabled");
    case LinkState::Deleted:
        return QStringLiteral("deleted");
    case LinkState::Active:
        break;
    }
    return isExpired(link, nowSecs) ? QStringLiteral("expired") : QStringLiteral("active");
}

QJsonObject linkObject(const StoredLink& link, const QString& shortUrl, qint64 visits, qint64 nowSecs)
{
    StoredLink counted = link;
    counted.visits = visits;
    return QJsonObject {{CodeMember, link.code}, {QStringLiteral("shortUrl"), shortUrl}, {UrlMember, link.target},
        {TypeMember, link.type}, {StateMember, linkStateName(counted, nowSecs)},
        {QStringLiteral("createdAt"), rfc3339(link.createdSecs)}, {ExpiresMember, timeOrNull(link.expiresSecs)},
        {MaxVisitsMember, link.maxVisits == 0 ? QJsonValue(QJsonValue::Null) : QJsonValue(link.maxVisits)},
        {QStringLiteral("visits"), visits}, {QStringLiteral("visitors"), link.visitors},
        {QStringLiteral("bots"), link.bots}, {QStringLiteral("previews"), link.previews},
        {TitleMember, textOrNull(link.title)}, {TagsMember, QJsonArray::fromStringList(link.tags)},
        {ReasonMember, textOrNull(link.reason)}};
}

QJsonObject keyObject(const StoredKey& key)
{
    const std::optional<Role> role = roleFromStored(key.role);
    return QJsonObject {{NameMember, key.name}, {RoleMember, role ? roleName(*role) : QStringLiteral("reader")},
        {QStringLiteral("prefix"), key.prefix}, {QStringLiteral("createdAt"), rfc3339(key.createdSecs)},
        {QStringLiteral("lastUsedAt"), timeOrNull(key.lastUsedSecs)}, {ExpiresMember, timeOrNull(key.expiresSecs)},
        {QStringLiteral("revokedAt"), timeOrNull(key.revokedSecs)}};
}

} // namespace Shortd
