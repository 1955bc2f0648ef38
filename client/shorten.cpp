#include "shorten.h"

#include "displaytext.h"
#include "jsonreply.h"
#include "protocol.h"
#include "token.h"

#include <QStringBuilder>
#include <QUrl>
#include <algorithm>

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

bool isServiceLink(const QString& link)
{
    // What a terminal would be shown differently (controls, invisible and reordering characters).
    if (forTerminal(link) != link || std::any_of(link.cbegin(), link.cend(), [](QChar c) { return c.isSpace(); })) {
        return false;
    }
    const QUrl url(link, QUrl::StrictMode);
    const QString scheme = url.scheme();
    // The scheme is checked on the text as well: QUrl would take "HTTP:" or an address with leading
    // junk it repaired; the link is shown and copied as given.
    return url.isValid() && !url.host().isEmpty()
        && (scheme == QLatin1StringView("http") || scheme == QLatin1StringView("https"))
        && link.startsWith(scheme + QStringLiteral("://"), Qt::CaseInsensitive);
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
        // A success without a link is no success: there is nothing to show or copy. Nor is one whose
        // "link" would break the line it is printed on, or run as script where it is opened.
        if (const std::optional<QString> info = memberText(*object, Protocol::InfoMember);
            info && isServiceLink(*info)) {
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
