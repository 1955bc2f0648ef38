#include "cannedserver.h"
#include "links/blocklistsources.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <cstdio>

using namespace Qt::StringLiterals;
using namespace Shortd;

namespace
{
constexpr auto Suffixes = QByteArrayView("com\nexample\nuk\nco.uk\n");

BlocklistFeedTiming quickTiming()
{
    BlocklistFeedTiming timing;
    timing.filePoll = std::chrono::milliseconds(20);
    timing.refresh = std::chrono::milliseconds(50);
    timing.transferTimeout = std::chrono::seconds(5);
    timing.maxBytes = 64;
    return timing;
}

// The list that stops address, or empty.
QString listing(const BlocklistSet& set, const QString& address)
{
    const std::optional<BlocklistMatch> match = set.matchAddress(address);
    return match ? match->list : QString();
}

bool write(const QString& path, const QByteArray& text)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(text) == text.size();
}

quint64 failuresOf(const BlocklistFeeds& feeds, const QByteArray& name)
{
    for (const Metrics::BlocklistGauge& gauge : feeds.gauges()) {
        if (gauge.name == name) {
            return gauge.failedReloads;
        }
    }
    return ~quint64(0);
}

QByteArray header(const QByteArray& request, const QByteArray& name)
{
    for (const QByteArray& line : request.split('\n')) {
        if (line.toLower().startsWith(QByteArray(name.toLower() + ':'))) {
            return line.mid(name.size() + 1).trimmed();
        }
    }
    return {};
}
} // namespace

class BlocklistFeedsTest final : public QObject
{
    Q_OBJECT

private slots:
    void fetchedFeedKeepsItsLastGoodCopy();
    void savedCopyReadAtStart_data();
    void savedCopyReadAtStart();
    void fileChangesPickedUp_data();
    void fileChangesPickedUp();

private:
    QTemporaryDir m_dir;
};

// One server, answering each fetch by the next step; a step is checked when the fetch after it
// arrives, for a fetch is never asked while the last one is still being read.
void BlocklistFeedsTest::fetchedFeedKeepsItsLastGoodCopy()
{
    struct Step {
        const char* what;
        QByteArray reply;
        QByteArray expectedIfNoneMatch; // on this step's request
        const char* listedHost; // stopped once the step is done
        quint64 failures;
    };
    const QByteArray tagged = "ETag: \"v1\"\r\nLast-Modified: Tue, 08 Dec 2026 09:00:00 GMT\r\n";
    const QList<Step> steps {
        {"first copy", CannedServer::response(200, "evil.example\n", "text/plain", tagged), {}, "evil.example", 0},
        {"not modified", CannedServer::response(304, {}), "\"v1\"", "evil.example", 0},
        {"server error", CannedServer::response(500, "oops", "text/plain"), "\"v1\"", "evil.example", 1},
        {"empty body", CannedServer::response(200, "# nothing\n", "text/plain"), "\"v1\"", "evil.example", 2},
        {"too large", CannedServer::response(200, QByteArray(100, 'a') + ".example\n", "text/plain"), "\"v1\"",
            "evil.example", 3},
        {"new copy", CannedServer::response(200, "other.example\n", "text/plain", "ETag: \"v2\"\r\n"), "\"v1\"",
            "other.example", 3},
    };
    CannedServer server;
    BlocklistSet set(PublicSuffixList::fromText(Suffixes));
    BlocklistFeeds* feeds = nullptr;
    // What each step left, taken when the next fetch arrives, before it is answered.
    QList<std::pair<QString, quint64>> after;
    server.setHandler([&](const QByteArray&) {
        const qsizetype step = server.requests().size() - 1;
        if (step > 0) {
            const QByteArray host = steps.at(step - 1).listedHost;
            after.append(
                {listing(set, u"https://a."_s + QString::fromLatin1(host) + u"/x"_s), failuresOf(*feeds, "feed")});
        }
        return step < steps.size() ? steps.at(step).reply : CannedServer::response(304, {});
    });
    QVERIFY(server.start());
    const QString saved = m_dir.filePath(u"fetched"_s);
    BlocklistFeeds fetching(set, {{u"feed"_s, server.origin() + u"/list.txt"_s}}, {}, saved, quickTiming());
    feeds = &fetching;
    fetching.start();
    QTRY_VERIFY(after.size() >= steps.size());
    for (qsizetype i = 0; i < steps.size(); ++i) {
        const Step& step = steps.at(i);
        QCOMPARE(header(server.requests().at(i), "If-None-Match"), step.expectedIfNoneMatch);
        QVERIFY2(after.at(i).first == u"feed"_s, step.what);
        QCOMPARE(after.at(i).second, step.failures);
    }
    QCOMPARE(header(server.requests().at(1), "If-Modified-Since"), "Tue, 08 Dec 2026 09:00:00 GMT");
    QVERIFY(listing(set, u"https://evil.example/"_s).isEmpty());
    QFile copy(savedBlocklistPath(saved, u"feed"_s));
    QVERIFY(copy.open(QIODevice::ReadOnly));
    QCOMPARE(copy.readAll(), "other.example\n");
}

void BlocklistFeedsTest::savedCopyReadAtStart_data()
{
    QTest::addColumn<bool>("serverUp");
    QTest::newRow("feed server down") << false;
    QTest::newRow("feed server answers not modified") << true;
}

// A restart reads the copy kept by the last good fetch, before any fetch answers, and asks the
// server whether it is still current; a file list that cannot be read is named, the others load.
void BlocklistFeedsTest::savedCopyReadAtStart()
{
    QFETCH(bool, serverUp);
    const QString saved = m_dir.filePath(u"restart"_s);
    QVERIFY(QDir().mkpath(saved));
    QVERIFY(write(savedBlocklistPath(saved, u"feed"_s), "kept.example\n"));
    QVERIFY(write(savedBlocklistPath(saved, u"feed"_s) + u".http"_s, "\"v7\"\n\n"));
    CannedServer server;
    server.setReply(CannedServer::response(304, {}));
    QVERIFY(server.start());
    const QString origin = server.origin();
    if (!serverUp) {
        server.close();
    }
    const QList<BlocklistSource> sources {{u"feed"_s, origin + u"/list.txt"_s},
        {u"gone"_s, m_dir.filePath(u"missing.txt"_s)}, {u"never"_s, origin + u"/other.txt"_s}};

    BlocklistSet offline(PublicSuffixList::fromText(Suffixes));
    const Result<Done> loaded = loadSavedBlocklists(sources, {}, saved, offline);
    QVERIFY(!loaded);
    QCOMPARE(loaded.fault().fields.size(), 1);
    QCOMPARE(loaded.fault().fields.constFirst().field, u"gone"_s);
    QCOMPARE(listing(offline, u"https://kept.example/"_s), u"feed"_s);

    BlocklistSet set(PublicSuffixList::fromText(Suffixes));
    BlocklistFeeds feeds(set, sources, {}, saved, quickTiming());
    QSignalSpy failed(&feeds, &BlocklistFeeds::reloadFailed);
    feeds.start();
    QCOMPARE(listing(set, u"https://kept.example/"_s), u"feed"_s);
    QCOMPARE(failuresOf(feeds, "gone"), 1u);
    if (serverUp) {
        QTRY_VERIFY(server.requests().size() >= 3);
        QCOMPARE(header(server.requests().constFirst(), "If-None-Match"), "\"v7\"");
        QCOMPARE(failuresOf(feeds, "feed"), 0u);
    } else {
        QTRY_VERIFY(failuresOf(feeds, "feed") >= 1);
    }
    QCOMPARE(listing(set, u"https://kept.example/"_s), u"feed"_s);
}

void BlocklistFeedsTest::fileChangesPickedUp_data()
{
    QTest::addColumn<QString>("change"); // rewrite, replace, empty, remove
    QTest::addColumn<QString>("file"); // list or allow
    QTest::addColumn<bool>("reloads"); // false: the last good copy stays
    QTest::newRow("rewritten in place") << u"rewrite"_s << u"list"_s << true;
    QTest::newRow("replaced by rename") << u"replace"_s << u"list"_s << true;
    QTest::newRow("emptied") << u"empty"_s << u"list"_s << false;
    QTest::newRow("removed") << u"remove"_s << u"list"_s << false;
    QTest::newRow("allowlist rewritten") << u"rewrite"_s << u"allow"_s << true;
    QTest::newRow("allowlist removed") << u"remove"_s << u"allow"_s << false;
}

void BlocklistFeedsTest::fileChangesPickedUp()
{
    QFETCH(QString, change);
    QFETCH(QString, file);
    QFETCH(bool, reloads);
    const QString folder = m_dir.filePath(QString::fromLatin1(QTest::currentDataTag()));
    QVERIFY(QDir().mkpath(folder));
    const QString list = folder + u"/list.txt"_s;
    const QString allow = folder + u"/allow.txt"_s;
    QVERIFY(write(list, "evil.example\n"));
    QVERIFY(write(allow, "nobody.example\n"));
    BlocklistSet set(PublicSuffixList::fromText(Suffixes));
    BlocklistFeeds feeds(set, {{u"own"_s, list}}, allow, folder, quickTiming());
    QSignalSpy reloaded(&feeds, &BlocklistFeeds::reloaded);
    QSignalSpy failed(&feeds, &BlocklistFeeds::reloadFailed);
    feeds.start();
    QCOMPARE(listing(set, u"https://ok.evil.example/"_s), u"own"_s);

    const QString path = file == u"list"_s ? list : allow;
    // The new text stops other.example and allows ok.evil.example, whichever file it lands in.
    const QByteArray text = file == u"list"_s ? "evil.example\nother.example\n" : "ok.evil.example\n";
    if (change == u"rewrite"_s) {
        QVERIFY(write(path, text));
    } else if (change == u"replace"_s) {
        QVERIFY(write(path + u".new"_s, text));
        QVERIFY(::rename(QFile::encodeName(path + u".new"_s).constData(), QFile::encodeName(path).constData()) == 0);
    } else if (change == u"empty"_s) {
        QVERIFY(write(path, {}));
    } else {
        QVERIFY(QFile::remove(path));
    }
    QTRY_COMPARE(reloads ? reloaded.size() : failed.size(), 1);
    QCOMPARE(failed.isEmpty(), reloads);
    QCOMPARE(reloaded.isEmpty() ? QString() : reloaded.constFirst().constFirst().toString(),
        reloads && file == u"list"_s ? u"own"_s : QString());
    const bool listChanged = reloads && file == u"list"_s;
    const bool allowChanged = reloads && file == u"allow"_s;
    QCOMPARE(listing(set, u"https://other.example/"_s), listChanged ? u"own"_s : QString());
    QCOMPARE(listing(set, u"https://ok.evil.example/"_s), allowChanged ? QString() : u"own"_s);
    QCOMPARE(listing(set, u"https://evil.example/"_s), u"own"_s);
    QCOMPARE(failuresOf(feeds, "own"), quint64(!reloads && file == u"list"_s));
}

QTEST_GUILESS_MAIN(BlocklistFeedsTest)
#include "tst_blocklistfeeds.moc"
