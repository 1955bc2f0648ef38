#include "links/blocklist.h"

#include <QHash>
#include <QMutexLocker>
#include <QUrl>
#include <algorithm>
#include <array>
#include <limits>
#include <tuple>
#include <utility>

using namespace Qt::StringLiterals;

namespace Shortd
{

namespace
{
// The one name of several labels a hosts file maps to this machine by convention; never an entry
// (localhost and the like have one label, which no entry has).
constexpr QStringView HostsFileOwnName = u"localhost.localdomain";
// The addresses a hosts-file line sends its names to when it blocks them.
constexpr std::array<QStringView, 4> HostsFileSinks {u"0.0.0.0", u"127.0.0.1", u"::", u"::1"};
// What a range's line may keep of its comment (a reference such as SBL123) as its entry.
constexpr qsizetype MaximumRangeEntry = 200;

bool isBlank(QChar c)
{
    return c == u' ' || c == u'\t';
}

// The line before its comment: `#` or `;` at its start or after a blank. An address keeps a `#`
// or `;` inside it.
QStringView withoutComment(QStringView line)
{
    for (qsizetype i = 0; i < line.size(); ++i) {
        if ((line[i] == u'#' || line[i] == u';') && (i == 0 || isBlank(line[i - 1]))) {
            return line.first(i).trimmed();
        }
    }
    return line.trimmed();
}

QList<QStringView> words(QStringView text)
{
    QList<QStringView> out;
    qsizetype i = 0;
    while (i < text.size()) {
        while (i < text.size() && isBlank(text[i])) {
            ++i;
        }
        const qsizetype start = i;
        while (i < text.size() && !isBlank(text[i])) {
            ++i;
        }
        if (i > start) {
            out.append(text.sliced(start, i - start));
        }
    }
    return out;
}

// `scheme://` with a scheme as RFC 3986 spells one.
bool looksLikeAddress(QStringView text)
{
    const qsizetype separator = text.indexOf(u"://"_s);
    if (separator <= 0 || !text.front().isLetter() || text.front().unicode() > 0x7f) {
        return false;
    }
    return std::all_of(text.cbegin(), text.cbegin() + separator,
        [](QChar c) { return c.unicode() < 0x80 && (c.isLetterOrNumber() || c == u'+' || c == u'-' || c == u'.'); });
}

// A literal IP address: IPv6 with a colon, or IPv4 as four dotted numbers (a feed of names may hold
// an all-digit label, which QHostAddress would read as an address).
std::optional<QHostAddress> literalIp(QStringView text)
{
    if (text.startsWith(u'[') && text.endsWith(u']')) {
        text = text.sliced(1, text.size() - 2);
    }
    const bool dotted = text.count(u'.') == 3
        && std::all_of(text.cbegin(), text.cend(), [](QChar c) { return c == u'.' || (c >= u'0' && c <= u'9'); });
    if (!dotted && !text.contains(u':')) {
        return std::nullopt;
    }
    const QHostAddress address(text.toString());
    if (address.isNull()) {
        return std::nullopt;
    }
    return address;
}

// An address as 128 bits, IPv4 inside IPv6 as ::ffff:a.b.c.d.
std::pair<quint64, quint64> bitsOf(const QHostAddress& address)
{
    bool isV4 = false;
    const quint32 v4 = address.toIPv4Address(&isV4);
    if (isV4) {
        return {0, 0xffff'0000'0000ULL | v4};
    }
    const Q_IPV6ADDR v6 = address.toIPv6Address();
    quint64 high = 0;
    quint64 low = 0;
    for (int i = 0; i < 8; ++i) {
        high = (high << 8) | v6[i];
        low = (low << 8) | v6[i + 8];
    }
    return {high, low};
}

std::pair<quint64, quint64> masked(std::pair<quint64, quint64> bits, int prefix)
{
    constexpr quint64 All = std::numeric_limits<quint64>::max();
    if (prefix <= 0) {
        return {0, 0};
    }
    if (prefix <= 64) {
        return {bits.first & (All << (64 - prefix)), 0};
    }
    return {bits.first, bits.second & (All << (128 - prefix))};
}

// The fields of one quoted CSV row; "" inside quotes is one quote.
QStringList csvFields(QStringView row)
{
    QStringList fields;
    QString field;
    bool quoted = false;
    for (qsizetype i = 0; i < row.size(); ++i) {
        const QChar c = row[i];
        if (quoted) {
            if (c == u'"' && i + 1 < row.size() && row[i + 1] == u'"') {
                field.append(c);
                ++i;
            } else if (c == u'"') {
                quoted = false;
            } else {
                field.append(c);
            }
        } else if (c == u'"') {
            quoted = true;
        } else if (c == u',') {
            fields.append(std::exchange(field, {}));
        } else {
            field.append(c);
        }
    }
    fields.append(field);
    return fields;
}

int defaultPort(const QString& scheme)
{
    static const QHash<QString, int> ports {
        {u"http"_s, 80}, {u"https"_s, 443}, {u"ws"_s, 80}, {u"wss"_s, 443}, {u"ftp"_s, 21}};
    return ports.value(scheme, -1);
}

// Written from the parsed parts rather than by QUrl::toString, which parses the host again: this
// runs for every address of a feed and every lookup.
QString normalise(QStringView address, QString* hostOut)
{
    const QUrl url(address.trimmed().toString(), QUrl::TolerantMode);
    if (!url.isValid() || url.scheme().isEmpty()) {
        return {};
    }
    const QString host = hostKey(url.host(QUrl::FullyEncoded));
    if (host.isEmpty()) {
        return {};
    }
    // QUrl lower-cases the scheme, decodes escaped unreserved characters and writes the other
    // escapes in upper case.
    QString path = url.path(QUrl::FullyEncoded);
    if (path.isEmpty()) {
        path = u"/"_s;
    } else if (path.contains(u"/."_s)) {
        path = url.adjusted(QUrl::NormalizePathSegments).path(QUrl::FullyEncoded);
    }
    const QString scheme = url.scheme();
    QString normalised = scheme + u"://"_s + (host.contains(u':') ? u'[' + host + u']' : host);
    if (const int port = url.port(); port >= 0 && port != defaultPort(scheme)) {
        normalised += u':' + QString::number(port);
    }
    normalised += path;
    if (url.hasQuery()) {
        normalised += u'?' + url.query(QUrl::FullyEncoded);
    }
    if (hostOut != nullptr) {
        *hostOut = host;
    }
    return normalised;
}
} // namespace

QString normalisedAddress(QStringView address)
{
    return normalise(address, nullptr);
}

QString localBlockEntry(QStringView address, bool wholeHost)
{
    QString normalised = normalisedAddress(address);
    if (!wholeHost || normalised.isEmpty()) {
        return normalised;
    }
    return QUrl(normalised).host(QUrl::FullyEncoded);
}

std::optional<AddressKey> AddressKey::ofAddress(QStringView address, const PublicSuffixList& suffixes)
{
    QString host;
    const QString normalised = normalise(address, &host);
    if (normalised.isEmpty()) {
        return std::nullopt;
    }
    std::optional<AddressKey> key = ofHost(host, suffixes);
    if (key) {
        key->address = normalised.toLatin1();
    }
    return key;
}

std::optional<AddressKey> AddressKey::ofHost(QStringView host, const PublicSuffixList& suffixes)
{
    AddressKey key;
    key.ip = literalIp(host);
    const QString name = key.ip ? key.ip->toString() : hostKey(host);
    if (name.isEmpty()) {
        return std::nullopt;
    }
    key.host = name.toLatin1();
    if (!key.ip) {
        key.registrable = suffixes.registrableLength(key.host);
    }
    return key;
}

struct Blocklist::LineState {
    Reading reading;
    qsizetype urlColumn = -1; // of the CSV rows: named by a header comment or found in the first row
};

Blocklist Blocklist::parse(QByteArrayView feed, Reading reading)
{
    Blocklist list;
    LineState state {reading};
    qsizetype start = 0;
    while (start < feed.size()) {
        qsizetype end = feed.indexOf('\n', start);
        if (end < 0) {
            end = feed.size();
        }
        list.addLine(QString::fromUtf8(feed.sliced(start, end - start)), state);
        start = end + 1;
    }
    list.seal();
    return list;
}

void Blocklist::addLine(QStringView line, LineState& state)
{
    line = line.trimmed();
    if (line.isEmpty()) {
        return;
    }
    if (line.front() == u'#' || line.front() == u';') {
        // The CSV feed names its columns in a comment: `# id,dateadded,url,…`.
        const QStringList names = line.sliced(1).trimmed().toString().split(u',');
        if (names.size() > 2 && names.contains(u"url"_s)) {
            state.urlColumn = names.indexOf(u"url"_s);
        }
        return;
    }
    bool added = false;
    if (line.front() == u'"') {
        const QStringList fields = csvFields(line);
        if (state.urlColumn < 0) {
            // Without a header, the first field shaped as an address is the URL column; a later
            // one (the feed's own page about the entry) must never be taken for it.
            const auto found = std::find_if(fields.cbegin(), fields.cend(), looksLikeAddress);
            state.urlColumn = found == fields.cend() ? -1 : qsizetype(found - fields.cbegin());
        }
        const QString field = fields.value(state.urlColumn);
        added = looksLikeAddress(field) && addAddress(field, state.reading);
    } else if (const QList<QStringView> tokens = words(withoutComment(line)); tokens.isEmpty()) {
        return;
    } else if (looksLikeAddress(tokens.front())) {
        added = addAddress(tokens.front(), state.reading);
    } else if (tokens.size() > 1
        && std::find(HostsFileSinks.cbegin(), HostsFileSinks.cend(), tokens.front()) != HostsFileSinks.cend()) {
        for (QStringView name : tokens.sliced(1)) {
            if (name != HostsFileOwnName) {
                added = addHost(name) || added;
            }
        }
    } else if (tokens.front().contains(u'/')) {
        const auto [network, prefix] = QHostAddress::parseSubnet(tokens.front().toString());
        added = prefix >= 0 && state.reading == Reading::Everything && addRange(network, prefix, line);
    } else if (const std::optional<QHostAddress> ip = literalIp(tokens.front())) {
        added = state.reading == Reading::Everything
            && addRange(*ip, ip->protocol() == QAbstractSocket::IPv4Protocol ? 32 : 128, line);
    } else {
        added = addHost(tokens.front());
    }
    if (!added) {
        ++m_counts.skipped;
    }
}

bool Blocklist::addAddress(QStringView address, Reading reading)
{
    QString host;
    const QString normalised = normalise(address, &host);
    if (normalised.isEmpty()) {
        return false;
    }
    if (reading == Reading::HostsOnly) {
        return addHost(host);
    }
    return m_addresses.add(normalised.toLatin1());
}

bool Blocklist::addHost(QStringView host)
{
    const QString key = hostKey(host);
    // A name of one label is a machine's own (localhost) or a top-level domain, never a feed's.
    if (key.isEmpty() || !key.contains(u'.') || literalIp(key)) {
        return false;
    }
    return m_hosts.add(key.toLatin1());
}

bool Blocklist::addRange(const QHostAddress& network, int prefix, QStringView entry)
{
    if (network.protocol() == QAbstractSocket::IPv4Protocol) {
        prefix += 96;
    }
    const auto [high, low] = masked(bitsOf(network), prefix);
    m_ranges.push_back({high, low, quint32(m_rangeEntries.size()), quint8(prefix)});
    m_rangeEntries.append(entry.first(std::min(entry.size(), MaximumRangeEntry)).toString());
    ++m_counts.ranges;
    return true;
}

void Blocklist::seal()
{
    m_addresses.seal();
    m_hosts.seal();
    std::sort(m_ranges.begin(), m_ranges.end(), [](const Range& a, const Range& b) {
        return std::tie(b.prefix, a.high, a.low, a.entry) < std::tie(a.prefix, b.high, b.low, b.entry);
    });
    m_ranges.shrink_to_fit();
    for (quint32 i = 0; i < m_ranges.size(); ++i) {
        if (m_prefixes.empty() || m_prefixes.back().prefix != m_ranges[i].prefix) {
            m_prefixes.push_back({m_ranges[i].prefix, i, i});
        }
        m_prefixes.back().end = i + 1;
    }
    // A feed counts what it holds, not each repeat of it.
    m_counts.addresses = m_addresses.size();
    m_counts.hosts = m_hosts.size();
}

template<typename Found>
bool Blocklist::eachHit(const AddressKey& key, Found found) const
{
    if (!key.address.isEmpty() && m_addresses.find(key.address) >= 0
        && found(Hit {Kind::Address, QString::fromLatin1(key.address)})) {
        return true;
    }
    if (key.ip) {
        return eachRange(*key.ip, found);
    }
    // The host, then each parent name while it is still as long as the registrable domain.
    QByteArrayView name = key.host;
    while (true) {
        if (const qsizetype at = m_hosts.find(name);
            at >= 0 && found(Hit {Kind::Host, QString::fromLatin1(m_hosts.at(at))})) {
            return true;
        }
        const qsizetype dot = name.indexOf('.');
        if (dot < 0 || name.size() - dot - 1 < key.registrable || key.registrable == 0) {
            return false;
        }
        name = name.sliced(dot + 1);
    }
}

template<typename Found>
bool Blocklist::eachRange(const QHostAddress& address, Found found) const
{
    const std::pair<quint64, quint64> bits = bitsOf(address);
    for (const PrefixSpan& span : m_prefixes) {
        const auto [high, low] = masked(bits, span.prefix);
        const auto begin = m_ranges.cbegin() + span.begin;
        const auto end = m_ranges.cbegin() + span.end;
        const auto at = std::lower_bound(
            begin, end, std::pair {high, low}, [](const Range& range, std::pair<quint64, quint64> wanted) {
                return std::pair {range.high, range.low} < wanted;
            });
        if (at != end && at->high == high && at->low == low && found(Hit {Kind::Range, m_rangeEntries.at(at->entry)})) {
            return true;
        }
    }
    return false;
}

std::optional<Blocklist::Hit> Blocklist::match(const AddressKey& key) const
{
    std::optional<Hit> first;
    eachHit(key, [&first](Hit hit) {
        first = std::move(hit);
        return true;
    });
    return first;
}

QList<Blocklist::Hit> Blocklist::matchAll(const AddressKey& key) const
{
    QList<Hit> hits;
    eachHit(key, [&hits](Hit hit) {
        hits.append(std::move(hit));
        return false;
    });
    return hits;
}

std::optional<Blocklist::Hit> Blocklist::matchIp(const QHostAddress& address) const
{
    std::optional<Hit> first;
    eachRange(address, [&first](Hit hit) {
        first = std::move(hit);
        return true;
    });
    return first;
}

BlocklistSet::BlocklistSet(PublicSuffixList suffixes)
    : m_suffixes(std::move(suffixes))
    , m_current(std::make_shared<const Snapshot>())
{
}

std::shared_ptr<const BlocklistSet::Snapshot> BlocklistSet::snapshot() const
{
    const QMutexLocker locker(&m_lock);
    return m_current;
}

Result<Blocklist::Counts> BlocklistSet::reload(const QString& name, const Result<QByteArray>& feed)
{
    const QDateTime now = QDateTime::currentDateTimeUtc();
    std::shared_ptr<const Blocklist> parsed;
    QString chinese;
    QString english;
    if (!feed) {
        chinese = feed.fault().chinese;
        english = feed.fault().english;
    } else {
        parsed = std::make_shared<const Blocklist>(Blocklist::parse(feed.value()));
        if (parsed->counts().entries() == 0) {
            chinese = u"没有可用的条目"_s;
            english = u"it holds no entry"_s;
            parsed.reset();
        }
    }

    const QMutexLocker locker(&m_lock);
    auto next = std::make_shared<Snapshot>(*m_current);
    Named& named = namedIn(*next, name);
    if (!parsed) {
        named.status.failedAt = now;
        named.status.failure = english;
        m_current = std::move(next);
        const qsizetype kept = named.status.counts.entries();
        return Fault {feed ? FaultKind::Invalid : feed.fault().kind,
            u"黑名单 %1 重新载入失败（%2），继续使用上一份（%3 条）"_s.arg(name, chinese).arg(kept),
            u"blocklist %1 was not reloaded (%2); the last good copy (%3 entries) stays in use"_s.arg(name, english)
                .arg(kept),
            name};
    }
    install(named, parsed, now);
    m_current = std::move(next);
    return parsed->counts();
}

BlocklistSet::Named& BlocklistSet::namedIn(Snapshot& snapshot, const QString& name)
{
    const auto it = std::find_if(
        snapshot.lists.begin(), snapshot.lists.end(), [&](const Named& n) { return n.status.name == name; });
    if (it != snapshot.lists.end()) {
        return *it;
    }
    return snapshot.lists.emplace_back(Named {{name, {}, {}, {}, {}}, nullptr});
}

void BlocklistSet::install(Named& named, std::shared_ptr<const Blocklist> list, const QDateTime& now)
{
    named.status.counts = list->counts();
    named.status.loadedAt = now;
    named.status.failedAt = {};
    named.status.failure.clear();
    named.list = std::move(list);
}

Blocklist::Counts BlocklistSet::replace(const QString& name, QByteArrayView feed)
{
    auto parsed = std::make_shared<const Blocklist>(Blocklist::parse(feed));
    const QMutexLocker locker(&m_lock);
    auto next = std::make_shared<Snapshot>(*m_current);
    Named& named = namedIn(*next, name);
    install(named, parsed, QDateTime::currentDateTimeUtc());
    m_current = std::move(next);
    return parsed->counts();
}

Blocklist::Counts BlocklistSet::setAllowlist(QByteArrayView feed)
{
    auto parsed = std::make_shared<const Blocklist>(Blocklist::parse(feed, Blocklist::Reading::HostsOnly));
    const Blocklist::Counts counts = parsed->counts();
    const QMutexLocker locker(&m_lock);
    auto next = std::make_shared<Snapshot>(*m_current);
    next->allowed = std::move(parsed);
    m_current = std::move(next);
    return counts;
}

bool BlocklistSet::allowed(const Snapshot& lists, const AddressKey& key) const
{
    if (!lists.allowed) {
        return false;
    }
    AddressKey host = key;
    host.address.clear();
    return lists.allowed->match(host).has_value();
}

std::optional<BlocklistMatch> BlocklistSet::matchAddress(QStringView address) const
{
    const std::optional<AddressKey> key = AddressKey::ofAddress(address, m_suffixes);
    if (!key) {
        return std::nullopt;
    }
    const std::shared_ptr<const Snapshot> lists = snapshot();
    if (allowed(*lists, *key)) {
        return std::nullopt;
    }
    for (const Named& named : lists->lists) {
        if (!named.list) {
            continue;
        }
        if (std::optional<Blocklist::Hit> hit = named.list->match(*key)) {
            return BlocklistMatch {named.status.name, std::move(hit->entry), hit->kind};
        }
    }
    return std::nullopt;
}

QList<BlocklistMatch> BlocklistSet::matchAllAddress(QStringView address) const
{
    QList<BlocklistMatch> matches;
    const std::optional<AddressKey> key = AddressKey::ofAddress(address, m_suffixes);
    if (!key) {
        return matches;
    }
    const std::shared_ptr<const Snapshot> lists = snapshot();
    if (allowed(*lists, *key)) {
        return matches;
    }
    for (const Named& named : lists->lists) {
        if (named.list) {
            for (Blocklist::Hit& hit : named.list->matchAll(*key)) {
                matches.append(BlocklistMatch {named.status.name, std::move(hit.entry), hit.kind});
            }
        }
    }
    return matches;
}

std::optional<BlocklistMatch> BlocklistSet::matchResolved(QStringView host, const QList<QHostAddress>& addresses) const
{
    const std::shared_ptr<const Snapshot> lists = snapshot();
    if (lists->allowed) {
        if (const std::optional<AddressKey> key = AddressKey::ofHost(host, m_suffixes); key && allowed(*lists, *key)) {
            return std::nullopt;
        }
    }
    for (const Named& named : lists->lists) {
        if (!named.list) {
            continue;
        }
        for (const QHostAddress& address : addresses) {
            if (std::optional<Blocklist::Hit> hit = named.list->matchIp(address)) {
                return BlocklistMatch {named.status.name, std::move(hit->entry), hit->kind};
            }
        }
    }
    return std::nullopt;
}

QList<BlocklistStatus> BlocklistSet::status() const
{
    const std::shared_ptr<const Snapshot> lists = snapshot();
    QList<BlocklistStatus> out;
    for (const Named& named : lists->lists) {
        out.append(named.status);
    }
    return out;
}

} // namespace Shortd
