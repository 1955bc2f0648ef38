#include "memorystore.h"

#include "protocol.h"
#include "routes/routes.h"
#include "token.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QUrl>

using namespace Qt::StringLiterals;
using namespace Shortd;

OneKeyStore::OneKeyStore(Role role)
    : m_role(role)
{
}

KeyLookup OneKeyStore::findKeyByHash(const QByteArray& hash)
{
    return {hash == keyHash(key) ? StoreStatus::Ok : StoreStatus::Missing,
        {u"ci"_s, static_cast<int>(m_role), keyPrefix(key), keyHash(key), 0, 0, 0, 0}};
}

StoreStatus OneKeyStore::markKeyUsed(const QString&, qint64)
{
    return StoreStatus::Ok;
}
StoreStatus OneKeyStore::createKey(const StoredKey&)
{
    return StoreStatus::Failed;
}
StoreStatus OneKeyStore::listKeys(const std::function<bool(const StoredKey&)>&)
{
    return StoreStatus::Failed;
}
StoreStatus OneKeyStore::revokeKey(const QString&, qint64)
{
    return StoreStatus::Failed;
}

LookupResult MemoryStore::findByTarget(int, const QString& target)
{
    const auto found = m_links.constFind(target);
    return found == m_links.cend() ? LookupResult {} : LookupResult {StoreStatus::Ok, *found};
}

InsertResult MemoryStore::insert(const StoredLink& link)
{
    if (const auto held = m_links.constFind(link.target); held != m_links.cend()) {
        return {StoreStatus::TargetTaken, *held};
    }
    ++writes;
    m_links.insert(link.target, link);
    return {StoreStatus::Ok, link};
}

StoreStatus MemoryStore::restoreLink(const StoredLink& link)
{
    ++writes;
    m_links.insert(link.target, link);
    return StoreStatus::Ok;
}

StoreStatus MemoryStore::exportLinks(const std::function<bool(const StoredLink&)>&)
{
    return StoreStatus::Failed;
}

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
