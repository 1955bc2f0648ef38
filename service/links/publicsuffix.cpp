#include "links/publicsuffix.h"

#include <QFile>
#include <QHash>
#include <QHostAddress>
#include <QUrl>
#include <algorithm>
#include <limits>

using namespace Qt::StringLiterals;

namespace Shortd
{

namespace
{
bool isPlainNameCharacter(QChar c)
{
    return (c >= u'a' && c <= u'z') || (c >= u'0' && c <= u'9') || c == u'-' || c == u'.' || c == u'_';
}

// Buckets of about this many hashes each.
constexpr qsizetype SlotsPerBucket = 4;

// Seeded once a process, so a feed cannot be written to make its entries collide.
quint64 hashOf(QByteArrayView text)
{
    return quint64(qHashBits(text.data(), size_t(text.size()), QHashSeed::globalSeed()));
}

// Where the label after the one at position starts, or -1 past the last label.
qsizetype nextLabel(QByteArrayView host, qsizetype position)
{
    const qsizetype dot = host.indexOf('.', position);
    return dot < 0 ? -1 : dot + 1;
}

// A name's last label is never all digits; an address's is (IPv6 has a colon).
bool isIpAddress(QByteArrayView host)
{
    const QByteArrayView last = host.sliced(host.lastIndexOf('.') + 1);
    return host.contains(':') || std::all_of(last.cbegin(), last.cend(), [](char c) { return c >= '0' && c <= '9'; });
}
} // namespace

bool PackedStrings::add(QByteArrayView text)
{
    if (quint64(m_text.size()) + quint64(text.size()) > std::numeric_limits<quint32>::max()) {
        return false;
    }
    m_slots.push_back({hashOf(text), quint32(m_text.size()), quint32(text.size())});
    m_text.append(text);
    return true;
}

void PackedStrings::seal()
{
    const auto text
        = [this](const Slot& slot) { return QByteArrayView(m_text.constData() + slot.offset, slot.length); };
    std::sort(m_slots.begin(), m_slots.end(),
        [&text](const Slot& a, const Slot& b) { return a.hash != b.hash ? a.hash < b.hash : text(a) < text(b); });
    const auto same = [&text](const Slot& a, const Slot& b) { return a.hash == b.hash && text(a) == text(b); };
    m_slots.erase(std::unique(m_slots.begin(), m_slots.end(), same), m_slots.end());
    m_slots.shrink_to_fit();
    m_text.squeeze();

    int bits = 0;
    while (bits < 30 && (qsizetype(1) << bits) * SlotsPerBucket < size()) {
        ++bits;
    }
    m_shift = 64 - bits;
    m_buckets.assign((size_t(1) << bits) + 1, 0);
    size_t slot = 0;
    for (size_t bucket = 0; bucket < m_buckets.size(); ++bucket) {
        while (slot < m_slots.size() && (bits == 0 ? 0 : m_slots[slot].hash >> m_shift) < bucket) {
            ++slot;
        }
        m_buckets[bucket] = quint32(slot);
    }
    m_buckets.back() = quint32(m_slots.size());
}

qsizetype PackedStrings::find(QByteArrayView text) const
{
    if (m_slots.empty()) {
        return -1;
    }
    const quint64 hash = hashOf(text);
    const size_t bucket = m_shift >= 64 ? 0 : size_t(hash >> m_shift);
    const auto end = m_slots.cbegin() + m_buckets[bucket + 1];
    auto it = m_slots.cbegin() + m_buckets[bucket];
    while (it != end && it->hash < hash) {
        ++it;
    }
    for (; it != end && it->hash == hash; ++it) {
        if (QByteArrayView(m_text.constData() + it->offset, it->length) == text) {
            return qsizetype(it - m_slots.cbegin());
        }
    }
    return -1;
}

QByteArrayView PackedStrings::at(qsizetype index) const
{
    const Slot& slot = m_slots[size_t(index)];
    return {m_text.constData() + slot.offset, qsizetype(slot.length)};
}

QString defaultPublicSuffixPath()
{
    return u"/usr/share/publicsuffix/public_suffix_list.dat"_s;
}

QString hostKey(QStringView host)
{
    if (host.startsWith(u'[') && host.endsWith(u']')) {
        host = host.sliced(1, host.size() - 2);
    }
    if (host.endsWith(u'.')) {
        host.chop(1);
    }
    if (host.isEmpty() || host.size() > 253) {
        return {};
    }
    if (host.contains(u':')) {
        const QHostAddress address(host.toString());
        return address.isNull() ? QString() : address.toString();
    }
    QString lower = host.toString().toLower();
    if (!std::all_of(lower.cbegin(), lower.cend(), isPlainNameCharacter)) {
        // toAce refuses what no name may hold, and gives international names their ASCII form.
        lower = QString::fromLatin1(QUrl::toAce(lower));
        if (lower.isEmpty() || !std::all_of(lower.cbegin(), lower.cend(), isPlainNameCharacter)) {
            return {};
        }
    }
    if (lower.startsWith(u'.') || lower.endsWith(u'.') || lower.contains(u".."_s)) {
        return {};
    }
    return lower;
}

PublicSuffixList PublicSuffixList::fromText(QByteArrayView text)
{
    PublicSuffixList list;
    qsizetype start = 0;
    while (start < text.size()) {
        qsizetype end = text.indexOf('\n', start);
        if (end < 0) {
            end = text.size();
        }
        // A rule is the line's first word; anything after blanks is not part of it.
        const QString line = QString::fromUtf8(text.sliced(start, end - start)).trimmed().section(u' ', 0, 0);
        start = end + 1;
        if (line.isEmpty() || line.startsWith(u"//"_s)) {
            continue;
        }
        PackedStrings* into = &list.m_rules;
        QStringView rule = line;
        if (rule.startsWith(u'!')) {
            into = &list.m_exceptions;
            rule = rule.sliced(1);
        } else if (rule.startsWith(u"*."_s)) {
            into = &list.m_wildcards;
            rule = rule.sliced(2);
        }
        const QString key = hostKey(rule);
        if (!key.isEmpty()) {
            into->add(key.toLatin1());
        }
    }
    list.m_rules.seal();
    list.m_wildcards.seal();
    list.m_exceptions.seal();
    return list;
}

Result<PublicSuffixList> PublicSuffixList::load(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return Fault {FaultKind::Unavailable, u"无法读取公共后缀列表 %1：%2"_s.arg(path, file.errorString()),
            u"cannot read the public suffix list %1: %2"_s.arg(path, file.errorString())};
    }
    PublicSuffixList list = fromText(file.readAll());
    if (list.ruleCount() == 0) {
        return Fault {FaultKind::Invalid, u"公共后缀列表 %1 中没有规则"_s.arg(path),
            u"the public suffix list %1 holds no rule"_s.arg(path)};
    }
    return list;
}

qsizetype PublicSuffixList::publicSuffixLength(QByteArrayView host) const
{
    if (host.isEmpty() || isIpAddress(host)) {
        return 0;
    }
    // From the whole name towards its last label, so the first rule met is the longest; an
    // exception names a suffix one label shorter than itself and prevails over every rule.
    qsizetype longest = -1;
    for (qsizetype at = 0; at >= 0; at = nextLabel(host, at)) {
        const QByteArrayView suffix = host.sliced(at);
        const qsizetype parent = nextLabel(host, at);
        if (m_exceptions.find(suffix) >= 0) {
            return parent < 0 ? 0 : host.size() - parent;
        }
        if (longest < 0 && (m_rules.find(suffix) >= 0 || (parent >= 0 && m_wildcards.find(host.sliced(parent)) >= 0))) {
            longest = at;
        }
    }
    return longest < 0 ? host.size() - host.lastIndexOf('.') - 1 : host.size() - longest;
}

qsizetype PublicSuffixList::registrableLength(QByteArrayView host) const
{
    const qsizetype suffix = publicSuffixLength(host);
    if (suffix == 0 || suffix >= host.size()) {
        return 0;
    }
    const QByteArrayView before = host.first(host.size() - suffix - 1);
    return host.size() - before.lastIndexOf('.') - 1;
}

QString PublicSuffixList::registrableDomain(const QString& host) const
{
    const QByteArray ascii = host.toLatin1();
    return QString::fromLatin1(ascii.right(registrableLength(ascii)));
}

} // namespace Shortd
