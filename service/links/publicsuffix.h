#pragma once

#include "links/result.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringView>
#include <vector>

namespace Shortd
{

// Strings kept end to end in one buffer and found by their hash, so a million of them cost a few
// bytes each besides their text, and a lookup reads one bucket of a few hashes: the suffix list's
// rules and a blocklist's hosts and addresses.
class PackedStrings
{
public:
    // False when the buffer would pass 4 GiB, which the slots cannot address.
    bool add(QByteArrayView text);
    // Sorts the hashes, drops repeated strings and indexes the buckets; add nothing after.
    void seal();
    // The index of text, or -1.
    qsizetype find(QByteArrayView text) const;
    QByteArrayView at(qsizetype index) const;
    qsizetype size() const { return qsizetype(m_slots.size()); }

private:
    struct Slot {
        quint64 hash;
        quint32 offset;
        quint32 length;
    };
    QByteArray m_text;
    std::vector<Slot> m_slots;
    // m_buckets[b] is the first slot whose hash's top bits are b or more.
    std::vector<quint32> m_buckets;
    int m_shift = 64;
};

// Where Debian's publicsuffix package puts the list.
QString defaultPublicSuffixPath();

// The Public Suffix List: which names anyone may register under (com, co.uk, github.io), so that
// a name's registrable domain is known: the public suffix and one label more. Both the ICANN and
// the private sections count, as browsers count them: a hosting platform's subdomains belong to
// as many owners as a country's. Built once; const use from any thread.
class PublicSuffixList
{
public:
    // The list in the file's format: one rule a line, `*.` wildcards, `!` exceptions, `//`
    // comments; rules in Unicode are kept in their ASCII (punycode) form.
    static PublicSuffixList fromText(QByteArrayView text);
    // The file at path, read once; a file that cannot be read or holds no rule is a fault.
    static Result<PublicSuffixList> load(const QString& path = defaultPublicSuffixPath());

    // How many of host's last characters are its public suffix (host in lower-case ASCII, as
    // hostKey gives it): the longest matching rule, an exception prevailing, the last label when no
    // rule matches. 0 for an empty host or an IP address.
    qsizetype publicSuffixLength(QByteArrayView host) const;
    // How many of host's last characters are its registrable domain: the public suffix and one
    // label more. 0 when the host is itself a public suffix, is an IP address, or is empty.
    qsizetype registrableLength(QByteArrayView host) const;
    QString registrableDomain(const QString& host) const;

    qsizetype ruleCount() const { return m_rules.size() + m_wildcards.size() + m_exceptions.size(); }

private:
    // Each a set of names: `co.uk` for the rule co.uk, `ck` for *.ck, `www.ck` for !www.ck.
    PackedStrings m_rules;
    PackedStrings m_wildcards;
    PackedStrings m_exceptions;
};

// A host in the one form lists and lookups compare: lower-case, international names in their
// ASCII form, without a trailing dot, IPv6 without brackets. Empty when it is not a valid name.
QString hostKey(QStringView host);

} // namespace Shortd
