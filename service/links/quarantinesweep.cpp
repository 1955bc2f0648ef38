#include "links/quarantinesweep.h"

#include "links/blocklist.h"
#include "store/storepool.h"

#include <QDateTime>
#include <QPointer>

using namespace Qt::StringLiterals;

namespace Shortd
{

// One page of the walk, as a worker leaves it.
struct QuarantineSweep::Page {
    StoreStatus status = StoreStatus::Ok;
    QString error;
    qint64 read = 0;
    std::optional<ListCursor> last; // the page's last link: the next page starts after it
    QStringList quarantined;
    QStringList lists; // beside quarantined: the list that stopped each
};

QuarantineSweep::QuarantineSweep(
    StorePool& pool, const BlocklistSet& lists, QuarantineSweepOptions options, QObject* parent)
    : QObject(parent)
    , m_pool(pool)
    , m_lists(lists)
    , m_options(options)
{
    m_retry.setSingleShot(true);
    m_retry.setInterval(m_options.retryAfter);
    connect(&m_retry, &QTimer::timeout, this, [this] {
        if (!m_sweeping) {
            begin();
        }
    });
}

QuarantineSweep::~QuarantineSweep() = default;

void QuarantineSweep::request(const QString& reason)
{
    if (!m_asked.contains(reason)) {
        m_asked.append(reason);
    }
    if (!m_sweeping) {
        m_retry.stop();
        begin();
    }
}

void QuarantineSweep::begin()
{
    m_sweeping = true;
    m_report = {};
    m_report.reason = m_asked.join(u", "_s);
    m_asked.clear();
    m_after.reset();
    m_clock.start();
    nextPage();
}

void QuarantineSweep::nextPage()
{
    const BlocklistSet& lists = m_lists;
    const int batch = m_options.batch;
    const std::optional<ListCursor> after = m_after;
    std::function<Page(Store*)> work = [&lists, batch, after](Store* store) {
        Page page;
        LinkAdmin* admin = store ? store->linkAdmin() : nullptr;
        LinkQuarantine* quarantine = store ? store->linkQuarantine() : nullptr;
        if (!admin || !quarantine) {
            page.status = StoreStatus::Failed;
            page.error = store ? u"the store keeps no quarantine"_s : u"no database connection"_s;
            return page;
        }
        const qint64 now = QDateTime::currentSecsSinceEpoch();
        LinkQuery query;
        query.state = StateFilter::Active;
        query.limit = batch;
        query.after = after;
        query.nowSecs = now;
        QList<StoredLink> links;
        page.status = admin->listLinks(query, [&links](const StoredLink& link) {
            links.append(link);
            return true;
        });
        if (page.status != StoreStatus::Ok) {
            page.error = store->lastError();
            return page;
        }
        page.read = links.size();
        if (!links.isEmpty()) {
            page.last = ListCursor {links.constLast().createdSecs, links.constLast().code};
        }
        for (const StoredLink& link : std::as_const(links)) {
            // The common link no list names costs the one quick lookup; a named one is tried
            // against every (list, entry) that stops it, for a release exempts it from one only.
            if (!lists.matchAddress(link.target)) {
                continue;
            }
            for (const BlocklistMatch& match : lists.matchAllAddress(link.target)) {
                // Missing: released from this entry, or changed since the page was read.
                const StoreStatus status = quarantine->quarantine(link.code, match.list, match.entry, now);
                if (status == StoreStatus::Ok) {
                    page.quarantined.append(link.code);
                    page.lists.append(match.list);
                    break;
                }
                if (status != StoreStatus::Missing) {
                    page.status = status;
                    page.error = store->lastError();
                    return page;
                }
            }
        }
        return page;
    };
    QPointer<QuarantineSweep> self(this);
    std::function<void(Page)> done = [self](const Page& page) {
        if (self) {
            self->pageDone(page);
        }
    };
    if (!m_pool.run(std::move(work), std::move(done))) {
        end(true); // the pool's queue is full: tried again later
    }
}

void QuarantineSweep::pageDone(const Page& page)
{
    m_report.read += page.read;
    m_report.quarantined += page.quarantined.size();
    for (const QString& list : page.lists) {
        ++m_byList[list];
    }
    if (!page.quarantined.isEmpty()) {
        emit quarantined(page.quarantined);
    }
    if (page.status != StoreStatus::Ok) {
        qWarning("nolvex-shortd: quarantine sweep (%s) stopped after %lld links: %s", qUtf8Printable(m_report.reason),
            m_report.read, qUtf8Printable(page.error));
        end(true);
        return;
    }
    if (page.read < m_options.batch) {
        end(false);
        return;
    }
    m_after = page.last;
    // Queued, so the event loop serves what waits between two pages (and an inline pool does not
    // recurse).
    QMetaObject::invokeMethod(this, &QuarantineSweep::nextPage, Qt::QueuedConnection);
}

void QuarantineSweep::end(bool failed)
{
    m_report.failed = failed;
    m_report.elapsedMs = m_clock.elapsed();
    qInfo("nolvex-shortd: quarantine sweep (%s): %lld active links read, %lld quarantined, %lld ms%s",
        qUtf8Printable(m_report.reason), m_report.read, m_report.quarantined, m_report.elapsedMs,
        failed ? ", unfinished" : "");
    m_sweeping = false;
    const QuarantineSweepReport report = m_report;
    if (failed && !m_asked.contains(report.reason)) {
        m_asked.append(report.reason);
    }
    emit finished(report);
    if (m_sweeping) {
        return; // asked again by whoever heard of the end
    }
    if (failed) {
        m_retry.start();
    } else if (!m_asked.isEmpty()) {
        begin();
    }
}

} // namespace Shortd
