#include "links/quarantine.h"

namespace Shortd
{

QString defanged(const QString& address)
{
    const qsizetype separator = address.indexOf(u"://");
    QString scheme;
    qsizetype hostFrom = 0;
    if (separator > 0) {
        scheme = address.left(separator);
        if (scheme.startsWith(u"http", Qt::CaseInsensitive)) {
            scheme.replace(1, 2, scheme.at(1).isUpper() ? QStringLiteral("XX") : QStringLiteral("xx"));
        }
        scheme += u"://";
        hostFrom = separator + 3;
    }
    qsizetype authorityTo = address.size();
    for (const QChar end : {u'/', u'?', u'#', u'\\'}) {
        const qsizetype at = address.indexOf(end, hostFrom);
        if (at >= 0 && at < authorityTo) {
            authorityTo = at;
        }
    }
    // The user part of an authority is no host, but its dots are defanged too: "a.b@evil.example"
    // is a common disguise, and readers can tell the host from the "@" either way.
    QString authority = address.mid(hostFrom, authorityTo - hostFrom);
    authority.replace(u'.', QStringLiteral("[.]"));
    return scheme + authority + address.mid(authorityTo);
}

} // namespace Shortd
