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

struct ShortenReply {
    enum class Kind {
        Success,
        Refusal,
        Unreadable, // not a JSON object, a needed member missing or without text, or a success without a link
    };
    Kind kind = Kind::Unreadable;
    QString info; // the short link, on success
    QString message; // the service's reason, on refusal
};

ShortenReply readShortenReply(const QString& replyText);

} // namespace Nolvex
