#pragma once

#include "access/keys.h"
#include "http/message.h"
#include "store/keystore.h"
#include "store/linkstore.h"
#include "store/store.h"

#include <QHash>

namespace Shortd
{
class Routes;

// One key of one role, found by its hash; every other key call fails.
class OneKeyStore : public KeyStore
{
public:
    explicit OneKeyStore(Role role = Role::Creator)
        : m_role(role)
    {
    }
    KeyLookup findKeyByHash(const QByteArray& hash) override
    {
        return {hash == keyHash(key) ? StoreStatus::Ok : StoreStatus::Missing,
            {QStringLiteral("ci"), static_cast<int>(m_role), keyPrefix(key), keyHash(key), 0, 0, 0, 0}};
    }
    StoreStatus markKeyUsed(const QString&, qint64) override { return StoreStatus::Ok; }
    StoreStatus createKey(const StoredKey&, const QString&) override { return StoreStatus::Failed; }
    StoreStatus listKeys(const std::function<bool(const StoredKey&)>&) override { return StoreStatus::Failed; }
    StoreStatus revokeKey(const QString&, const QString&, qint64) override { return StoreStatus::Failed; }

    const QByteArray key = generateKey();

protected:
    ~OneKeyStore() = default; // held as the store that derives from it

private:
    Role m_role;
};

// Links in memory, found by address (not by code), one creator's key, and a restore for imports;
// counts the writes it took.
class MemoryStore final : public Store, public LinkStore, public LinkArchive, public OneKeyStore
{
public:
    bool open() override { return true; }
    bool isHealthy() override { return true; }
    QString lastError() const override { return {}; }
    LinkStore& links() override { return *this; }
    LinkArchive* linkArchive() override { return this; }
    KeyStore* keys() override { return this; }

    LookupResult findByCode(const QString&) override { return {}; }
    LookupResult findByTarget(int, const QString& target) override
    {
        const auto found = m_links.constFind(target);
        return found == m_links.cend() ? LookupResult {} : LookupResult {StoreStatus::Ok, *found};
    }
    InsertResult insert(const StoredLink& link) override
    {
        if (const auto held = m_links.constFind(link.target); held != m_links.cend()) {
            return {StoreStatus::TargetTaken, *held};
        }
        return {restoreLink(link), link};
    }
    StoreStatus restoreLink(const StoredLink& link) override
    {
        ++writes;
        m_links.insert(link.target, link);
        return StoreStatus::Ok;
    }
    StoreStatus exportLinks(const std::function<bool(const StoredLink&)>&) override { return StoreStatus::Failed; }

    int writes = 0;

private:
    QHash<QString, StoredLink> m_links;
};

// The ways a new link comes in over HTTP: the protocol's shorten request, the API's keyless
// POST, and the API's POST with `key` (and `code`, when given).
enum class ShortenDoor { Protocol, Api, ApiKeyed };

HttpRequest shortenRequest(
    ShortenDoor door, const QString& address, const QByteArray& key = {}, const QString& code = {});
// The reply the routes give the request, answered before handle() returns.
HttpReply handled(Routes& routes, const HttpRequest& request);
} // namespace Shortd
