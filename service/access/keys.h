#pragma once

#include "links/result.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringView>
#include <optional>

namespace Shortd
{

class KeyStore;
struct LinkActor;
struct StoredLink;

// What a key may do. Stored as its number (0, 1, 2): the order is the order of power.
enum class Role {
    Reader,
    Creator,
    Admin,
};

QString roleName(Role role); // "reader", "creator", "admin"
// The role of that name, or an Invalid fault on field: a request's member or a command's option.
Result<Role> parseRole(QStringView name, const QString& field = QStringLiteral("role"));
std::optional<Role> roleFromStored(int stored);

// What a call does to links, for allows().
enum class Action {
    ReadLinks,
    ReadVisits,
    CreateLinks,
    EditLinks,
    DeleteLinks,
};

// Whether a key of this role may do this to a link; ownLink: the link was created with this key.
bool allows(Role role, Action action, bool ownLink);

// Who a key is when it disables a link, as the link keeps it.
LinkActor keyActorOf(Role role, const QString& keyName);

// A key's name is what a person types and reads, in listings and in the links a key creates:
// up to 64 of A-Z a-z 0-9 . _ -, starting with a letter or digit.
inline constexpr qsizetype MaximumKeyNameLength = 64;
bool isKeyName(QStringView name);
// The name, or an Invalid fault on field saying what a name is.
Result<QString> checkKeyName(const QString& name, const QString& field = QStringLiteral("name"));

// "nvx_" and 32 random bytes from the system's generator in base64url without padding: 47
// characters, shown once and never stored.
QByteArray generateKey();
// Whether the text has the shape generateKey() gives: anything else is refused unlooked-up.
bool isKeyShaped(QByteArrayView key);
// The key's first characters, which listings show to tell keys apart: "nvx_" and 6 more.
QString keyPrefix(QByteArrayView key);
// What the store keeps of a key: its SHA-256.
QByteArray keyHash(QByteArrayView key);
// Equal bytes, compared in a time that depends on the lengths only.
bool constantTimeEquals(QByteArrayView a, QByteArrayView b);

// The key of an Authorization header value "Bearer KEY": the scheme in any case, one space, one
// token of RFC 6750's characters. nullopt for anything else (another scheme, no token, two tokens).
std::optional<QByteArray> bearerKey(QByteArrayView authorizationValue);

enum class AuthFailure {
    None,
    Malformed, // not shaped like a key
    Unknown,
    Revoked,
    Expired,
    StoreFailed,
};

struct Authentication {
    AuthFailure failure = AuthFailure::Unknown;
    Role role = Role::Reader;
    QString name; // the key's name, on success
    qint64 expiresSecs = 0; // when the key ends, on success; 0 never
    bool console = false; // this request comes from the console (its own header says so)
    bool ok() const { return failure == AuthFailure::None; }
};

// Why a key was refused, in words that never hold the key.
QString failureReason(AuthFailure failure);

// Finds the key by its hash and checks it: the stored hash compared in constant time, not revoked,
// not expired at nowSecs. On success the key's last use is noted when the stored one is at least a
// minute old, so a key in use costs a write a minute, not one a request. Runs where the store
// lives (a worker of the pool).
Authentication authenticate(KeyStore& store, QByteArrayView key, qint64 nowSecs);

} // namespace Shortd
