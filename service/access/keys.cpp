#include "access/keys.h"

#include "store/keystore.h"
#include "store/linkstore.h"

#include <QCryptographicHash>
#include <QRandomGenerator>
#include <QStringBuilder>
#include <algorithm>
#include <array>

namespace Shortd
{
namespace
{
constexpr QByteArrayView KeyMark("nvx_");
constexpr qsizetype KeyBytes = 32;
constexpr qsizetype EncodedKeyLength = 43; // 32 bytes in base64 without padding
constexpr qsizetype PrefixLength = 10;
constexpr qint64 UseNotedEverySecs = 60;

constexpr std::array<QLatin1StringView, 3> RoleNames {
    QLatin1StringView("reader"), QLatin1StringView("creator"), QLatin1StringView("admin")};

// The least role that may take each action on any link, and on a link made with the key itself.
struct Permission {
    Action action;
    Role anyLink;
    Role ownLink;
};
constexpr Permission Permissions[] {
    {Action::ReadLinks, Role::Reader, Role::Reader},
    {Action::ReadVisits, Role::Reader, Role::Reader},
    {Action::CreateLinks, Role::Creator, Role::Creator},
    {Action::EditLinks, Role::Admin, Role::Creator},
    {Action::DeleteLinks, Role::Admin, Role::Creator},
};

bool isBase64Url(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
}

// RFC 6750's b64token: these characters, then any number of '='.
bool isBearerToken(QByteArrayView token)
{
    qsizetype i = 0;
    while (i < token.size()
        && (isBase64Url(token[i]) || token[i] == '.' || token[i] == '~' || token[i] == '+' || token[i] == '/')) {
        ++i;
    }
    if (i == 0) {
        return false;
    }
    while (i < token.size() && token[i] == '=') {
        ++i;
    }
    return i == token.size();
}
} // namespace

QString roleName(Role role)
{
    return RoleNames.at(static_cast<size_t>(role));
}

Result<Role> parseRole(QStringView name, const QString& field)
{
    for (size_t i = 0; i < RoleNames.size(); ++i) {
        if (name == RoleNames.at(i)) {
            return static_cast<Role>(i);
        }
    }
    return Fault {FaultKind::Invalid, QStringLiteral("角色应为 reader、creator 或 admin"),
        field % u" is reader, creator or admin", field};
}

std::optional<Role> roleFromStored(int stored)
{
    if (stored < 0 || stored >= static_cast<int>(RoleNames.size())) {
        return std::nullopt;
    }
    return static_cast<Role>(stored);
}

bool allows(Role role, Action action, bool ownLink)
{
    for (const Permission& permission : Permissions) {
        if (permission.action == action) {
            return role >= (ownLink ? permission.ownLink : permission.anyLink);
        }
    }
    return false;
}

LinkActor keyActorOf(Role role, const QString& keyName)
{
    return keyActor(keyName, role == Role::Admin);
}

bool isKeyName(QStringView name)
{
    const auto nameCharacter = [](QChar c) {
        const char16_t u = c.unicode();
        return (u >= u'a' && u <= u'z') || (u >= u'A' && u <= u'Z') || (u >= u'0' && u <= u'9') || u == u'.'
            || u == u'_' || u == u'-';
    };
    return !name.isEmpty() && name.size() <= MaximumKeyNameLength && name.front().isLetterOrNumber()
        && name.front().unicode() < 0x80 && std::all_of(name.begin(), name.end(), nameCharacter);
}

Result<QString> checkKeyName(const QString& name, const QString& field)
{
    if (isKeyName(name)) {
        return name;
    }
    return Fault {FaultKind::Invalid,
        QStringLiteral("名称应为最多 %1 个英文字母、数字、点、下划线或连字符，以字母或数字开头")
            .arg(MaximumKeyNameLength),
        field
            % QStringLiteral(" is 1 to %1 of A-Z a-z 0-9 . _ -, beginning with a letter or digit")
                  .arg(MaximumKeyNameLength),
        field};
}

QByteArray generateKey()
{
    std::array<quint32, KeyBytes / sizeof(quint32)> random {};
    QRandomGenerator::system()->fillRange(random.data(), random.size());
    const QByteArray bytes(reinterpret_cast<const char*>(random.data()), KeyBytes);
    return KeyMark.toByteArray() + bytes.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
}

bool isKeyShaped(QByteArrayView key)
{
    if (key.size() != KeyMark.size() + EncodedKeyLength || !key.startsWith(KeyMark)) {
        return false;
    }
    const QByteArrayView encoded = key.sliced(KeyMark.size());
    return std::all_of(encoded.begin(), encoded.end(), isBase64Url);
}

QString keyPrefix(QByteArrayView key)
{
    return QString::fromLatin1(key.first(std::min(key.size(), PrefixLength)));
}

QByteArray keyHash(QByteArrayView key)
{
    return QCryptographicHash::hash(key, QCryptographicHash::Sha256);
}

bool constantTimeEquals(QByteArrayView a, QByteArrayView b)
{
    if (a.size() != b.size()) {
        return false;
    }
    unsigned char difference = 0;
    for (qsizetype i = 0; i < a.size(); ++i) {
        difference |= static_cast<unsigned char>(a[i] ^ b[i]);
    }
    return difference == 0;
}

std::optional<QByteArray> bearerKey(QByteArrayView authorizationValue)
{
    const QByteArrayView value = authorizationValue.trimmed();
    constexpr QByteArrayView Scheme("bearer ");
    if (value.size() <= Scheme.size() || value.first(Scheme.size()).compare(Scheme, Qt::CaseInsensitive) != 0) {
        return std::nullopt;
    }
    const QByteArrayView token = value.sliced(Scheme.size());
    if (!isBearerToken(token)) {
        return std::nullopt;
    }
    return token.toByteArray();
}

QString failureReason(AuthFailure failure)
{
    switch (failure) {
    case AuthFailure::None:
        return {};
    case AuthFailure::Malformed:
        return QStringLiteral("the API key is not one this service issues");
    case AuthFailure::Unknown:
        return QStringLiteral("no such API key");
    case AuthFailure::Revoked:
        return QStringLiteral("the API key was revoked");
    case AuthFailure::Expired:
        return QStringLiteral("the API key has expired");
    case AuthFailure::StoreFailed:
        return QStringLiteral("the keys cannot be read now");
    }
    return {};
}

Authentication authenticate(KeyStore& store, QByteArrayView key, qint64 nowSecs)
{
    Authentication result;
    if (!isKeyShaped(key)) {
        result.failure = AuthFailure::Malformed;
        return result;
    }
    const QByteArray hash = keyHash(key);
    const KeyLookup found = store.findKeyByHash(hash);
    if (found.status == StoreStatus::Failed) {
        result.failure = AuthFailure::StoreFailed;
        return result;
    }
    // The lookup matched on the index; the comparison that decides takes the same time however
    // much of the hash agrees.
    const std::optional<Role> role = roleFromStored(found.key.role);
    if (found.status != StoreStatus::Ok || !constantTimeEquals(found.key.hash, hash) || !role) {
        result.failure = AuthFailure::Unknown;
        return result;
    }
    if (found.key.revokedSecs != 0) {
        result.failure = AuthFailure::Revoked;
        return result;
    }
    if (found.key.expiresSecs != 0 && nowSecs >= found.key.expiresSecs) {
        result.failure = AuthFailure::Expired;
        return result;
    }
    if (nowSecs - found.key.lastUsedSecs >= UseNotedEverySecs) {
        // A use not noted is no reason to refuse the key.
        store.markKeyUsed(found.key.name, nowSecs);
    }
    result.failure = AuthFailure::None;
    result.role = *role;
    result.name = found.key.name;
    result.expiresSecs = found.key.expiresSecs;
    return result;
}

} // namespace Shortd
