#pragma once

#include <QHostAddress>
#include <QString>

namespace Shortd
{

// The address a client is known by, for the per-client connection share, the rate limit and the
// access log: the peer's address, an IPv4 peer on an IPv6 socket written as plain IPv4.
QString clientAddress(const QHostAddress& peer);

} // namespace Shortd
