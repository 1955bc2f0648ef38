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
}

// One key of one role, found by its hash; every other key call fails.
class OneKeyStore : public Shortd::KeyStore
{
public:
    explicit OneKeyStore(Shortd::Role role = Shortd::Role::Creator)
        : m_role(role)
    {
    }
    Shortd::KeyLookup findKeyByHash(const QByteArray& hash) override
    {
        return {hash == Shortd::keyHash(key) ? Shortd::StoreStatus::Ok : Shortd::StoreStatus::Missing,
            {QStringLiteral("ci"), static_cast<int>(m_role), Shortd::keyPrefix(key), Shortd::keyHash(key), 0, 0, 0, 0}};
    }
    Shortd::StoreStatus markKeyUsed(const QString&, qint64) override { return Shortd::StoreStatus::Ok; }
    Shortd::StoreStatus createKey(const Shortd::StoredKey&) override { return Shortd::StoreStatus::Failed; }
    Shortd::StoreStatus listKeys(const std::function<bool(const Shortd::StoredKey&)>&) override
    {
        return Shortd::StoreStatus::Failed;
    }
    Shortd::StoreStatus revokeKey(const QString&, qint64) override { return Shortd::StoreStatus::Failed; }

    const QByteArray key = Shortd::generateKey();

protected:
    ~OneKeyStore() = default; // held as the store that derives from it

private:
    Shortd::Role m_role;
};

// Links in memory, found by address (not by code), one creator's key, and a restore for imports;
// counts the writes it took.
class MemoryStore final : public Shortd::Store, public Shortd::LinkStore, public Shortd::LinkArchive, public OneKeyStore
{
public:
    bool open() override { return true; }
    bool isHealthy() override { return true; }
    QString lastError() const override { return {}; }
    LinkStore& links() override { return *this; }
    LinkArchive* linkArchive() override { return this; }
    KeyStore* keys() override { return this; }

    Shortd::LookupResult findByCode(const QString&) override { return {}; }
    Shortd::LookupResult findByTarget(int, const QString& target) override
    {
        const auto found = m_links.constFind(target);
        return found == m_links.cend() ? Shortd::LookupResult {}
                                       : Shortd::LookupResult {Shortd::StoreStatus::Ok, *found};
    }
    Shortd::InsertResult insert(const Shortd::StoredLink& link) override
    {
        if (const auto held = m_links.constFind(link.target); held != m_links.cend()) {
            return {Shortd::StoreStatus::TargetTaken, *held};
        }
        return {restoreLink(link), link};
    }
    Shortd::StoreStatus restoreLink(const Shortd::StoredLink& link) override
    {
        ++writes;
        m_links.insert(link.target, link);
        return Shortd::StoreStatus::Ok;
    }
    Shortd::StoreStatus exportLinks(const std::function<bool(const Shortd::StoredLink&)>&) override
    {
        return Shortd::StoreStatus::Failed;
    }

    int writes = 0;

private:
    QHash<QString, Shortd::StoredLink> m_links;
};

// The ways a new link comes in over HTTP: the protocol's shorten request, the API's keyless
// POST, and the API's POST with `key` (and `code`, when given).
enum class ShortenDoor { Protocol, Api, ApiKeyed };

Shortd::HttpRequest shortenRequest(
    ShortenDoor door, const QString& address, const QByteArray& key = {}, const QString& code = {});
// The reply the routes give the request, answered before handle() returns.
Shortd::HttpReply handled(Shortd::Routes& routes, const Shortd::HttpRequest& request);
