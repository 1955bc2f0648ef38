#pragma once

#include "links/result.h"

#include <QByteArrayView>
#include <QSet>
#include <QString>
#include <QStringView>

namespace Shortd
{

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

    // The public suffix of host (lower-case ASCII, as hostKey gives it): the longest matching
    // rule, an exception prevailing, and the last label when no rule matches. Empty for an empty
    // host or an IP address.
    QString publicSuffix(QStringView host) const;
    // The public suffix and one label more; empty when the host is itself a public suffix, is an
    // IP address, or is empty.
    QString registrableDomain(QStringView host) const;

    qsizetype ruleCount() const { return m_rules.size() + m_wildcards.size() + m_exceptions.size(); }

private:
    // Each a set of names: `co.uk` for the rule co.uk, `ck` for *.ck, `www.ck` for !www.ck.
    QSet<QString> m_rules;
    QSet<QString> m_wildcards;
    QSet<QString> m_exceptions;
};

// A host in the one form lists and lookups compare: lower-case, international names in their
// ASCII form, without a trailing dot, IPv6 without brackets. Empty when it is not a valid name.
QString hostKey(QStringView host);

} // namespace Shortd
