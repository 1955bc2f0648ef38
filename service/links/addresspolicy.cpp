#include "links/addresspolicy.h"

#include "links/codes.h"
#include "links/ownaddresses.h"

#include <QHostAddress>

namespace Shortd
{
namespace
{
bool isControl(char16_t c)
{
    return c < 0x20 || (c >= 0x7f && c <= 0x9f);
}

int effectivePort(const QUrl& url)
{
    return url.port(url.scheme() == QLatin1StringView("https") ? 443 : 80);
}

QString comparableHost(const QUrl& url)
{
    QString host = url.host(QUrl::FullyEncoded).toLower();
    while (host.endsWith(u'.')) {
        host.chop(1);
    }
    // An IPv4 address written as IPv6 ([::ffff:127.0.0.1]) reaches the same host as the plain one.
    if (const QHostAddress address(host); address.protocol() == QAbstractSocket::IPv6Protocol) {
        bool mapped = false;
        const quint32 ipv4 = address.toIPv4Address(&mapped);
        if (mapped) {
            return QHostAddress(ipv4).toString();
        }
    }
    return host;
}

// Whether host (as comparableHost() gives it) is this machine or this service: a loopback form or
// localhost, an address or a name of the machine's, or the host of one of the service's bases (its
// listen address, its link bases).
bool isOwnHost(const QUrl& url, const QString& host, const QList<QUrl>& ownBases, const MachineAddresses& machine)
{
    if (isLocalHost(url) || machine.hasName(host)) {
        return true;
    }
    if (QHostAddress address; address.setAddress(host) && machine.hasAddress(address)) {
        return true;
    }
    return std::any_of(
        ownBases.begin(), ownBases.end(), [&host](const QUrl& base) { return comparableHost(base) == host; });
}

// Whether url names a link of the service behind base on a port base may be served on, under any
// of this machine's names: base's path and one segment that can name a link. A base without a
// port is taken to be behind a front that answers both 80 and 443.
bool isLinkPathOf(const QUrl& url, const QUrl& base)
{
    const int port = effectivePort(url);
    if (port != effectivePort(base) && (base.port() != -1 || (port != 80 && port != 443))) {
        return false;
    }
    QString basePath = base.path(QUrl::FullyDecoded);
    while (basePath.endsWith(u'/')) {
        basePath.chop(1);
    }
    const QString path = url.path(QUrl::FullyDecoded);
    if (!path.startsWith(basePath + u'/')) {
        return false;
    }
    const QStringView segment = QStringView(path).sliced(basePath.size() + 1);
    return !segment.contains(u'/') && mayNameLink(segment);
}

} // namespace

bool isUnderBase(const QUrl& target, const QUrl& base)
{
    if (comparableHost(target) != comparableHost(base) || effectivePort(target) != effectivePort(base)) {
        return false;
    }
    QString basePath = base.path(QUrl::FullyEncoded);
    if (basePath.endsWith(u'/')) {
        basePath.chop(1);
    }
    if (basePath.isEmpty()) {
        return true;
    }
    const QString targetPath = target.path(QUrl::FullyEncoded);
    return targetPath == basePath || targetPath.startsWith(basePath + u'/');
}

bool isLocalHost(const QUrl& url)
{
    const QString host = comparableHost(url);
    if (host == u"localhost" || host.endsWith(u".localhost")) {
        return true;
    }
    QHostAddress address;
    if (!address.setAddress(host)) {
        return false;
    }
    quint32 ipv4 = 0;
    if (address.protocol() == QAbstractSocket::IPv4Protocol) {
        ipv4 = address.toIPv4Address();
    } else {
        // IPv4-compatible (::a.b.c.d, which also covers :: and ::1), -mapped (::ffff:a.b.c.d) and
        // -translated (::ffff:0:a.b.c.d) forms carry an IPv4 address in their last four bytes.
        const Q_IPV6ADDR bytes = address.toIPv6Address();
        const auto zero = [&bytes](int from, int to) {
            return std::all_of(bytes.c + from, bytes.c + to, [](quint8 b) { return b == 0; });
        };
        const bool ffff89 = bytes[8] == 0xff && bytes[9] == 0xff;
        const bool ffff1011 = bytes[10] == 0xff && bytes[11] == 0xff;
        if (!zero(0, 8) || !((zero(8, 12)) || (zero(8, 10) && ffff1011) || (ffff89 && zero(10, 12)))) {
            return false;
        }
        ipv4 = (quint32(bytes[12]) << 24) | (quint32(bytes[13]) << 16) | (quint32(bytes[14]) << 8) | bytes[15];
    }
    const quint32 firstOctet = ipv4 >> 24;
    return firstOctet == 127 || firstOctet == 0;
}

AddressProblem checkAddress(QStringView address, const QList<QUrl>& ownBases, int ownPort)
{
    if (address.isEmpty()) {
        return AddressProblem::Empty;
    }
    if (address.size() > MaximumAddressLength) {
        return AddressProblem::TooLong;
    }
    if (std::any_of(address.begin(), address.end(), [](QChar c) { return isControl(c.unicode()); })) {
        return AddressProblem::ControlCharacter;
    }
    const bool http = address.startsWith(u"http://", Qt::CaseInsensitive);
    const bool https = address.startsWith(u"https://", Qt::CaseInsensitive);
    if (!http && !https) {
        return AddressProblem::UnsupportedScheme;
    }
    const QUrl url(address.toString(), QUrl::TolerantMode);
    if (!url.isValid()) {
        return AddressProblem::Malformed;
    }
    if (url.host().isEmpty()) {
        return AddressProblem::NoHost;
    }
    for (const QUrl& base : ownBases) {
        // A link base serves the same codes under the other scheme: https://s.example/x/abc and
        // http://s.example/x/abc both lead back here.
        QUrl otherScheme = base;
        otherScheme.setScheme(base.scheme() == u"https" ? QStringLiteral("http") : QStringLiteral("https"));
        if (isUnderBase(url, base) || isUnderBase(url, otherScheme)) {
            return AddressProblem::OwnLink;
        }
    }
    if (ownPort <= 0 && ownBases.isEmpty()) {
        return AddressProblem::None;
    }
    // The service's own port under any name of this machine; and, where a front serves the link
    // bases on other ports of this machine, a path that names a link there. Names that only a
    // lookup would tie to this machine are not seen here.
    const std::shared_ptr<const MachineAddresses> machine = machineAddresses();
    if (!isOwnHost(url, comparableHost(url), ownBases, *machine)) {
        return AddressProblem::None;
    }
    if (ownPort > 0 && effectivePort(url) == ownPort) {
        return AddressProblem::OwnLink;
    }
    if (std::any_of(ownBases.begin(), ownBases.end(), [&url](const QUrl& base) { return isLinkPathOf(url, base); })) {
        return AddressProblem::OwnLink;
    }
    return AddressProblem::None;
}

QString addressProblemMessage(AddressProblem problem)
{
    switch (problem) {
    case AddressProblem::None:
        return {};
    case AddressProblem::Empty:
        return QStringLiteral("请填写要缩短的网址");
    case AddressProblem::TooLong:
        return QStringLiteral("网址太长，最多 %1 个字符").arg(MaximumAddressLength);
    case AddressProblem::ControlCharacter:
        return QStringLiteral("网址中含有控制字符（如换行符），请检查后再试");
    case AddressProblem::UnsupportedScheme:
        return QStringLiteral("只能缩短以 http:// 或 https:// 开头的网址");
    case AddressProblem::Malformed:
        return QStringLiteral("网址格式不正确");
    case AddressProblem::NoHost:
        return QStringLiteral("网址缺少主机名");
    case AddressProblem::OwnLink:
        return QStringLiteral("这已经是本服务的短网址，不能再次缩短");
    }
    return {};
}

QByteArray locationHeader(const QString& address)
{
    return QUrl(address, QUrl::TolerantMode).toEncoded(QUrl::FullyEncoded);
}

} // namespace Shortd
