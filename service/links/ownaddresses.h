#pragma once

#include <QByteArrayView>
#include <QHostAddress>
#include <QList>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <chrono>
#include <memory>

class QObject;

namespace Shortd
{

// How often the watch reads the interfaces again: an address a machine gains or loses (a lease
// renewed, a VPN come up) is known within this time.
inline constexpr std::chrono::milliseconds MachineAddressInterval {5000};

// The addresses and names under which this machine reaches itself, whatever the service was told:
// an address on the service's port under any of them leads back to it.
struct MachineAddresses {
    // Every address of the interfaces that are up, in the order the system lists them; IPv4 inside
    // IPv6 and zone ids taken off.
    QList<QHostAddress> addresses;
    // The host name and, where the system has a local domain, the name in it; lower case, without a
    // final dot. "localhost" and its loopback forms are this machine's in any case (isLocalHost()).
    QStringList names;
    // Told apart from the set before it, so a result kept for one set is not taken for the next.
    quint64 generation = 0;

    // Reads the interfaces and the host name now; a few system calls, never a name lookup.
    static MachineAddresses read();
    bool hasAddress(const QHostAddress& address) const;
    // name in lower case without a final dot, as comparable hosts are.
    bool hasName(QStringView name) const;
    bool operator==(const MachineAddresses& other) const
    {
        return addresses == other.addresses && names == other.names;
    }
};

// The one set the address policy and the short links ask: read on first use, kept fresh by
// watchMachineAddresses(). Safe to call from any thread.
std::shared_ptr<const MachineAddresses> machineAddresses();
// Puts a set in place (an equal one is kept, with its generation): the watch's reading, or a
// test's own set, so that no test depends on the machine it runs on.
void setMachineAddresses(MachineAddresses addresses);
// Reads the set now and again every MachineAddressInterval while owner lives, on owner's thread.
void watchMachineAddresses(QObject* owner);

// The origin a request's Host header names, when that is one of this service's on a wildcard
// listener: its port (spelled out, or the scheme's default), and as host "localhost", a loopback
// address, an address or a name of this machine, or listen. Invalid for anything else: a Host is
// the client's to write, and a short link built from a foreign one would lead elsewhere.
QUrl ownOriginFromHost(
    QByteArrayView host, const QString& scheme, int port, const QHostAddress& listen, const MachineAddresses& machine);
// Where short links are shown from when neither a link base nor the Host gives a place: the listen
// address; on a wildcard listener, the machine's first address that is neither loopback nor link-local,
// IPv4 before IPv6 (only IPv4 for 0.0.0.0, only IPv6 for [::]), else the loopback address.
QUrl fallbackOrigin(const QString& scheme, int port, const QHostAddress& listen, const MachineAddresses& machine);

bool isWildcard(const QHostAddress& address);

} // namespace Shortd
