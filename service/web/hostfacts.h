#pragma once

#include <QByteArray>
#include <QString>

namespace Shortd
{

// What a reader must know about the host an address leads to before following it.
struct HostFacts {
    QString ascii; // the host the browser reaches, in ASCII (punycode); an IPv6 address in brackets
    QString unicode; // the same decoded for reading; equal to ascii when there is nothing to decode
    QString userInfo; // what stands before '@' (a user name, perhaps a password); usually empty
    QString oddDots; // each dot of the host as stored that is not an ASCII dot, once
    bool mixedScripts = false; // a label mixes scripts, or digits of different systems
    bool lookAlike = false; // a label is confusable with an ASCII one, or hides characters
};

// target: the address as stored; location: the same as the redirect sends it (locationHeader()).
// The script checks follow Unicode's security mechanisms (ICU's spoof checker), label by label:
// a Cyrillic name under .com is no warning in itself, a label that reads as Latin while it is not
// is one. Safe to call from any thread.
HostFacts inspectHost(const QString& target, const QByteArray& location);

} // namespace Shortd
