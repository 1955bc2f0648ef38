#pragma once

#include "store/storestatus.h"

#include <QByteArray>
#include <QString>
#include <functional>

namespace Shortd
{

// An API key as stored: never the key itself, only its SHA-256 and a prefix to tell it by. A
// revoked key keeps its row (and so its name), so a name never comes to mean another key.
struct StoredKey {
    QString name;
    int role = 0; // 0 reader, 1 creator, 2 admin
    QString prefix; // the key's first characters, as listings show it
    QByteArray hash; // SHA-256 of the whole key
    qint64 createdSecs = 0;
    qint64 lastUsedSecs = 0; // 0 never
    qint64 expiresSecs = 0; // 0 never
    qint64 revokedSecs = 0; // 0 not revoked
};

struct KeyLookup {
    StoreStatus status = StoreStatus::Missing;
    StoredKey key;
};

// The API keys. createKey: CodeTaken when the name is in use, by a revoked key too (or, never in
// practice, when the hash is). revokeKey: Missing when there is no such name; revoking again keeps
// the first time. markKeyUsed writes only when the last use it has is at least a minute older, so
// a busy key is not a write per request.
class KeyStore
{
public:
    KeyStore(const KeyStore&) = delete;
    KeyStore& operator=(const KeyStore&) = delete;

    // by: who creates or revokes, as the audit log names them (`shell:USER`, `key:NAME`).
    virtual StoreStatus createKey(const StoredKey& key, const QString& by) = 0;
    // In name order, each handed to visit as it is read; visit returns false to stop.
    virtual StoreStatus listKeys(const std::function<bool(const StoredKey&)>& visit) = 0;
    virtual StoreStatus revokeKey(const QString& name, const QString& by, qint64 nowSecs) = 0;
    virtual KeyLookup findKeyByHash(const QByteArray& hash) = 0;
    virtual StoreStatus markKeyUsed(const QString& name, qint64 nowSecs) = 0;

protected:
    KeyStore() = default;
    ~KeyStore() = default;
};

} // namespace Shortd
