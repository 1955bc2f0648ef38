#include "links/visittally.h"

#include <QMutexLocker>
#include <QRandomGenerator>
#include <QUrl>
#include <QtEndian>

namespace Shortd
{
namespace
{
constexpr qsizetype SecretBytes = 16;
constexpr qsizetype MaximumHostLength = 253;

QByteArray randomSecret()
{
    QByteArray secret(SecretBytes, Qt::Uninitialized);
    QRandomGenerator::system()->generate(secret.begin(), secret.end());
    return secret;
}

quint64 rotate(quint64 x, int bits)
{
    return (x << bits) | (x >> (64 - bits));
}

template<typename Map>
void takeInto(Map& from, Map& to, qsizetype maxEntries)
{
    if (from.size() <= maxEntries) {
        to.swap(from);
        return;
    }
    auto it = from.begin();
    while (to.size() < maxEntries) {
        to.insert(it.key(), it.value());
        it = from.erase(it);
    }
}
} // namespace

quint64 sipHash24(QByteArrayView key, QByteArrayView data)
{
    const auto k0 = qFromLittleEndian<quint64>(key.data());
    const auto k1 = qFromLittleEndian<quint64>(key.data() + 8);
    quint64 v0 = 0x736f6d6570736575ULL ^ k0;
    quint64 v1 = 0x646f72616e646f6dULL ^ k1;
    quint64 v2 = 0x6c7967656e657261ULL ^ k0;
    quint64 v3 = 0x7465646279746573ULL ^ k1;
    const auto round = [&] {
        v0 += v1;
        v1 = rotate(v1, 13) ^ v0;
        v0 = rotate(v0, 32);
        v2 += v3;
        v3 = rotate(v3, 16) ^ v2;
        v0 += v3;
        v3 = rotate(v3, 21) ^ v0;
        v2 += v1;
        v1 = rotate(v1, 17) ^ v2;
        v2 = rotate(v2, 32);
    };
    const qsizetype whole = data.size() - data.size() % 8;
    for (qsizetype i = 0; i < whole; i += 8) {
        const auto m = qFromLittleEndian<quint64>(data.data() + i);
        v3 ^= m;
        round();
        round();
        v0 ^= m;
    }
    quint64 last = static_cast<quint64>(data.size() & 0xff) << 56;
    for (qsizetype i = whole; i < data.size(); ++i) {
        last |= static_cast<quint64>(static_cast<quint8>(data[i])) << (8 * (i - whole));
    }
    v3 ^= last;
    round();
    round();
    v0 ^= last;
    v2 ^= 0xff;
    for (int i = 0; i < 4; ++i) {
        round();
    }
    return v0 ^ v1 ^ v2 ^ v3;
}

RepeatFilter::RepeatFilter(qsizetype capacity, SecretSource newSecret)
    : m_capacity(std::max<qsizetype>(capacity, 1))
    , m_newSecret(newSecret ? std::move(newSecret) : SecretSource(randomSecret))
{
}

quint64 RepeatFilter::keyOf(QStringView code, QStringView client, QByteArrayView userAgent) const
{
    const QByteArray codeBytes = code.toUtf8();
    const QByteArray clientBytes = client.toUtf8();
    QByteArray data;
    data.reserve(12 + codeBytes.size() + clientBytes.size() + userAgent.size());
    // Lengths first, so that no two different triples hash the same bytes.
    for (const qsizetype length : {codeBytes.size(), clientBytes.size(), userAgent.size()}) {
        const quint32 big = qToBigEndian(static_cast<quint32>(length));
        data.append(reinterpret_cast<const char*>(&big), sizeof big);
    }
    data += codeBytes;
    data += clientBytes;
    data.append(userAgent);
    return sipHash24(m_secret, data);
}

qsizetype RepeatFilter::size() const
{
    const QMutexLocker locker(&m_mutex);
    return m_firstSeen.size();
}

bool RepeatFilter::isNewVisitor(QStringView code, QStringView client, QByteArrayView userAgent, qint64 nowSecs)
{
    const QMutexLocker locker(&m_mutex);
    const qint64 day = nowSecs / SecondsPerDay;
    if (day != m_secretDay) {
        m_secret = m_newSecret();
        if (m_secret.size() < SecretBytes) {
            m_secret.append(SecretBytes - m_secret.size(), '\0');
        }
        m_secretDay = day;
        m_firstSeen.clear();
        m_order.clear();
    }
    while (!m_order.empty() && m_order.front().second <= nowSecs - SecondsPerHour) {
        const auto [key, seen] = m_order.front();
        if (const auto it = m_firstSeen.constFind(key); it != m_firstSeen.cend() && *it == seen) {
            m_firstSeen.erase(it);
        }
        m_order.pop_front();
    }
    const quint64 key = keyOf(code, client, userAgent);
    if (m_firstSeen.contains(key)) {
        return false;
    }
    while (m_firstSeen.size() >= m_capacity && !m_order.empty()) {
        m_firstSeen.remove(m_order.front().first);
        m_order.pop_front();
    }
    m_firstSeen.insert(key, nowSecs);
    m_order.emplace_back(key, nowSecs);
    return true;
}

QString referrerHost(QByteArrayView referer)
{
    if (referer.trimmed().isEmpty()) {
        return DirectReferrer;
    }
    const QUrl url(QString::fromUtf8(referer.trimmed()), QUrl::StrictMode);
    QString host = url.host(QUrl::FullyEncoded).toLower();
    if (!url.isValid() || host.isEmpty() || host.size() > MaximumHostLength) {
        return OtherReferrer;
    }
    return host;
}

VisitTally::VisitTally(qsizetype maxEntries)
    : m_maxEntries(maxEntries)
{
}

void VisitTally::add(
    const QString& code, VisitClass kind, bool newVisitor, const QString& host, qint64 nowSecs, bool taken)
{
    const HourKey hour {code, nowSecs - nowSecs % SecondsPerHour};
    const bool human = kind == VisitClass::Human;
    const ReferrerKey referrer {code, nowSecs - nowSecs % SecondsPerDay, host};
    const auto full
        = [this](const auto& map, const auto& key) { return map.size() >= m_maxEntries && !map.contains(key); };
    if (full(m_pending.links, code) || full(m_pending.hours, hour) || (human && full(m_pending.referrers, referrer))) {
        ++m_uncounted;
        return;
    }
    VisitCounts counts;
    switch (kind) {
    case VisitClass::Human:
        counts.humans = 1;
        counts.visitors = newVisitor ? 1 : 0;
        break;
    case VisitClass::Bot:
        counts.bots = 1;
        break;
    case VisitClass::Preview:
        counts.previews = 1;
        break;
    case VisitClass::Blocked:
        counts.blocked = 1;
        break;
    }
    m_pending.hours[hour] += counts;
    if (taken) {
        counts.humans = 0;
    }
    m_pending.links[code] += counts;
    // Where people came from; a bot's or a card fetcher's referrer says nothing about readers.
    if (human) {
        ++m_pending.referrers[referrer];
    }
}

VisitBatch VisitTally::take(qsizetype maxEntries)
{
    VisitBatch batch;
    takeInto(m_pending.links, batch.links, maxEntries);
    takeInto(m_pending.hours, batch.hours, maxEntries);
    takeInto(m_pending.referrers, batch.referrers, maxEntries);
    return batch;
}

void VisitTally::absorb(VisitTally& other)
{
    m_uncounted += other.takeUncounted();
    const auto fits
        = [this](const auto& map, const auto& key) { return map.size() < m_maxEntries || map.contains(key); };
    const VisitBatch batch = std::exchange(other.m_pending, {});
    for (auto it = batch.links.cbegin(); it != batch.links.cend(); ++it) {
        if (fits(m_pending.links, it.key())) {
            m_pending.links[it.key()] += *it;
        } else {
            m_uncounted += it->humans + it->bots + it->previews + it->blocked;
        }
    }
    for (auto it = batch.hours.cbegin(); it != batch.hours.cend(); ++it) {
        if (fits(m_pending.hours, it.key())) {
            m_pending.hours[it.key()] += *it;
        }
    }
    for (auto it = batch.referrers.cbegin(); it != batch.referrers.cend(); ++it) {
        if (fits(m_pending.referrers, it.key())) {
            m_pending.referrers[it.key()] += *it;
        }
    }
}

VisitLanes::VisitLanes(int count, qsizetype maxEntries)
{
    for (int i = 0; i < std::max(count, 1); ++i) {
        m_lanes.push_back(std::make_unique<Lane>(maxEntries));
    }
}

VisitLanes::~VisitLanes() = default;

void VisitLanes::add(
    int lane, const QString& code, VisitClass kind, bool newVisitor, const QString& host, qint64 nowSecs, bool taken)
{
    Lane& own = *m_lanes[static_cast<size_t>(lane) % m_lanes.size()];
    const QMutexLocker locker(&own.mutex);
    own.tally.add(code, kind, newVisitor, host, nowSecs, taken);
}

void VisitLanes::gatherInto(VisitTally& tally)
{
    for (const auto& lane : m_lanes) {
        const QMutexLocker locker(&lane->mutex);
        tally.absorb(lane->tally);
    }
}

bool VisitLanes::isEmpty() const
{
    return std::all_of(m_lanes.cbegin(), m_lanes.cend(), [](const auto& lane) {
        const QMutexLocker locker(&lane->mutex);
        return lane->tally.isEmpty();
    });
}

VisitCounts VisitLanes::pendingFor(const QString& code) const
{
    VisitCounts counts;
    for (const auto& lane : m_lanes) {
        const QMutexLocker locker(&lane->mutex);
        counts += lane->tally.pending().links.value(code);
    }
    return counts;
}

qint64 VisitLanes::visitCount() const
{
    qint64 total = 0;
    for (const auto& lane : m_lanes) {
        const QMutexLocker locker(&lane->mutex);
        for (const VisitCounts& counts : lane->tally.pending().links) {
            total += counts.humans + counts.bots + counts.previews + counts.blocked;
        }
    }
    return total;
}

} // namespace Shortd
