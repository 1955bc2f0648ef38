#include "links/ownaddresses.h"

#include <QHostInfo>
#include <QMutex>
#include <QNetworkInterface>
#include <QObject>
#include <QTimer>

namespace Shortd
{
namespace
{
constexpr auto Localhost = QStringView(u"localhost");

// An address as hosts compare: without its zone, and IPv4 inside IPv6 as plain IPv4.
QHostAddress comparable(QHostAddress address)
{
    address.setScopeId(QString());
    bool mapped = false;
    const quint32 ipv4 = address.toIPv4Address(&mapped);
    if (address.protocol() == QAbstractSocket::IPv6Protocol && mapped) {
        return QHostAddress(ipv4);
    }
    return address;
}

QString comparableName(QString name)
{
    name = name.toLower();
    while (name.endsWith(u'.')) {
        name.chop(1);
    }
    return name;
}

struct CurrentSet {
    QMutex mutex;
    std::shared_ptr<const MachineAddresses> set;
    quint64 generation = 0;
};

CurrentSet& current()
{
    static CurrentSet held;
    return held;
}

// The set as comparisons expect it, whoever wrote it.
MachineAddresses normalized(MachineAddresses machine)
{
    QList<QHostAddress> addresses;
    for (const QHostAddress& address : std::as_const(machine.addresses)) {
        if (const QHostAddress plain = comparable(address); !plain.isNull() && !addresses.contains(plain)) {
            addresses.append(plain);
        }
    }
    QStringList names;
    for (const QString& name : std::as_const(machine.names)) {
        if (QString plain = comparableName(name); !plain.isEmpty() && !names.contains(plain)) {
            names.append(std::move(plain));
        }
    }
    machine.addresses = std::move(addresses);
    machine.names = std::move(names);
    return machine;
}

std::optional<QHostAddress> firstReachable(
    const MachineAddresses& machine, QAbstractSocket::NetworkLayerProtocol family)
{
    for (const QHostAddress& address : machine.addresses) {
        if (address.protocol() == family && !address.isLoopback() && !address.isLinkLocal()) {
            return address;
        }
    }
    return std::nullopt;
}
} // namespace

MachineAddresses MachineAddresses::read()
{
    MachineAddresses machine;
    machine.addresses = QNetworkInterface::allAddresses();
    const QString host = comparableName(QHostInfo::localHostName());
    if (!host.isEmpty()) {
        machine.names.append(host);
        if (const QString domain = comparableName(QHostInfo::localDomainName());
            !domain.isEmpty() && !host.contains(u'.')) {
            machine.names.append(host % u'.' % domain);
        }
    }
    return normalized(std::move(machine));
}

bool MachineAddresses::hasAddress(const QHostAddress& address) const
{
    return addresses.contains(comparable(address));
}

bool MachineAddresses::hasName(QStringView name) const
{
    return std::any_of(names.begin(), names.end(), [name](const QString& own) { return own == name; });
}

std::shared_ptr<const MachineAddresses> machineAddresses()
{
    CurrentSet& held = current();
    const QMutexLocker locker(&held.mutex);
    if (!held.set) {
        MachineAddresses machine = MachineAddresses::read();
        machine.generation = ++held.generation;
        held.set = std::make_shared<const MachineAddresses>(std::move(machine));
    }
    return held.set;
}

void setMachineAddresses(MachineAddresses addresses)
{
    MachineAddresses machine = normalized(std::move(addresses));
    CurrentSet& held = current();
    const QMutexLocker locker(&held.mutex);
    if (held.set && *held.set == machine) {
        return;
    }
    machine.generation = ++held.generation;
    held.set = std::make_shared<const MachineAddresses>(std::move(machine));
}

void watchMachineAddresses(QObject* owner)
{
    setMachineAddresses(MachineAddresses::read());
    auto* timer = new QTimer(owner);
    QObject::connect(timer, &QTimer::timeout, timer, [] { setMachineAddresses(MachineAddresses::read()); });
    timer->start(MachineAddressInterval);
}

bool isWildcard(const QHostAddress& address)
{
    return address == QHostAddress::Any || address == QHostAddress::AnyIPv4 || address == QHostAddress::AnyIPv6;
}

QUrl ownOriginFromHost(
    QByteArrayView host, const QString& scheme, int port, const QHostAddress& listen, const MachineAddresses& machine)
{
    if (host.isEmpty() || host.size() > 255) {
        return {};
    }
    const QUrl url(scheme % u"://" % QString::fromLatin1(host) % u'/', QUrl::StrictMode);
    if (!url.isValid() || url.host().isEmpty() || !url.userInfo().isEmpty() || url.path() != u"/" || url.hasQuery()
        || url.hasFragment()) {
        return {};
    }
    if (url.port(scheme == u"https" ? 443 : 80) != port) {
        return {};
    }
    const QString name = comparableName(url.host(QUrl::FullyEncoded));
    bool own = name == Localhost || machine.hasName(name);
    if (QHostAddress address; !own && address.setAddress(name)) {
        address = comparable(address);
        own = address.isLoopback() || machine.hasAddress(address)
            || (!isWildcard(listen) && address == comparable(listen));
    }
    if (!own) {
        return {};
    }
    QUrl origin;
    origin.setScheme(scheme);
    origin.setHost(name);
    origin.setPort(url.port());
    return origin;
}

QUrl fallbackOrigin(const QString& scheme, int port, const QHostAddress& listen, const MachineAddresses& machine)
{
    QHostAddress host = listen;
    if (isWildcard(listen)) {
        const bool ipv4 = listen != QHostAddress::AnyIPv6;
        const bool ipv6 = listen != QHostAddress::AnyIPv4;
        std::optional<QHostAddress> found;
        if (ipv4) {
            found = firstReachable(machine, QAbstractSocket::IPv4Protocol);
        }
        if (!found && ipv6) {
            found = firstReachable(machine, QAbstractSocket::IPv6Protocol);
        }
        host = found.value_or(QHostAddress(ipv4 ? QHostAddress::LocalHost : QHostAddress::LocalHostIPv6));
    }
    QUrl origin;
    origin.setScheme(scheme);
    origin.setHost(host.toString());
    origin.setPort(port);
    return origin;
}

} // namespace Shortd
