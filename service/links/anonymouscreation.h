#pragma once

#include "cluster/sharedlimit.h"
#include "links/addresspolicy.h"
#include "links/publicsuffix.h"

#include <QList>
#include <QString>
#include <QStringView>
#include <QUrl>
#include <functional>
#include <optional>

namespace Shortd
{

class RateLimiter;

// New anonymous links a destination site may get in the last hour, counted across the cluster (on
// one instance, by that instance). A site is the registrable domain of the destination's host, so a
// wave rotating subdomains of one domain is counted as one; an IP address, or a name that is itself
// a public suffix, counts alone. A creation takes one when it is admitted, so creations in flight
// at once are counted, and gives it back unless it made a new link: an address already shortened
// costs nothing. Time comes from wallClock (milliseconds since the epoch).
class HostCreationLimit
{
public:
    // suffixes: nullopt when the list is not to be had; each full host then counts apart.
    HostCreationLimit(int perHour, std::optional<PublicSuffixList> suffixes, std::function<qint64()> wallClock);

    int perHour() const { return m_perHour; }
    // The key address's creations are counted under (the site, named apart from the clients'
    // keys), empty when it has no host.
    QString counted(QStringView address) const;
    // 0: one taken for the address's site; else the seconds until it may get another.
    int take(QStringView address);
    // The creation take() admitted made no new link.
    void giveBack(QStringView address);
    // What the instances exchange.
    SharedLimit& shared() { return m_shared; }

private:
    int m_perHour;
    std::optional<PublicSuffixList> m_suffixes;
    std::function<qint64()> m_wallClock;
    SharedLimit m_shared;
};

// What an anonymous creation may meet after its fields are read, whichever door it came in by
// (the client's protocol or the JSON API); each door words the refusal its own way.
struct AnonymousRefusal {
    enum class Kind {
        None,
        Address, // see problem
        RateLimited, // see retryAfterSeconds
        HostLimited, // the destination's site had its new links for the hour; see retryAfterSeconds
    };
    Kind kind = Kind::None;
    AddressProblem problem = AddressProblem::None;
    int retryAfterSeconds = 0;

    bool refused() const { return kind != Kind::None; }
};

// The address must be one the service stores (checkAddress, its length first), its site within
// its new links an hour (the limiter's hosts(), if any), and the client within its creations a
// minute; only an admitted creation spends from the client's allowance and the site's, and the
// caller gives the site's back (hosts()->giveBack) when the creation makes no new link.
AnonymousRefusal admitAnonymous(QStringView address, const QList<QUrl>& ownBases, int ownPort, RateLimiter& limiter,
    const QString& client, qint64 nowMs);

// The refusals' words, the same through every door.
QString closedShorteningMessage();
QString rateLimitedMessage(int perMinute, int retryAfterSeconds);
QString hostLimitedMessage(int perHour, int retryAfterSeconds);
// For a destination one of the operator's lists holds; the client shows it as it is.
QString listedAddressMessage();

} // namespace Shortd
