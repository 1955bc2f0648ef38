#include "links/linkbases.h"

#include "links/ownaddresses.h"

#include <QStringBuilder>
#include <memory>
#include <utility>

namespace Shortd
{

LinkBases::LinkBases(LinkBaseOptions options)
    : m_options(std::move(options))
{
    // A link base that does not hang on the Host header is written out once, not for every link shown.
    for (size_t type = 0; type < m_baseText.size(); ++type) {
        const QUrl& base = m_options.linkBases[type];
        if (!base.isEmpty() || !isWildcard(m_options.listenAddress)) {
            m_baseText[type]
                = (base.isEmpty() ? m_options.ownOrigin : base).toString(QUrl::FullyEncoded | QUrl::StripTrailingSlash);
        }
    }
}

QString LinkBases::scheme() const
{
    return m_options.tls ? QStringLiteral("https") : QStringLiteral("http");
}

QUrl LinkBases::originFromHost(const QByteArray& host) const
{
    if (host.isEmpty() || host.size() > 255) {
        return {};
    }
    const QString scheme = this->scheme();
    const QUrl url(scheme % u"://" % QString::fromLatin1(host) % u'/', QUrl::StrictMode);
    if (!url.isValid() || url.host().isEmpty() || !url.userInfo().isEmpty() || url.path() != u"/") {
        return {};
    }
    QUrl origin;
    origin.setScheme(scheme);
    origin.setHost(url.host());
    origin.setPort(url.port());
    return origin;
}

QList<QUrl> LinkBases::ownBases(const QByteArray& host) const
{
    QList<QUrl> bases = m_options.fixedBases;
    if (const QUrl fromHost = originFromHost(host); fromHost.isValid()) {
        bases.append(fromHost);
    }
    return bases;
}

QString LinkBases::shortLink(int type, const QString& code, const QByteArray& host) const
{
    if (type < 0 || type >= static_cast<int>(m_baseText.size())) {
        return {};
    }
    if (const QString& fixed = m_baseText[static_cast<size_t>(type)]; !fixed.isEmpty()) {
        return fixed % u'/' % code;
    }
    // Listening on every address, the service's own name is the one the client used to reach it,
    // when that is a name or an address of this machine; clients mostly use one name, so the last
    // one's origin is kept as long as the machine's addresses stay the same.
    const std::shared_ptr<const MachineAddresses> machine = machineAddresses();
    if (host != m_lastHost || m_lastHostBase.isEmpty() || machine->generation != m_lastHostGeneration) {
        const QString scheme = this->scheme();
        const QHostAddress& listen = m_options.listenAddress;
        const QUrl fromHost = ownOriginFromHost(host, scheme, m_options.port, listen, *machine);
        m_lastHost = host;
        m_lastHostGeneration = machine->generation;
        m_lastHostBase = (fromHost.isValid() ? fromHost : fallbackOrigin(scheme, m_options.port, listen, *machine))
                             .toString(QUrl::FullyEncoded | QUrl::StripTrailingSlash);
    }
    return m_lastHostBase % u'/' % code;
}

} // namespace Shortd
