#include "linkapi.h"

#include "jsonreply.h"
#include "shorten.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QStringBuilder>

namespace Nolvex
{
namespace
{

class Texts
{
    Q_DECLARE_TR_FUNCTIONS(Nolvex::LinkApi)
};

constexpr QStringView LinksPath = u"/api/v1/links";
constexpr qint64 MaxSpanCount = 100'000; // of the unit given: weeks give some 1,900 years, far past any date
constexpr qint64 SecondsPerHour = 3600;
constexpr qint64 SecondsPerDay = 24 * SecondsPerHour;
constexpr qint64 SecondsPerWeek = 7 * SecondsPerDay;
constexpr int Created = 201;
constexpr int Ok = 200;
constexpr int FirstError = 400;

std::optional<QDateTime> readSpan(const QString& text, const QDateTime& now)
{
    static const QRegularExpression span(QStringLiteral(R"(^(\d{1,9})([hdw])$)"));
    const QRegularExpressionMatch match = span.match(text);
    if (!match.hasMatch()) {
        return std::nullopt;
    }
    const qint64 count = match.captured(1).toLongLong();
    if (count > MaxSpanCount) {
        return QDateTime(); // a span, but out of range
    }
    const QChar unit = match.capturedView(2).front();
    const qint64 seconds = unit == u'h' ? SecondsPerHour : unit == u'd' ? SecondsPerDay : SecondsPerWeek;
    return now.toUTC().addSecs(count * seconds);
}

std::optional<QDateTime> readDay(const QString& text, const QTimeZone& zone)
{
    static const QRegularExpression day(QStringLiteral(R"(^\d{4}-\d{2}-\d{2}$)"));
    if (!day.match(text).hasMatch()) {
        return std::nullopt;
    }
    const QDate date = QDate::fromString(text, Qt::ISODate);
    if (!date.isValid()) {
        return QDateTime();
    }
    // A midnight the clocks skip (a zone that moves them at 00:00) is taken as the first moment after it.
    return QDateTime(date, QTime(0, 0), zone).toUTC();
}

std::optional<QDateTime> readInstant(const QString& text)
{
    // RFC 3339: an offset is required; "t", "z" and a space for "T" are allowed. Qt reads the rest
    // when given at most milliseconds.
    static const QRegularExpression instant(
        QStringLiteral(R"(^(\d{4}-\d{2}-\d{2})[Tt ](\d{2}:\d{2}:\d{2})(?:\.(\d{1,9}))?([Zz]|[+-]\d{2}:\d{2})$)"));
    const QRegularExpressionMatch match = instant.match(text);
    if (!match.hasMatch()) {
        return std::nullopt;
    }
    QString fraction = match.captured(3).left(3);
    if (!fraction.isEmpty()) {
        fraction = u'.' % fraction;
    }
    const QString offset = match.captured(4).toUpper();
    const QDateTime read
        = QDateTime::fromString(match.captured(1) % u'T' % match.captured(2) % fraction % offset, Qt::ISODateWithMs);
    return read.isValid() ? read.toUTC() : QDateTime();
}

} // namespace

QString linksAddress(const QString& origin)
{
    return origin % LinksPath;
}

QByteArray linkRequestBody(const QString& address, int type, const LinkOptions& options)
{
    QJsonObject body {{QStringLiteral("url"), address}, {QStringLiteral("type"), type}};
    if (!options.code.isEmpty()) {
        body.insert(QStringLiteral("code"), options.code);
    }
    if (options.expiresAt) {
        body.insert(QStringLiteral("expiresAt"), rfc3339(*options.expiresAt));
    }
    if (options.maxVisits) {
        body.insert(QStringLiteral("maxVisits"), *options.maxVisits);
    }
    if (options.title) {
        body.insert(QStringLiteral("title"), *options.title);
    }
    if (!options.tags.isEmpty()) {
        body.insert(QStringLiteral("tags"), QJsonArray::fromStringList(options.tags));
    }
    return QJsonDocument(body).toJson(QJsonDocument::Compact);
}

std::optional<QDateTime> readExpiry(const QString& text, const QDateTime& now, const QTimeZone& zone, QString* error)
{
    const QString trimmed = text.trimmed();
    std::optional<QDateTime> when = readSpan(trimmed, now);
    if (!when) {
        when = readDay(trimmed, zone);
    }
    if (!when) {
        when = readInstant(trimmed);
    }
    if (!when || !when->isValid()) {
        *error = Texts::tr("--expires takes a time with its offset (2026-12-31T18:00:00+08:00), a day "
                           "(2026-12-31) or a span (12h, 7d, 2w)");
        return std::nullopt;
    }
    if (*when <= now) {
        *error = Texts::tr("--expires %1 is already past").arg(rfc3339(*when));
        return std::nullopt;
    }
    return when;
}

QString rfc3339(const QDateTime& instant)
{
    const QDateTime utc = instant.toUTC();
    return utc.toString(utc.time().msec() == 0 ? Qt::ISODate : Qt::ISODateWithMs);
}

std::optional<QByteArray> readApiKey(const QByteArray& raw, QString* error)
{
    const QByteArray key = raw.trimmed();
    if (key.isEmpty()) {
        *error = Texts::tr("the API key is empty");
        return std::nullopt;
    }
    for (const char c : key) {
        if (c <= ' ' || c > '~') {
            *error = Texts::tr("the API key holds a blank, a line break or a character other than printable ASCII");
            return std::nullopt;
        }
    }
    return key;
}

LinkReply readLinkReply(int httpStatus, const QString& text)
{
    LinkReply reply;
    reply.status = httpStatus;
    const std::optional<QJsonObject> object = EvaluateJsonReply(text);
    if (!object) {
        return reply;
    }
    if (httpStatus == Created || httpStatus == Ok) {
        const std::optional<QString> shortUrl = memberText(*object, u"shortUrl");
        if (shortUrl && isServiceLink(*shortUrl)) {
            reply.kind = httpStatus == Created ? LinkReply::Kind::Created : LinkReply::Kind::Existing;
            reply.shortUrl = *shortUrl;
            reply.code = memberText(*object, u"code").value_or(QString());
        }
        return reply;
    }
    if (httpStatus < FirstError) {
        return reply;
    }
    reply.kind = LinkReply::Kind::Problem;
    reply.title = memberText(*object, u"title").value_or(QString());
    reply.detail = memberText(*object, u"detail").value_or(QString());
    const QJsonArray errors = object->value(u"errors").toArray();
    for (const auto& entry : errors) {
        const QJsonObject fieldError = entry.toObject();
        const std::optional<QString> message = memberText(fieldError, u"message");
        if (message) {
            reply.errors.append({memberText(fieldError, u"field").value_or(QString()), *message});
        }
    }
    return reply;
}

QString problemText(const LinkReply& reply)
{
    QString text = !reply.detail.isEmpty() ? reply.detail
        : !reply.title.isEmpty()           ? reply.title
                                           : Texts::tr("the service refused the request (HTTP %1)").arg(reply.status);
    for (const FieldError& error : reply.errors) {
        text += QStringLiteral("; ")
            % (error.field.isEmpty() ? error.message : error.field % QStringLiteral(": ") % error.message);
    }
    return text;
}

} // namespace Nolvex
