#include "shorten.h"

#include "jsonreply.h"
#include "protocol.h"
#include "token.h"

#include <QStringBuilder>
#include <QUrl>

namespace Nolvex
{

AddressCheck checkAddress(const QString& address)
{
    if (address.isEmpty()) {
        return AddressCheck::Empty;
    }
    if (!address.contains(QLatin1StringView("http://")) && !address.contains(QLatin1StringView("https://"))) {
        return AddressCheck::MissingScheme;
    }
    return AddressCheck::Ok;
}

QString shortenRequestAddress(const QString& origin, const QString& type, const QString& address)
{
    using namespace Protocol;
    return origin % ShortenPath % u'?' % TypeKey % u'=' % type % u'&' % UrlKey % u'='
        % QString::fromLatin1(QUrl::toPercentEncoding(address)) % u'&' % TokenKey % u'=' % requestToken(address);
}

ShortenReply readShortenReply(const QString& replyText)
{
    ShortenReply reply;
    const std::optional<QJsonObject> object = EvaluateJsonReply(replyText);
    if (!object) {
        return reply;
    }
    const std::optional<QString> result = memberText(*object, Protocol::ResultMember);
    if (!result) {
        return reply;
    }
    if (*result == QLatin1StringView("1")) {
        // A success without a link is no success: there is nothing to show or copy.
        if (const std::optional<QString> info = memberText(*object, Protocol::InfoMember); info && !info->isEmpty()) {
            reply.kind = ShortenReply::Kind::Success;
            reply.info = *info;
        }
        return reply;
    }
    if (const std::optional<QString> message = memberText(*object, Protocol::MessageMember)) {
        reply.kind = ShortenReply::Kind::Refusal;
        reply.message = *message;
    }
    return reply;
}

} // namespace Nolvex
