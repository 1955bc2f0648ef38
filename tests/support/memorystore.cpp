#include "memorystore.h"

#include "protocol.h"
#include "routes/routes.h"
#include "token.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QUrl>

using namespace Qt::StringLiterals;

namespace Shortd
{
HttpRequest shortenRequest(ShortenDoor door, const QString& address, const QByteArray& key, const QString& code)
{
    HttpRequest request;
    request.host = "127.0.0.1:8420";
    request.client = u"127.0.0.1"_s;
    if (door == ShortenDoor::Protocol) {
        request.path = Nolvex::Protocol::ShortenPath.toString();
        request.query
            = "type=0&url=" + QUrl::toPercentEncoding(address) + "&token=" + Nolvex::requestToken(address).toLatin1();
        return request;
    }
    request.method = Method::Post;
    request.path = u"/api/v1/links"_s;
    request.contentType = "application/json";
    QJsonObject body {{u"url"_s, address}};
    if (door == ShortenDoor::ApiKeyed) {
        request.authorization = "Bearer " + key;
        if (!code.isEmpty()) {
            body.insert(u"code"_s, code);
        }
    }
    request.body = QJsonDocument(body).toJson(QJsonDocument::Compact);
    return request;
}

HttpReply handled(Routes& routes, const HttpRequest& request)
{
    HttpReply reply;
    routes.handle(request, 0, [&reply](HttpReply answer) { reply = std::move(answer); });
    return reply;
}
} // namespace Shortd
