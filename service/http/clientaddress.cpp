#include "http/clientaddress.h"

namespace Shortd
{

QString clientAddress(const QHostAddress& peer)
{
    bool mapped = false;
    const quint32 ipv4 = peer.toIPv4Address(&mapped);
    return mapped ? QHostAddress(ipv4).toString() : peer.toString();
}

} // namespace Shortd
