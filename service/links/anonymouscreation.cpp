#include "links/anonymouscreation.h"

#include "links/ratelimiter.h"

namespace Shortd
{
namespace
{
constexpr qint64 HourMs = 3'600'000;
} // namespace

HostCreationLimit::HostCreationLimit(
    int perHour, std::optional<PublicSuffixList> suffixes, std::function<qint64()> wallClock)
    : m_perHour(std::max(perHour, 0))
    , m_suffixes(std::move(suffixes))
    , m_wallClock(std::move(wallClock))
    , m_shared(m_perHour, HourMs)
{
}

QString HostCreationLimit::counted(QStringView address) const
{
    const QString host = hostKey(QUrl(address.toString()).host());
    if (host.isEmpty()) {
        return {};
    }
    const QString site = m_suffixes ? m_suffixes->registrableDomain(host) : QString();
    return QLatin1StringView(HourCountPrefix) + (site.isEmpty() ? host : site);
}

int HostCreationLimit::take(QStringView address)
{
    const QString key = counted(address);
    return key.isEmpty() ? 0 : m_shared.take(key, m_wallClock()).retryAfterSeconds;
}

void HostCreationLimit::giveBack(QStringView address)
{
    if (const QString key = counted(address); !key.isEmpty()) {
        m_shared.giveBack(key, m_wallClock());
    }
}

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
    HostCreationLimit* hosts = limiter.hosts();
    if (const int wait = hosts ? hosts->take(address) : 0; wait > 0) {
        refusal.kind = AnonymousRefusal::Kind::HostLimited;
        refusal.retryAfterSeconds = wait;
        return refusal;
    }
    if (const RateLimiter::Decision decision = limiter.take(client, nowMs); !decision.allowed) {
        if (hosts) {
            hosts->giveBack(address);
        }
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

QString hostLimitedMessage(int perHour, int retryAfterSeconds)
{
    return QStringLiteral("该网站一小时内新建的短网址过多（最多 %1 个），请 %2 分钟后再试")
        .arg(perHour)
        .arg((retryAfterSeconds + 59) / 60);
}

QString listedAddressMessage()
{
    return QStringLiteral("该网址已被列为不安全网址，不能缩短");
}

} // namespace Shortd
