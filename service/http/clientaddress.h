#pragma once

#include <QByteArrayView>
#include <QHostAddress>
#include <QList>
#include <QString>
#include <utility>

namespace Shortd
{

using Subnet = std::pair<QHostAddress, int>;

// The address a client is known by, for the per-client connection share, the rate limit and the
// access log: the peer's address, an IPv4 peer on an IPv6 socket written as plain IPv4.
QString clientAddress(const QHostAddress& peer);

// The same for a request: only when the peer is one of the trusted proxies does X-Forwarded-For
// count, and then the client is the right-most address in it that is not itself a trusted proxy
// (every proxy appends the peer it saw, so entries left of the first untrusted one are the
// client's own claims). Otherwise the header is ignored.
QString clientAddress(const QHostAddress& peer, QByteArrayView forwardedFor, const QList<Subnet>& trustedProxies);

} // namespace Shortd
