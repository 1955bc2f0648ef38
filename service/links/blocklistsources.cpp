#include "links/blocklistsources.h"

#include "version.h"

#include <QDir>
#include <QFile>
#include <QNetworkReply>
#include <QPointer>
#include <QSaveFile>
#include <QUrl>
#include <sys/stat.h>

using namespace Qt::StringLiterals;

namespace Shortd
{
namespace
{
bool isListName(QStringView name)
{
    return !name.isEmpty() && name.size() <= 64 && std::all_of(name.begin(), name.end(), [](QChar c) {
        return (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || c == u'-'
            || c == u'_';
    });
}

bool looksRemote(QStringView source)
{
    return source.startsWith(u"http://", Qt::CaseInsensitive) || source.startsWith(u"https://", Qt::CaseInsensitive);
}

Fault unreadable(const QString& what, const QString& path, const QString& why)
{
    return Fault {FaultKind::Unavailable, u"%1 无法读取：%2"_s.arg(what, path),
        u"%1 cannot be read: %2 (%3)"_s.arg(what, path, why), what};
}

Fault tooLarge(const QString& what, qint64 maxBytes)
{
    return Fault {FaultKind::Invalid, u"%1 超过 %2 MiB"_s.arg(what).arg(maxBytes >> 20),
        u"%1 is larger than %2 MiB"_s.arg(what).arg(maxBytes >> 20), what};
}

// A whole file, or why not; a list larger than maxBytes is refused before it is read.
Result<QByteArray> readWhole(const QString& what, const QString& path, qint64 maxBytes)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return unreadable(what, path, file.errorString());
    }
    if (file.size() > maxBytes) {
        return tooLarge(what, maxBytes);
    }
    QByteArray text = file.read(maxBytes + 1);
    if (text.size() > maxBytes) {
        return tooLarge(what, maxBytes);
    }
    if (file.error() != QFileDevice::NoError) {
        return unreadable(what, path, file.errorString());
    }
    return text;
}

// The validators of a fetched copy, kept beside it (NAME.http: the ETag, then Last-Modified, a line
// each) so a restart asks the feed's server whether that copy is still current.
QString validatorsPath(const QString& savedPath)
{
    return savedPath + u".http"_s;
}

bool saveAtomically(const QString& path, QByteArrayView bytes, QString* why)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes.data(), bytes.size()) != bytes.size() || !file.commit()) {
        *why = file.errorString();
        return false;
    }
    return true;
}

// A fetch that failed is tried again this soon, or at the refresh if that comes first.
constexpr std::chrono::milliseconds RetryAfterFailure = std::chrono::minutes(5);

QByteArray userAgent()
{
    return "nolvex-shortd/" + Nolvex::Protocol::CurrentVersion.toString().toLatin1() + " (blocklist feed)";
}
} // namespace

bool BlocklistSource::isRemote() const
{
    return looksRemote(source);
}

bool isReservedBlocklistName(QStringView name)
{
    return name.compare(u"local", Qt::CaseInsensitive) == 0 || name.compare(u"reports", Qt::CaseInsensitive) == 0;
}

std::optional<BlocklistSource> parseBlocklistSource(QStringView text)
{
    const qsizetype equals = text.indexOf(u'=');
    if (equals < 0) {
        return std::nullopt;
    }
    BlocklistSource parsed {text.first(equals).toString(), text.sliced(equals + 1).toString()};
    if (!isListName(parsed.name) || isReservedBlocklistName(parsed.name) || parsed.source.isEmpty()) {
        return std::nullopt;
    }
    if (const qsizetype scheme = parsed.source.indexOf(u"://"); scheme >= 0 || parsed.isRemote()) {
        // Not a file: an address this fetches, so http(s) with a host and nothing else.
        const QUrl url(parsed.source, QUrl::StrictMode);
        if (!parsed.isRemote() || !url.isValid() || url.host().isEmpty() || url.hasFragment()) {
            return std::nullopt;
        }
    }
    return parsed;
}

QString savedBlocklistsFolder(const QString& dataDir)
{
    return dataDir + u"/blocklists"_s;
}

QString savedBlocklistPath(const QString& savedFolder, const QString& name)
{
    return savedFolder + u'/' + name;
}

Result<Done> loadSavedBlocklists(
    const QList<BlocklistSource>& sources, const QString& allowlist, const QString& savedFolder, BlocklistSet& set)
{
    QList<FieldFault> faults;
    for (const BlocklistSource& source : sources) {
        const QString path = source.isRemote() ? savedBlocklistPath(savedFolder, source.name) : source.source;
        if (source.isRemote() && !QFile::exists(path)) {
            // Never fetched yet: the list is known, and stops nothing until its first copy.
            (void)set.reload(source.name,
                Fault {FaultKind::Unavailable, u"尚未取得"_s, u"no copy has been fetched yet"_s, source.name});
            continue;
        }
        const Result<QByteArray> feed = readWhole(source.name, path, BlocklistFeedTiming {}.maxBytes);
        if (const auto loaded = set.reload(source.name, feed); !loaded) {
            faults.append(asFieldFault(loaded.fault()));
        }
    }
    if (!allowlist.isEmpty()) {
        if (const auto feed = readWhole(u"allowlist"_s, allowlist, BlocklistFeedTiming {}.maxBytes)) {
            (void)set.setAllowlist(*feed);
        } else {
            faults.append(asFieldFault(feed.fault()));
        }
    }
    if (faults.isEmpty()) {
        return Done {};
    }
    const FieldFault& first = faults.constFirst();
    return Fault {FaultKind::Unavailable, first.chinese, first.english, first.field, faults};
}

struct BlocklistFeeds::Feed {
    QString name; // empty for the allowlist
    QString source; // a path, or an address
    bool remote = false;
    bool busy = false; // a read, a fetch or a parse is under way
    FileMark loaded; // of the file when last read
    FileMark seen; // at the last look
    QByteArray etag;
    QByteArray lastModified;
    QDateTime lastSuccess;
    quint64 failures = 0;
    QTimer refresh;
    QPointer<QNetworkReply> reply;

    QString label() const { return name.isEmpty() ? u"allowlist"_s : u"blocklist "_s + name; }
};

BlocklistFeeds::FileMark BlocklistFeeds::FileMark::of(const QString& path)
{
    struct stat info {
    };
    if (::stat(QFile::encodeName(path).constData(), &info) != 0) {
        return {};
    }
    constexpr qint64 NsPerSecond = 1'000'000'000;
    return {true, qint64(info.st_size), qint64(info.st_mtim.tv_sec) * NsPerSecond + info.st_mtim.tv_nsec,
        qint64(info.st_ctim.tv_sec) * NsPerSecond + info.st_ctim.tv_nsec, quint64(info.st_ino), quint64(info.st_dev)};
}

BlocklistFeeds::BlocklistFeeds(BlocklistSet& set, const QList<BlocklistSource>& sources, const QString& allowlist,
    QString savedFolder, BlocklistFeedTiming timing, QObject* parent)
    : QObject(parent)
    , m_set(set)
    , m_savedFolder(std::move(savedFolder))
    , m_timing(timing)
{
    for (const BlocklistSource& source : sources) {
        auto feed = std::make_unique<Feed>();
        feed->name = source.name;
        feed->source = source.source;
        feed->remote = source.isRemote();
        m_feeds.push_back(std::move(feed));
    }
    if (!allowlist.isEmpty()) {
        auto feed = std::make_unique<Feed>();
        feed->source = allowlist;
        m_feeds.push_back(std::move(feed));
    }
    // One list at a time is parsed: a million entries take a core for a second or two.
    m_aside.setMaxThreadCount(1);
    m_filePoll.setInterval(m_timing.filePoll);
    connect(&m_filePoll, &QTimer::timeout, this, &BlocklistFeeds::pollFiles);
}

BlocklistFeeds::~BlocklistFeeds()
{
    for (const auto& feed : m_feeds) {
        if (feed->reply) {
            feed->reply->disconnect(this);
            feed->reply->abort();
            delete feed->reply;
        }
    }
    m_aside.waitForDone();
}

void BlocklistFeeds::start()
{
    QList<BlocklistSource> sources;
    QString allowlist;
    for (const auto& feed : m_feeds) {
        if (!feed->remote) {
            // Marked before the read: a change while it reads is seen at the next look.
            feed->loaded = feed->seen = FileMark::of(feed->source);
        }
        if (feed->name.isEmpty()) {
            allowlist = feed->source;
        } else {
            sources.append({feed->name, feed->source});
        }
    }
    QList<FieldFault> faults;
    if (const Result<Done> loaded = loadSavedBlocklists(sources, allowlist, m_savedFolder, m_set); !loaded) {
        faults = loaded.fault().fields;
    }
    const QList<BlocklistStatus> status = m_set.status();
    for (const auto& feed : m_feeds) {
        const auto fault = std::find_if(faults.cbegin(), faults.cend(),
            [&](const FieldFault& f) { return f.field == (feed->name.isEmpty() ? u"allowlist"_s : feed->name); });
        const auto listed = std::find_if(
            status.cbegin(), status.cend(), [&](const BlocklistStatus& s) { return s.name == feed->name; });
        if (fault != faults.cend()) {
            ++feed->failures;
            qWarning("nolvex-shortd: %s", qUtf8Printable(fault->english));
        } else if (listed != status.cend() && listed->loadedAt.isValid()) {
            feed->lastSuccess = listed->loadedAt;
            qInfo("nolvex-shortd: blocklist %s: %lld entries from %s", qUtf8Printable(feed->name),
                qint64(listed->counts.entries()),
                qUtf8Printable(feed->remote ? savedBlocklistPath(m_savedFolder, feed->name) : feed->source));
        }
        if (feed->remote) {
            // Validators only for a copy in use: without one, the whole list is wanted.
            const QString saved = savedBlocklistPath(m_savedFolder, feed->name);
            QFile validators(validatorsPath(saved));
            if (feed->lastSuccess.isValid() && validators.open(QIODevice::ReadOnly)) {
                const QList<QByteArray> lines = validators.readAll().split('\n');
                feed->etag = lines.value(0).trimmed();
                feed->lastModified = lines.value(1).trimmed();
            }
            feed->refresh.setInterval(m_timing.refresh);
            connect(&feed->refresh, &QTimer::timeout, this, [this, f = feed.get()] { fetch(*f); });
            feed->refresh.start();
            fetch(*feed);
        }
    }
    m_filePoll.start();
}

QList<Metrics::BlocklistGauge> BlocklistFeeds::gauges() const
{
    const QList<BlocklistStatus> status = m_set.status();
    QList<Metrics::BlocklistGauge> gauges;
    for (const auto& feed : m_feeds) {
        if (feed->name.isEmpty()) {
            continue;
        }
        const auto listed = std::find_if(
            status.cbegin(), status.cend(), [&](const BlocklistStatus& s) { return s.name == feed->name; });
        gauges.append({feed->name.toUtf8(), listed != status.cend() ? qint64(listed->counts.entries()) : 0,
            feed->lastSuccess.isValid() ? feed->lastSuccess.toSecsSinceEpoch() : 0, feed->failures});
    }
    return gauges;
}

void BlocklistFeeds::pollFiles()
{
    for (const auto& feed : m_feeds) {
        if (feed->remote) {
            continue;
        }
        const FileMark mark = FileMark::of(feed->source);
        const bool settled = mark == feed->seen;
        feed->seen = mark;
        if (settled && mark != feed->loaded && !feed->busy) {
            readFile(*feed, mark);
        }
    }
}

void BlocklistFeeds::readFile(Feed& feed, const FileMark& mark)
{
    feed.busy = true;
    feed.loaded = mark;
    const QString what = feed.name.isEmpty() ? u"allowlist"_s : feed.name;
    runAside(
        [this, &feed, what, path = feed.source, maxBytes = m_timing.maxBytes]() -> Result<QByteArray> {
            const Result<QByteArray> text = readWhole(what, path, maxBytes);
            if (feed.name.isEmpty()) {
                if (!text) {
                    return text.fault();
                }
                (void)m_set.setAllowlist(*text);
                return QByteArray();
            }
            if (auto counts = m_set.reload(feed.name, text); !counts) {
                return counts.fault();
            }
            return QByteArray();
        },
        [this, &feed](const Result<QByteArray>& outcome) {
            feed.busy = false;
            if (outcome) {
                succeeded(feed, feed.source);
            } else {
                failed(feed, outcome.fault());
            }
        });
}

void BlocklistFeeds::fetch(Feed& feed)
{
    if (feed.busy) {
        return; // the last fetch is still under way, or its copy being read
    }
    QNetworkRequest request {QUrl(feed.source)};
    request.setTransferTimeout(int(m_timing.transferTimeout.count()));
    request.setHeader(QNetworkRequest::UserAgentHeader, userAgent());
    if (!feed.etag.isEmpty()) {
        request.setRawHeader("If-None-Match", feed.etag);
    }
    if (!feed.lastModified.isEmpty()) {
        request.setRawHeader("If-Modified-Since", feed.lastModified);
    }
    feed.busy = true;
    QNetworkReply* reply = m_network.get(request);
    feed.reply = reply;
    const qint64 maxBytes = m_timing.maxBytes;
    connect(reply, &QNetworkReply::downloadProgress, this, [reply, maxBytes](qint64 received, qint64 total) {
        if (received > maxBytes || total > maxBytes) {
            reply->setProperty("tooLarge", true);
            reply->abort();
        }
    });
    connect(reply, &QNetworkReply::finished, this, [this, &feed, reply] { fetched(feed, reply); });
}

void BlocklistFeeds::fetched(Feed& feed, QNetworkReply* reply)
{
    reply->deleteLater();
    feed.reply = nullptr;
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (reply->property("tooLarge").toBool()) {
        fetchFailed(feed, tooLarge(feed.source, m_timing.maxBytes));
        return;
    }
    if (reply->error() == QNetworkReply::NoError && status == 304) {
        feed.busy = false;
        feed.lastSuccess = QDateTime::currentDateTimeUtc();
        feed.refresh.start(m_timing.refresh);
        return;
    }
    if (reply->error() != QNetworkReply::NoError || status != 200) {
        const QString why = status != 0 ? u"HTTP %1"_s.arg(status) : reply->errorString();
        fetchFailed(feed,
            Fault {FaultKind::Unavailable, u"无法取得 %1：%2"_s.arg(feed.source, why),
                u"fetching %1 failed: %2"_s.arg(feed.source, why), feed.name});
        return;
    }
    const QByteArray etag = reply->rawHeader("ETag");
    const QByteArray lastModified = reply->rawHeader("Last-Modified");
    runAside(
        [this, &feed, body = reply->readAll(), etag, lastModified]() -> Result<QByteArray> {
            if (auto counts = m_set.reload(feed.name, body); !counts) {
                return counts.fault();
            }
            // The copy is in use; keeping it is for the next start, and a failure to is only said.
            const QString saved = savedBlocklistPath(m_savedFolder, feed.name);
            QString why;
            if (!QDir().mkpath(m_savedFolder) || !saveAtomically(saved, body, &why)
                || !saveAtomically(validatorsPath(saved), QByteArray(etag + '\n' + lastModified + '\n'), &why)) {
                QFile::remove(validatorsPath(saved));
                qWarning("nolvex-shortd: blocklist %s: cannot keep its copy in %s: %s", qUtf8Printable(feed.name),
                    qUtf8Printable(saved), qUtf8Printable(why));
            }
            return QByteArray();
        },
        [this, &feed, etag, lastModified](const Result<QByteArray>& outcome) {
            feed.busy = false;
            feed.refresh.start(m_timing.refresh);
            if (outcome) {
                feed.etag = etag;
                feed.lastModified = lastModified;
                succeeded(feed, feed.source);
            } else {
                failed(feed, outcome.fault());
            }
        });
}

void BlocklistFeeds::runAside(
    std::function<Result<QByteArray>()> job, std::function<void(const Result<QByteArray>&)> done)
{
    m_aside.start([this, job = std::move(job), done = std::move(done)] {
        Result<QByteArray> outcome = job();
        // Dropped with the feeds when they are gone: their destructor waits for this job first.
        QMetaObject::invokeMethod(
            this, [done, outcome = std::move(outcome)] { done(outcome); }, Qt::QueuedConnection);
    });
}

void BlocklistFeeds::succeeded(Feed& feed, const QString& from)
{
    feed.lastSuccess = QDateTime::currentDateTimeUtc();
    if (feed.name.isEmpty()) {
        qInfo("nolvex-shortd: allowlist read again from %s", qUtf8Printable(from));
    } else {
        const QList<BlocklistStatus> status = m_set.status();
        const auto listed = std::find_if(
            status.cbegin(), status.cend(), [&](const BlocklistStatus& s) { return s.name == feed.name; });
        qInfo("nolvex-shortd: blocklist %s: %lld entries from %s", qUtf8Printable(feed.name),
            listed != status.cend() ? qint64(listed->counts.entries()) : qint64(0), qUtf8Printable(from));
    }
    emit reloaded(feed.name);
}

void BlocklistFeeds::failed(Feed& feed, const Fault& why)
{
    ++feed.failures;
    const QString said = feed.name.isEmpty() ? why.english + u"; the last allowlist read stays in use"_s : why.english;
    qWarning("nolvex-shortd: %s", qUtf8Printable(said));
    emit reloadFailed(feed.name, said);
}

void BlocklistFeeds::fetchFailed(Feed& feed, const Fault& why)
{
    feed.busy = false;
    // A server that is away is asked again sooner than the refresh, until it answers.
    feed.refresh.start(std::min(m_timing.refresh, RetryAfterFailure));
    // The set notes the failure in the list's status, and words it with the copy that stays.
    const Result<Blocklist::Counts> kept = m_set.reload(feed.name, why);
    failed(feed, kept ? why : kept.fault());
}

} // namespace Shortd
