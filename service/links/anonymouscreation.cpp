#include "links/anonymouscreation.h"

#include "links/ratelimiter.h"

namespace Shortd
{

AnonymousRefusal admitAnonymous(QStringView address, const QList<QUrl>& ownBases, int ownPort, RateLimiter& limiter,
    const QString& client, qint64 nowMs)
{
    AnonymousRefusal refusal;
    refusal.problem
        = address.size() > MaximumAddressLength ? AddressProblem::TooLong : checkAddress(address, ownBases, ownPort);
    if (refusal.problem != AddressProblem::None) {
        refusal.kind = AnonymousRefusal::Kind::Address;
        return refusal;
    }
    if (const RateLimiter::Decision decision = limiter.take(client, nowMs); !decision.allowed) {
        refusal.kind = AnonymousRefusal::Kind::RateLimited;
        refusal.retryAfterSeconds = decision.retryAfterSeconds;
    }
    return refusal;
}

QString closedShorteningMessage()
{
    return QStringLiteral("本服务未开放匿名缩短，请联系管理员");
}

QString rateLimitedMessage(int perMinute, int retryAfterSeconds)
{
    return QStringLiteral("创建短网址太频繁了（每分钟最多 %1 个），请 %2 秒后再试")
        .arg(perMinute)
        .arg(retryAfterSeconds);
}

QString listedAddressMessage()
{
    return QStringLiteral("该网址已被列为不安全网址，不能缩短");
}

} // namespace Shortd
