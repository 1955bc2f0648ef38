#include "links/blocklist.h"
#include "links/publicsuffix.h"

#include <QTest>

using namespace Qt::StringLiterals;
using namespace Shortd;

class BlocklistTest final : public QObject
{
    Q_OBJECT

private slots:
    void shapes_data();
    void shapes();
    void matching_data();
    void matching();
    void registrableDomain_data();
    void registrableDomain();
    void reload_data();
    void reload();
    void everyEntryFound();
};

namespace
{
// The rules the rows need, in the list's own format; one row reads Debian's file instead.
constexpr QByteArrayView SuffixExcerpt = "// excerpt\ncom\nexample\nuk\nco.uk\n*.ck\n!www.ck\ncn\n公司.cn\n"
                                         "io\ngithub.io // a platform's, from the private section\n";

PublicSuffixList excerpt()
{
    return PublicSuffixList::fromText(SuffixExcerpt);
}

// A feed written as rows are: lines joined by line breaks.
QByteArray feedOf(const QStringList& lines)
{
    return lines.join(u'\n').toUtf8();
}
} // namespace

void BlocklistTest::shapes_data()
{
    QTest::addColumn<QStringList>("feed");
    QTest::addColumn<QList<qsizetype>>("counts"); // addresses, hosts, ranges, skipped

    const auto row = [](const char* name, const QStringList& feed, const QList<qsizetype>& counts) {
        QTest::newRow(name) << feed << counts;
    };
    row("hosts file",
        {u"127.0.0.1 localhost"_s, u"::1 localhost ip6-localhost"_s, u"127.0.0.1 localhost.localdomain"_s,
            u"0.0.0.0 a.example b.example # two"_s, u"# 0.0.0.0 c.example"_s, u""_s},
        {0, 2, 0, 3});
    row("a host repeated in other spellings is one entry",
        {u"evil.example"_s, u"EVIL.example."_s, u"  evil.example ; again"_s}, {0, 1, 0, 0});
    row("byte-order mark and carriage returns", {u"\uFEFFevil.example\r"_s, u"other.example\r"_s}, {0, 2, 0, 0});
    row("lines of no shape",
        {u"||ads.example^"_s, u"not a host!"_s, u"300.1.1.0/24"_s, u"http://"_s, u"evil.example.."_s}, {0, 0, 0, 5});
    row("ranges and single addresses",
        {u"203.0.113.0/24 ; SBL1"_s, u"2001:db8::/32"_s, u"198.51.100.7"_s, u"\t2001:db8::1 ; one"_s}, {0, 0, 4, 0});
    row("CSV rows by the header's url column",
        {u"# id,dateadded,url,url_status,reference"_s,
            u"\"1\",\"2024-01-01\",\"http://evil.example/x\",\"online\",\"https://feed.example/1\""_s,
            u"\"2\",\"2024-01-01\",\"gone\",\"offline\",\"https://feed.example/2\""_s},
        {1, 0, 0, 1});
}

void BlocklistTest::shapes()
{
    QFETCH(QStringList, feed);
    QFETCH(QList<qsizetype>, counts);
    const Blocklist::Counts got = Blocklist::parse(feedOf(feed)).counts();
    QCOMPARE((QList<qsizetype> {got.addresses, got.hosts, got.ranges, got.skipped}), counts);
}

void BlocklistTest::matching_data()
{
    QTest::addColumn<QStringList>("feed");
    QTest::addColumn<QStringList>("allowed");
    QTest::addColumn<QString>("address");
    QTest::addColumn<QStringList>("resolved"); // when given, the addresses the host resolved to are asked
    QTest::addColumn<QString>("entry"); // empty: not stopped

    const auto row = [](const char* name, const QStringList& feed, const QString& address, const QString& entry,
                         const QStringList& allowed = {}, const QStringList& resolved = {}) {
        QTest::newRow(name) << feed << allowed << address << resolved << entry;
    };
    // Addresses, normalised alike on both sides.
    const QString listed = u"http://evil.example/a"_s;
    row("address", {listed}, listed, listed);
    row("scheme and host case, default port", {u"HTTP://Evil.Example:80/a"_s}, u"http://evil.example/a"_s, listed);
    row("https default port", {u"https://evil.example:443/a"_s}, u"https://EVIL.example/a"_s,
        u"https://evil.example/a"_s);
    row("another port is another address", {u"http://evil.example:8080/a"_s}, listed, {});
    row("escaped unreserved characters", {u"http://evil.example/%7Euser/%41?q=%2d"_s},
        u"http://evil.example/~user/A?q=-"_s, u"http://evil.example/~user/A?q=-"_s);
    row("escaped slash is not a slash", {u"http://evil.example/a%2Fb"_s}, u"http://evil.example/a/b"_s, {});
    row("escape case", {u"http://evil.example/a%2fb"_s}, u"http://evil.example/a%2Fb"_s,
        u"http://evil.example/a%2Fb"_s);
    row("empty path", {u"http://evil.example"_s}, u"http://evil.example/"_s, u"http://evil.example/"_s);
    row("dot segments", {u"http://evil.example/a/../b"_s}, u"http://evil.example/./b"_s, u"http://evil.example/b"_s);
    row("user and fragment ignored", {listed}, u"http://bank.example@evil.example/a#login"_s, listed);
    row("international host", {u"http://例子.example/"_s}, u"http://xn--fsqu00a.example/"_s,
        u"http://xn--fsqu00a.example/"_s);
    row("semicolon inside an address", {u"http://evil.example/a;b=1 ; note"_s}, u"http://evil.example/a;b=1"_s,
        u"http://evil.example/a;b=1"_s);
    row("a listed address lists no other on its host", {listed}, u"http://evil.example/"_s, {});
    row("commented out", {u"# evil.example"_s, u"; http://evil.example/a"_s, u"other.example"_s}, listed, {});
    // Hosts and their parents, down to the registrable domain.
    row("hosts-file line", {u"0.0.0.0 ads.example tracker.example"_s}, u"https://tracker.example/x"_s,
        u"tracker.example"_s);
    row("name under a bare host", {u"evil.example"_s}, u"http://a.b.EVIL.example./x"_s, u"evil.example"_s);
    row("a host never lists its parent", {u"a.evil.example"_s}, u"http://evil.example/"_s, {});
    row("name under a registrable domain", {u"evil.co.uk"_s}, u"http://a.evil.co.uk/"_s, u"evil.co.uk"_s);
    row("a listed suffix lists no registrant", {u"co.uk"_s}, u"http://evil.co.uk/"_s, {});
    row("a listed suffix lists itself", {u"co.uk"_s}, u"http://co.uk/"_s, u"co.uk"_s);
    row("a platform's suffix", {u"github.io"_s}, u"https://someone.github.io/"_s, {});
    row("wildcard suffix", {u"city.ck"_s}, u"http://evil.city.ck/"_s, {});
    row("exception to a wildcard", {u"www.ck"_s}, u"http://a.www.ck/"_s, u"www.ck"_s);
    // Ranges, against a literal host at once and against what a host resolved to.
    const QString sbl = u"203.0.113.0/24 ; SBL123"_s;
    row("IPv4 range", {sbl}, u"http://203.0.113.77/x"_s, sbl);
    row("outside the range", {sbl}, u"http://203.0.114.1/"_s, {});
    row("IPv4 as one number", {sbl}, u"http://3405803781/"_s, sbl);
    row("IPv4 inside IPv6", {sbl}, u"http://[::ffff:203.0.113.9]/"_s, sbl);
    row("IPv6 range", {u"2001:db8::/32"_s}, u"http://[2001:DB8::1]:8080/"_s, u"2001:db8::/32"_s);
    row("single address", {u"198.51.100.7"_s}, u"http://198.51.100.7:8080/"_s, u"198.51.100.7"_s);
    row("resolved into a range", {sbl}, u"http://cdn.example/"_s, sbl, {}, {u"192.0.2.1"_s, u"203.0.113.5"_s});
    row("resolved elsewhere", {sbl}, u"http://cdn.example/"_s, {}, {}, {u"192.0.2.1"_s, u"2001:db8::1"_s});
    // The malware-URL feed's rows: the URL column, never the feed's own page about the entry.
    const QStringList csv {
        u"\"7\",\"2024-01-01 10:00:00\",\"http://evil.example/bin.sh\",\"online\",\"https://feed.example/7/\""_s,
        u"\"8\",\"2024-01-01\",\"http://evil.example/a\"\"b\",\"online\",\"https://feed.example/8/\""_s};
    row("CSV URL column", csv, u"http://evil.example/bin.sh"_s, u"http://evil.example/bin.sh"_s);
    row("CSV quote inside a field", csv, u"http://evil.example/a%22b"_s, u"http://evil.example/a%22b"_s);
    row("CSV reference column", csv, u"https://feed.example/7/"_s, {});
    // The allowlist: its hosts and the names under them, whatever a list holds.
    row("allowed under a listed host", {u"evil.example"_s}, u"http://good.evil.example/"_s, {},
        {u"# ours"_s, u"https://good.evil.example/any/path"_s});
    row("allowed beside it is not", {u"evil.example"_s}, u"http://bad.evil.example/"_s, u"evil.example"_s,
        {u"good.evil.example"_s});
    row("allowed host resolving into a range", {sbl}, u"http://cdn.example/"_s, {}, {u"cdn.example"_s},
        {u"203.0.113.5"_s});
    row("allowlist is never a blocklist", {}, u"http://good.example/"_s, {}, {u"0.0.0.0 good.example"_s});
}

void BlocklistTest::matching()
{
    QFETCH(QStringList, feed);
    QFETCH(QStringList, allowed);
    QFETCH(QString, address);
    QFETCH(QStringList, resolved);
    QFETCH(QString, entry);

    BlocklistSet lists(excerpt());
    if (!feed.isEmpty()) {
        QVERIFY(lists.reload(u"drop"_s, feedOf(feed)).ok());
    }
    lists.setAllowlist(feedOf(allowed));
    std::optional<BlocklistMatch> match;
    if (resolved.isEmpty()) {
        match = lists.matchAddress(address);
    } else {
        QList<QHostAddress> addresses;
        for (const QString& text : std::as_const(resolved)) {
            addresses.append(QHostAddress(text));
        }
        match = lists.matchResolved(QUrl(address).host(), addresses);
    }
    QCOMPARE(match ? match->entry : QString(), entry);
    if (match) {
        QCOMPARE(match->list, u"drop"_s);
    }
}

void BlocklistTest::registrableDomain_data()
{
    QTest::addColumn<QString>("file"); // empty: the excerpt
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("domain"); // "<fault>": the list cannot be loaded

    const auto row = [](const char* name, const QString& host, const QString& domain, const QString& file = {}) {
        QTest::newRow(name) << file << host << domain;
    };
    row("name under com", u"a.b.Example.COM"_s, u"example.com"_s);
    row("a suffix has none", u"co.uk"_s, {});
    row("two-label suffix", u"a.evil.co.uk"_s, u"evil.co.uk"_s);
    row("wildcard", u"a.b.c.ck"_s, u"b.c.ck"_s);
    row("exception", u"a.www.ck"_s, u"www.ck"_s);
    row("no rule: the last label", u"a.evil.internal"_s, u"evil.internal"_s);
    row("international rule and name", u"网店.例子.公司.cn"_s, u"xn--fsqu00a.xn--55qx5d.cn"_s);
    row("IP address", u"203.0.113.5"_s, {});
    const QString debian = defaultPublicSuffixPath();
    row("Debian's list", u"x.evil.co.uk"_s, u"evil.co.uk"_s, debian);
    row("Debian's list, private section", u"a.someone.github.io"_s, u"someone.github.io"_s, debian);
    row("Debian's list, exception", u"a.city.kawasaki.jp"_s, u"city.kawasaki.jp"_s, debian);
    row("no such file", u"a.example.com"_s, u"<fault>"_s, u"/nonexistent/public_suffix_list.dat"_s);
    row("a file of no rule", u"a.example.com"_s, u"<fault>"_s, u"/dev/null"_s);
}

void BlocklistTest::registrableDomain()
{
    QFETCH(QString, file);
    QFETCH(QString, host);
    QFETCH(QString, domain);
    const Result<PublicSuffixList> suffixes = file.isEmpty() ? Result(excerpt()) : PublicSuffixList::load(file);
    if (domain == u"<fault>"_s) {
        QVERIFY(!suffixes.ok());
        QVERIFY(suffixes.fault().english.contains(file));
        return;
    }
    QVERIFY2(suffixes.ok(), suffixes.ok() ? "" : qPrintable(suffixes.fault().english));
    QCOMPARE(suffixes->registrableDomain(hostKey(host)), domain);
}

void BlocklistTest::reload_data()
{
    QTest::addColumn<QStringList>("feeds"); // one reload each; "<fail>" is a fetch that failed
    QTest::addColumn<bool>("lastOk");
    QTest::addColumn<QString>("evilEntry"); // what stops http://evil.example/ after the last reload
    QTest::addColumn<qsizetype>("entries"); // of the copy in use

    const auto row = [](const char* name, const QString& first, const QString& last, bool lastOk, const QString& entry,
                         qsizetype entries) {
        QTest::newRow(name) << QStringList {first, last} << lastOk << entry << entries;
    };
    const QString evil = u"evil.example"_s;
    row("empty keeps the last good", evil, u""_s, false, evil, 1);
    row("comments only keep it", evil, u"# moved\n; away"_s, false, evil, 1);
    row("no shape keeps it", evil, u"<html>"_s, false, evil, 1);
    row("failed fetch keeps it", evil, u"<fail>"_s, false, evil, 1);
    row("new copy replaces it", evil, u"other.example\n198.51.100.7"_s, true, {}, 2);
    row("nothing good yet", u"<fail>"_s, u""_s, false, {}, 0);
    row("good after a failure", u"<fail>"_s, evil, true, evil, 1);
}

void BlocklistTest::reload()
{
    QFETCH(QStringList, feeds);
    QFETCH(bool, lastOk);
    QFETCH(QString, evilEntry);
    QFETCH(qsizetype, entries);

    BlocklistSet lists(excerpt());
    bool ok = false;
    for (const QString& feed : std::as_const(feeds)) {
        const Result<QByteArray> fetched = feed == u"<fail>"_s
            ? Result<QByteArray>(Fault {FaultKind::Unavailable, u"连接被拒绝"_s, u"connection refused"_s})
            : Result<QByteArray>(feed.toUtf8());
        const Result<Blocklist::Counts> result = lists.reload(u"feed"_s, fetched);
        ok = result.ok();
        if (!ok) {
            QCOMPARE(result.fault().field, u"feed"_s);
            // The fault tells how much is still in use.
            const qsizetype kept = lists.status().front().counts.entries();
            QVERIFY(result.fault().english.contains(u"(%1 entries)"_s.arg(kept)));
        }
    }
    QCOMPARE(ok, lastOk);
    const std::optional<BlocklistMatch> match = lists.matchAddress(u"http://evil.example/"_s);
    QCOMPARE(match ? match->entry : QString(), evilEntry);
    const QList<BlocklistStatus> status = lists.status();
    QCOMPARE(status.size(), 1);
    QCOMPARE(status.front().counts.entries(), entries);
    QCOMPARE(status.front().failure.isEmpty(), lastOk);
    QCOMPARE(status.front().loadedAt.isValid(), entries > 0);
}

// Enough entries for many hash buckets: each is found, and a name beside each is not.
void BlocklistTest::everyEntryFound()
{
    constexpr int Count = 20'000;
    QByteArray feed;
    for (int i = 0; i < Count; ++i) {
        feed += "h" + QByteArray::number(i) + ".example\nhttp://a.example/" + QByteArray::number(i) + "\n";
    }
    const Blocklist list = Blocklist::parse(feed);
    QCOMPARE(list.counts().entries(), 2 * Count);
    const PublicSuffixList suffixes = excerpt();
    for (int i = 0; i < Count; ++i) {
        const QString n = QString::number(i);
        const auto stopped
            = [&](const QString& address) { return list.match(*AddressKey::ofAddress(address, suffixes)).has_value(); };
        QVERIFY2(stopped(u"http://h"_s + n + u".example/"_s), qPrintable(n));
        QVERIFY2(stopped(u"http://a.example/"_s + n), qPrintable(n));
        QVERIFY2(!stopped(u"http://g"_s + n + u".example/"_s), qPrintable(n));
        QVERIFY2(!stopped(u"http://a.example/x"_s + n), qPrintable(n));
    }
}

QTEST_APPLESS_MAIN(BlocklistTest)
#include "tst_blocklist.moc"
