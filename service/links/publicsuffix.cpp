#include "links/publicsuffix.h"

#include <QFile>
#include <QHostAddress>
#include <QUrl>

using namespace Qt::StringLiterals;

namespace Shortd
{

namespace
{
bool isPlainNameCharacter(QChar c)
{
    return (c >= u'a' && c <= u'z') || (c >= u'0' && c <= u'9') || c == u'-' || c == u'.' || c == u'_';
}

// Where the label after the one at position starts, or -1 past the last label.
qsizetype nextLabel(QStringView host, qsizetype position)
{
    const qsizetype dot = host.indexOf(u'.', position);
    return dot < 0 ? -1 : dot + 1;
}
} // namespace

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
    if (lower.startsWith(u'.') || lower.contains(u".."_s)) {
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
        QSet<QString>* into = &list.m_rules;
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
            into->insert(key);
        }
    }
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

QString PublicSuffixList::publicSuffix(QStringView host) const
{
    if (host.isEmpty() || host.contains(u':') || !QHostAddress(host.toString()).isNull()) {
        return {};
    }
    // From the whole name towards its last label, so the first rule met is the longest; an
    // exception names a suffix one label shorter than itself and prevails over every rule.
    qsizetype longest = -1;
    for (qsizetype at = 0; at >= 0; at = nextLabel(host, at)) {
        const QString suffix = host.sliced(at).toString();
        if (m_exceptions.contains(suffix)) {
            return host.sliced(nextLabel(host, at)).toString();
        }
        if (longest < 0) {
            const qsizetype parent = nextLabel(host, at);
            if (m_rules.contains(suffix) || (parent >= 0 && m_wildcards.contains(host.sliced(parent).toString()))) {
                longest = at;
            }
        }
    }
    if (longest < 0) {
        longest = host.lastIndexOf(u'.') + 1;
    }
    return host.sliced(longest).toString();
}

QString PublicSuffixList::registrableDomain(QStringView host) const
{
    const QString suffix = publicSuffix(host);
    if (suffix.isEmpty() || suffix.size() >= host.size()) {
        return {};
    }
    const QStringView before = host.first(host.size() - suffix.size() - 1);
    return host.sliced(before.lastIndexOf(u'.') + 1).toString();
}

} // namespace Shortd
