#pragma once

#include "links/blocklist.h"
#include "links/result.h"
#include "metrics/servicemetrics.h"

#include <QDateTime>
#include <QList>
#include <QNetworkAccessManager>
#include <QObject>
#include <QString>
#include <QStringView>
#include <QThreadPool>
#include <QTimer>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace Shortd
{

// One of the operator's lists: its name (letters, digits, `-` and `_`) and where it is read from,
// a file's path or an http(s) address the service fetches.
struct BlocklistSource {
    QString name;
    QString source;

    bool isRemote() const;
    friend bool operator==(const BlocklistSource&, const BlocklistSource&) = default;
};

// "NAME=SOURCE" as --blocklist takes it; none when the name is not one a list may have (empty,
// other characters, a name the service keeps for its own lists) or the source is empty or an
// address other than http(s) with a host.
std::optional<BlocklistSource> parseBlocklistSource(QStringView text);
// Names the service keeps for lists of its own: the operators' take-downs, the public's reports.
bool isReservedBlocklistName(QStringView name);

// Where the last good copy of each fetched list is kept: DATADIR/blocklists/NAME.
QString savedBlocklistsFolder(const QString& dataDir);
QString savedBlocklistPath(const QString& savedFolder, const QString& name);

// Reads every list once into set, in the given order, without fetching anything: a file source
// from its file, a fetched one from the copy the service last saved under savedFolder (none saved
// yet: the list is known and empty); then the allowlist file, if one is named. A list or an
// allowlist that cannot be read, or holds no entry, is a fault naming it (all of them, in fields);
// the others are loaded all the same. What an operator command calls to refuse what the running
// service refuses.
Result<Done> loadSavedBlocklists(
    const QList<BlocklistSource>& sources, const QString& allowlist, const QString& savedFolder, BlocklistSet& set);

// How the feeds keep their lists fresh; tests shorten the intervals.
struct BlocklistFeedTiming {
    // A file is looked at this often, and read once it has been seen changed and then the same at
    // two looks in a row, so a file being written is not read half-way: read within two intervals.
    std::chrono::milliseconds filePoll {1000};
    std::chrono::milliseconds refresh {std::chrono::minutes(30)}; // an http(s) list is fetched again
    std::chrono::milliseconds transferTimeout {std::chrono::minutes(2)}; // a fetch that stalls this long fails
    qint64 maxBytes = qint64(256) << 20; // a larger list, fetched or read, is refused whole
};

// Keeps a BlocklistSet's lists and allowlist fresh, on the event loop: files are read again when
// they change (a replaced file too), http(s) lists fetched every refresh with If-None-Match and
// If-Modified-Since, each good copy saved under the saved folder and read from there at start, so
// a restart while the feed's server is away still refuses what it listed. A reload that fails or
// yields no entry keeps the last good copy, is counted and logged in one line naming the list.
// Reading and parsing run on a thread of the feeds' own, never on the event loop.
class BlocklistFeeds final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(BlocklistFeeds)

public:
    // set outlives the feeds.
    BlocklistFeeds(BlocklistSet& set, const QList<BlocklistSource>& sources, const QString& allowlist,
        QString savedFolder, BlocklistFeedTiming timing = {}, QObject* parent = nullptr);
    ~BlocklistFeeds() override;

    // Reads every list as it is at hand (files, saved copies) before answering, logging what could
    // not be read; then watches the files and fetches the http(s) lists at once and every refresh.
    void start();

    // Each list in the order given, for a scrape.
    QList<Metrics::BlocklistGauge> gauges() const;

signals:
    // A new copy of the list is in use (the allowlist is named by an empty name).
    void reloaded(const QString& name);
    // A reload failed or yielded no entry: the last good copy stays in use.
    void reloadFailed(const QString& name, const QString& why);

private:
    struct FileMark {
        bool exists = false;
        qint64 size = 0;
        qint64 modifiedNs = 0;
        qint64 changedNs = 0;
        quint64 inode = 0;
        quint64 device = 0;
        friend bool operator==(const FileMark&, const FileMark&) = default;
        static FileMark of(const QString& path);
    };
    struct Feed;

    void pollFiles();
    void readFile(Feed& feed, const FileMark& mark);
    void fetch(Feed& feed);
    void fetched(Feed& feed, QNetworkReply* reply);
    // Runs job on the feeds' thread, then done on the event loop, unless the feeds are gone.
    void runAside(std::function<Result<QByteArray>()> job, std::function<void(const Result<QByteArray>&)> done);
    void succeeded(Feed& feed, const QString& from);
    void failed(Feed& feed, const Fault& why);
    void fetchFailed(Feed& feed, const Fault& why);

    BlocklistSet& m_set;
    const QString m_savedFolder;
    const BlocklistFeedTiming m_timing;
    std::vector<std::unique_ptr<Feed>> m_feeds; // the lists in order, then the allowlist
    QTimer m_filePoll;
    QNetworkAccessManager m_network;
    QThreadPool m_aside;
};

} // namespace Shortd
