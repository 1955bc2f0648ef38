#pragma once

#include "links/addresspolicy.h"

#include <QList>
#include <QString>
#include <QStringView>
#include <QUrl>

namespace Shortd
{

class RateLimiter;

// What an anonymous creation may meet after its fields are read, whichever door it came in by
// (the client's protocol or the JSON API); each door words the refusal its own way.
struct AnonymousRefusal {
    enum class Kind {
        None,
        Address, // see problem
        RateLimited, // see retryAfterSeconds
    };
    Kind kind = Kind::None;
    AddressProblem problem = AddressProblem::None;
    int retryAfterSeconds = 0;

    bool refused() const { return kind != Kind::None; }
};

// The address must be one the service stores (checkAddress, its length first), and the client
// within its creations a minute; only an admitted creation spends from the client's allowance.
AnonymousRefusal admitAnonymous(QStringView address, const QList<QUrl>& ownBases, int ownPort, RateLimiter& limiter,
    const QString& client, qint64 nowMs);

// The refusals' words, the same through every door.
QString closedShorteningMessage();
QString rateLimitedMessage(int perMinute, int retryAfterSeconds);
// For a destination one of the operator's lists holds; the client shows it as it is.
QString listedAddressMessage();

} // namespace Shortd
