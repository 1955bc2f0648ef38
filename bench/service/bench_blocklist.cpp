// nolvex-shortd-benchblocklist [PUBLIC_SUFFIX_FILE]
//     Loads 1,000,000 generated blocklist entries of mixed shapes (bare hosts, hosts-file lines,
//     addresses, the malware-URL feed's CSV rows, IPv4 and IPv6 ranges) and prints the load time,
//     the resident memory the lists keep and the peak while loading, and the nanoseconds a lookup
//     of an address costs, for addresses a list stops and for those it does not; then what a
//     creation through the shortener costs with those lists and with none, against a store in
//     memory, so that the difference is the check a creation pays.

#include "links/blocklist.h"
#include "links/publicsuffix.h"
#include "links/shortener.h"
#include "procstatus.h"
#include "store/storepool.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QList>
#include <QString>
#include <cstdio>

using namespace Shortd;

namespace
{
constexpr int Entries = 1'000'000;
constexpr int Lookups = 200'000;

// Entry i in one of the shapes, in the proportions public feeds come in: mostly hosts and addresses.
QByteArray entryLine(int i)
{
    const QByteArray n = QByteArray::number(i);
    switch (i % 20) {
    case 0:
    case 1:
    case 2:
    case 3:
    case 4:
    case 5:
    case 6:
    case 7:
        return "bad" + n + ".example" + QByteArray::number(i % 97) + ".com";
    case 8:
    case 9:
        return "0.0.0.0 ads" + n + ".tracker.net";
    case 10:
    case 11:
    case 12:
    case 13:
    case 14:
        return "http://phish" + n + ".example.org/login/" + n + "/index.php?id=" + n;
    case 15:
    case 16:
    case 17:
        return R"(")" + n + R"(","2024-01-01 10:00:00","http://)" + QByteArray::number(i % 251) + '.'
            + QByteArray::number(i / 251 % 256) + ".7.9:8080/bins/" + n
            + R"(.sh","online","malware_download","https://feed.example/url/)" + n + R"(/")";
    case 18:
        return QByteArray::number(i / 256 % 224) + '.' + QByteArray::number(i % 256) + ".0.0/16 ; SBL" + n;
    default:
        return "2001:db8:" + QByteArray::number(i % 65536, 16) + "::/48";
    }
}

// Every insert succeeds at once: what is left of a creation is the shortener's own work.
class NullStore final : public Store, public LinkStore
{
public:
    bool open() override { return true; }
    bool isHealthy() override { return true; }
    QString lastError() const override { return {}; }
    LinkStore& links() override { return *this; }
    LookupResult findByCode(const QString&) override { return {}; }
    InsertResult insert(const StoredLink& link) override { return {StoreStatus::Ok, link}; }
};

// Nanoseconds a creation of each address costs through a shortener checking lists (none: null).
double createNs(const BlocklistSet* lists, const QList<QString>& addresses, int* refused)
{
    NullStore store;
    StorePool pool(store);
    Shortener shortener(pool, ShortenerOptions {100, std::chrono::hours(1), std::chrono::hours(1)});
    shortener.setBlocklists(lists);
    QElapsedTimer timer;
    timer.start();
    for (const QString& address : addresses) {
        shortener.shorten(
            0, address, [refused](const Shortener::Outcome& outcome) { *refused += outcome.listed ? 1 : 0; });
    }
    return double(timer.nsecsElapsed()) / double(addresses.size());
}

// Addresses to ask: one a list stops for every one it does not.
QList<QString> lookupAddresses()
{
    QList<QString> out;
    out.reserve(Lookups);
    for (int i = 0; i < Lookups; ++i) {
        const QString n = QString::number(i * 5 + 1);
        const int listed = i * 20 % Entries; // a bare host's entry
        out.append(i % 2 == 0
                ? QStringLiteral("https://www.bad%1.example%2.com/some/path?q=1").arg(listed).arg(listed % 97)
                : QStringLiteral("https://shop%1.example.com/product/%1?ref=mail").arg(n));
    }
    return out;
}
} // namespace

int main(int argc, char** argv)
{
    const QCoreApplication app(argc, argv); // for the shortener's timers
    const QString suffixPath = argc > 1 ? QString::fromLocal8Bit(argv[1]) : defaultPublicSuffixPath();
    QElapsedTimer timer;
    timer.start();
    Result<PublicSuffixList> suffixes = PublicSuffixList::load(suffixPath);
    if (!suffixes) {
        std::fprintf(stderr, "%s\n", qPrintable(suffixes.fault().english));
        return 1;
    }
    std::printf("public suffix list: %lld rules in %.1f ms\n", static_cast<long long>(suffixes->ruleCount()),
        double(timer.nsecsElapsed()) / 1e6);

    const QList<QString> addresses = lookupAddresses();
    const qint64 start = statusKiB("VmRSS:");
    QByteArray feed;
    feed.reserve(qsizetype(Entries) * 64);
    for (int i = 0; i < Entries; ++i) {
        feed += entryLine(i);
        feed += '\n';
    }
    BlocklistSet lists(std::move(suffixes).value());

    timer.restart();
    const Result<Blocklist::Counts> loaded = lists.reload(QStringLiteral("generated"), feed);
    const double loadMs = double(timer.nsecsElapsed()) / 1e6;
    if (!loaded) {
        std::fprintf(stderr, "%s\n", qPrintable(loaded.fault().english));
        return 1;
    }
    const qint64 feedKiB = feed.capacity() / 1024;
    feed = QByteArray();
    feed.squeeze();
    std::printf(
        "loaded %lld entries (%lld addresses, %lld hosts, %lld ranges, %lld skipped) from %lld KiB in %.0f ms\n",
        static_cast<long long>(loaded->entries()), static_cast<long long>(loaded->addresses),
        static_cast<long long>(loaded->hosts), static_cast<long long>(loaded->ranges),
        static_cast<long long>(loaded->skipped), static_cast<long long>(feedKiB), loadMs);
    std::printf("resident memory the lists keep: %.1f MiB; peak of the process while loading: %.1f MiB\n",
        double(statusKiB("VmRSS:") - start) / 1024, double(statusKiB("VmHWM:")) / 1024);

    int stopped = 0;
    timer.restart();
    for (const QString& address : addresses) {
        stopped += lists.matchAddress(address).has_value() ? 1 : 0;
    }
    const double lookupNs = double(timer.nsecsElapsed()) / Lookups;
    std::printf("lookup: %.0f ns an address (%d of %d stopped)\n", lookupNs, stopped, Lookups);

    qsizetype normalisedLength = 0;
    timer.restart();
    for (const QString& address : addresses) {
        normalisedLength += normalisedAddress(address).size();
    }
    std::printf("of which normalising the address: %.0f ns (%lld characters)\n", double(timer.nsecsElapsed()) / Lookups,
        static_cast<long long>(normalisedLength));

    const QHostAddress resolved(QStringLiteral("198.51.100.20"));
    timer.restart();
    for (int i = 0; i < Lookups; ++i) {
        stopped += lists.matchResolved(QStringLiteral("cdn.example.com"), {resolved}).has_value() ? 1 : 0;
    }
    std::printf("resolved address against the ranges: %.0f ns\n", double(timer.nsecsElapsed()) / Lookups);

    // Creations of addresses no list holds, the usual case, then of those the lists stop.
    QList<QString> unlisted;
    QList<QString> listed;
    for (qsizetype i = 0; i < addresses.size(); ++i) {
        (i % 2 == 0 ? listed : unlisted).append(addresses.at(i));
    }
    int refused = 0;
    const double bare = createNs(nullptr, unlisted, &refused);
    const double checked = createNs(&lists, unlisted, &refused);
    const double stoppedNs = createNs(&lists, listed, &refused);
    std::printf("a creation through the shortener: %.0f ns with no lists, %.0f ns with the lists loaded (%+.0f ns); "
                "one the lists stop: %.0f ns (%d stopped)\n",
        bare, checked, checked - bare, stoppedNs, refused);
    return 0;
}
