#pragma once

#include "links/publicsuffix.h"
#include "links/result.h"

#include <QByteArray>
#include <QDateTime>
#include <QHostAddress>
#include <QList>
#include <QMutex>
#include <QString>
#include <QStringList>
#include <QStringView>
#include <memory>
#include <optional>
#include <vector>

namespace Shortd
{

// An address as a list compares it: the scheme and host in lower case, an international host in
// its ASCII form and without a trailing dot, no default port, no user name or password, no
// fragment, unreserved characters never percent-encoded and the others' escapes in upper case,
// `.` and `..` segments resolved, an empty path as `/`. Empty when it is not an absolute address
// with a host.
QString normalisedAddress(QStringView address);
// The entry the service's own list keeps to stop address: the address as normalisedAddress gives
// it, or (wholeHost) its host, which also stops the names under it. Empty as normalisedAddress.
QString localBlockEntry(QStringView address, bool wholeHost);

// An address or a host in the form lists compare, worked out once for every list a lookup asks.
struct AddressKey {
    QByteArray address; // as normalisedAddress gives it; empty when only a host is asked
    QByteArray host; // as hostKey gives it
    // How many of host's last characters are its registrable domain: parent names are tried down
    // to it and never past it. 0 when the host is a public suffix or an IP address: itself only.
    qsizetype registrable = 0;
    std::optional<QHostAddress> ip; // when the host is an IP address

    // None when address is not an absolute address with a valid host.
    static std::optional<AddressKey> ofAddress(QStringView address, const PublicSuffixList& suffixes);
    static std::optional<AddressKey> ofHost(QStringView host, const PublicSuffixList& suffixes);
};

// One feed, parsed. Lines are told apart by their shape: an address (`scheme://…`), a hosts-file
// line (`0.0.0.0 host …`, also 127.0.0.1, :: and ::1), a quoted CSV row (the address in its URL
// column), an IPv4 or IPv6 range in CIDR form or a single IP address, and a bare host, which lists
// that name and every name under it. `#` and `;` at a line's start or after a blank start a
// comment. Other lines are skipped and counted.
class Blocklist
{
public:
    enum class Kind : quint8 { Address, Host, Range };
    // An allowlist reads hosts alone: those of hosts-file lines, bare hosts and addresses.
    enum class Reading : quint8 { Everything, HostsOnly };

    struct Counts {
        qsizetype addresses = 0;
        qsizetype hosts = 0;
        qsizetype ranges = 0;
        qsizetype skipped = 0; // lines of no shape this reads (not comments or blank lines)
        qsizetype entries() const { return addresses + hosts + ranges; }
    };

    struct Hit {
        Kind kind;
        QString entry; // as the list keeps it: a normalised address, a host, a range's line
    };

    static Blocklist parse(QByteArrayView feed, Reading reading = Reading::Everything);

    const Counts& counts() const { return m_counts; }

    // The entry that lists key: its address itself, its host or a parent name of it down to,
    // never past, its registrable domain (a listed `evil.co.uk` lists `a.evil.co.uk`; a listed
    // `co.uk` lists that name alone, for a public suffix is shared by everyone registered under
    // it and one feed line must not stop them all), or a range that holds a literal IP host.
    std::optional<Hit> match(const AddressKey& key) const;
    // Every entry that lists key, in the order match() tries them: the address, the host and its
    // parent names, or every range holding a literal IP host, narrowest first.
    QList<Hit> matchAll(const AddressKey& key) const;
    // The range holding address; an IPv4 address inside IPv6 (::ffff:a.b.c.d) counts as the IPv4.
    std::optional<Hit> matchIp(const QHostAddress& address) const;

private:
    struct Range {
        quint64 high;
        quint64 low;
        quint32 entry; // index in m_rangeEntries
        quint8 prefix; // of 128: IPv4 ranges are kept inside IPv6 (::ffff:0:0/96)
    };
    struct PrefixSpan {
        quint8 prefix;
        quint32 begin;
        quint32 end;
    };
    struct LineState;
    void addLine(QStringView line, LineState& state);
    bool addAddress(QStringView address, Reading reading);
    bool addHost(QStringView host);
    bool addRange(const QHostAddress& network, int prefix, QStringView entry);
    void seal();
    // Calls found with each entry that lists key (or each range holding address) in the order
    // match() tries them, until found answers true; true when it did.
    template<typename Found>
    bool eachHit(const AddressKey& key, Found found) const;
    template<typename Found>
    bool eachRange(const QHostAddress& address, Found found) const;

    PackedStrings m_addresses;
    PackedStrings m_hosts;
    std::vector<Range> m_ranges; // sorted by prefix (longest first), then network
    std::vector<PrefixSpan> m_prefixes; // where each prefix's ranges are in m_ranges
    QStringList m_rangeEntries;
    Counts m_counts;
};

// Which list stopped an address, and by which entry: what a refusal names and a quarantine keeps.
struct BlocklistMatch {
    QString list;
    QString entry;
    Blocklist::Kind kind = Blocklist::Kind::Address;
};

// The state of one named list, for the log and the metrics.
struct BlocklistStatus {
    QString name;
    Blocklist::Counts counts; // of the copy in use
    QDateTime loadedAt; // when the copy in use was read; invalid if none was
    QDateTime failedAt; // the last reload that failed or yielded nothing, if after loadedAt
    QString failure; // what that reload met
};

// The operator's lists by name, and the allowlist: the hosts (and names under them, down to the
// registrable domain) no list ever stops. A reload that fails or yields no entry keeps the last
// good copy. Reloads may run on any thread while lookups run on others: a reload parses outside
// the lock and only swaps the copy in.
class BlocklistSet
{
public:
    explicit BlocklistSet(PublicSuffixList suffixes);

    // Parses feed as the list name (a new name is added after the others). A feed of no entry,
    // or a fault met while fetching it (passed in), keeps the copy in use and answers a fault
    // that says so; otherwise the counts of the new copy.
    Result<Blocklist::Counts> reload(const QString& name, const Result<QByteArray>& feed);
    // Parses feed as the list name and puts it in use even when it holds no entry: for a list the
    // service keeps itself, where an empty copy means nothing is listed, not that a fetch failed.
    Blocklist::Counts replace(const QString& name, QByteArrayView feed);
    // Hosts from a file of the same shapes: bare hosts, hosts-file lines and the hosts of
    // addresses count; ranges do not, for an allowlist names hosts. An empty one allows nothing;
    // the counts (hosts, and lines skipped) are for the log.
    Blocklist::Counts setAllowlist(QByteArrayView feed);

    // The first list, in the order they were added, that stops address; none for an address whose
    // host the allowlist holds, or that is not an absolute address with a host.
    std::optional<BlocklistMatch> matchAddress(QStringView address) const;
    // Every (list, entry) that stops address, lists in the order they were added: where a link
    // is exempt from one entry, another list's may still stop it.
    QList<BlocklistMatch> matchAllAddress(QStringView address) const;
    // The first list with a range that holds one of addresses (those host resolved to; the
    // resolving is the caller's). None when the allowlist holds host.
    std::optional<BlocklistMatch> matchResolved(QStringView host, const QList<QHostAddress>& addresses) const;

    QList<BlocklistStatus> status() const;
    const PublicSuffixList& suffixes() const { return m_suffixes; }

private:
    struct Named {
        BlocklistStatus status;
        std::shared_ptr<const Blocklist> list;
    };
    struct Snapshot {
        std::vector<Named> lists;
        std::shared_ptr<const Blocklist> allowed;
    };
    // The list of that name in snapshot, added last when it has none.
    static Named& namedIn(Snapshot& snapshot, const QString& name);
    // Puts list in use as named's copy, loaded at now.
    static void install(Named& named, std::shared_ptr<const Blocklist> list, const QDateTime& now);
    std::shared_ptr<const Snapshot> snapshot() const;
    bool allowed(const Snapshot& lists, const AddressKey& key) const;

    const PublicSuffixList m_suffixes;
    mutable QMutex m_lock; // guards m_current, never held while parsing or matching
    std::shared_ptr<const Snapshot> m_current;
};

} // namespace Shortd
