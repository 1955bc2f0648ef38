#include "http/clientaddress.h"

namespace Shortd
{
namespace
{
QHostAddress plain(const QHostAddress& address)
{
    if (address.protocol() == QAbstractSocket::IPv4Protocol) {
        return address;
    }
    bool mapped = false;
    const quint32 ipv4 = address.toIPv4Address(&mapped);
    return mapped ? QHostAddress(ipv4) : address;
}

bool isTrusted(const QHostAddress& address, const QList<Subnet>& trustedProxies)
{
    const QHostAddress unmapped = plain(address);
    return std::any_of(trustedProxies.cbegin(), trustedProxies.cend(),
        [&unmapped](const Subnet& subnet) { return unmapped.isInSubnet(subnet); });
}
} // namespace

QString clientAddress(const QHostAddress& peer)
{
    return plain(peer).toString();
}

QString clientAddress(const QHostAddress& peer, QByteArrayView forwardedFor, const QList<Subnet>& trustedProxies)
{
    if (trustedProxies.isEmpty() || forwardedFor.isEmpty() || !isTrusted(peer, trustedProxies)) {
        return clientAddress(peer);
    }
    QHostAddress client = peer;
    const QList<QByteArray> hops = forwardedFor.toByteArray().split(',');
    // Right to left: each hop was added by the proxy in front of the one before it.
    for (qsizetype hop = hops.size() - 1; hop >= 0; --hop) {
        QHostAddress address;
        if (!address.setAddress(QString::fromLatin1(hops.at(hop).trimmed()))) {
            break; // garbage: the last proxy that can be believed saw this peer
        }
        client = address;
        if (!isTrusted(address, trustedProxies)) {
            break;
        }
    }
    return clientAddress(client);
}

} // namespace Shortd
