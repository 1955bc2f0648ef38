#pragma once

#include <QList>
#include <QString>
#include <QStringView>
#include <QUrl>

namespace Shortd
{

inline constexpr qsizetype MaximumAddressLength = 8000;

enum class AddressProblem {
    None,
    Empty,
    TooLong,
    ControlCharacter,
    UnsupportedScheme,
    Malformed,
    NoHost,
    OwnLink,
};

// Whether an address may be stored: an absolute http or https address with a host, of at most
// MaximumAddressLength characters, without control characters, and not leading back to this
// service (a short link to a short link would loop): not under any of ownBases with either scheme;
// when ownPort is given, not on that port of this machine under any name (a loopback form,
// localhost, an address of its interfaces or its host name, as machineAddresses() has them now,
// or the host of one of ownBases); and not a link's path under a base on that base's port (80 and
// 443 for a base without one) of this machine under any such name.
AddressProblem checkAddress(QStringView address, const QList<QUrl>& ownBases, int ownPort = -1);
// Whether the address's host is this machine: a loopback or unspecified address in any spelling
// (127.0.0.0/8, 0.0.0.0/8, ::1, ::, and IPv4 inside IPv6), localhost or a name under .localhost.
bool isLocalHost(const QUrl& url);
// Whether target lies under base: the same host and port, and a path inside base's path.
bool isUnderBase(const QUrl& target, const QUrl& base);
QString addressProblemMessage(AddressProblem problem);

// The redirect target for a stored address: ASCII only, percent-encoded where needed, never
// carrying anything that could end a header line.
QByteArray locationHeader(const QString& address);

} // namespace Shortd
