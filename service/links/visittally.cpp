#include "links/visittally.h"

#include <QMessageAuthenticationCode>
#include <QRandomGenerator>
#include <QUrl>
#include <QtEndian>

namespace Shortd
{
namespace
{
constexpr qsizetype SecretBytes = 32;
constexpr qsizetype MaximumHostLength = 253;

QByteArray randomSecret()
{
    QByteArray secret(SecretBytes, Qt::Uninitialized);
    QRandomGenerator::system()->generate(secret.begin(), secret.end());
    return secret;
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

RepeatFilter::RepeatFilter(qsizetype capacity, SecretSource newSecret)
    : m_capacity(std::max<qsizetype>(capacity, 1))
    , m_newSecret(newSecret ? std::move(newSecret) : SecretSource(randomSecret))
{
}

quint64 RepeatFilter::keyOf(QStringView code, QStringView client, QByteArrayView userAgent) const
{
    QMessageAuthenticationCode mac(QCryptographicHash::Sha256, m_secret);
    // Lengths first, so that no two different triples hash the same bytes.
    const QByteArray codeBytes = code.toUtf8();
    const QByteArray clientBytes = client.toUtf8();
    for (const qsizetype length : {codeBytes.size(), clientBytes.size(), userAgent.size()}) {
        const quint32 big = qToBigEndian(static_cast<quint32>(length));
        mac.addData(reinterpret_cast<const char*>(&big), sizeof big);
    }
    mac.addData(codeBytes);
    mac.addData(clientBytes);
    mac.addData(userAgent.data(), userAgent.size());
    return qFromBigEndian<quint64>(mac.result().constData());
}

bool RepeatFilter::isNewVisitor(QStringView code, QStringView client, QByteArrayView userAgent, qint64 nowSecs)
{
    const qint64 day = nowSecs / SecondsPerDay;
    if (day != m_secretDay) {
        m_secret = m_newSecret();
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
    const QString host = url.host(QUrl::FullyEncoded).toLower();
    if (!url.isValid() || host.isEmpty() || host.size() > MaximumHostLength) {
        return OtherReferrer;
    }
    return host;
}

VisitTally::VisitTally(qsizetype maxEntries)
    : m_maxEntries(maxEntries)
{
}

void VisitTally::add(const QString& code, VisitClass kind, bool newVisitor, const QString& host, qint64 nowSecs)
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
    }
    m_pending.links[code] += counts;
    m_pending.hours[hour] += counts;
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

} // namespace Shortd
