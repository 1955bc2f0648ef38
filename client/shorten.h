#pragma once

#include <QString>
#include <chrono>

namespace Nolvex
{

// The shipped time limit of the shortening request, from sending to the last byte of the reply.
inline constexpr std::chrono::milliseconds ShortenTimeLimit {15'000};

enum class AddressCheck {
    Empty,
    MissingScheme, // neither "http://" nor "https://" occurs anywhere in the text
    Ok,
};

AddressCheck checkAddress(const QString& address);

// The shortening request: type, then the address percent-encoded as UTF-8 (all but the unreserved
// characters, so "&", "#", "+" and "%" reach the service whole), then the token over the address as typed.
QString shortenRequestAddress(const QString& origin, const QString& type, const QString& address);

// A link as a service may hand it out: exactly one http or https address with a host, on one line,
// without a blank, a control character (C0, DEL, C1) or an invisible or reordering one. A line break,
// "javascript:…", a number or a lone space is no link, however the service marked its reply.
bool isServiceLink(const QString& link);

struct ShortenReply {
    enum class Kind {
        Success,
        Refusal,
        Unreadable, // not a JSON object, a needed member missing or without text, or a success without a
                    // link that passes isServiceLink()
    };
    Kind kind = Kind::Unreadable;
    QString info; // the short link, on success
    QString message; // the service's reason, on refusal
};

ShortenReply readShortenReply(const QString& replyText);

} // namespace Nolvex
